#!/usr/bin/env bash
# Makes the .deb of a native build (cpack -G DEB), installs it with dpkg,
# uses the installation (install_consume.sh on /usr), removes it and checks
# that nothing of it is left. Needs root, or sudo.
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
    if installed; then $sudo dpkg -r vuzorur >/dev/null 2>&1; fi
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
"$here/install_consume.sh" "$build" "$scratch/use" /usr || fail "the installation under /usr"
[ "$(pkg-config --modversion vuzorur)" = "$(dpkg-deb -f "$deb" Version)" ] || fail "pkg-config does not find vuzorur"

# The units: installed, verified by systemd, and nothing enabled or started.
units=/lib/systemd/system
for unit in qelgate.service qelgate@.service; do [ -f "$units/$unit" ] || fail "$units/$unit is not installed"; done
[ -f /usr/share/doc/vuzorur/docs/qelgate.toml ] || fail "the example configuration is not installed"
[ -f /usr/share/doc/vuzorur/docs/status-page.png ] || fail "the status page's picture is not installed"
[ ! -e /usr/share/doc/vuzorur/docs/man ] || fail "an empty man folder is installed with the docs"
mkdir -p "$scratch/units"
ln -s "$units/qelgate@.service" "$scratch/units/qelgate@line1.service"
systemd-analyze verify "$units/qelgate.service" "$scratch/units/qelgate@line1.service" >"$scratch/verify.log" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$scratch/verify.log")"
if ls /etc/systemd/system/*.wants/qelgate* >/dev/null 2>&1; then fail "installing enabled a qelgate unit"; fi
echo "ok: the units verify, none enabled"

$sudo dpkg -r vuzorur >"$scratch/dpkg-r.log" 2>&1 || fail "dpkg -r: $(cat "$scratch/dpkg-r.log")"
installed && fail "vuzorur is still installed after dpkg -r"
while read -r file; do [ ! -e "$file" ] && [ ! -L "$file" ] || fail "$file is left after dpkg -r"; done <<<"$files"
echo "ok: removed; none of its $(wc -l <<<"$files") files is left"
