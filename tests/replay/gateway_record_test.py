"""qelgate --record shares the reads the gateway makes anyway: a gateway that
records, publishes and serves Modbus at once makes the same exchanges, over
the same time, as one that only publishes; and what it recorded is the
changes its rounds read. The key `record` of the configuration file is a
path from the file's folder; a gateway with no gate list to share is
refused. Paths come from the environment: QELGATE, FASIM, QELHOST."""
import json, os, signal, subprocess, sys, tempfile, time, unittest, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
import mqtt_rig  # noqa: E402
from mqtt_rig import free_port, wait  # noqa: E402

import replay_rig  # noqa: E402

LIST = ['001DR0010 200ms', '001DR0020 3 200ms', '001IO0007 1 bit 200ms']
WINDOW = 3.0  # seconds counted


def status(http_port):
    with urllib.request.urlopen(f'http://127.0.0.1:{http_port}/api/status', timeout=5) as response:
        return json.loads(response.read())


def line_exchanges(http_port):
    return status(http_port)['line']['exchanges']


def export(path):
    rows, _ = replay_rig.export(path)
    return rows


class RecordingCostsTheLineNothing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = mqtt_rig.temp_dir()
        cls.broker = mqtt_rig.Broker(cls.dir)
        cls.line = mqtt_rig.Line(cls.dir, {1: 'FA2'})

    @classmethod
    def tearDownClass(cls):
        cls.line.close()
        cls.broker.stop()

    def count(self, name, extra):
        """Exchanges of the gateway over WINDOW seconds, its rounds begun."""
        http = free_port()
        gate = mqtt_rig.Gate(self.line, self.broker.port, LIST, ['--http', f'127.0.0.1:{http}'] + extra, name=name)
        try:
            wait(lambda: mqtt_rig.gate_rig.listening(http), what='qelgate')
            wait(lambda: line_exchanges(http) >= 6, what='its first rounds')
            before = line_exchanges(http)
            self.line.control(f'set 1 DR 21 {4242 if extra else 4141}')
            time.sleep(WINDOW)
            after = line_exchanges(http)
            self.recording = status(http)['recording']
        finally:
            gate.stop()
        return after - before, gate.log()

    def test_the_same_exchanges_with_and_without_the_recording(self):
        recording = os.path.join(self.dir, 'night.db')
        only, _ = self.count('publishes', [])
        self.assertIsNone(self.recording)
        recorded, log = self.count('records', ['--record', recording, '--record-max', '10MB'])
        print(f'exchanges in {WINDOW:.0f} s: {only} publishing, {recorded} publishing, recording and serving Modbus')
        # Three exchanges a round at most (the words, the block, the bit),
        # five rounds a second: the two counts may differ by a round at
        # either end of the window, no more.
        self.assertGreater(only, 20)
        self.assertLessEqual(abs(only - recorded), 6, log)
        self.assertIn('recording the changes the gate lists read into ' + recording + ' (10 MiB)', log)
        self.assertRegex(log, r'recording .*night\.db: \d+ changes recorded, 0 dropped for its bound, 0 lost')
        # /api/status says what the recording kept while it ran.
        self.assertEqual(self.recording['file'], recording)
        self.assertEqual(self.recording['recorded'], 6)  # five elements' first values, and the change
        self.assertEqual(self.recording['changes'], 6)
        self.assertEqual((self.recording['dropped'], self.recording['lost'], self.recording['usable']), (0, 0, True))
        rows = export(recording)
        # The first value of each element read, then the change made meanwhile.
        elements = {(int(r['station']), r['area'], int(r['number'])) for r in rows}
        self.assertEqual(elements, {(1, 'DR', 10), (1, 'DR', 20), (1, 'DR', 21), (1, 'DR', 22), (1, 'IO', 7)})
        dr21 = [int(r['value']) for r in rows if r['area'] == 'DR' and r['number'] == '21']
        self.assertEqual(dr21[-1], 4242)
        self.assertEqual(len(dr21), 2)


class RecordSettings(unittest.TestCase):
    def test_the_configuration_files_record_is_taken_from_its_folder(self):
        directory = tempfile.mkdtemp(prefix='qelgate-record-')
        line = mqtt_rig.Line(directory, {1: 'FA2'})
        try:
            folder = os.path.join(directory, 'conf')
            os.mkdir(folder)
            with open(os.path.join(folder, 'gates.txt'), 'w') as f:
                f.write('001DR0010 100ms\n')
            with open(os.path.join(folder, 'qelgate.toml'), 'w') as f:
                f.write(f'port = "{line.link}"\nlisten = "127.0.0.1:{free_port()}"\npoll = "gates.txt"\n'
                        'record = "night.db"\nrecord-max = "24h"\n')
            with open(os.path.join(directory, 'gate.log'), 'w') as log:
                gate = subprocess.Popen([os.environ['QELGATE'], '--config', os.path.join(folder, 'qelgate.toml')],
                                        stderr=log, cwd=directory)
            recording = os.path.join(folder, 'night.db')
            wait(lambda: os.path.exists(recording), what='the recording')
            time.sleep(0.5)
            line.control('set 1 DR 10 777')
            time.sleep(0.5)
            gate.send_signal(signal.SIGTERM)
            self.assertEqual(gate.wait(20), 0)
        finally:
            line.close()
        self.assertEqual([int(r['value']) for r in export(recording)][-1], 777)

    def test_a_gateway_with_no_list_to_share_is_refused(self):
        run = subprocess.run([os.environ['QELGATE'], '--port', '/tmp/none', '--record', '/tmp/none.db'],
                             capture_output=True, text=True, timeout=30)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn('--record keeps what the gate lists read, and none is given', run.stderr)
        run = subprocess.run([os.environ['QELGATE'], '--port', '/tmp/none', '--poll', '/dev/null', '--record',
                              '/tmp/none.db', '--record-max', 'lots'], capture_output=True, text=True, timeout=30)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn('--record-max: "lots" is neither a size', run.stderr)
        self.assertFalse(os.path.exists('/tmp/none.db'))


if __name__ == '__main__':
    unittest.main(verbosity=2)
