#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each for a fixed number of
# executions from the seed corpus in fuzz/corpus, which stays unchanged. FUZZ_RUNS sets the runs
# per target (default 250,000: 1,250,000 in all). A failed invariant or a sanitizer report fails
# the run and leaves the input in the build folder's crashes/.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
build=${WENLO_FUZZ_DIR:-$root/build/fuzz}
runs=${FUZZ_RUNS:-250000}
targets=(status_packet group_read mit_decode can_frame register_read)

# libFuzzer needs clang; std::expected with Debian's libstdc++ needs clang 16 or later.
find_clang() {
  for v in 19 18 17 16; do
    if command -v "clang++-$v" >/dev/null && [ -e "$(clang-"$v" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
      echo "$v"; return 0
    fi
  done
  return 1
}
if ! version=$(find_clang); then
  for v in 19 16; do
    wenlo_apt_install "clang-$v" "libclang-rt-$v-dev" 2>/dev/null && break
  done
  version=$(find_clang) || { echo "no clang with libFuzzer could be installed" >&2; exit 1; }
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="clang++-$version" -DCMAKE_C_COMPILER="clang-$version" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DWENLO_FUZZ=ON -DWENLO_BUILD_MODULE=OFF -DWENLO_BUILD_SIM=OFF -DWENLO_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}" >/dev/null

mkdir -p "$build/crashes"
printf '%-16s %12s %9s %8s %s\n' target runs seconds corpus result
status=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  cp "$root/fuzz/corpus/$t/"* "$work/"
  log=$(mktemp)
  started=$(date +%s.%N)
  if "$build/fuzz/fuzz_$t" -runs="$runs" -max_len=300 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$t-" "$work" >"$log" 2>&1; then
    result=ok
  else
    result="FAILED (see $build/crashes)"; status=1
    grep -E "invariant|ERROR|SUMMARY" "$log" | head -5
  fi
  seconds=$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$(date +%s.%N)" "$started")
  printf '%-16s %12s %9.1f %8s %s\n' "$t" "$runs" "$seconds" "$(ls "$work" | wc -l)" "$result"
  rm -rf "$work" "$log"
done
exit $status
