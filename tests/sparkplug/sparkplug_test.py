"""qelgate as a Sparkplug B edge node on a real mosquitto, every message
decoded by the npm package sparkplug-payload: births with every metric,
data on a change in fasim, a rebirth on NCMD, DCMD writes (and refused
without --mqtt-writes), a station's death and rebirth, seq wrapping, NDEATH
with the birth's bdSeq after kill -9, and data held while the primary host
is offline, sent as historical when it is back. In order on one rig."""
import json, os, subprocess, sys, threading, time, unittest, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
from mqtt_rig import Gate, allow_file, class_broker, class_line, free_port, wait  # noqa: E402
import paho.mqtt.client as mqtt  # noqa: E402

GATES = ['001DR0010', '001IO0003', '001DR0020 4', '002DR0011 50ms', '002CP0001 tag=preset']
WRITABLE = ['001DR0010', '002CP0001']


class Codec:
    def __init__(self):
        self.process = subprocess.Popen(['node', os.path.join(os.path.dirname(__file__), 'codec.js')],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        env=dict(os.environ, NODE_PATH=os.environ['NODE_MODULES']))
        self.lock = threading.Lock()

    def ask(self, request):
        with self.lock:
            self.process.stdin.write(json.dumps(request) + '\n')
            self.process.stdin.flush()
            return json.loads(self.process.stdout.readline())

    def decode(self, data):
        return self.ask({'decode': data.hex()})

    def encode(self, payload):
        return bytes.fromhex(self.ask({'encode': payload})['hex'])


class Host:
    """A subscriber on spBv1.0/#: every message decoded, in order."""
    def __init__(self, port, codec):
        self.codec, self.messages, self.lock = codec, [], threading.Lock()
        self.client = mqtt.Client(client_id='host-' + os.urandom(3).hex())
        self.client.on_connect = lambda c, u, f, rc: c.subscribe('spBv1.0/#', qos=1)
        self.client.on_message = self._message
        self.client.connect('127.0.0.1', port)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        decoded = message.payload.decode() if '/STATE/' in message.topic else self.codec.decode(message.payload)
        with self.lock:
            self.messages.append((time.time(), message.topic, decoded))

    def find(self, ready, seconds=15, after=0):
        end = time.time() + seconds
        while time.time() < end:
            with self.lock:
                for when, topic, payload in self.messages:
                    if when >= after and ready(topic, payload):
                        return when, topic, payload
            time.sleep(0.02)
        raise AssertionError('no fitting message in %s s' % seconds)

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()


def metric(payload, name=None, alias=None):
    for m in payload.get('metrics', []):
        if (name is not None and m.get('name') == name) or (alias is not None and m.get('alias') == alias):
            return m
    return None


