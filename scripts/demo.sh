#!/usr/bin/env bash
# The main job, on the simulated robot: install the module and run the example program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-system.sh --build-only
python3 -m pip install -q .
cd /tmp && python3 -m wenlo_sim "$OLDPWD/examples/demo.py"
