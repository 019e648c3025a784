# shellcheck shell=bash
# Sourced first by the scripts: what they share. It moves to the top of the checkout and names it
# $root. The project installs into virtual environments of its own, never into the interpreter it
# is given: Debian's python3 refuses pip (externally-managed-environment).

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit
root=$PWD
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# wenlo_apt_install PKG...: installs those of the Debian packages that are missing, as root or
# with sudo; the package lists are updated once per script, and only if something is missing.
wenlo_apt_install() {
  local need=() pkg sudo=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  if [ -z "${wenlo_apt_updated:-}" ]; then
    "${sudo[@]}" apt-get update -qq || return
    wenlo_apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${need[@]}" >/dev/null
}

# wenlo_enter_venv [PYTHON [DIR]]: makes DIR (default .venv) from PYTHON (default python3) once,
# then puts it first on PATH, so that python3 and pip below are its own. A venv made from another
# interpreter is made anew.
wenlo_enter_venv() {
  local base=${1:-python3} dir=${2:-$root/.venv} want
  want=$("$base" -c 'import os, sys; print(os.path.realpath(sys.executable))')
  if [ ! -x "$dir/bin/python3" ] || [ "$(cat "$dir/.wenlo-base" 2>/dev/null)" != "$want" ]; then
    echo "== making the virtual environment $dir (from $want)"
    "$base" -m venv --clear "$dir"
    echo "$want" >"$dir/.wenlo-base"
  fi
  export VIRTUAL_ENV=$dir PATH="$dir/bin:$PATH"
  hash -r
}

# wenlo_install_module [-q] TARGET BUILD_DIR [BUILD_TYPE [NAME=VALUE...]]: pip-installs TARGET
# (".", or "." with extras) into the active venv, building in BUILD_DIR, which makes a second
# run quick, with the CMake build type and definitions given. It says what it does: the usual
# time first, then the build's progress in tenths; everything pip and the build print goes to
# BUILD_DIR.log, shown (its end) only on failure. With -q, only pip's own quiet output.
wenlo_install_module() {
  local quiet=0
  if [ "$1" = -q ]; then quiet=1; shift; fi
  local target=$1 build=$2 type=${3:-} define started=$SECONDS status args
  args=(--no-build-isolation "$target" --config-settings=build-dir="$build")
  [ -n "$type" ] && args+=(--config-settings=cmake.build-type="$type")
  for define in "${@:4}"; do
    args+=(--config-settings=cmake.define."$define")
  done
  if [ "$quiet" = 1 ]; then
    python3 -m pip install -q "${args[@]}"
    return
  fi
  mkdir -p "$(dirname "$build")"
  echo "== building and installing the module: about 2 minutes on 2 cores the first time," \
       "seconds when little has changed (log: $build.log)"
  set +e
  python3 -m pip install -v "${args[@]}" 2>&1 | tee "$build.log" | awk '
    /^ *\[[0-9]+\/[0-9]+\] / {
      split(substr($1, 2, length($1) - 2), step, "/")
      tenth = int(10 * step[1] / step[2])
      if (tenth > shown) { shown = tenth; printf "   %3d%% of the build (%d of %d steps)\n", 10 * tenth, step[1], step[2]; fflush() }
    }
    /ninja: no work to do/ { print "   nothing to rebuild"; fflush() }'
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$build.log" >&2
    echo "== the build failed (exit $status); the whole output is in $build.log" >&2
    return "$status"
  fi
  echo "== installed in $((SECONDS - started)) s"
}

# wenlo_on_sim PYTHON ARGS...: runs PYTHON ARGS on a simulated robot of its own, from /tmp, so
# that it imports the installed module rather than the checkout.
wenlo_on_sim() {
  (cd /tmp && "$1" -m wenlo_sim --no-robot -- "$@")
}

# wenlo_pytest PYTHON PYTEST_ARGS...: pytest on the simulated robot.
wenlo_pytest() {
  wenlo_on_sim "$1" -m pytest -q -p no:cacheprovider "${@:2}"
}
