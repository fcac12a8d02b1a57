#!/usr/bin/env bash
# shellcheck disable=SC2016  # frames on the line hold backquotes, never expansions
# Runs the 32-bit Windows build - qelhost.exe with VUZORUR.dll and KESTAN.dll -
# under wine against the native simulator (fasim) on a pseudo-terminal, and
# checks results, exit codes, driver log lines and the frames on the line as
# the simulator's trace records them.
#
# Usage: tests/wine/run.sh BUILD_WIN32_BIN NATIVE_BIN
#   BUILD_WIN32_BIN  directory with qelhost.exe, VUZORUR.dll, KESTAN.dll
#   NATIVE_BIN       directory with the native fasim
#
# Everything lives in a private wine prefix under a temporary directory that
# is removed on exit. COM7 and COM12 are links in the prefix's dosdevices to
# the simulator's pty (COM12 goes through the driver's "\\.\" device prefix).
# A small Windows host, qelseq.exe (qelseq.c beside this script), is built
# with the mingw-w64 compiler for the steps that must share one driver
# session: force mode, port close and reopen, warm start.
#
# Parity: a pty carries no parity, and Linux reports EINVAL for a tcsetattr
# whose only change is a parity bit the pty drops. Wine passes that on as a
# failing SetCommState, so an even-parity open of a pty fails whenever wine
# finds nothing else to change in the line settings. The runs therefore use
# --parity none; one case uses the default 9600 8E1 after resetting a line
# flag of the pty so that wine's settings do change it.
set -euo pipefail

