#!/usr/bin/python3
"""qelgate's MQTT store and forward measured through a relay that is cut
(not a test: it prints numbers for docs/mqtt.md).

  cut SECONDS    the changer of tests/mqtt/buffer_test.py, the relay cut for
                 SECONDS: changes lost, the first message after the relay
                 is back (the goal: 15 s, 0 lost, <= 2 s)
  kill SECONDS   the same with qelgate killed (-9) half way and started
                 again: changes lost (the goal: 300 s, 0 lost)
  scale SECONDS  3 stations x 100 gates published every 5 s (each gate every
                 round: --publish-every 5) through a cut of SECONDS: the
                 buffer on disk, the time to drain it, the broker's CPU
                 while it drains (the goal: 600 s)

  /usr/bin/python3 bench/mqtt_buffer_bench.py cut 15 | kill 300 | scale 600
Paths from QELGATE, FASIM, else build/bin."""
import json, os, subprocess, sys, tempfile, time, unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'mqtt'))
for tool in ('QELGATE', 'FASIM'):
    os.environ.setdefault(tool, os.path.join(here, '..', 'build', 'bin', tool.lower()))

import buffer_test  # noqa: E402
from mqtt_rig import Broker, Gate, Line, Relay, free_port, temp_dir, wait  # noqa: E402


def run_case(name, seconds):
    os.environ['CUT_SECONDS'] = str(seconds)
    buffer_test.CUT = seconds
    suite = unittest.TestSuite([buffer_test.Buffer(name)])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    print('lost: 0 (every change arrived, in order, with its time)' if result.wasSuccessful() else 'FAILED')


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def status(http):
    import urllib.request
    with urllib.request.urlopen(http + '/api/status', timeout=10) as r:
        return json.loads(r.read())['frontEnds']['mqtt']


def scale(seconds):
    directory = temp_dir()
    broker = Broker(directory)
    relay = Relay(broker.port)
    line = Line(directory, {1: 'FA2', 2: 'FA2', 3: 'FA3'})
    gates = [f'{st:03d}DR{n:04d}' for st in (1, 2, 3) for n in range(100)]
    buffer = tempfile.mkdtemp(dir=directory)
    http = f'127.0.0.1:{free_port()}'
    gate = Gate(line, relay.port, gates, ['--publish-period', '5', '--publish-every', '5', '--buffer', buffer,
                                          '--buffer-max', '1GB', '--http', http])
    http = 'http://' + http
    try:
        def connected():
            try:
                return status(http)['connected'] == 1
            except OSError:
                return False
        wait(connected, 30, 'the broker')
        time.sleep(12)
        relay.cut()
        cut = time.time()
        time.sleep(seconds)
        during = status(http)['buffer']
        disk = sum(os.path.getsize(os.path.join(buffer, f)) for f in os.listdir(buffer))
        relay.restore()
        back = time.time()
        cpu = cpu_seconds(broker.process.pid)
        wait(lambda: status(http)['buffer']['depth'] == 0, 3600, 'the drain')
        drained = time.time() - back
        cpu = cpu_seconds(broker.process.pid) - cpu
        after = status(http)['buffer']
        print(f'cut {seconds} s ({time.time() - cut:.0f} s with the drain): {during["depth"]} messages waiting, '
              f'{during["bytes"] / 1e6:.2f} MB counted, {disk / 1e6:.2f} MB on disk; drained in {drained:.1f} s '
              f'({during["depth"] / drained:.0f} messages/s with the live ones); mosquitto {cpu:.2f} s CPU in the '
              f'drain ({100 * cpu / drained:.1f}% of a core); forwarded {after["forwarded"]}, dropped {after["dropped"]}')
    finally:
        gate.process.terminate()
        gate.process.wait(20)
        relay.cut()
        line.close()
        broker.stop()


if __name__ == '__main__':
    what, seconds = sys.argv[1], float(sys.argv[2])
    if what == 'cut':
        run_case('test_1_cut', seconds)
    elif what == 'kill':
        run_case('test_2_cut_with_a_kill', seconds)
    elif what == 'scale':
        scale(seconds)
    else:
        sys.exit(__doc__)
