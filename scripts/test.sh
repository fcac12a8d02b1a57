#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. native build with warnings as errors, the whole suite under CTest;
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the native .deb: made, installed, used and removed again (dpkg, as
#      root or through sudo); the install into a scratch prefix and a host
#      project built against it run with the native tests;
#   4. each libFuzzer target for 60 s (clang, AddressSanitizer and
#      UndefinedBehaviorSanitizer) from its seed corpus, at the lowest
#      priority beside the sanitizer tests and the stages after them (as
#      the Windows build, then the sanitizer build, run beside the native
#      tests);
#   5. the 32-bit Windows cross build (VUZORUR.dll, KESTAN.dll, qelhost.exe),
#      its export and import tables, its tests under wine through CTest
#      (GoogleTest suites, the Win32 serial backend on COM ports linked to
#      the simulator, whole qelhost.exe sessions), and its zip.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "native build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUZORUR_WERROR=ON
cmake --build build -j"$jobs"
# The stages that wait mostly on ptys, sleeps and simulators run beside the
# ones that keep the processors busy: the native tests beside the Windows
# cross build, the sanitizer tests beside the fuzz targets. Each background
# stage writes its own log, shown when it fails.
background() {  # name log command...: runs the command in the background, its pid in $!
  local log=$2
  shift 2
  ("$@") > "$log" 2>&1 &
}
finish() {  # name pid log
  if ! wait "$2"; then
    tail -n 60 "$3"
    echo "$1 failed (log: $3)"
    exit 1
  fi
  grep -E '^(fuzz |win32 |sanitizer build)' "$3" || true
}

win32_build() {
  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVUZORUR_WERROR=ON -DVUZORUR_NATIVE_BIN="$root/build/bin"
  cmake --build build-win32 -j"$jobs"
  scripts/check-win32-exports.sh build-win32/bin
  echo "win32 build and export check passed"
}

fuzz_all() {
  renice -n 19 -p "$BASHPID" > /dev/null
  mkdir -p build-fuzz
  for target in gate_check station_models transaction front_door http_request mqtt_set; do
    if ! scripts/fuzz.sh "$target" 60 > "build-fuzz/$target-ci.log" 2>&1; then
      tail -n 40 "build-fuzz/$target-ci.log"
      echo "fuzz target $target found a fault (input in build-fuzz/findings/$target)"
      return 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "build-fuzz/$target-ci.log" | sed "s/^/fuzz $target: /"
  done
}

asan_build() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVUZORUR_WERROR=ON -DVUZORUR_SANITIZE=ON -DVUZORUR_BENCH=OFF
  cmake --build build-asan -j"$jobs"
  echo "sanitizer build passed"
}

# The builds beside the native tests take the processors the tests leave
# idle, at the lowest priority, so that the tests' timing is their own.
side_builds() {
  renice -n 19 -p "$BASHPID" > /dev/null
  win32_build
  asan_build
}

step "native tests, and beside them the Windows i686 cross build, then the sanitizer build"
background builds "$root/build/side-builds.log" side_builds
builds_pid=$!
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)
step "waiting for the Windows cross build and the sanitizer build"
finish "the Windows cross build or the sanitizer build" "$builds_pid" "$root/build/side-builds.log"

step "sanitizer tests, and beside them (and the stages after them) each fuzz target for 60 s"
background fuzz "$root/build/fuzz-ci.log" fuzz_all
fuzz_pid=$!
# The sanitizer suite, like the native one, waits mostly on ptys, sleeps and
# simulators: one test more than processors, the fuzz targets taking what
# is left at the lowest priority.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$((jobs + 1))" --timeout 900 -LE slow)

step "Debian package (cpack -G DEB, dpkg -i, dpkg -r)"
tests/package/deb.sh build

step "Windows build under wine"
(cd build-win32 && ctest --output-on-failure -j"$jobs" --timeout 900)
step "Windows zip (cpack -G ZIP)"
tests/package/zip.sh build-win32

step "waiting for the fuzz targets"
finish "the fuzz targets" "$fuzz_pid" "$root/build/fuzz-ci.log"

echo
echo "all test stages passed"
