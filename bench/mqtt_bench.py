#!/usr/bin/python3
"""qelgate's MQTT publishing measured against fasim paced at 9600 baud and a
real mosquitto (not a test: it prints numbers for docs/mqtt.md).

  latency  a change in fasim's memory -> the message at a paho subscriber,
           at a 1 s and a 0.25 s period
  load     3 stations x 100 gates at 1 s: the line's busy share, the
           messages per second, against `qelhost poll --plan`
  scale    8 qelgate processes, each on its own fasim line, publishing to
           one mosquitto: the broker's rate and one subscriber's view

  /usr/bin/python3 bench/mqtt_bench.py [latency|load|scale ...]  (default: all)
Paths from QELGATE, FASIM, QELHOST, else build/bin."""
import json, os, random, re, statistics, subprocess, sys, threading, time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'mqtt'))
for tool in ('QELGATE', 'FASIM', 'QELHOST'):
    os.environ.setdefault(tool, os.path.join(here, '..', 'build', 'bin', tool.lower()))

from mqtt_rig import Broker, Gate, Line, Subscriber, temp_dir, wait  # noqa: E402


def station_gates(st):
    """100 gates of one station: 50 DR, 20 CP, 30 IO bits."""
    return ([f'{st:03d}DR{n:04d}' for n in range(50)] + [f'{st:03d}CP{n:04d}' for n in range(20)] +
            [f'{st:03d}IO{n:04d}' for n in range(38) if n % 10 < 8])


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def planned_ms(line, gates):
    path = os.path.join(line.dir, 'plan.txt')
    with open(path, 'w') as f:
        f.write('\n'.join(g.split()[0] for g in gates) + '\n')
    models = [a for st, m in line.stations.items() if m == 'FA3' for a in ('--station', f'{st}:FA3')]
    out = subprocess.run([os.environ['QELHOST'], '--port', line.link] + models + ['poll', '--gates', path, '--plan'],
                         capture_output=True, text=True).stdout
    found = re.search(r'([0-9.]+) ms', out.splitlines()[-1] if out else '')
    return float(found.group(1)) if found else float('nan'), out


def last_stats(gate):
    lines = [l for l in gate.log().splitlines() if 'line: busy' in l]
    return lines[-1] if lines else '(no stats line)'


def latency(samples=30):
    directory = temp_dir()
    broker = Broker(directory)
    line = Line(directory, {1: 'FA2'}, paced=True)
    try:
        for period in (1.0, 0.25):
            gates = [f'001DR{n:04d} {int(period * 1000)}ms' for n in range(10)]
            gate = Gate(line, broker.port, gates, name=f'latency{period}')
            sub = Subscriber(broker.port, gate.prefix + '/#')
            topic = gate.prefix + '/001/DR0005'
            sub.wait_for(topic, lambda p: p['q'] == 'good', 15)
            took = []
            for i in range(samples):
                time.sleep(random.uniform(0.1, 0.1 + period))
                new = (line.get(1, 'DR', 5) + 1) % 65536
                started = time.time()
                line.control(f'set 1 DR 5 {new}')
                took.append(sub.wait_for(topic, lambda p: p['v'] == new, 5, started) - started)
            sub.close()
            gate.stop()
            plan, _ = planned_ms(line, gates)
            print(f'latency at a {period:g} s period, 10 gates of one FA2 at 9600 baud, {samples} changes: '
                  f'median {statistics.median(took) * 1000:.0f} ms, p99 {percentile(took, 99) * 1000:.0f} ms, '
                  f'min {min(took) * 1000:.0f} ms, max {max(took) * 1000:.0f} ms; planned round {plan:.1f} ms')
    finally:
        line.close()
        broker.stop()


def count_rate(sub, seconds):
    with sub.lock:
        start = len(sub.messages)
    time.sleep(seconds)
    with sub.lock:
        got = sub.messages[start:]
    lag = [when - json.loads(p)['t'] / 1000 for when, t, p in got if p.startswith('{')]
    return len(got) / seconds, (statistics.median(lag) if lag else float('nan')), (max(lag) if lag else float('nan'))


def load(seconds=30):
    directory = temp_dir()
    broker = Broker(directory)
    line = Line(directory, {1: 'FA2', 2: 'FA2', 3: 'FA3'}, paced=True)
    gates = [g for st in (1, 2, 3) for g in station_gates(st)]
    try:
        plan, text = planned_ms(line, gates)
        exchanges = len([l for l in text.splitlines() if re.match(r'\s*\d+\s', l)])
        print(f'load: 3 stations x 100 gates, planned scan {plan:.1f} ms ({text.splitlines()[-1].strip()})')
        for period, every in ((5, 60), (1, 1)):
            gate = Gate(line, broker.port, gates, ['--stats-interval', '5', '--publish-every', str(every),
                                                   '--publish-period', str(period), '--mqtt-prefix',
                                                   f'load/{period}-{every}'], name=f'load{period}-{every}')
            gate.prefix = f'load/{period}-{every}'
            sub = Subscriber(broker.port, gate.prefix + '/#')
            wait(lambda: len(sub.last) >= len(gates) + 4, 30, 'every gate')
            rate, lag, worst = count_rate(sub, seconds)
            print(f'  --publish-period {period} --publish-every {every}: {rate:.1f} messages/s at the subscriber over {seconds} s '
                  f'(read-to-arrival median {lag * 1000:.0f} ms, max {worst * 1000:.0f} ms); {last_stats(gate)}')
            sub.close()
            gate.stop()
    finally:
        line.close()
        broker.stop()


def scale(lines=8, seconds=30):
    directory = temp_dir()
    broker = Broker(directory)
    rigs = []
    try:
        for i in range(lines):
            line = Line(directory, {1: 'FA2', 2: 'FA2', 3: 'FA3'}, paced=True, seed=i)
            gates = [g for st in (1, 2, 3) for g in station_gates(st)]
            rigs.append((line, Gate(line, broker.port, gates, ['--publish-every', '1', '--stats-interval', '5'],
                                    name=f'scale{i}')))
        sub = Subscriber(broker.port, 'fa/#')
        wait(lambda: len(sub.last) >= (len(gates) + 4) * lines, 90, 'every gate of every line')
        sys_sub = Subscriber(broker.port, '$SYS/broker/load/messages/received/1min')
        rate, lag, worst = count_rate(sub, seconds)
        print(f'scale: {lines} qelgate x 300 gates, --publish-every 1: one subscriber of fa/# got {rate:.0f} '
              f'messages/s (read-to-arrival median {lag * 1000:.0f} ms, max {worst * 1000:.0f} ms); broker '
              f'received/1min: {sys_sub.value("$SYS/broker/load/messages/received/1min")} per minute')
        busy = [re.search(r'busy (\d+)%', last_stats(g)) for _, g in rigs]
        print('  line busy shares: ' + ' '.join(b.group(1) + '%' if b else '?' for b in busy))
        cpu = subprocess.run(['ps', '-o', 'pid=,pcpu=,comm=', '-p', ','.join(
            [str(broker.process.pid)] + [str(g.process.pid) for _, g in rigs])], capture_output=True, text=True)
        print('  CPU (ps, share of one core since start): ' + ' '.join(
            f'{l.split()[2]}:{l.split()[1]}%' for l in cpu.stdout.splitlines()))
        sub.close()
        sys_sub.close()
    finally:
        for line, gate in rigs:
            gate.stop()
            line.close()
        broker.stop()


if __name__ == '__main__':
    parts = sys.argv[1:] or ['latency', 'load', 'scale']
    for part in parts:
        {'latency': latency, 'load': load, 'scale': scale}[part]()
