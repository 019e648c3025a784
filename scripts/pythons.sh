#!/usr/bin/env bash
# Prints one interpreter path per supported CPython minor version found on this machine
# (3.10 and later), newest patch release first choice; says on stderr which ones are missing.
set -euo pipefail
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for minor in 10 11 12 13 14; do
  found=""
  # pyenv's newest patch release of this minor, else whatever the PATH offers.
  for dir in $(ls -d "$pyenv_root"/versions/3."$minor".* 2>/dev/null | sort -V -r); do
    if [ -x "$dir/bin/python3.$minor" ] && [[ "$(basename "$dir")" =~ ^3\.$minor\.[0-9]+$ ]]; then
      found="$dir/bin/python3.$minor"
      break
    fi
  done
  if [ -z "$found" ]; then
    found=$(PATH=$(echo "$PATH" | tr ':' '\n' | grep -v '/.pyenv/shims' | paste -sd:) \
      command -v "python3.$minor" || true)
  fi
  if [ -n "$found" ]; then
    echo "$found"
  else
    echo "skipping Python 3.$minor: not found on this machine" >&2
  fi
done
