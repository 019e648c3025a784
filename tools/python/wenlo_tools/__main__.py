import sys

from wenlo_tools.cli import main

sys.exit(main())
