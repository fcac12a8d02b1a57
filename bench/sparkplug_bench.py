#!/usr/bin/python3
"""qelgate's Sparkplug B node measured against its JSON topics (not a test:
it prints numbers for docs/mqtt.md). fasim paced at 38400 baud, 8 FA2
stations, 300 gates (30 DR words and 7 or 8 IO bits a station) read every
second; every second all 300 values change through fasim's control socket.
A real mosquitto; each Sparkplug message decoded by the npm sparkplug-payload
(tests/sparkplug/codec.js, from build/npm).

  single  one line: the JSON topics alone, then the Sparkplug node alone;
          bytes per value on the wire, qelgate's CPU (/proc/PID/stat), the
          time from a change in fasim to the decoded message (median, p99)
  scale   8 lines (8 fasim + qelgate pairs) into one broker, Sparkplug only

  /usr/bin/python3 bench/sparkplug_bench.py [single|scale ...] [--seconds N]
Paths from QELGATE, FASIM, NODE_MODULES, else build/."""
import json, os, socket, statistics, sys, threading, time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'mqtt'))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'sparkplug'))
for tool in ('QELGATE', 'FASIM'):
    os.environ.setdefault(tool, os.path.join(here, '..', 'build', 'bin', tool.lower()))
os.environ.setdefault('NODE_MODULES', os.path.join(here, '..', 'build', 'npm', 'node_modules'))

import paho.mqtt.client as mqtt  # noqa: E402
from mqtt_rig import Broker, Gate, Line, temp_dir, wait  # noqa: E402
from sparkplug_test import Codec  # noqa: E402

STATIONS = range(1, 9)
BAUD = '38400'
CLK = os.sysconf('SC_CLK_TCK')


def gates_of(st):
    """30 DR words and 8 IO bits (7 on stations 5-8): 300 on the 8 stations."""
    return [(st, 'DR', n) for n in range(30)] + [(st, 'IO', n) for n in range(8 if st <= 4 else 7)]


GATES = [g for st in STATIONS for g in gates_of(st)]
assert len(GATES) == 300


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK  # utime, stime


def packet_bytes(topic, payload, qos):
    """An MQTT 3.1.1 PUBLISH on the wire: fixed header, topic, packet id (QoS>0), payload."""
    rest = 2 + len(topic.encode()) + (2 if qos else 0) + len(payload)
    length = 1
    while rest >= 128 ** length:
        length += 1
    return 1 + length + rest


class Changer:
    """Every second all the gates of a line change in fasim, over one control
    connection; each change stamped when fasim has answered it."""
    def __init__(self, line):
        self.line, self.pending, self.lock, self.stop = line, {}, threading.Lock(), threading.Event()
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(line.control_path)
        self.file = self.sock.makefile('rb')
        self.made = 0
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        round_ = 0
        start = time.time() + 0.5
        while not self.stop.is_set():
            round_ += 1
            time.sleep(max(0, start + round_ - time.time()))
            values = {g: (round_ % 2 if g[1] == 'IO' else (round_ * 331 + g[2] * 7 + g[0]) % 65536) for g in GATES}
            self.sock.sendall(''.join(f'set {st} {area} {n} {values[(st, area, n)]}\n'
                                      for st, area, n in GATES).encode())
            for g in GATES:
                answer = self.file.readline()
                assert answer.strip() == b'ok', answer
                with self.lock:
                    self.pending.setdefault(g, []).append((values[g], time.time()))
                    self.made += 1

    def arrived(self, gate, value, when):
        """The change this value shows: its latency, or None."""
        with self.lock:
            waiting = self.pending.get(gate, [])
            for i, (v, at) in enumerate(waiting):
                if v == value and at <= when:
                    del waiting[:i + 1]  # older changes were overtaken
                    return when - at
        return None

    def close(self):
        self.stop.set()
        self.thread.join(5)
        self.sock.close()


class Listener:
    """paho on a filter, every message measured; Sparkplug ones decoded by
    the npm decoder as they come."""
    def __init__(self, port, topic, changers, codec=None):
        self.changers, self.codec, self.lock = changers, codec, threading.Lock()
        self.aliases = {}  # (node, alias) -> gate
        self.reset()
        self.client = mqtt.Client(client_id='bench-' + os.urandom(3).hex())
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.on_message = self._message
        self.client.connect('127.0.0.1', port)
        self.client.loop_start()

    def reset(self):
        with getattr(self, 'lock', threading.Lock()):
            self.messages = self.values = self.bytes = self.payload_bytes = 0
            self.latency = []

    def _message(self, client, userdata, message):
        values = []  # (line, gate, value)
        if self.codec:
            decoded = self.codec.decode(message.payload)
            parts = message.topic.split('/')  # spBv1.0/GROUP/TYPE/NODE[/DEVICE]
            if len(parts) < 5 or parts[2] not in ('DBIRTH', 'DDATA'):
                return
            node, station = parts[3], int(parts[4])
            for m in decoded.get('metrics', []):
                if parts[2] == 'DBIRTH':
                    name = m['name']
                    self.aliases[(node, m['alias'])] = (station, name[:2], int(name[2:]))
                    continue
                gate = self.aliases.get((node, m['alias']))
                if gate:
                    values.append((node, gate, int(m['value'])))  # a Boolean as 0/1
            if parts[2] == 'DBIRTH':
                return
        else:
            parts = message.topic.split('/')  # fa/LINE/002/DR0010
            if len(parts) != 4 or parts[3].startswith('$'):
                return
            payload = json.loads(message.payload)
            values.append((parts[1], (int(parts[2]), parts[3][:2], int(parts[3][2:])), payload['v']))
        now = time.time()
        with self.lock:
            self.messages += 1
            self.values += len(values)
            self.bytes += packet_bytes(message.topic, message.payload, message.qos)
            self.payload_bytes += len(message.payload)
            for line, gate, value in values:
                took = self.changers[line].arrived(gate, value, now) if line in self.changers else None
                if took is not None:
                    self.latency.append(took)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def window(listener, gates, seconds):
    """Counts and CPU over `seconds`, after the listener's counts are reset."""
    listener.reset()
    cpu0 = [cpu_seconds(g.process.pid) for g in gates]
    t0 = time.time()
    time.sleep(seconds)
    elapsed = time.time() - t0
    cpu = [(cpu_seconds(g.process.pid) - c) / elapsed * 100 for g, c in zip(gates, cpu0)]
    with listener.lock:
        return dict(messages=listener.messages / elapsed, values=listener.values / elapsed,
                    per_value=listener.bytes / max(1, listener.values),
                    payload_per_value=listener.payload_bytes / max(1, listener.values),
                    latency=list(listener.latency), cpu=cpu)


