#!/usr/bin/env bash
# The main job, on the simulated robot: install the module into the project's virtual
# environment (.venv) and run both example programs. Works with the system's own python3
# (Debian's refuses pip outside a venv) as well as any other. The control-loop demo's plot goes
# to demo-output/control_loop_demo.png in the checkout.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"

bash scripts/setup-system.sh --build-only
wenlo_enter_venv python3
echo "== the build tools in .venv"
python3 -m pip install -q "scikit-build-core>=0.10" "cmake>=3.24" ninja
wenlo_install_module ".[tools]" "$root/build/demo"

mkdir -p demo-output
cd /tmp
echo "== examples/demo.py: the synchronous controller"
# The neck starts away from zero, so homing has work to do.
python3 -m wenlo_sim --neck-start 0.3,0.35,-0.25 "$root/examples/demo.py"
echo "== examples/control_loop_demo.py: the control loop"
python3 -m wenlo_sim "$root/examples/control_loop_demo.py" "$root/demo-output/control_loop_demo.png"
