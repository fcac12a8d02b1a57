"""Nothing lost while the broker is away: qelgate publishes through a TCP
relay that the test cuts, to a real mosquitto; a persistent QoS 1 subscriber
(paho) counts what arrived against the changes made in fasim's memory.
The cut; the cut with a kill -9 of the gateway in it and a restart; a full
buffer that drops its oldest; the serial port lost and back. The tests run
in order on one rig. CUT_SECONDS sets the cut (5 s here)."""
import json, os, tempfile, threading, time, unittest, urllib.request

from mqtt_rig import Gate, class_relayed, free_port, mosquitto_sub, wait

CUT = float(os.environ.get('CUT_SECONDS', '5'))
HOLD = 0.4  # each value stays this long: two reads at 200 ms
CHANGED = (10, 11)  # station 1's DR gates the changer changes
GATES = [f'001DR{n:04d} 200ms' for n in CHANGED]


class Changer:
    """Changes the gates every HOLD seconds; notes (time before the change, value)."""
    def __init__(self, line):
        self.line, self.value = line, 1000
        self.changes = {n: [] for n in CHANGED}
        self.running, self.idle, self.stopped = threading.Event(), threading.Event(), threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopped.is_set():
            if not self.running.is_set():
                self.idle.set()
                self.running.wait(0.1)
                continue
            self.idle.clear()
            self.value += 1
            for n in CHANGED:
                value = (self.value * 7 + n) % 65536
                at = time.time()
                self.line.control(f'set 1 DR {n} {value}')
                self.changes[n].append((at, value))
            time.sleep(HOLD)

    def pause(self):
        """Stopped, and the last value read and committed by the gateway."""
        self.running.clear()
        self.idle.wait(5)
        time.sleep(0.6)


def get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return response.read().decode()


def topic(g, n):
    """Where gateway g publishes station 1's DR n."""
    return f'{g.prefix}/001/DR{n:04d}'


def wait_good(sub, g, since):
    """Until each changed gate's value, read good, has reached the broker
    from gateway g since the time `since`."""
    for n in CHANGED:
        sub.wait_for(topic(g, n), lambda p: p['q'] == 'good', 15, since)


