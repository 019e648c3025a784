#!/usr/bin/env bash
# The main job, on the simulated robot: install the module and run both example programs.
# The control-loop demo's plot goes to demo-output/control_loop_demo.png in the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup-system.sh --build-only
python3 -m pip install -q ".[plot]"
mkdir -p demo-output
cd /tmp
# The neck starts away from zero, so homing has work to do.
python3 -m wenlo_sim --neck-start 0.3,0.35,-0.25 "$root/examples/demo.py"
python3 -m wenlo_sim "$root/examples/control_loop_demo.py" "$root/demo-output/control_loop_demo.png"
