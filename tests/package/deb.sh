#!/usr/bin/env bash
# Makes the .deb of a native build (cpack -G DEB), installs it with dpkg,
# uses the installation (qelhost with the driver, a host project through
# find_package and pkg-config without any search path given), removes it and
# checks that nothing of it is left. Needs root, or sudo.
#
# Usage: tests/package/deb.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
fail() { echo "FAIL: $*"; exit 1; }
installed() { dpkg-query -W -f='${Status}' vuzorur 2>/dev/null | grep -q 'install ok installed'; }

installed && fail "a vuzorur package is installed already; remove it first (dpkg -r vuzorur)"
scratch=$(mktemp -d /tmp/vuzorur-deb.XXXXXX)
cleanup() {
    installed && $sudo dpkg -r vuzorur >/dev/null 2>&1
    rm -rf "$scratch"
}
trap cleanup EXIT

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB) >"$scratch/cpack.log" 2>&1 || fail "cpack -G DEB: $(tail -n 20 "$scratch/cpack.log")"
deb=$(find "$build/packages" -name 'vuzorur_*.deb' | head -n 1)
[ -n "$deb" ] || fail "cpack made no .deb"
echo "made $(basename "$deb")"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's#^\./#/#')

$sudo dpkg -i "$deb" >"$scratch/dpkg-i.log" 2>&1 || fail "dpkg -i: $(cat "$scratch/dpkg-i.log")"
installed || fail "dpkg does not list vuzorur as installed"
while read -r file; do [ -e "$file" ] || fail "$file is missing after dpkg -i"; done <<<"$files"

/usr/bin/qelhost describe | grep "Version 7.03" >/dev/null || fail "the installed qelhost does not describe the driver"
rc=0
/usr/bin/qelhost read 001DR0010 --port nosuchport >/dev/null 2>"$scratch/init.err" || rc=$?
[ "$rc" -eq 2 ] && grep "DAVEV: ver. compiled on" "$scratch/init.err" >/dev/null ||
    fail "the installed driver did not log through libkestan.so (exit $rc): $(cat "$scratch/init.err")"
[ "$(pkg-config --modversion vuzorur)" = "$(dpkg-deb -f "$deb" Version)" ] || fail "pkg-config does not find vuzorur"
cmake -S "$here/consumer" -B "$scratch/consumer" >"$scratch/consumer.log" 2>&1 &&
    cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 || fail "the consumer project: $(tail -n 20 "$scratch/consumer.log")"
for how in cmake pkgconfig; do
    "$scratch/consumer/describe_$how" | grep "Version 7.03" >/dev/null || fail "describe_$how against /usr failed"
done
echo "ok: installed; qelhost, the driver's log and a host project through find_package and pkg-config work"

$sudo dpkg -r vuzorur >"$scratch/dpkg-r.log" 2>&1 || fail "dpkg -r: $(cat "$scratch/dpkg-r.log")"
installed && fail "vuzorur is still installed after dpkg -r"
while read -r file; do [ ! -e "$file" ] && [ ! -L "$file" ] || fail "$file is left after dpkg -r"; done <<<"$files"
echo "ok: removed; none of its $(wc -l <<<"$files") files is left"
