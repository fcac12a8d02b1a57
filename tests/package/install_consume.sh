#!/usr/bin/env bash
# Uses an installation as a user would: a host project finds the driver
# through its CMake package and through pkg-config, links it and has it
# describe itself; the installed qelhost loads the installed driver, which
# logs through the installed libkestan.so the version line the build tree's
# driver logs.
#
# Usage: tests/package/install_consume.sh BUILD_DIR SCRATCH_DIR [PREFIX]
#   without PREFIX the build is installed into SCRATCH_DIR/prefix first;
#   with it, the installation found there is used (the .deb's is /usr).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR SCRATCH_DIR [PREFIX]" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
scratch=$2
prefix=${3:-$scratch/prefix}
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
if [ $# -eq 2 ]; then
    cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "cmake --install: $(cat "$scratch/install.log")"
fi

pc=$(find "$prefix"/lib* -maxdepth 3 -name vuzorur.pc | head -n 1)
[ -n "$pc" ] || fail "no vuzorur.pc under $prefix"
libdir=$(dirname "$(dirname "$pc")")
for file in include/vuzorur.h bin/qelhost bin/fasim share/doc/vuzorur/README.md; do
    [ -e "$prefix/$file" ] || fail "$file is not installed"
done
for file in libvuzorur.so libvuzorur.so.7 libkestan.so cmake/vuzorur/vuzorurConfig.cmake; do
    [ -e "$libdir/$file" ] || fail "$libdir/$file is not installed"
done

expected="Izumi FA-series Driver, Version 7.03, workspace 1591 bytes"
PKG_CONFIG_PATH="$libdir/pkgconfig" cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$scratch/consumer.log" 2>&1 && cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 ||
    fail "the consumer project: $(tail -n 30 "$scratch/consumer.log")"
for how in cmake pkgconfig; do
    got=$("$scratch/consumer/describe_$how") || fail "describe_$how failed: $got"
    [ "$got" = "$expected" ] || fail "describe_$how printed '$got', expected '$expected'"
    used=$(ldd "$scratch/consumer/describe_$how" | awk '$1 == "libvuzorur.so.7" {print $3}')
    [ "$(realpath "$used")" = "$(realpath "$libdir/libvuzorur.so.7")" ] || fail "describe_$how uses '$used'"
    echo "ok: found through $how: $got"
done

# Initialising a QEL on a port that is not there logs the version line.
version_line() {
    local rc=0
    rm -f "$scratch/driver.log"
    "$1" read 001DR0010 --port nosuchport --log "$scratch/driver.log" >/dev/null 2>"$scratch/init.err" || rc=$?
    [ "$rc" -eq 2 ] || fail "$1 read on a missing port ended with $rc: $(cat "$scratch/init.err")"
    grep "DAVEV: ver. compiled on" "$scratch/driver.log" || fail "no version line from $1: $(cat "$scratch/driver.log")"
}
installed_line=$(version_line "$prefix/bin/qelhost")
build_line=$(version_line "$build/bin/qelhost")
[ "$installed_line" = "$build_line" ] || fail "installed '$installed_line', build tree '$build_line'"
"$prefix/bin/qelhost" describe | grep "Version 7.03" >/dev/null || fail "no banner from the installed driver"
"$prefix/bin/fasim" --help >/dev/null || fail "installed fasim --help failed"
# The gateway's systemd unit starts the installed gateway.
unit="$prefix/lib/systemd/system/qelgate.service"
[ -e "$unit" ] || fail "qelgate.service is not installed"
grep -q "^ExecStart=$prefix/bin/qelgate " "$unit" || fail "qelgate.service does not start $prefix/bin/qelgate"
"$prefix/bin/qelgate" --help >/dev/null || fail "installed qelgate --help failed"
echo "ok: installed qelhost describes the installed driver: $installed_line"
rm -rf "$scratch"
