#!/usr/bin/env bash
# Installs a build into a scratch prefix and uses the installation as a user
# would: a host project finds the driver through its CMake package and through
# pkg-config, links it and has it describe itself; the installed qelhost loads
# the installed driver, which logs through the installed libkestan.so.
#
# Usage: tests/package/install_consume.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR SCRATCH_DIR" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
scratch=$2
prefix=$scratch/prefix
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "cmake --install: $(cat "$scratch/install.log")"

libdir=$(cd "$prefix" && dirname "$(find . -name 'libvuzorur.so.*.*' | head -n 1)")
libdir=${libdir#./}
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "no libvuzorur.so.X.Y.Z installed"
for file in include/vuzorur.h bin/qelhost bin/fasim "$libdir/libvuzorur.so" "$libdir/libkestan.so" \
            "$libdir/pkgconfig/vuzorur.pc" "$libdir/cmake/vuzorur/vuzorurConfig.cmake" \
            share/doc/vuzorur/README.md share/doc/vuzorur/host-records.md; do
    [ -e "$prefix/$file" ] || fail "$file is not installed"
done
soname=$(objdump -p "$prefix/$libdir/libvuzorur.so" | awk '/SONAME/ {print $2}')
[ -L "$prefix/$libdir/$soname" ] || fail "no soname link $soname"

expected="Izumi FA-series Driver, Version 7.03, workspace 1591 bytes"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" cmake -S "$here/consumer" -B "$scratch/consumer" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/consumer.log" 2>&1 || fail "configuring the consumer: $(cat "$scratch/consumer.log")"
cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 || fail "building the consumer: $(cat "$scratch/consumer.log")"
for how in cmake pkgconfig; do
    got=$("$scratch/consumer/describe_$how") || fail "describe_$how failed: $got"
    [ "$got" = "$expected" ] || fail "describe_$how printed '$got', expected '$expected'"
    ldd "$scratch/consumer/describe_$how" | grep "$prefix/$libdir/$soname" >/dev/null ||
        fail "describe_$how does not use the installed driver: $(ldd "$scratch/consumer/describe_$how")"
    echo "ok: found through $how: $got"
done

# The installed host with the installed driver: initialising a QEL on a port
# that is not there logs the driver's version line through libkestan.so,
# with the build date the build tree's driver logs.
version_line() { # PROGRAM: the version line of an initialisation that fails to open
    local rc=0
    "$1" read 001DR0010 --port nosuchport >/dev/null 2>"$scratch/init.err" || rc=$?
    [ "$rc" -eq 2 ] || fail "$1 read on a missing port ended with $rc: $(cat "$scratch/init.err")"
    grep "DAVEV: ver. compiled on" "$scratch/init.err" || fail "no version line from $1: $(cat "$scratch/init.err")"
}
installed_line=$(version_line "$prefix/bin/qelhost")
build_line=$(version_line "$build/bin/qelhost")
[ "$installed_line" = "$build_line" ] || fail "installed '$installed_line', build tree '$build_line'"
"$prefix/bin/qelhost" describe | grep "Version 7.03" >/dev/null || fail "no banner from the installed driver"
"$prefix/bin/fasim" --help >/dev/null || fail "installed fasim --help failed"
echo "ok: installed qelhost describes the installed driver: $installed_line"
rm -rf "$scratch"
