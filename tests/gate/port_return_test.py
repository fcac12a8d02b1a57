"""The serial port comes back: fasim goes away under load (an adapter
unplugged) and a new one starts on the same link (plugged back); qelgate
closes and reopens the port through the driver, logging each try, and the
reads come back good. The same for qelhost poll, through the same scheduler."""
import os, subprocess, tempfile, threading, time

from gate_rig import Rig, read

GONE_SECONDS = 3     # the line is away this long
BACK_SECONDS = 30    # generous: the reopen pauses double from 0.5 s


def gateway():
    rig = Rig(stations={1: 'FA2'})
    expected = [rig.memory[(1, 'DR', n)] for n in range(4)]
    results = []  # (time, good)
    wrong = []
    stop = threading.Event()

    def load():
        client = rig.client()
        while not stop.is_set():
            values = read(client, 'hr', 0, 4, 1)
            results.append((time.time(), isinstance(values, list)))
            if isinstance(values, list) and values != expected:
                wrong.append(values)
            if not isinstance(values, list):
                time.sleep(0.05)
        client.close()

    reader = threading.Thread(target=load, daemon=True)
    reader.start()
    try:
        Rig._wait(lambda: sum(good for _, good in results) >= 20)
        rig.fasim.kill()
        rig.fasim.wait()
        # Unplugged, the adapter's device node goes with it. (A link left
        # behind would point at a pty number that any other program may take
        # next, and the reopen would reach that program's line.)
        os.unlink(rig.link)
        gone = time.time()
        time.sleep(GONE_SECONDS)
        rig.start_fasim()
        back = time.time()
        Rig._wait(lambda: any(good and t > back for t, good in results), BACK_SECONDS)
        served = min(t for t, good in results if good and t > back) - back
        failed = sum(not good for t, good in results if gone < t < back)
        assert failed > 0, 'no read failed while the line was away'
        log = rig.log()
        assert 'reopening failed' in log and 'serial port reopened' in log, log
        stop.set()
        reader.join(20)
        assert not reader.is_alive(), 'the reads hang'
        assert not wrong, f'wrong values: {wrong[:3]}, expected {expected}'
        print(f'{failed} reads failed while the line was away; good again {served:.1f} s after it came back')
    finally:
        stop.set()
        rig.close()


def poll():
    directory = tempfile.mkdtemp(prefix='qelhost-return-')
    gates = os.path.join(directory, 'gates.txt')
    with open(gates, 'w') as f:
        f.write('001DR0000 4\n')
    link = '/tmp/gq' + os.urandom(2).hex()
    line = [os.environ['FASIM'], '--link', link, '--station', '1:FA2', '--unpaced']
    fasim = subprocess.Popen(line)
    try:
        Rig._wait(lambda: os.path.exists(link))
        # About 15 s of rounds: the line goes away after 1.5 s, for 3 s; the
        # reopening backs off up to 4 s between tries, so the last rounds are good.
        polling = subprocess.Popen([os.environ['QELHOST'], 'poll', '--port', link, '--gates', gates, '--interval', '100',
                                    '--rounds', '150', '--format', 'csv'], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        time.sleep(1.5)
        fasim.kill()
        fasim.wait()
        os.unlink(link)  # unplugged: the device node goes with the adapter
        time.sleep(GONE_SECONDS)
        fasim = subprocess.Popen(line)
        out, err = polling.communicate(timeout=BACK_SECONDS + 30)
        results = [row.split(',')[-1] for row in out.splitlines()[1:]]
        # The last round decides the exit code: good again.
        assert polling.returncode == 0 and results[-1] == '0', (polling.returncode, out[-500:], err)
        assert results.count('0') < len(results) and 'serial port reopened' in err, (out, err)
        print(f'qelhost poll: {len(results) - results.count("0")} of {len(results)} values failed while the line was away')
    finally:
        fasim.terminate()
        fasim.wait(10)


def main():
    gateway()
    poll()


if __name__ == '__main__':
    main()
