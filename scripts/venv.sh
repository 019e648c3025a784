# Sourced by the scripts. The project installs into virtual environments of its own, never into
# the interpreter it is given: Debian's python3 refuses pip (externally-managed-environment).

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

# wenlo_build_install LOG PIP_ARGS...: pip install, saying what it does: the usual time first,
# then the build's progress in tenths. Everything pip and the build print goes to LOG, shown
# (its end) only on failure. The build directory given in PIP_ARGS makes a second run quick.
wenlo_build_install() {
  local log=$1 started=$SECONDS status
  shift
  mkdir -p "$(dirname "$log")"
  echo "== building and installing the module: about 2 minutes on 2 cores the first time," \
       "seconds when little has changed (log: $log)"
  set +e
  python3 -m pip install -v "$@" 2>&1 | tee "$log" | awk '
    /^ *\[[0-9]+\/[0-9]+\] / {
      split(substr($1, 2, length($1) - 2), step, "/")
      tenth = int(10 * step[1] / step[2])
      if (tenth > shown) { shown = tenth; printf "   %3d%% of the build (%d of %d steps)\n", 10 * tenth, step[1], step[2]; fflush() }
    }
    /ninja: no work to do/ { print "   nothing to rebuild"; fflush() }'
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "== the build failed (exit $status); the whole output is in $log" >&2
    return "$status"
  fi
  echo "== installed in $((SECONDS - started)) s"
}