usage() {
    echo "usage: $0 BUILD_WIN32_BIN NATIVE_BIN" >&2
    exit 64
}
[ $# -eq 2 ] || usage

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
start_time=$(date +%s)

passed=0
failed=0

summary() {
    echo
    echo "wine tests: $(($(date +%s) - start_time)) s"
    echo "$passed passed, $failed failed"
}

# A failure of the set-up (missing binaries, wine that cannot start, no
# simulator) is a failed test, never a skip.
die() {
    echo "FAIL: setup: $*"
    failed=$((failed + 1))
    summary
    exit 1
}

win=$(cd "$1" 2>/dev/null && pwd) || die "no directory $1"
nat=$(cd "$2" 2>/dev/null && pwd) || die "no directory $2"
for f in qelhost.exe VUZORUR.dll KESTAN.dll; do
    [ -f "$win/$f" ] || die "$win/$f is missing (build the Windows cross build first)"
done
[ -x "$nat/fasim" ] || die "$nat/fasim is missing (build the native fasim first)"
for tool in wine wineboot wineserver python3 stty timeout; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool is not installed (scripts/install-deps.sh installs wine)"
done

tmp=$(mktemp -d /tmp/wine-fa.XXXXXX)
# fasim's link path may have at most 11 characters: /tmp/wfXXXX.
link=$(mktemp -u /tmp/wfXXXX)
fasim_pid=""
seq_pid=""

export WINEPREFIX="$tmp/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH DISPLAY WAYLAND_DISPLAY || true

cleanup() {
    local rc=$?
    set +e
    if [ -n "$seq_pid" ]; then
        kill "$seq_pid" 2>/dev/null
        wait "$seq_pid" 2>/dev/null
    fi
    if [ -n "$fasim_pid" ]; then
        kill "$fasim_pid" 2>/dev/null
        wait "$fasim_pid" 2>/dev/null
    fi
    if [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k >/dev/null 2>&1
        timeout 30 wineserver -w >/dev/null 2>&1
    fi
    [ -L "$link" ] && rm -f "$link"
    rm -rf "$tmp"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

winpath() { # a Unix path as wine sees it on drive Z:
    local p=$1
    printf 'Z:%s' "${p//\//\\}"
}

# ---------------------------------------------------------------- wine prefix
mkdir -p "$WINEPREFIX"
# One persistent wineserver for the whole run saves a server start per
# program; cleanup stops it.
wineserver -p >"$tmp/wineserver.log" 2>&1 || die "wineserver -p failed: $(head -c 300 "$tmp/wineserver.log")"
boot_rc=0
timeout 240 wineboot -i >"$tmp/wineboot.log" 2>&1 || boot_rc=$?
if [ "$boot_rc" -ne 0 ] || [ ! -d "$WINEPREFIX/drive_c/windows/system32" ] || [ ! -d "$WINEPREFIX/dosdevices" ]; then
    tail -n 20 "$tmp/wineboot.log" >&2 || true
    die "wineboot -i failed (exit $boot_rc); wine cannot run here"
fi

# ------------------------------------------------------------------ simulator
trace="$tmp/trace.txt"
ctl="$tmp/ctl.sock"
cat >"$tmp/memory.txt" <<'EOF'
# station area number value
1 DR 10 4660
1 DR 11 1
1 DR 12 2
1 DR 13 0xABCD
1 DR 14 65535
1 DR 300 777
1 TM 5 1234
1 CP 5 42
1 IO 0 1
1 IO 7 1
1 IO 157 1
2 DR 10 0x5678
2 DR 11 0x9ABC
2 DR 12 7
2 IO 2000 1
2 IO 2002 1
2 IO 2017 1
2 IM 640 1
EOF
"$nat/fasim" --link "$link" --station 1:FA2 --station 2:FA3 --memory "$tmp/memory.txt" \
    --trace "$trace" --control-socket "$ctl" >"$tmp/fasim.out" 2>"$tmp/fasim.err" &
fasim_pid=$!
for _ in $(seq 100); do
    [ -L "$link" ] && [ -S "$ctl" ] && break
    kill -0 "$fasim_pid" 2>/dev/null || break
    sleep 0.05
done
if ! [ -L "$link" ] || ! [ -S "$ctl" ] || ! kill -0 "$fasim_pid" 2>/dev/null; then
    cat "$tmp/fasim.err" >&2 || true
    die "fasim did not start on $link"
fi
: >>"$trace"

ln -sfn "$link" "$WINEPREFIX/dosdevices/com7"
ln -sfn "$link" "$WINEPREFIX/dosdevices/com12"
ln -sfn "$tmp/no-such-device" "$WINEPREFIX/dosdevices/com9"

# Station 2 is an FA-3; every other station stays FA-2.
printf '002FA3\n' >"$tmp/models.txt"
models=$(winpath "$tmp/models.txt")

cd "$tmp"

# ---------------------------------------------------------------- test helpers
case_name=""
problems=()
out="$tmp/out.txt"
err="$tmp/err.txt"
log="$tmp/driver.log"
rc=0
mark_line=0

begin() {
    case_name=$1
    problems=()
    mark
}

# Frames before this point no longer count for the case; the log starts anew.
mark() {
    settle
    rm -f "$log"
    mark_line=$(wc -l <"$trace")
}

problem() { problems+=("$*"); }

end() {
    if [ ${#problems[@]} -eq 0 ]; then
        echo "PASS: $case_name"
        passed=$((passed + 1))
    else
        echo "FAIL: $case_name"
        local p
        for p in "${problems[@]}"; do echo "      - $p"; done
        echo "      stdout:"; sed 's/^/        /' "$out" 2>/dev/null | head -n 20
        echo "      stderr:"; sed 's/^/        /' "$err" 2>/dev/null | head -n 20
        if [ -f "$log" ]; then echo "      driver log:"; sed 's/^/        /' "$log" | head -n 20; fi
        echo "      trace of this case:"; new_trace | sed 's/^/        /' | head -n 30
        failed=$((failed + 1))
    fi
}

# Runs qelhost.exe under wine; stdout and stderr (CRs removed) go to $out and
# $err, the exit code to $rc. The driver log goes to $log.
qelhost() {
    rc=0
    timeout -k 5 60 wine "$win/qelhost.exe" --log "$(winpath "$log")" "$@" >"$out.raw" 2>"$err.raw" || rc=$?
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$err.raw" >"$err"
}

# The same for qelseq.exe, run in its own directory (with davEV01.int).
qelseq() {
    rc=0
    (cd "$tmp/seq" && timeout -k 5 60 wine ./qelseq.exe -log "$(winpath "$log")" "$@") >"$out.raw" 2>"$err.raw" || rc=$?
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$err.raw" >"$err"
}

# qelseq.exe in the background, for a session whose steps wait (await=FILE)
# for the script to change the simulator; seq_finish collects it as qelseq().
qelseq_start() {
    (cd "$tmp/seq" && exec timeout -k 5 60 wine ./qelseq.exe -log "$(winpath "$log")" "$@") >"$out.raw" 2>"$err.raw" &
    seq_pid=$!
}
# Waits (at most 30 s) until the background session has printed LINE.
seq_await_line() {
    for _ in $(seq 300); do
        tr -d '\r' <"$out.raw" | grep -qxF -- "$1" && return 0
        kill -0 "$seq_pid" 2>/dev/null || break
        sleep 0.1
    done
    tr -d '\r' <"$out.raw" | grep -qxF -- "$1" && return 0
    problem "the session did not print: $1"
    return 1
}
seq_finish() {
    rc=0
    wait "$seq_pid" || rc=$?
    seq_pid=""
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$err.raw" >"$err"
}

# Waits until the simulator's trace has stopped growing.
settle() {
    local before after
    before=$(wc -c <"$trace")
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        sleep 0.05
        after=$(wc -c <"$trace")
        [ "$after" = "$before" ] && return 0
        before=$after
    done
}

# The trace lines written since begin(), as "M>S 1 frame" / "S>M 1 frame".
new_trace() {
    tail -n +"$((mark_line + 1))" "$trace" | sed -E 's/^ *[0-9]+ ms (M>S|S>M) st +([0-9]+)  /\1 \2 /'
}

want_rc() { [ "$rc" -eq "$1" ] || problem "exit code $rc, expected $1"; }
want_out() { grep -qF -- "$1" "$out" || problem "stdout lacks: $1"; }
want_out_line() { grep -qxF -- "$1" <(tr -s ' ' <"$out") || problem "stdout lacks the line: $1"; }
want_err() { grep -qF -- "$1" "$err" || problem "stderr lacks: $1"; }
want_log() { grep -qF -- "$1" "$log" 2>/dev/null || problem "driver log lacks: $1"; }
no_log() { ! grep -qF -- "$1" "$log" 2>/dev/null || problem "driver log holds: $1"; }
log_count() {
    local n
    n=$(grep -cF -- "$2" "$log" 2>/dev/null || true)
    [ "${n:-0}" -eq "$1" ] || problem "driver log holds '$2' ${n:-0} times, expected $1"
}
# Frames: "M>S <station> <frame>" (master to station) or "S>M ...", CR as <CR>.
want_frame() {
    settle
    new_trace | grep -qxF -- "$1" || problem "trace lacks: $1"
}
no_frame() {
    settle
    ! new_trace | grep -qF -- "$1" || problem "trace holds: $1"
}
frame_count() {
    local n
    settle
    n=$(new_trace | grep -cxF -- "$2" || true)
    [ "${n:-0}" -eq "$1" ] || problem "trace holds '$2' ${n:-0} times, expected $1"
}
# The master's frames of this case, in order, joined by " | ".
want_master_frames() {
    local got
    settle
    got=$(new_trace | sed -n 's/^M>S [0-9]* //p' | paste -sd'|' | sed 's/|/ | /g')
    [ "$got" = "$1" ] || problem "master frames: '$got', expected '$1'"
}
no_traffic() {
    settle
    [ -z "$(new_trace)" ] || problem "frames on the line: $(new_trace | paste -sd' ')"
}
# A command to the simulator's control socket; prints the answer line.
sim() {
    python3 - "$ctl" "$*" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(5)
s.connect(sys.argv[1])
s.sendall((sys.argv[2] + "\n").encode())
f = s.makefile("r")
print(f.readline().strip())
EOF
}
want_sim() {
    local got
    got=$(sim "$1" 2>&1) || true
    [ "$got" = "$2" ] || problem "simulator: '$1' gave '$got', expected '$2'"
}
# Values of a JSON reading on stdout.
want_json_values() {
    python3 -m json.tool "$out" >/dev/null 2>&1 || { problem "stdout is not valid JSON"; return; }
    local why
    why=$(python3 - "$out" "$1" <<'EOF'
import json, sys
reading = json.load(open(sys.argv[1]))
expected = json.loads(sys.argv[2])
if reading.get("ok") is True and reading.get("result") == 0 and reading.get("values") == expected:
    sys.exit(0)
print(json.dumps(reading))
sys.exit(1)
EOF
) || problem "JSON reading $why, expected values $1"
}

line=(--parity none)

# ------------------------------------------------------------------- the cases

begin "describe: driver name, workspace size, default line, banner"
qelhost describe
want_rc 0
want_out "driver name      Izumi FA-series Driver"
want_out "workspace size   1591 bytes"
want_out "default line     9600 baud, 8 data bits, parity code 2, stop-bit code 0"
want_out "host codes       70, 4, 3"
python3 - "$out" <<'EOF' || problem "the banner is not the six 62-character lines"
import sys
lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
i = next(k for k, l in enumerate(lines) if l.startswith("\u250c"))
b = lines[i:i + 6]
ok = (len(b) == 6 and all(len(l) == 62 for l in b)
      and b[0] == "\u250c" + "\u2500" * 60 + "\u2510"
      and b[5] == "\u2514" + "\u2500" * 60 + "\u2518"
      and all(l[0] == "\u2502" and l[-1] == "\u2502" for l in b[1:5])
      and " Q E L Z N " in b[1] and "\u2588" * 5 + "\u2593" * 6 + "\u2592" * 6 + "\u2591" * 6 in b[1]
      and b[2] == "\u2502" + " " * 14 + "Izumi FA-series Driver installed." + " " * 13 + "\u2502"
      and b[3] == "\u2502" + " " * 17 + "Izumi 1/N Serial Protocol." + " " * 17 + "\u2502"
      and b[4].endswith(" - Version 7.03" + " " * 7 + "\u2502"))
sys.exit(0 if ok else 1)
EOF
no_traffic
end

begin "default line 9600 8E1: FA2 read of 001DR0010 (4660)"
# Give wine a line flag to change, so that its SetCommState is not refused.
stty -F "$link" -ignbrk 2>/dev/null || problem "stty on the pty failed"
qelhost read 001DR0010 --port COM7
want_rc 0
want_out_line "001DR0010 - 4660 0x1234"
want_master_frames '`0101<CR> | R70:11<CR>'
want_frame 'S>M 1 c00<CR>'
want_frame 'S>M 1 p12340:<CR>'
want_log "DAVEV: ver. compiled on "
want_log "DavEV: No Init file. Assuming FA-2 PLC's."
want_log "DAVEV: Izumi 1:N Driver QEL 1 loaded successfully"
end

begin "gate checks with a station model file (station 2 FA3)"
qelhost "${line[@]}" --models "$models" check --port COM7 \
    001DR0399 001DR0400 002DR0400 001dr12 001IO0157 001IO0158 001IO0200 002IM0640 001IM0640 \
    002FORCE 001FORCE 256DR0001 002CT0048 001CT0047 001XY0001 0001DR0001
want_rc 1
want_out_line "001DR0399 legal station 1 area 2 (DR) element 399"
want_out_line "001DR0400 illegal"
want_out_line "002DR0400 legal station 2 area 2 (DR) element 400"
want_out_line "001dr12 legal station 1 area 2 (DR) element 12"
want_out_line "001IO0157 legal station 1 area 5 (IO) element 127"
want_out_line "001IO0158 illegal"
want_out_line "001IO0200 legal station 1 area 5 (IO) element 160"
want_out_line "002IM0640 legal station 2 area 6 (IR/IM) element 3512"
want_out_line "001IM0640 illegal"
grep -qE '^002FORCE +legal +station 2 +area 9 \(FORCE\)' "$out" || problem "002FORCE is not legal with area 9"
want_out_line "001FORCE illegal"
want_out_line "256DR0001 illegal"
want_out_line "002CT0048 legal station 2 area 1 (CT) element 48"
want_out_line "001CT0047 illegal"
want_out_line "001XY0001 illegal"
want_out_line "0001DR0001 illegal"
want_err "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)"
no_log "DavEV: No Init file"
no_traffic
end

begin "block gate checks: FA2 bits only by 8, FA3 by multiples of 8, at most 100"
qelhost "${line[@]}" --models "$models" check --port COM7 --block 16 001IO0000 002IO0000
want_rc 1
want_out_line "001IO0000 illegal"
want_out_line "002IO0000 legal station 2 area 5 (IO) element 0"
want_err "gate 001IO0000 is illegal: a block of 16 IO elements on station 1, an FA2 is not allowed; the count is 8"
qelhost "${line[@]}" --models "$models" check --port COM7 --block 8 001IO0000
want_rc 0
want_out_line "001IO0000 legal station 1 area 5 (IO) element 0"
qelhost "${line[@]}" --models "$models" check --port COM7 --block 12 002IO0000
want_rc 1
qelhost "${line[@]}" --models "$models" check --port COM7 --block 100 001DR0000
want_rc 0
qelhost "${line[@]}" --models "$models" check --port COM7 --block 101 001DR0000
want_rc 1
no_traffic
end

begin "FA3-only gate: 002DR0400 legal, read 001DR0400 refused (exit 1)"
qelhost "${line[@]}" --models "$models" read 001DR0400 --port COM7
want_rc 1
want_err "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)"
no_traffic
qelhost "${line[@]}" --models "$models" check 002DR0400 --port COM7
want_rc 0
end

begin "FA2 single reads: TM, DR 300, CP preset, IO bit"
qelhost "${line[@]}" read 001TM0005 --port COM7
want_rc 0
want_out_line "001TM0005 - 1234 0x04D2"
want_master_frames '`0101<CR> | R40509<CR>'
want_frame 'S>M 1 i04=213<CR>'
mark
qelhost "${line[@]}" read 001DR0300 --port COM7
want_rc 0
want_out_line "001DR0300 - 777 0x0309"
want_master_frames '`0101<CR> | R82<16<CR>'
want_frame 'S>M 1 p03090<<CR>'
qelhost "${line[@]}" read 001CP0005 --port COM7
want_rc 0
want_out_line "001CP0005 - 42 0x002A"
want_frame 'M>S 1 Z0505<CR>'
want_frame 'S>M 1 m002:0<<CR>'
qelhost "${line[@]}" read 001IO0157 --port COM7
want_rc 0
want_out_line "001IO0157 - 1"
want_frame 'M>S 1 R17?17<CR>'
want_frame 'S>M 1 f0101<CR>'
end

begin "FA2 block reads: DR 10..14 (ReadDataBlock), IO 0..7 (JSON)"
qelhost "${line[@]}" read 001DR0010 --count 5 --port COM7
want_rc 0
want_out_line "001DR0010 0 4660 0x1234"
want_out_line "001DR0010 1 1 0x0001"
want_out_line "001DR0010 2 2 0x0002"
want_out_line "001DR0010 3 43981 0xABCD"
want_out_line "001DR0010 4 65535 0xFFFF"
want_master_frames '`0101<CR> | ]182140:1:<CR>'
qelhost "${line[@]}" read 001DR0010 --count 5 --format json --port COM7
want_rc 0
want_json_values '[4660, 1, 2, 43981, 65535]'
qelhost "${line[@]}" read 001IO0000 --count 8 --format json --port COM7
want_rc 0
want_json_values '[1, 0, 0, 0, 0, 0, 0, 1]'
want_frame 'M>S 1 R10001<CR>'
want_frame 'S>M 1 f8109<CR>'
end

begin "FA3 single reads: DR 10 and IM 640 (ReadBlockFa3)"
qelhost "${line[@]}" --models "$models" read 002DR0010 --port COM7
want_rc 0
want_out_line "002DR0010 - 22136 0x5678"
want_master_frames '`0202<CR> | ]444000:000218<CR>'
want_frame 'S>M 2 c00<CR>'
mark
qelhost "${line[@]}" --models "$models" read 002IM0640 --port COM7
want_rc 0
want_out_line "002IM0640 - 1"
want_master_frames '`0202<CR> | ]44=0200000118<CR>'
end

begin "FA3 block reads: DR 10..12 and IO 2000..2017 (JSON)"
qelhost "${line[@]}" --models "$models" read 002DR0010 --count 3 --format json --port COM7
want_rc 0
want_json_values '[22136, 39612, 7]'
want_master_frames '`0202<CR> | ]444000:00061<<CR>'
mark
qelhost "${line[@]}" --models "$models" read 002IO2000 --count 16 --format json --port COM7
want_rc 0
want_json_values '[1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1]'
want_master_frames '`0202<CR> | ]458008000021;<CR>'
end

begin "FA2 writes: DR word, CP preset, IO bit set and reset; read back"
qelhost "${line[@]}" write 001DR0020 4321 --port COM7
want_rc 0
want_out_line "001DR0020 written 4321"
want_master_frames '`0101<CR> | \271410>11><CR>'
want_frame 'S>M 1 c00<CR>'
want_sim "get 1 DR 20" "4321"
qelhost "${line[@]}" read 001DR0020 --port COM7
want_rc 0
want_out_line "001DR0020 - 4321 0x10E1"
qelhost "${line[@]}" write 001CP0005 1234 --port COM7
want_rc 0
want_frame 'M>S 1 T0504=218<CR>'
want_sim "get 1 CP 5" "1234"
qelhost "${line[@]}" write 001IO0003 1 --port COM7
want_rc 0
want_frame 'M>S 1 [9030<<CR>'
qelhost "${line[@]}" read 001IO0003 --port COM7
want_rc 0
want_out_line "001IO0003 - 1"
want_frame 'M>S 1 R10304<CR>'
qelhost "${line[@]}" write 001IO0003 0 --port COM7
want_rc 0
want_frame 'M>S 1 [10304<CR>'
want_sim "get 1 IO 3" "0"
end

begin "FA2 write refused without traffic: CP value 10000 out of range"
qelhost "${line[@]}" write 001CP0005 10000 --port COM7
want_rc 1
want_log "DAVEV:Value to write out of range. Gate=001CP0005"
no_log "Write failed"
no_traffic
want_sim "get 1 CP 5" "1234"
end

begin "FA2 write to a read-only TM gate: five attempts, rc 1"
qelhost "${line[@]}" write 001tm0001 5 --port COM7
want_rc 1
log_count 5 "DAVEV: Can't write to a 'Read-Only' Gate. GAS: 001TM0001"
want_log "DAVEV: Write failed. Gate = 001TM0001 , rc = 1"
frame_count 5 'M>S 1 `0101<CR>'
want_master_frames '`0101<CR> | `0101<CR> | `0101<CR> | `0101<CR> | `0101<CR>'
end

begin "FA3 writes: DR word (header + data message), IO bit; read back"
qelhost "${line[@]}" --models "$models" write 002DR0030 0x1234 --port COM7
want_rc 0
want_master_frames '`0202<CR> | \444001>00021=<CR> | 341246'
want_sim "get 2 DR 30" "4660"
qelhost "${line[@]}" --models "$models" read 002DR0030 --port COM7
want_rc 0
want_out_line "002DR0030 - 4660 0x1234"
mark
qelhost "${line[@]}" --models "$models" write 002IO0005 1 --port COM7
want_rc 0
want_master_frames '`0202<CR> | \5580005000118<CR> | 0101'
want_sim "get 2 IO 5" "1"
qelhost "${line[@]}" --models "$models" read 002IO0005 --port COM7
want_rc 0
want_out_line "002IO0005 - 1"
want_frame 'M>S 2 ]4580005000117<CR>'
end

begin "FA3 FORCE gate through qelhost: 1 by itself is refused, nothing is sent"
qelhost "${line[@]}" --models "$models" write 002FORCE 1 --port COM7
want_rc 64
want_err "chain them"
no_traffic
end

begin "FA3 force mode through qelhost: several writes in one session"
qelhost "${line[@]}" --models "$models" write 002FORCE 1 002IO0004 1 002SR0004 1 002FORCE 0 --port COM7
want_rc 0
want_master_frames '`0202<CR> | \6580004118<CR> | \5520004000111<CR> | 0101 | \8008<CR>'
want_sim "force 2" "0"
want_sim "get 2 IO 4" "1"
want_sim "get 2 SR 4" "1"
end

begin "COM12 (two-digit port name, \\\\.\\ device prefix): FA3 and FA2 reads"
qelhost "${line[@]}" --models "$models" read 002DR0010 --port COM12
want_rc 0
want_out_line "002DR0010 - 22136 0x5678"
want_master_frames '`0202<CR> | ]444000:000218<CR>'
qelhost "${line[@]}" read 001DR0010 --port COM12
want_rc 0
want_out_line "001DR0010 - 4660 0x1234"
end

begin "close and reopen: two runs in a row on COM7, then warm-start"
qelhost "${line[@]}" read 001DR0011 --port COM7
want_rc 0
want_out_line "001DR0011 - 1 0x0001"
qelhost "${line[@]}" read 001DR0012 --port COM7
want_rc 0
want_out_line "001DR0012 - 2 0x0002"
qelhost "${line[@]}" --qel 7 warm-start --port COM7
want_rc 0
want_out "warm start of QEL 7: done"
want_log "DAVEV: Izumi 1:N Driver QEL 7 loaded successfully"
want_log "DAVEV: Warm start QEL 7"
qelhost "${line[@]}" read 001DR0010 --port COM7
want_rc 0
want_out_line "001DR0010 - 4660 0x1234"
end

begin "port that cannot be opened: COM9 (exit 2, Fail to open)"
qelhost "${line[@]}" read 001DR0010 --port COM9
want_rc 2
want_log "DAVEV : Fail to open COM9"
no_traffic
end

begin "silent station 3 with --driver-retries: exit 2 after the driver's five attempts, Read Retry 1..4"
qelhost "${line[@]}" --timeout 20 --driver-retries read 003DR0001 --port COM7
want_rc 2
want_out_line "003DR0001 - FAILED (result 2)"
want_err "no answer from station 3"
for i in 1 2 3 4; do want_log "DAVEV: Gate 003DR0001, Read Retry $i"; done
log_count 4 "Read Retry"
want_log "DAVEV: Read failed. Gate = 003DR0001, rc = 2"
# Five selections in the read, and one more, waiting longer, to tell a slow
# controller from a silent one; a station silent to that is not asked its
# model.
frame_count 6 'M>S 3 `0303<CR>  (absent)'
end

begin "silent station 3 through the line scheduler: exit 2, no driver retries"
qelhost "${line[@]}" --timeout 20 read 003DR0001 --port COM7
want_rc 2
want_out_line "003DR0001 - FAILED (result 2)"
# One line on stderr: the diagnosis; the scheduler's notice that the
# station is held down is for -v.
want_err "no answer from station 3"
log_count 0 "Read Retry"
end

# ------------------------------------------------------ one-session sequences
seq_ok=1
mkdir -p "$tmp/seq"
cp "$win/VUZORUR.dll" "$win/KESTAN.dll" "$tmp/seq/"
cp "$tmp/models.txt" "$tmp/seq/davEV01.int"
cc=$(command -v i686-w64-mingw32-gcc || true)
if [ -z "$cc" ]; then
    seq_ok=0
    seq_why="i686-w64-mingw32-gcc is not installed"
elif ! "$cc" -std=c99 -O2 -Wall -Wextra -Werror -I"$root/include" -o "$tmp/seq/qelseq.exe" \
    "$here/qelseq.c" >"$tmp/seq/cc.log" 2>&1; then
    seq_ok=0
    seq_why="qelseq.c does not compile: $(head -c 500 "$tmp/seq/cc.log")"
fi

begin "FA3 force mode in one session: ForceBit, SR as usual, ClearForce"
if [ "$seq_ok" -eq 1 ]; then
    qelseq -parity 0 COM7 002FORCE=1 002IO0006=1 002IO0006? 002SR0003=1 002FORCE=0 002IO0006=0
    want_rc 0
    want_out "002IO0006? value=1"
    want_out "002FORCE=0 rc=0"
    want_master_frames '`0202<CR> | \658000611:<CR> | ]4580006000118<CR> | \5520003000110<CR> | 0101 | \8008<CR> | \5580006000119<CR> | 0000'
    want_frame 'S>M 2 c00<CR>'
    new_trace | grep -q '^M>S 2 \\6' || problem "no ForceBit frame (\\6...) in the trace"
    want_sim "force 2" "0"
    want_sim "get 2 SR 3" "1"
    no_log "Failed to clear Force Mode"
else
    problem "$seq_why"
fi
end

begin "one session: close port, open port, read; warm start selects again"
if [ "$seq_ok" -eq 1 ]; then
    qelseq -parity 0 COM7 001DR0010? close open 001DR0010? 001DR0011? warm 001DR0010?
    want_rc 0
    want_out "open rc=0"
    grep -c '^001DR0010? value=4660$' "$out" | grep -qx 3 || problem "001DR0010 was not read as 4660 three times"
    want_out "001DR0011? value=1"
    want_log "DAVEV: Warm start QEL 1"
    # Selected at the start and after the warm start; close and open keep the selection.
    want_master_frames '`0101<CR> | R70:11<CR> | R70:11<CR> | R70;12<CR> | `0101<CR> | R70:11<CR>'
else
    problem "$seq_why"
fi
end

begin "purge after the characters that trail an FA3 reply: 20 ms of quiet after the last, no second wait"
# An FA3 read leaves the checksum and CR of the block on the line (3.4 ms at
# 9600 8E1); the warm start right after it purges them. The purge must end no
# sooner than 20 ms after it began, and well before the 40 ms that a second
# full 20 ms wait would take. The quickest of five is judged.
if [ "$seq_ok" -eq 1 ]; then
    qelseq -parity 0 COM7 002DR0010? warm 002DR0010? warm 002DR0010? warm 002DR0010? warm 002DR0010? warm
    want_rc 0
    grep -c '^002DR0010? value=22136$' "$out" | grep -qx 5 || problem "002DR0010 was not read as 22136 five times"
    purge=$(sed -n 's/^warm rc=0 ms=//p' "$out" | sort -n | head -n 1)
    echo "      purges after an FA3 read (ms): $(sed -n 's/^warm rc=0 ms=//p' "$out" | paste -sd' ')"
    if [ -z "$purge" ]; then
        problem "no timed warm start in the output"
    else
        awk -v t="$purge" 'BEGIN { exit !(t >= 20.0) }' || problem "a purge of $purge ms: less than 20 ms of quiet"
        awk -v t="$purge" 'BEGIN { exit !(t < 34.0) }' || problem "the quickest purge took $purge ms: a second wait"
    fi
else
    problem "$seq_why"
fi
end

# ------------------------------------------- one-attempt operations (17, 18)
# The same cases as the native attempt tests, through the DLL under wine:
# QEL_READ_ATTEMPT and QEL_WRITE_ATTEMPT run one pass of the attempt loop,
# hand back why it failed and the characters that trail BlockData.

begin "read attempt: FA3 DR block of three words in one attempt, its checksum and CR handed back"
if [ "$seq_ok" -eq 1 ]; then
    qelseq -parity 0 COM7 '002DR0010#3?1' '002DR0010#3?' '002DR0010?' '002DR0010#3?1' warm '002DR0010#3?1' warm
    want_rc 0
    grep -c '^002DR0010#3?1 values=22136,39612,7$' "$out" | grep -qx 3 || problem "the attempt did not read 22136,39612,7 three times"
    # Data 78563412... : digit sum 26 + 42 + 7 = 75 = 0x4B, sent as "4;".
    grep -c '^002DR0010#3?1 failure=NONE trailer=3 4;<CR>$' "$out" | grep -qx 3 || problem "the trailer is not '4;<CR>' three times"
    # The standard reads after it: no selection, the same frames as ever.
    want_out "002DR0010#3? values=22136,39612,7"
    want_out "002DR0010? value=22136"
    want_master_frames '`0202<CR> | ]444000:00061<<CR> | ]444000:00061<<CR> | ]444000:000218<CR> | ]444000:00061<<CR> | `0202<CR> | ]444000:00061<<CR>'
    # What the simulator sent after the Ack: the block, then the trailer the driver handed back.
    settle
    new_trace | grep -q '^S>M 2 .*7856;<9:07004;<CR>$' || problem "the simulator did not send the block 7856;<9:0700 with 4;<CR>"
    no_log "Retry"
    no_log "failed"
    # The attempt took the quiet after its trailer: the purge of the warm
    # start after it does not wait for a second 20 ms.
    purge=$(sed -n 's/^warm rc=0 ms=//p' "$out" | sort -n | head -n 1)
    echo "      purges after a read attempt (ms): $(sed -n 's/^warm rc=0 ms=//p' "$out" | paste -sd' ')"
    if [ -z "$purge" ]; then
        problem "no timed warm start in the output"
    else
        awk -v t="$purge" 'BEGIN { exit !(t < 34.0) }' || problem "the quickest purge after an attempt took $purge ms: a second wait"
    fi
else
    problem "$seq_why"
fi
end

begin "read attempt: FA2 element TM 5 in one attempt, no trailer"
if [ "$seq_ok" -eq 1 ]; then
    qelseq -parity 0 COM7 '001TM0005?1' '001TM0005?'
    want_rc 0
    want_out_line "001TM0005?1 value=1234"
    want_out_line "001TM0005?1 failure=NONE trailer=0"
    want_out_line "001TM0005? value=1234"
    want_master_frames '`0101<CR> | R40509<CR> | R40509<CR>'
    no_log "Retry"
else
    problem "$seq_why"
fi
end

begin "read attempt: silent station, rc 2 NO_ANSWER after one selection, no pause, no retry"
if [ "$seq_ok" -eq 1 ]; then
    want_sim "silent 1 on" "ok"
    # The workspace's time-out is 1 s; the attempt waits 50 ms of its own.
    qelseq -parity 0 -timeout 100 -attempt-ms 50 COM7 '001DR0001?1'
    want_sim "silent 1 off" "ok"
    want_rc 1
    want_out_line "001DR0001?1 failure=NO_ANSWER trailer=0"
    ms=$(sed -n 's/^001DR0001?1 rc=2 ms=//p' "$out")
    echo "      one attempt at a silent station (ms): ${ms:-none}"
    if [ -z "$ms" ]; then
        problem "no 'rc=2' line for the attempt"
    else
        # Five attempts take well over 2 s, a single wait of the workspace's time-out 1 s.
        awk -v t="$ms" 'BEGIN { exit !(t < 800.0) }' || problem "the attempt took $ms ms"
    fi
    want_master_frames '`0101<CR>  (silent)'
    no_log "Retry"
    no_log "Read failed"
else
    problem "$seq_why"
fi
end

begin "write attempt: FA3 DR word in one attempt, then a Nak to the header (rc 1 NAK), then selected again"
if [ "$seq_ok" -eq 1 ]; then
    rm -f "$tmp/seq/naks" "$tmp/seq/no-naks"
    qelseq_start -parity 0 COM7 '002DR0030=0x1234!1' await=naks '002DR0030=0x4321!1' await=no-naks '002DR0030=0x4321!1' '002DR0030?'
    if seq_await_line '002DR0030=0x1234!1 failure=NONE trailer=0'; then
        settle
        want_master_frames '`0202<CR> | \444001>00021=<CR> | 341246'
        want_sim "get 2 DR 30" "4660"
        # A new mark for the frames only: the session still writes the log.
        mark_line=$(wc -l <"$trace")
        want_sim "nak-rate 1" "ok"
        touch "$tmp/seq/naks"
        seq_await_line '002DR0030=0x4321!1 failure=NAK trailer=0' || true
        want_sim "nak-rate 0" "ok"
        settle
        # The station stayed selected: only the header, answered with a Nak.
        want_master_frames '\444001>00021=<CR>'
        new_trace | grep -q '^S>M 2 d700<CR> *(nak-injected)' || problem "the simulator sent no injected Nak"
        want_sim "get 2 DR 30" "4660"
        mark_line=$(wc -l <"$trace")
    else
        want_sim "nak-rate 0" "ok"
    fi
    touch "$tmp/seq/naks" "$tmp/seq/no-naks"
    seq_finish
    want_rc 1
    want_out_line '002DR0030=0x4321!1 failure=NAK trailer=0'
    grep -qE '^002DR0030=0x4321!1 rc=1 ' "$out" || problem "the attempt after the Nak did not give rc=1"
    want_out_line '002DR0030=0x4321!1 failure=NONE trailer=0'
    want_out "002DR0030? value=17185"
    log_count 1 "DAVEV:Nck message received. Errorcode=37"
    no_log "Write failed"
    no_log "Retry"
    # A failed attempt leaves no station selected: the next one selects again.
    want_master_frames '`0202<CR> | \444001>00021=<CR> | 214364 | ]444001>00021=<CR>'
    want_sim "get 2 DR 30" "17185"
else
    problem "$seq_why"
fi
end

summary
[ "$failed" -eq 0 ]
