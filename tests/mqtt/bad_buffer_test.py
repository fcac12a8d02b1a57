"""A bad buffer never takes the line down, and never loses in silence.
At the start: a damaged file is set aside (renamed with the time) and a new
one made; a folder in the file's place, or a read-only folder, leaves the
gateway running without the buffer, which the log, /metrics and
/api/status say; Modbus is served throughout. While running: a disk that
fills counts what it refuses as dropped, says so once, and sends what it
holds once the broker and the space are back. The mounts need root; those
tests skip with the reason elsewhere."""
import json, os, subprocess, sys, tempfile, time, unittest

from mqtt_rig import Gate, class_relayed, free_port, wait
from buffer_test import CHANGED, Changer, GATES, get, topic, wait_good
from gate_rig import listening, read  # noqa: E402  (mqtt_rig put the gate rig on the path)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'http'))
from page_test import chromium  # noqa: E402


def mount_tmpfs(path, options):
    """A small tmpfs of its own at `path`: None, or why not."""
    done = subprocess.run(['mount', '-t', 'tmpfs', '-o', options, 'tmpfs', path], capture_output=True, text=True)
    return None if done.returncode == 0 else (done.stderr.strip() or f'mount failed ({done.returncode})')


def fill(path):
    """Takes every byte left on the filesystem of `path`: a filler file's path."""
    filler = os.path.join(path, 'filler')
    with open(filler, 'wb', buffering=0) as f:
        block = b'x' * 4096
        try:
            while True:
                f.write(block)
        except OSError:
            pass
    return filler


