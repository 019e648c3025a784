#!/usr/bin/env bash
# The main job, on the simulated robot: install the module and run the example program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-system.sh --build-only
python3 -m pip install -q .
# The neck starts away from zero, so homing has work to do.
cd /tmp && python3 -m wenlo_sim --neck-start 0.3,0.35,-0.25 "$OLDPWD/examples/demo.py"
