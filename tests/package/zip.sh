#!/usr/bin/env bash
# Makes the Windows zip of a cross build (cpack -G ZIP) and checks that it
# holds the driver, the host library, qelhost.exe and the header, and that
# qelhost.exe unpacked from it describes the driver under wine.
#
# Usage: tests/package/zip.sh BUILD_WIN32_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_WIN32_DIR" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
scratch=$(mktemp -d /tmp/vuzorur-zip.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

rm -rf "$build/packages"
(cd "$build" && cpack -G ZIP) >"$scratch/cpack.log" 2>&1 || fail "cpack -G ZIP: $(tail -n 20 "$scratch/cpack.log")"
zip=$(find "$build/packages" -name 'vuzorur-*-win32.zip' | head -n 1)
[ -n "$zip" ] || fail "cpack made no zip"
top=$(basename "$zip" .zip)
got=$(unzip -Z1 "$zip" | grep -v '/$' | sed "s#^$top/##" | LC_ALL=C sort | paste -sd' ')
want="bin/KESTAN.dll bin/VUZORUR.dll bin/qelhost.exe include/vuzorur.h"
if [ -f "$build/bin/qelgate.exe" ]; then want="bin/KESTAN.dll bin/VUZORUR.dll bin/qelgate.exe bin/qelhost.exe include/vuzorur.h"; fi
[ "$got" = "$want" ] || fail "$(basename "$zip") holds '$got', expected '$want'"
echo "ok: $(basename "$zip") holds $want"

unzip -q "$zip" -d "$scratch"
"$here/../../scripts/wine-run.sh" --prefix "$build/wineprefix" -- "$scratch/$top/bin/qelhost.exe" describe >"$scratch/describe.out" 2>&1 ||
    fail "qelhost.exe describe from the zip: $(cat "$scratch/describe.out")"
grep "Version 7.03" "$scratch/describe.out" >/dev/null || fail "no banner from the zip's driver: $(cat "$scratch/describe.out")"
echo "ok: qelhost.exe from the zip describes its driver under wine"