class BadBuffer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        class_relayed(cls, {1: 'FA2'})
        cls.name = os.path.basename(cls.line.link)

    def setUp(self):
        self.buffer = tempfile.mkdtemp(dir=self.dir, prefix='buffer-')
        self.gates = []

    def tearDown(self):
        for g in self.gates:
            if g.process.poll() is None:
                g.kill()

    def mount(self, options):
        why = mount_tmpfs(self.buffer, options)
        if why:
            self.skipTest(f'cannot mount a tmpfs for the buffer here: {why}')
        self.addCleanup(lambda: subprocess.run(['umount', '-l', self.buffer]))

    def gate(self, name, args=()):
        http = f'127.0.0.1:{free_port()}'
        g = Gate(self.line, self.relay.port, GATES, ['--buffer', self.buffer, '--http', http] + list(args), name=name)
        g.http = 'http://' + http
        self.gates.append(g)
        port = int(http.rsplit(':', 1)[1])
        wait(lambda: listening(port) or g.process.poll() is not None, 15, 'the gateway')
        self.assertIsNone(g.process.poll(), g.log())
        return g

    def status(self, g, front='mqtt'):
        return json.loads(get(g.http + '/api/status'))['frontEnds'][front]['buffer']

    def assert_line_served(self, g):
        """Modbus reads answer with fasim's memory; the values reach the broker."""
        from pymodbus.client import ModbusTcpClient
        c = ModbusTcpClient('127.0.0.1', port=g.modbus_port, timeout=10, retries=0)
        self.assertTrue(c.connect())
        try:
            for n in CHANGED:
                self.assertEqual(read(c, 'hr', n, 1, 1), [self.line.get(1, 'DR', n)])
        finally:
            c.close()
        self.sub.wait_for(topic(g, CHANGED[0]), lambda p: p['q'] == 'good', 15, g.started)

    def metric(self, g, name, front='mqtt'):
        key = f'{name}{{frontend="{front}"}} '
        lines = [line for line in get(g.http + '/metrics').splitlines() if line.startswith(key)]
        self.assertEqual(len(lines), 1, key)
        return float(lines[0][len(key):])

    def test_a_damaged_file_is_set_aside_and_a_new_one_made(self):
        junk = bytes((i * 7919) % 251 for i in range(20000))
        for kind in ('mqtt', 'sparkplug'):
            with open(os.path.join(self.buffer, f'{kind}-{self.name}.db'), 'wb') as f:
                f.write(junk)
        started = time.time()
        g = self.gate('junk', ['--sparkplug', 'plant', '--sparkplug-node', 'junk'])
        g.started = started
        self.assert_line_served(g)
        log = g.log()
        for kind, front in (('mqtt', 'MQTT'), ('sparkplug', 'Sparkplug')):
            self.assertIn(f'{front} buffer damaged', log)
            aside = [n for n in os.listdir(self.buffer) if n.startswith(f'{kind}-{self.name}.db.damaged-')]
            self.assertEqual(len(aside), 1, os.listdir(self.buffer))
            with open(os.path.join(self.buffer, aside[0]), 'rb') as f:
                self.assertEqual(f.read(), junk)  # kept as it was, to look into
            self.assertIn('set aside as ' + os.path.join(self.buffer, aside[0]), log)
        for front in ('mqtt', 'sparkplug'):
            self.assertTrue(self.status(g, front)['usable'], front)
            self.assertEqual(self.metric(g, 'qelgate_buffer_usable', front), 1)
        g.stop()

    def unusable(self, g):
        """The log, /metrics and /api/status say the gateway runs without the buffer."""
        self.assertIn('MQTT buffer unusable', g.log())
        self.assertIn('running without the buffer', g.log())
        buffer = self.status(g)
        self.assertFalse(buffer['usable'])
        self.assertIn('running without the buffer', buffer['trouble'])
        self.assertEqual(self.metric(g, 'qelgate_buffer_usable'), 0)

    def test_a_folder_in_its_place_runs_without_the_buffer(self):
        folder = os.path.join(self.buffer, f'mqtt-{self.name}.db')
        os.makedirs(os.path.join(folder, 'inside'))
        started = time.time()
        g = self.gate('folder')
        g.started = started
        self.assert_line_served(g)
        self.unusable(g)
        self.assertTrue(os.path.isdir(os.path.join(folder, 'inside')))  # left alone
        # The page says so, as headless Chromium renders it.
        dom = chromium(g.http + '/', '--dump-dom')
        self.assertIn('The MQTT buffer takes no messages:', dom)
        self.assertIn('running without the buffer', dom)
        g.stop()

    def test_a_read_only_folder_runs_without_the_buffer(self):
        self.mount('ro,size=64k')
        started = time.time()
        g = self.gate('readonly')
        g.started = started
        self.assert_line_served(g)
        self.unusable(g)
        g.stop()

    def test_a_full_disk_counts_its_drops_and_sends_what_it_holds_when_space_is_back(self):
        self.mount('size=256k')
        changer = Changer(self.line)
        self.addCleanup(changer.stopped.set)
        started = time.time()
        g = self.gate('full')
        g.started = started
        wait_good(self.sub, g, started)
        changer.running.set()
        time.sleep(1)
        # The broker away, and the disk full under the buffer.
        self.relay.cut()
        filler = fill(self.buffer)
        wait(lambda: self.status(g)['dropped'] > 3, 20, 'drops counted')
        buffer = self.status(g)
        self.assertFalse(buffer['usable'])
        self.assertIn('full', buffer['trouble'])
        self.assertEqual(self.metric(g, 'qelgate_buffer_usable'), 0)
        self.assertGreater(self.metric(g, 'qelgate_buffer_dropped_total'), 3)
        time.sleep(1.5)
        self.assertEqual(g.log().count('takes no messages'), 1, g.log())  # once an episode, not each round
        # The broker back first, the disk still full: what it acknowledges
        # cannot leave the store yet, and must not stay there for good.
        self.relay.restore()
        time.sleep(2)
        os.remove(filler)
        wait(lambda: 'takes messages again' in g.log(), 10, 'the buffer taking messages again')
        self.assertRegex(g.log(), r'takes messages again; \d+ messages? dropped while it failed')
        time.sleep(1)
        changer.pause()
        wait(lambda: self.status(g)['depth'] == 0, 20, f'the buffer drained: {self.status(g)}')
        self.assertTrue(self.status(g)['usable'])
        self.assertEqual(self.metric(g, 'qelgate_buffer_usable'), 1)
        # The newest value got through.
        for n in CHANGED:
            last = changer.changes[n][-1][1]
            self.sub.wait_for(topic(g, n), lambda p: p['v'] == last, 10, started)
        g.stop()


if __name__ == '__main__':
    unittest.main(verbosity=2)
