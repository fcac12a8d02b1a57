#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine, by hand or as CTest's
# CMAKE_CROSSCOMPILING_EMULATOR of the cross build:
#   scripts/wine-run.sh --prefix DIR [--fasim FASIM] -- PROGRAM.exe [ARGS...]
#
# DIR is the wine prefix of the build; it is made on first use (wineboot) and
# kept for the next run. With --fasim the simulator runs on a
# pseudo-terminal for the program's time, stations 1 (FA-2) and 2 (FA-3), and
# the prefix's COM ports point at it:
#   COM7   the simulator's pty
#   COM12  the same pty (a two-digit COM name goes through "\\.\")
#   COM9   a device that is not there
# The program's exit code is this script's; a failing set-up fails the test.
set -euo pipefail

usage() { echo "usage: $0 --prefix DIR [--fasim FASIM] -- PROGRAM [ARGS...]" >&2; exit 64; }
prefix="" fasim=""
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) prefix=$2; shift 2 ;;
        --fasim) fasim=$2; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ -n "$prefix" ] && [ $# -ge 1 ] || usage
for tool in wine wineboot flock timeout; do
    command -v "$tool" >/dev/null || { echo "setup: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
done

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH DISPLAY WAYLAND_DISPLAY || true

# One prefix for every test of the build; the first run makes it, the others
# wait for that.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -d "$prefix/dosdevices" ] || [ ! -d "$prefix/drive_c/windows/system32" ]; then
    rm -rf "$prefix"
    timeout 300 wineboot -i >"$prefix.boot.log" 2>&1 9>&- || { tail -n 20 "$prefix.boot.log" >&2; echo "setup: wineboot -i failed" >&2; exit 1; }
fi

fasim_pid="" scratch="" link=""
cleanup() {
    if [ -n "$fasim_pid" ]; then kill "$fasim_pid" 2>/dev/null || true; wait "$fasim_pid" 2>/dev/null || true; fi
    [ -n "$scratch" ] && rm -rf "$scratch"
    [ -n "$link" ] && [ -L "$link" ] && rm -f "$link"
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "$fasim" ]; then
    [ -x "$fasim" ] || { echo "setup: no simulator at $fasim (build the native fasim first)" >&2; exit 1; }
    scratch=$(mktemp -d /tmp/wemu.XXXXXX)
    link=$(mktemp -u /tmp/weXXXX)  # fasim takes a link path of at most 11 characters
    "$fasim" --link "$link" --station 1:FA2 --station 2:FA3 >"$scratch/fasim.log" 2>&1 9>&- &
    fasim_pid=$!
    for _ in $(seq 100); do
        [ -L "$link" ] && break
        kill -0 "$fasim_pid" 2>/dev/null || break
        sleep 0.05
    done
    [ -L "$link" ] || { cat "$scratch/fasim.log" >&2; echo "setup: fasim did not start" >&2; exit 1; }
    ln -sfn "$link" "$prefix/dosdevices/com7"
    ln -sfn "$link" "$prefix/dosdevices/com12"
    ln -sfn "$scratch/no-such-device" "$prefix/dosdevices/com9"
else
    flock -u 9
fi

# A run with the simulator holds the prefix's lock: it owns the COM ports.
rc=0
timeout -k 10 600 wine "$@" 9>&- || rc=$?
exit "$rc"
