"""A night made and played again: fasim with random changes through its
control socket, qelhost record on it, then fasim --replay of the recording
polled by qelhost poll, each change seen with the time it came. Paths come
from the environment: QELHOST, FASIM."""
import csv, datetime, io, json, os, random, signal, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'gate'))
import gate_rig  # noqa: E402

STATIONS = {1: 'FA2', 2: 'FA3'}
# Two exchanges a round (a round of about 40 ms on fasim unpaced), so that
# both the recording and the poll of the replay see the line often enough to
# time a change within 100 ms: a word, a block after it (read in one with
# it) and a bit of the FA-3.
GATES = ['002DR0500', '002DR0501 2', '002IO0157 1 bit']
# The elements those gates read: (station, area, number).
ELEMENTS = [(2, 'DR', 500), (2, 'DR', 501), (2, 'DR', 502), (2, 'IO', 157)]
STATION_ARGS = ['--station', '2:FA3']


def fasim(directory, name, extra=()):
    """fasim of STATIONS on a fresh link; its stderr lines with their arrival times."""
    link = '/tmp/rp' + os.urandom(2).hex()  # at most 11 characters for the driver
    control = os.path.join(directory, 'control-' + name)
    args = [os.environ['FASIM'], '--link', link, '--control-socket', control, '--unpaced']
    args += [a for st, m in STATIONS.items() for a in ('--station', f'{st}:{m}')] + list(extra)
    process = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
    lines = []

    def read():
        for line in process.stderr:
            lines.append((time.monotonic(), line.rstrip('\n')))
    threading.Thread(target=read, daemon=True).start()
    gate_rig.wait(lambda: (os.path.exists(link) and os.path.exists(control)) or process.poll() is not None,
                  what='fasim')
    return process, link, control, lines


def write_gates(directory):
    path = os.path.join(directory, 'gates.txt')
    with open(path, 'w') as f:
        f.write('\n'.join(GATES) + '\n')
    return path


def record(directory, link, control, out, seconds, seed, min_gap=0.15):
    # min_gap: above a round of the recording and of the replay's poll, so
    # that none is missed; the times are random beyond it.
    """Records the line while changing its elements at random times for
    `seconds`: the changes made, [(monotonic time, element, value)], the exit
    code and qelhost's stderr. No two changes within `min_gap` seconds."""
    process = subprocess.Popen([os.environ['QELHOST'], '--port', link] + STATION_ARGS +
                               ['record', '--gates', write_gates(directory), '--out', out, '--period', '0.02'],
                               stderr=subprocess.PIPE, text=True)
    err = []
    threading.Thread(target=lambda: err.extend(process.stderr), daemon=True).start()
    gate_rig.wait(lambda: any('exchanges a round' in l for l in err) or process.poll() is not None,
                  what='qelhost record')
    time.sleep(0.6)  # rounds of the values as they are (and time for the replay's poll to begin)
    rnd = random.Random(seed)
    values = {e: 0 for e in ELEMENTS}
    made = []
    end = time.monotonic() + seconds
    while True:
        time.sleep(rnd.uniform(min_gap, 3 * min_gap))
        if time.monotonic() >= end:
            break
        element = rnd.choice(ELEMENTS)
        value = 1 - values[element] if element[1] == 'IO' else rnd.choice([v for v in range(1, 65536, 97) if v != values[element]])
        assert gate_rig.control(control, f'set {element[0]} {element[1]} {element[2]} {value}') == 'ok'
        made.append((time.monotonic(), element, value))
        values[element] = value
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    code = process.wait(20)
    return made, code, ''.join(err)


def export(out):
    """The recording as qelhost record --export csv prints it."""
    run = subprocess.run([os.environ['QELHOST'], 'record', '--export', 'csv', '--out', out], capture_output=True,
                         text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    return list(csv.DictReader(io.StringIO(run.stdout))), run.stdout


def replay_and_poll(directory, out, seconds, extra=()):
    """fasim --replay of the recording, polled for `seconds` after the replay
    began: [(seconds since the replay began, element, value)] of every poll,
    and fasim's stderr."""
    process, link, _, lines = fasim(directory, 'replay', ['--replay', out] + list(extra))
    gate_rig.wait(lambda: any('replaying' in l for _, l in lines) or process.poll() is not None, what='the replay')
    assert process.poll() is None, '\n'.join(l for _, l in lines)
    began = next(t for t, l in lines if 'replaying' in l)
    poll = subprocess.Popen([os.environ['QELHOST'], '--port', link] + STATION_ARGS +
                            ['poll', '--gates', write_gates(directory), '--interval', '0', '--format', 'json'],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    seen = []

    def read():
        for line in poll.stdout:
            now = time.monotonic()
            reading = json.loads(line)
            if not reading.get('ok'):
                continue
            station, area, number = int(reading['gate'][:3]), reading['gate'][3:5], int(reading['gate'][5:])
            for i, value in enumerate(reading['values']):
                n = number + i if area != 'IO' else number  # the block is of words; the bit gate is one
                seen.append((now - began, (station, area, n), value))
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    time.sleep(max(0.0, began + seconds - time.monotonic()))
    poll.send_signal(signal.SIGINT)
    poll.wait(20)
    reader.join(5)
    process.terminate()
    process.wait(10)
    return seen, '\n'.join(l for _, l in lines)


def millis(row):
    """The UTC milliseconds of an exported row's ISO 8601 time."""
    return round(datetime.datetime.fromisoformat(row['time'].replace('Z', '+00:00')).timestamp() * 1000)


def judge(rows, seen, tolerance_ms):
    """Every recorded change seen at its recorded offset within the
    tolerance, in order, none missing: the list of faults (empty when none)
    and the offsets' errors in ms."""
    first = millis(rows[0])
    faults, errors = [], []
    for element in ELEMENTS:
        recorded = [((millis(r) - first) / 1000.0, int(r['value'])) for r in rows
                    if (int(r['station']), r['area'], int(r['number'])) == element]
        observed = []  # (time, value) where the polled value became another
        for t, e, v in seen:
            if e == element and (not observed or observed[-1][1] != v):
                observed.append((t, v))
        if [v for _, v in recorded] != [v for _, v in observed]:
            faults.append(f'{element}: recorded {[v for _, v in recorded]}, replayed {[v for _, v in observed]}')
            continue
        # The first value is there from the start (the line's memory may have held it before).
        for (offset, value), (t, _) in list(zip(recorded, observed))[1:]:
            error = (t - offset) * 1000
            errors.append(error)
            if abs(error) > tolerance_ms:
                faults.append(f'{element} = {value}: recorded at {offset:.3f} s, replayed at {t:.3f} s')
    return faults, errors