class Sparkplug(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        class_broker(cls)
        class_line(cls, {1: 'FA2', 2: 'FA3'})
        allow = allow_file(cls.dir, WRITABLE)
        cls.codec = Codec()
        cls.addClassCleanup(cls.codec.process.kill)
        cls.host = Host(cls.broker.port, cls.codec)
        cls.addClassCleanup(cls.host.client.loop_stop)
        cls.http = free_port()
        cls.gate = Gate(cls.line, cls.broker.port, GATES,
                        ['--sparkplug', 'plant', '--sparkplug-node', 'line1', '--sparkplug-only', '--mqtt-writes',
                         '--write-allow', allow, '--down-hold', '1', '--http', str(cls.http)])
        cls.addClassCleanup(lambda: cls.gate.process.poll() is None and cls.gate.kill())
        cls.base = 'spBv1.0/plant/'

    def birth(self, device, after=0):
        return self.host.find(lambda t, p: t == f'{self.base}DBIRTH/line1/{device}', after=after)[2]

    def since(self, after, node='line1'):
        """The node's messages from `after` on, (topic, payload), in order."""
        with self.host.lock:
            return [(t, p) for when, t, p in self.host.messages
                    if when >= after and t.startswith(self.base) and f'/{node}' in t]

    def assert_born_once(self, after, node='line1', devices=('001', '002')):
        """One NBIRTH and one DBIRTH per device since `after`, seq 0 on the
        NBIRTH and one up per message after it, without gap or repeat."""
        time.sleep(1)  # a second birth would come within milliseconds
        messages = self.since(after, node)
        topics = [t for t, _ in messages]
        self.assertEqual(topics.count(f'{self.base}NBIRTH/{node}'), 1, topics)
        for device in devices:
            self.assertEqual(topics.count(f'{self.base}DBIRTH/{node}/{device}'), 1, topics)
        first = topics.index(f'{self.base}NBIRTH/{node}')
        seqs = [p['seq'] for t, p in messages[first:] if 'NDEATH' not in t]
        self.assertEqual(seqs, [n % 256 for n in range(len(seqs))], topics)

    def metrics(self):
        with urllib.request.urlopen(f'http://127.0.0.1:{self.http}/metrics', timeout=5) as r:
            return r.read().decode()

    def test_1_births(self):
        _, _, nbirth = self.host.find(lambda t, p: t == self.base + 'NBIRTH/line1')
        self.assertEqual(nbirth['seq'], 0)
        self.birth('001'), self.birth('002')
        self.assert_born_once(0)
        self.assertEqual(metric(nbirth, 'bdSeq')['type'], 'Int64')
        self.assertEqual(metric(nbirth, 'Node Control/Rebirth')['value'], False)
        self.assertEqual(metric(nbirth, 'Line/Port Open')['value'], True)
        one, two = self.birth('001'), self.birth('002')
        want = {('001', 'DR0010'): ('UInt16', self.line.get(1, 'DR', 10)),
                ('001', 'IO0003'): ('Boolean', bool(self.line.get(1, 'IO', 3))),
                ('001', 'DR0020'): ('Bytes', [b for n in range(20, 24) for b in self.line.get(1, 'DR', n).to_bytes(2, 'little')]),
                ('002', 'DR0011'): ('UInt16', self.line.get(2, 'DR', 11)),
                ('002', 'preset'): ('UInt16', self.line.get(2, 'CP', 1))}
        aliases = set()
        for (device, name), (kind, value) in want.items():
            m = metric(one if device == '001' else two, name)
            self.assertIsNotNone(m, name)
            self.assertEqual((m['type'], m['value']), (kind, value), name)
            self.assertEqual(m['properties']['Quality']['value'], 192, name)
            aliases.add(m['alias'])
        self.assertEqual(len(aliases), 5)

    def test_2_ddata_on_change(self):
        alias = metric(self.birth('002'), 'DR0011')['alias']
        start = time.time()
        self.line.control('set 2 DR 11 4242')
        _, _, data = self.host.find(lambda t, p: t == self.base + 'DDATA/line1/002' and
                                    (metric(p, alias=alias) or {}).get('value') == 4242, after=start)
        self.assertNotIn('name', metric(data, alias=alias))

    def test_3_rebirth_on_ncmd(self):
        start = time.time()
        self.host.publish(self.base + 'NCMD/line1', self.codec.encode(
            {'timestamp': int(time.time() * 1000), 'metrics': [{'name': 'Node Control/Rebirth', 'type': 'Boolean', 'value': True}]}))
        _, _, nbirth = self.host.find(lambda t, p: t == self.base + 'NBIRTH/line1', after=start)
        self.assertEqual(nbirth['seq'], 0)
        self.birth('001', after=start)
        self.birth('002', after=start)
        self.assert_born_once(start)

    def test_4_dcmd_writes(self):
        start = time.time()
        self.host.publish(self.base + 'DCMD/line1/002', self.codec.encode(
            {'timestamp': int(time.time() * 1000), 'metrics': [{'name': 'preset', 'type': 'UInt16', 'value': 1234}]}))
        wait(lambda: self.line.get(2, 'CP', 1) == 1234, seconds=10, what='the DCMD write in fasim')
        before = self.line.get(1, 'IO', 3)
        self.host.publish(self.base + 'DCMD/line1/001', self.codec.encode(
            {'timestamp': int(time.time() * 1000), 'metrics': [{'name': 'IO0003', 'type': 'Boolean', 'value': not before}]}))
        wait(lambda: 'IO0003 refused: not in the write-allow list' in self.gate.log(), seconds=10, what='the refusal')
        self.assertEqual(self.line.get(1, 'IO', 3), before)
        self.host.publish(self.base + 'DCMD/line1/002', self.codec.encode(
            {'timestamp': int(time.time() * 1000), 'metrics': [{'name': 'nothing', 'type': 'UInt16', 'value': 1}]}))
        wait(lambda: 'not a metric of the device' in self.gate.log(), seconds=10, what='the second refusal')
        metrics = self.metrics()
        for reason in ('not_allowed', 'unknown_metric'):
            self.assertIn(f'qelgate_frontend_commands_refused_total{{frontend="sparkplug",reason="{reason}"}} 1',
                          metrics)
        self.assertGreater(time.time(), start)

    def test_4b_dcmd_rules(self):
        """A DCMD's datatype must be the metric's; a metric twice refuses the
        DCMD; a burst of DCMDs keeps one write per gate, the newest, and a
        DCMD to another gate is not held behind it."""
        def dcmd(device, metrics):
            return self.codec.encode({'timestamp': int(time.time() * 1000), 'metrics': metrics})
        before = self.line.get(2, 'CP', 1)
        self.host.publish(self.base + 'DCMD/line1/002', dcmd('002', [{'name': 'preset', 'type': 'Boolean', 'value': True}]))
        wait(lambda: "preset refused: datatype Boolean does not match the metric's UInt16" in self.gate.log(),
             seconds=10, what='the datatype refusal')
        self.host.publish(self.base + 'DCMD/line1/002', dcmd('002', [{'name': 'preset', 'type': 'UInt16', 'value': 53},
                                                                      {'name': 'preset', 'type': 'UInt16', 'value': 54}]))
        wait(lambda: 'the metric preset is given twice in one DCMD' in self.gate.log(), seconds=10, what='the twice refusal')
        self.assertEqual(self.line.get(2, 'CP', 1), before)
        # A burst: each DCMD replaces the write still waiting.
        infos = [self.host.client.publish(self.base + 'DCMD/line1/002',
                                          dcmd('002', [{'name': 'preset', 'type': 'UInt16', 'value': 1000 + i}]), qos=1)
                 for i in range(100)]
        other = self.host.client.publish(self.base + 'DCMD/line1/001',
                                         dcmd('001', [{'name': 'DR0010', 'type': 'UInt16', 'value': 4321}]), qos=1)
        for info in infos + [other]:
            info.wait_for_publish()
        sent = time.time()
        wait(lambda: self.line.get(1, 'DR', 10) == 4321, seconds=5, what='the DCMD to the other gate')
        self.assertLess(time.time() - sent, 5)
        wait(lambda: self.line.get(2, 'CP', 1) == 1099, seconds=10, what='the newest DCMD of the burst')
        self.assertIn('waiting writes superseded by its newer values', self.gate.log())

    def test_5_station_death_and_birth(self):
        start = time.time()
        self.line.control('silent 1 on')
        died, _, _ = self.host.find(lambda t, p: t == self.base + 'DDEATH/line1/001', after=start, seconds=20)
        # Its gates are read every second: one silent read and one more
        # attempt, then the death; not five attempts 600 ms apart.
        self.assertLess(died - start, 3.0)
        back = time.time()
        self.line.control('silent 1 off')
        rebirth = self.birth('001', after=back)
        # The last values, whatever the quality of each now.
        self.assertEqual(metric(rebirth, 'DR0010')['type'], 'UInt16')
        self.assertNotIn(metric(rebirth, 'DR0010').get('value'), (None,))

    def test_6_seq_wraps(self):
        start = time.time()
        for i in range(300):
            self.line.control(f'set 2 DR 11 {i}')
            time.sleep(0.07)
        time.sleep(0.5)
        with self.host.lock:
            seqs = [p['seq'] for when, t, p in self.host.messages
                    if when >= start and t.startswith(self.base) and 'NDEATH' not in t and 'seq' in p]
        self.assertGreater(len(seqs), 256)
        self.assertIn(255, seqs)
        for a, b in zip(seqs, seqs[1:]):
            self.assertEqual(b, (a + 1) % 256)

    def test_7_ndeath_after_kill(self):
        with self.host.lock:
            nbirth = [p for _, t, p in self.host.messages if t == self.base + 'NBIRTH/line1'][-1]
        start = time.time()
        self.gate.kill()
        _, _, death = self.host.find(lambda t, p: t == self.base + 'NDEATH/line1', after=start, seconds=60)
        self.assertEqual(metric(death, 'bdSeq')['value'], metric(nbirth, 'bdSeq')['value'])

    def test_7b_retained_dcmd_refused(self):
        """A retained DCMD is not carried out when a node's session begins."""
        topic = self.base + 'DCMD/line3/002'
        before = self.line.get(2, 'CP', 1)
        self.host.publish(topic, self.codec.encode({'timestamp': int(time.time() * 1000),
                                                    'metrics': [{'name': 'preset', 'type': 'UInt16', 'value': 113}]}),
                          retain=True)
        self.addCleanup(lambda: self.host.publish(topic, b'', retain=True))
        gate = Gate(self.line, self.broker.port, GATES,
                    ['--sparkplug', 'plant', '--sparkplug-node', 'line3', '--sparkplug-only', '--mqtt-writes'],
                    name='gate3')
        self.addCleanup(lambda: gate.process.poll() is None and gate.stop())
        wait(lambda: 'a retained command is not carried out' in gate.log(), seconds=15, what='the retained refusal')
        self.assertEqual(self.line.get(2, 'CP', 1), before)

    def test_8_primary_host_held_then_historical(self):
        state = 'spBv1.0/STATE/scada'
        self.host.publish(state, json.dumps({'online': False, 'timestamp': int(time.time() * 1000)}), retain=True)
        gate = Gate(self.line, self.broker.port, GATES,
                    ['--sparkplug', 'plant', '--sparkplug-node', 'line2', '--sparkplug-only',
                     '--sparkplug-primary-host', 'scada'], name='gate2')
        self.addCleanup(lambda: gate.process.poll() is None and gate.stop())
        wait(lambda: 'line2' in gate.log() and 'primary host scada' in gate.log(), seconds=10, what='gate2')
        time.sleep(1.5)
        self.line.control('set 2 DR 11 777')
        time.sleep(1.0)
        # Refused without --mqtt-writes.
        self.host.publish(self.base + 'DCMD/line2/002', self.codec.encode(
            {'timestamp': int(time.time() * 1000), 'metrics': [{'name': 'preset', 'type': 'UInt16', 'value': 4321}]}))
        wait(lambda: 'writes are off' in gate.log(), seconds=10, what='the refusal without --mqtt-writes')
        self.assertNotEqual(self.line.get(2, 'CP', 1), 4321)
        with self.host.lock:
            self.assertFalse([t for _, t, _ in self.host.messages if '/line2' in t and 'BIRTH' in t])
        online = time.time()
        self.host.publish(state, json.dumps({'online': True, 'timestamp': int(time.time() * 1000)}), retain=True)
        self.host.find(lambda t, p: t == self.base + 'NBIRTH/line2', after=online)
        alias = metric(self.host.find(lambda t, p: t == self.base + 'DBIRTH/line2/002', after=online)[2], 'DR0011')['alias']
        self.assert_born_once(online, 'line2')
        _, _, held = self.host.find(lambda t, p: t == self.base + 'DDATA/line2/002' and
                                    any(m.get('alias') == alias and m.get('value') == 777 and m.get('isHistorical')
                                        for m in p.get('metrics', [])), after=online)
        self.assertLess(metric(held, alias=alias)['timestamp'] / 1000, online)
        self.host.publish(state, b'', retain=True)


if __name__ == '__main__':
    unittest.main(verbosity=2)
