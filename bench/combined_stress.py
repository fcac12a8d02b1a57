#!/usr/bin/python3
"""The gateway on a plant's bad day, measured (not a test: it prints numbers
for docs/performance.md). fasim paced at 9600 with reply faults (drops,
corruption, inserts: 0.002 per byte in all), 2 live and 3 silent stations;
qelgate with MQTT, Sparkplug and the buffer on a real mosquitto, HTTP
scraped every second; 6 Modbus clients (pymodbus) polling the live stations
every second with a 10 s time-out. Every reply is timed; a wrong value or a
0x0B for a live station is counted. qelgate's RSS is sampled every 10 s.

  /usr/bin/python3 bench/combined_stress.py SECONDS

Goals: a live station's longest reply <= 3 s and p99 <= 1.5 s; no false
0x0B; RSS flat within 1 MB after the first minutes. Paths from QELGATE,
FASIM, else build/bin."""
import os, statistics, sys, threading, time, urllib.request

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'mqtt'))
for tool in ('QELGATE', 'FASIM'):
    os.environ.setdefault(tool, os.path.join(here, '..', 'build', 'bin', tool.lower()))

from mqtt_rig import Broker, Gate, Line, free_port, temp_dir, wait  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

LIVE = (1, 2)
SILENT = (3, 4, 5)


def rss_kb(pid):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


class Client(threading.Thread):
    """Polls one live station's DR0000..DR0009 every second, as SCADA does."""
    def __init__(self, port, unit, expected, stop):
        super().__init__(daemon=True)
        self.port, self.unit, self.expected, self.stop = port, unit, expected, stop
        self.times, self.wrong, self.unavailable, self.timeouts = [], 0, 0, 0

    def run(self):
        client = ModbusTcpClient('127.0.0.1', port=self.port, timeout=10, retries=0)
        client.connect()
        while not self.stop.is_set():
            began = time.time()
            try:
                r = client.read_holding_registers(0, count=10, slave=self.unit)
                took = time.time() - began
                self.times.append(took)
                if r.isError():
                    if getattr(r, 'exception_code', None) == 0x0B:
                        self.unavailable += 1
                elif r.registers != self.expected:
                    self.wrong += 1
            except Exception:  # a time-out: the connection is made anew, as SCADA does
                self.timeouts += 1
                client.close()
                client = ModbusTcpClient('127.0.0.1', port=self.port, timeout=10, retries=0)
                client.connect()
            self.stop.wait(max(0.0, 1.0 - (time.time() - began)))
        client.close()


def main(seconds):
    directory = temp_dir()
    broker = Broker(directory)
    stations = {s: 'FA2' for s in LIVE + SILENT}
    line = Line(directory, stations, paced=True,
                extra=['--drop-rate', '0.0007', '--corrupt-rate', '0.0007', '--insert-rate', '0.0006',
                       '--fault-on', 'reply'] + [a for s in SILENT for a in ('--silent', str(s))])
    expected = {s: [int(line.control(f'get {s} DR {n}')) for n in range(10)] for s in LIVE}
    http = free_port()
    buffer = os.path.join(directory, 'buffer')
    os.mkdir(buffer)
    gates = [f'{s:03d}DR{n:04d}' for s in LIVE + SILENT for n in (20, 21, 22)]
    gate = Gate(line, broker.port, gates,
                ['--http', f'127.0.0.1:{http}', '--sparkplug', 'plant', '--buffer', buffer] +
                [a for s in LIVE + SILENT for a in ('--station', f'{s}:FA2')])
    wait(lambda: 'diagnostics on' in gate.log(), seconds=20, what='qelgate')
    stop = threading.Event()
    clients = [Client(gate.modbus_port, LIVE[i % 2], expected[LIVE[i % 2]], stop) for i in range(6)]
    for c in clients:
        c.start()
    rss = []
    scrapes = 0
    end = time.time() + seconds
    next_rss = time.time()
    while time.time() < end:
        try:
            urllib.request.urlopen(f'http://127.0.0.1:{http}/metrics', timeout=5).read()
            scrapes += 1
        except OSError:
            pass
        if time.time() >= next_rss:
            rss.append(rss_kb(gate.process.pid))
            next_rss += 10
        time.sleep(1)
    stop.set()
    for c in clients:
        c.join(20)
    try:
        import json
        status = json.loads(urllib.request.urlopen(f'http://127.0.0.1:{http}/api/status', timeout=5).read())
        for s in status.get('stations', []):
            print('station', {k: s[k] for k in s if k in ('station', 'state', 'requests', 'attempts', 'failures',
                                                          'answerMedian', 'answerMax', 'timeout')})
        print('line', {k: v for k, v in status.get('line', {}).items() if not isinstance(v, (list, dict))})
    except OSError as e:
        print('no status:', e)
    gate.stop()
    line.close()
    broker.stop()

    times = sorted(t for c in clients for t in c.times)
    p99 = times[int(len(times) * 0.99) - 1] if times else 0
    print(f'{seconds} s, {len(times)} replies to 6 clients, {scrapes} scrapes')
    print(f'reply time: median {statistics.median(times) * 1000:.0f} ms, p99 {p99 * 1000:.0f} ms, '
          f'longest {times[-1] * 1000:.0f} ms (goals: p99 <= 1500 ms, longest <= 3000 ms)')
    print(f'wrong values {sum(c.wrong for c in clients)}, false 0x0B {sum(c.unavailable for c in clients)}, '
          f'time-outs {sum(c.timeouts for c in clients)}')
    settled = rss[len(rss) // 3:] if len(rss) >= 3 else rss
    print(f'RSS {rss[0] / 1024:.1f} MB at the start, {settled[0] / 1024:.1f} -> {rss[-1] / 1024:.1f} MB after the '
          f'first third (goal: flat within 1 MB)')


if __name__ == '__main__':
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 120)