class Buffer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        class_relayed(cls, {1: 'FA2'})
        cls.changer = Changer(cls.line)
        cls.addClassCleanup(cls.changer.stopped.set)
        cls.gates = []
        cls.addClassCleanup(lambda: [g.kill() for g in cls.gates if g.process.poll() is None])

    def gate(self, name, args=()):
        buffer = tempfile.mkdtemp(dir=self.dir, prefix='buffer-')
        http = f'127.0.0.1:{free_port()}'
        started = time.time()
        g = Gate(self.line, self.relay.port, GATES, ['--buffer', buffer, '--http', http] + list(args), name=name)
        g.http = 'http://' + http
        self.gates.append(g)
        wait_good(self.sub, g, started)
        return g

    def cut_while_changing(self, name, args=(), changing=1.5):
        """A new gateway; the gates change for `changing` seconds, then the
        relay is cut. The gateway, and the time of the cut."""
        g = self.gate(name, args)
        self.changer.running.set()
        time.sleep(changing)
        cut = time.time()
        self.relay.cut()
        return g, cut

    def arrived(self, g, n, after=0):
        with self.sub.lock:
            return [(when, json.loads(p)) for when, t, p in self.sub.messages if t == topic(g, n) and when >= after]

    def first_after(self, g, moment):
        with self.sub.lock:
            times = [when for when, t, _ in self.sub.messages if when > moment and t.startswith(g.prefix + '/001/DR')]
        return min(times) if times else None

    def buffer(self, g):
        return json.loads(get(g.http + '/api/status'))['frontEnds']['mqtt']['buffer']

    def assert_nothing_lost(self, g, since, until):
        """Every change made in [since, until] arrived; per topic in order, each with the time it was read."""
        for n in CHANGED:
            changes = [(at, v) for at, v in self.changer.changes[n] if since <= at <= until]
            self.assertGreater(len(changes), 3)
            wait(lambda: changes[-1][1] in [p['v'] for _, p in self.arrived(g, n)], 20, 'the last change')
            arrived = self.arrived(g, n)
            values = [p['v'] for _, p in arrived]
            lost = [v for _, v in changes if v not in values]
            self.assertEqual(lost, [], f'{len(lost)} of {len(changes)} changes of DR{n} lost')
            stamps = [p['t'] for _, p in arrived]
            self.assertEqual(stamps, sorted(stamps), f'DR{n} out of order')
            # The original time: within the value's own hold, not when it was sent.
            held = {v: (at, nxt) for (at, v), (nxt, _) in zip(changes, changes[1:] + [(until + 60, None)])}
            for when, p in arrived:
                if p['v'] in held:
                    at, nxt = held[p['v']]
                    self.assertTrue(at <= p['t'] / 1000 <= nxt + 0.5, (p, at, nxt, when))
            # The retained value is the newest.
            retained = mosquitto_sub(self.broker.port, topic(g, n))
            self.assertEqual(json.loads(retained[0].split(' ', 1)[1])['v'], changes[-1][1])

    def test_1_cut(self):
        g, cut = self.cut_while_changing('cut')
        time.sleep(CUT / 2)
        during = self.buffer(g)
        self.assertGreater(during['depth'], 0)
        self.assertGreater(during['oldestAge'], 0)
        time.sleep(CUT / 2)
        self.relay.restore()
        back = time.time()
        wait(lambda: self.first_after(g, back), 10, 'a message after the cut')
        first = self.first_after(g, back) - back
        time.sleep(1.5)
        self.changer.pause()
        print(f'cut {CUT:.0f} s: first message {first:.2f} s after the relay came back')
        self.assertLessEqual(first, 2.0)
        self.assert_nothing_lost(g, cut - 1, time.time())
        wait(lambda: self.buffer(g)['depth'] == 0, 10, 'the buffer drained')
        after = self.buffer(g)
        self.assertGreater(after['forwarded'], during['depth'])
        self.assertEqual(after['dropped'], 0)
        metrics = get(g.http + '/metrics')
        self.assertIn('qelgate_buffer_messages{frontend="mqtt"} 0\n', metrics)
        self.assertIn('qelgate_buffer_forwarded_total{frontend="mqtt"}', metrics)
        log = g.log()
        self.assertEqual(log.count('not reachable (Connection refused)'), 1, log)  # once, not at every try
        g.stop()

    def test_2_cut_with_a_kill(self):
        g, since = self.cut_while_changing('kill')
        time.sleep(CUT / 3)
        self.changer.pause()  # what the dead gateway could not read is not counted
        g.kill()
        dead = time.time()
        g.start()
        wait(lambda: g.log().count('messages waiting from before') == 2, 10, 'the restarted gateway')
        waiting = int(g.log().split(' messages waiting from before')[1].rsplit(' ', 1)[1])
        self.assertGreater(waiting, 0)
        self.changer.running.set()
        time.sleep(max(0.0, CUT - (time.time() - since)))
        self.relay.restore()
        time.sleep(2)
        self.changer.pause()
        self.assert_nothing_lost(g, since - 1, time.time())
        restarted = [at for n in CHANGED for at, _ in self.changer.changes[n] if at > dead]
        self.assertTrue(restarted, 'no change after the restart')
        g.stop()

    def test_3_full_buffer_drops_the_oldest(self):
        g, cut = self.cut_while_changing('full', ['--buffer-max', '1k'], changing=1)
        time.sleep(4)
        self.changer.pause()
        self.relay.restore()
        back = time.time()
        n = CHANGED[0]
        changes = [(at, v) for at, v in self.changer.changes[n] if cut < at < back]
        wait(lambda: changes[-1][1] in [p['v'] for _, p in self.arrived(g, n, back)], 10, 'the newest value')
        values = [p['v'] for _, p in self.arrived(g, n, cut)]
        self.assertNotIn(changes[0][1], values, 'the oldest was kept')
        self.assertIn(changes[-2][1], values, 'a new one was dropped')
        counts = self.buffer(g)
        self.assertGreater(counts['dropped'], 0)
        self.assertIn('the buffer is full: dropped the', g.log())
        dropped = [line for line in get(g.http + '/metrics').splitlines()
                   if line.startswith('qelgate_buffer_dropped_total{frontend="mqtt"}')]
        self.assertEqual(dropped, [f'qelgate_buffer_dropped_total{{frontend="mqtt"}} {counts["dropped"]}'])
        self.gates_port = g

    def test_4_port_lost_and_back(self):
        g = self.gates[-1]
        base = g.prefix
        self.assertEqual(self.sub.value(base + '/$port'), 'open')
        self.assertEqual(self.sub.value(base + '/001/$state'), 'up')
        lost = time.time()
        self.line.kill()
        self.sub.wait_for(base + '/$port', lambda p: p == 'lost', 15, lost)
        self.sub.wait_for(base + '/001/$state', lambda p: p == 'down', 15, lost)
        self.assertEqual(self.sub.value(base + '/001/$reason'), 'port')
        self.assertEqual(self.sub.value(base + '/$online'), 'true')  # about the gateway, not the line
        back = time.time()
        self.line.start()
        self.sub.wait_for(base + '/$port', lambda p: p == 'open', 30, back)
        self.sub.wait_for(base + '/001/$state', lambda p: p == 'up', 30, back)
        self.assertEqual(self.sub.value(base + '/001/$reason'), '')
        retained = mosquitto_sub(self.broker.port, base + '/$port')
        self.assertEqual(retained, [base + '/$port open'])
        g.stop()


if __name__ == '__main__':
    unittest.main(verbosity=2)
