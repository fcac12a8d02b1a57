#!/usr/bin/env bash
# Builds the libFuzzer targets if needed (clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz) and runs one of them:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET: gate_check, station_models, transaction, front_door, http_request or mqtt_set (or the full fuzz_ name).
# The fuzz targets work in a scratch directory of their own, so every path
# handed to them is absolute. The committed seed corpus fuzz/corpus/TARGET is read; new inputs go to
# build-fuzz/corpus/TARGET, findings to build-fuzz/findings/. Exit status is
# non-zero when the target found a crash, a leak or undefined behaviour.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
if [ $# -lt 2 ]; then
  echo "usage: scripts/fuzz.sh gate_check|station_models|transaction|front_door|http_request|mqtt_set SECONDS [libFuzzer options]" >&2
  exit 64
fi
target=${1#fuzz_}
seconds=$2
shift 2
case "$target" in
  gate_check|station_models|transaction|front_door|http_request|mqtt_set) ;;
  *) echo "unknown fuzz target '$target' (gate_check, station_models, transaction, front_door, http_request, mqtt_set)" >&2; exit 64 ;;
esac
build=$(realpath -m "${VUZORUR_FUZZ_BUILD:-build-fuzz}")
if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVUZORUR_FUZZ=ON -DVUZORUR_TESTS=OFF -DVUZORUR_BENCH=OFF -DVUZORUR_WERROR=ON "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j"${FUZZ_JOBS:-2}" --target "fuzz_$target" >/dev/null
corpus="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$corpus" "$findings"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$build/bin/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
     -artifact_prefix="$findings/" "$@" "$corpus" "$root/fuzz/corpus/$target"