def report(what, r):
    lat = r['latency']
    print(f'{what}: {r["values"]:.0f} values/s in {r["messages"]:.1f} messages/s; '
          f'{r["per_value"]:.1f} bytes/value on the wire ({r["payload_per_value"]:.1f} payload); '
          f'qelgate CPU {statistics.mean(r["cpu"]):.1f}% of a core'
          + (f' (each {min(r["cpu"]):.1f}..{max(r["cpu"]):.1f}%)' if len(r['cpu']) > 1 else '') + '; '
          + (f'change to message median {statistics.median(lat) * 1000:.0f} ms, p99 {percentile(lat, 99) * 1000:.0f} ms '
             f'({len(lat)} changes)' if lat else 'no latency samples'))


def gate_lines():
    return [f'{st:03d}{area}{n:04d}' for st, area, n in GATES]


def make_line(directory, seed):
    return Line(directory, {st: 'FA2' for st in STATIONS}, paced=True, seed=seed, extra=['--baud', BAUD])


def single(seconds):
    directory = temp_dir()
    broker = Broker(directory)
    line = make_line(directory, 1)
    node = os.path.basename(line.link)
    codec = Codec()
    try:
        changer = Changer(line)
        for kind in ('json', 'sparkplug'):
            extra = ['--baud', BAUD, '--publish-every', '3600']
            if kind == 'sparkplug':
                extra += ['--sparkplug', 'bench', '--sparkplug-node', node, '--sparkplug-only']
            gate = Gate(line, broker.port, gate_lines(), extra, name='single-' + kind)
            listener = Listener(broker.port, 'spBv1.0/bench/#' if kind == 'sparkplug' else gate.prefix + '/#',
                                {node: changer}, codec if kind == 'sparkplug' else None)
            wait(lambda: listener.values > 0, 30, 'the first values')
            time.sleep(3)
            r = window(listener, [gate], seconds)
            report(f'{kind:9s} 1 line, 300 gates on 8 stations changing every second', r)
            listener.close()
            gate.stop()
        changer.close()
    finally:
        codec.process.kill()
        line.close()
        broker.stop()


def scale(seconds, lines=8):
    directory = temp_dir()
    broker = Broker(directory)
    codec = Codec()
    rigs, changers = [], {}
    try:
        for i in range(lines):
            sub = os.path.join(directory, f'line{i}')
            os.mkdir(sub)
            line = make_line(sub, i)
            node = os.path.basename(line.link)
            changers[node] = Changer(line)
            gate = Gate(line, broker.port, gate_lines(), ['--baud', BAUD, '--sparkplug', 'bench', '--sparkplug-node',
                                                          node, '--sparkplug-only'], name=f'scale{i}')
            rigs.append((line, gate))
        listener = Listener(broker.port, 'spBv1.0/bench/#', changers, codec)
        wait(lambda: len({n for n, a in listener.aliases}) == lines, 60, 'every node born')
        time.sleep(3)
        broker_cpu0 = cpu_seconds(broker.process.pid)
        t0 = time.time()
        r = window(listener, [g for _, g in rigs], seconds)
        broker_cpu = (cpu_seconds(broker.process.pid) - broker_cpu0) / (time.time() - t0) * 100
        report(f'sparkplug {lines} lines x 300 gates into one mosquitto', r)
        made = sum(c.made for c in changers.values())
        print(f'  mosquitto CPU {broker_cpu:.1f}% of a core; {made} changes made in fasim in all')
        listener.close()
    finally:
        for c in changers.values():
            c.close()
        for line, gate in rigs:
            gate.stop()
            line.close()
        codec.process.kill()
        broker.stop()


if __name__ == '__main__':
    args = sys.argv[1:]
    seconds = 30
    if '--seconds' in args:
        i = args.index('--seconds')
        seconds = float(args[i + 1])
        del args[i:i + 2]
    for part in args or ['single', 'scale']:
        {'single': single, 'scale': scale}[part](seconds)
