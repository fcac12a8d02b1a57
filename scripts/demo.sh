#!/usr/bin/env bash
# Sets up, builds and runs the demo: a whole driver session against the
# simulator on a pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --native-only
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target qelhost fasim vuzorur kestan > /dev/null
exec build/bin/qelhost demo
