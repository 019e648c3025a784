#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root, or with sudo).
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
want=(g++ make libgtest-dev libgmock-dev qemu-system-x86 busybox-static clang-format-19 tmux
      iproute2)  # ip: the ROS tests bring up lo in a network namespace of their own
[ "${1:-}" = "--build-only" ] && want=(g++ make)
# The distribution's own python3 needs its venv module and its headers from packages.
if ! command -v python3 >/dev/null; then
  want+=(python3 python3-venv python3-dev)
elif [ "$(readlink -f "$(command -v python3)")" = "$(readlink -f /usr/bin/python3 2>/dev/null)" ]; then
  want+=(python3-venv python3-dev)
fi
wenlo_apt_install "${want[@]}"
