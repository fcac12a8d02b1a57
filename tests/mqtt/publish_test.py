"""qelgate publishing to a real mosquitto broker, with subscribers nobody here
wrote (mosquitto_sub, paho-mqtt) and a Modbus client (pymodbus) on the same
line: values as in fasim's memory, changes within a period, a silent station
down and up again, the broker restarted, writes only with --mqtt-writes,
the Last Will on SIGKILL. The tests run in order on one rig."""
import json, subprocess, time, unittest, urllib.request

from pymodbus.client import ModbusTcpClient

from mqtt_rig import (Gate, Subscriber, allow_file, class_broker, class_line, free_port, mosquitto_pub, mosquitto_sub,
                      wait)

GATES = ['001DR0010', '001DR0020 8', '001CP0005', '001IO0003', '002DR0010 500ms', '002DR0011', '002CP0001',
         '002IO0005', '002DR0100 2s']
WRITABLE = ['001DR0010', '001IO0003', '002DR0011', '002CP0001', '002IO0005']


def expected(line, gas):
    st, area, n = int(gas[:3]), gas[3:5], int(gas[5:].split()[0])
    if gas.endswith(' 8'):
        return [line.get(st, area, n + i) for i in range(8)]
    return line.get(st, area, n)


class Publish(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        class_broker(cls)
        class_line(cls, {1: 'FA2', 2: 'FA3'})
        allow = allow_file(cls.dir, WRITABLE)
        cls.http = f'http://127.0.0.1:{free_port()}'
        cls.gate = Gate(cls.line, cls.broker.port, GATES,
                        ['--mqtt-writes', '--write-allow', allow, '--http', cls.http[len('http://'):]])
        cls.addClassCleanup(lambda: cls.gate.process.poll() is None and cls.gate.stop())
        cls.sub = Subscriber(cls.broker.port, cls.gate.prefix + '/#')
        cls.addClassCleanup(cls.sub.close)
        cls.topics = [cls.topic(g) for g in GATES]

    @classmethod
    def topic(cls, gas):
        gas = gas.split()[0]
        return f'{cls.gate.prefix}/{gas[:3]}/{gas[3:]}'

    def assert_values(self, sub, seconds=10):
        for gas, topic in zip(GATES, self.topics):
            want = expected(self.line, gas)
            sub.wait_for(topic, lambda p: p['q'] == 'good' and p['v'] == want, seconds)

    def test_1_values_match_memory(self):
        self.assert_values(self.sub)
        payload = self.sub.value(self.topics[0])
        self.assertEqual(list(payload), ['v', 't', 'q'])
        self.assertLess(abs(payload['t'] / 1000 - time.time()), 5)
        self.assertEqual(mosquitto_sub(self.broker.port, self.gate.prefix + '/$online'),
                         [self.gate.prefix + '/$online true'])
        for st in ('001', '002'):
            self.assertEqual(self.sub.value(f'{self.gate.prefix}/{st}/$state'), 'up')

    def test_2_a_change_arrives_within_a_period(self):
        for gas, period in (('001DR0010', 1.0), ('002DR0010', 0.5)):
            st, n = int(gas[:3]), int(gas[5:])
            new = (self.line.get(st, 'DR', n) + 1234) % 65536
            started = time.time()
            self.line.control(f'set {st} DR {n} {new}')
            latency = self.sub.wait_for(self.topic(gas), lambda p: p['v'] == new, 5, started) - started
            # One period plus 100 ms, with room for a loaded machine.
            self.assertLess(latency, period + 0.1 + 0.5, gas)

    def test_3_writes_are_checked(self):
        result = lambda gas: self.topic(gas) + '/set/result'
        mosquitto_pub(self.broker.port, self.topic('002DR0011') + '/set', '4242')
        self.sub.wait_for(result('002DR0011'), lambda p: p == {'ok': True}, 10, time.time() - 1)
        self.assertEqual(self.line.get(2, 'DR', 11), 4242)
        bit = 1 - self.line.get(2, 'IO', 5)
        mosquitto_pub(self.broker.port, self.topic('002IO0005') + '/set', f'{{"v":{bit}}}')
        wait(lambda: self.line.get(2, 'IO', 5) == bit, 5, 'the JSON write')
        before = {g: expected(self.line, g) for g in ('002DR0011', '002CP0001', '002IO0005', '001CP0005')}
        for gas, payload, reason in (('002DR0011', '70000', '0 to 65535'), ('002CP0001', '10000', '9999'),
                                     ('002IO0005', '2', '0 or 1'), ('001CP0005', '5', 'write-allow'),
                                     ('001DR0399', '5', 'not a published gate'), ('002DR0011', 'abc', 'is not a number'),
                                     ('001DR0020', '1', 'block')):
            with self.subTest(gas=gas, payload=payload):
                mosquitto_pub(self.broker.port, self.topic(gas) + '/set', payload)
                self.sub.wait_for(result(gas), lambda p: p['ok'] is False and reason in p['reason'])
        self.assertEqual({g: expected(self.line, g) for g in before}, before)
        # The diagnostics count the MQTT side: 9 sets (code 3), 7 refused before the line (exception 1).
        with urllib.request.urlopen(self.http + '/api/status', timeout=5) as response:
            mqtt = json.loads(response.read())['frontEnds']['mqtt']
        self.assertEqual((mqtt['connected'], mqtt['requests']['3'], mqtt['exceptions']), (1, 9, {'1': 7}))
        self.assertGreaterEqual(mqtt['requests']['1'], len(GATES))

    def test_3a_a_retained_set_is_refused_live_and_its_clearing_is_no_set(self):
        gas = '002DR0011'
        before = self.line.get(2, 'DR', 11)
        sent = time.time()
        subprocess.run(['mosquitto_pub', '-p', str(self.broker.port), '-t', self.topic(gas) + '/set',
                        '-m', str((before + 1) % 65536), '-q', '1', '-r'], check=True)
        self.sub.wait_for(self.topic(gas) + '/set/result',
                          lambda p: p['ok'] is False and 'a retained set is not written' in p['reason'], 10, sent)
        time.sleep(1)  # a write, or a refusal of the clearing, would come within it
        self.assertEqual(self.line.get(2, 'DR', 11), before)
        log = self.gate.log()
        self.assertEqual(log.count(f'MQTT set on {self.topic(gas)}/set refused: a retained set is not written'), 1, log)
        self.assertNotIn('neither a whole number', log[log.index('a retained set is not written'):])
        # Cleared on the broker: no later connection gets it.
        self.assertEqual(mosquitto_sub(self.broker.port, self.topic(gas) + '/set', seconds=1), [])

    def test_4_modbus_and_mqtt_share_the_line(self):
        client = ModbusTcpClient('127.0.0.1', port=self.gate.modbus_port, timeout=10, retries=0)
        self.assertTrue(client.connect())
        try:
            reads, end = 0, time.time() + 2
            while time.time() < end:
                for unit in (1, 2):
                    r = client.read_holding_registers(100, 20, slave=unit)
                    self.assertFalse(r.isError(), r)
                    self.assertEqual(r.registers, [self.line.get(unit, 'DR', 100 + i) for i in range(20)])
                    reads += 1
            self.assertGreater(reads, 4)
        finally:
            client.close()
        self.assert_values(self.sub, 3)

    def test_5_a_silent_station_goes_down_and_up(self):
        state = f'{self.gate.prefix}/001/$state'
        self.line.control('silent 1 on')
        self.addCleanup(self.line.control, 'silent 1 off')
        went = time.time()
        down = self.sub.wait_for(state, lambda p: p == 'down', 15, went)
        # Its gates are read every second: one silent read, one more attempt, down.
        self.assertLess(down - went, 3.0)
        # While it stays down (probed after 1 s and 2 s more): no news.
        time.sleep(3.5)
        with self.sub.lock:
            news = [(t, p) for when, t, p in self.sub.messages
                    if when >= went and t in (state, f'{self.gate.prefix}/001/$reason')]
        self.assertEqual(news, [(f'{self.gate.prefix}/001/$reason', 'no_answer'), (state, 'down')])
        self.sub.wait_for(self.topic('001DR0010'), lambda p: p['q'] == 'down', 5, went)
        self.sub.wait_for(self.topic('001DR0020 8'), lambda p: p['q'] == 'down' and len(p['v']) == 8, 5, went)
        self.assertEqual(self.sub.value(f'{self.gate.prefix}/002/$state'), 'up')
        # The other station is read on, at its period.
        new = (self.line.get(2, 'DR', 10) + 1) % 65536
        changed = time.time()
        self.line.control(f'set 2 DR 10 {new}')
        self.assertLess(self.sub.wait_for(self.topic('002DR0010'), lambda p: p['v'] == new, 5, changed) - changed,
                        0.5 + 0.1 + 0.5)
        self.line.control('silent 1 off')
        back = time.time()
        self.sub.wait_for(state, lambda p: p == 'up', 15, back)
        self.sub.wait_for(self.topic('001DR0010'), lambda p: p['q'] == 'good', 5, back)

    def test_6_a_restarted_broker_gets_everything_again(self):
        self.broker.stop()  # no persistence: the retained values go with it
        time.sleep(1)
        self.broker.start()
        sub = Subscriber(self.broker.port, self.gate.prefix + '/#')
        try:
            self.assert_values(sub, 40)  # libmosquitto's back-off: up to a few seconds
            sub.wait_for(f'{self.gate.prefix}/001/$state', lambda p: p == 'up')
        finally:
            sub.close()
        self.assertIsNone(self.gate.process.poll())
        self.assertIn('reconnected to the MQTT broker', self.gate.log())

    def test_7_sigkill_leaves_the_last_will_and_no_writes_without_the_flag(self):
        online = self.gate.prefix + '/$online'
        self.gate.kill()
        self.assertEqual(mosquitto_sub(self.broker.port, online), [online + ' false'])
        started = time.time()
        readonly = Gate(self.line, self.broker.port, GATES, name='readonly')
        try:
            self.sub.wait_for(online, lambda p: p == 'true', 10, started)
            before = self.line.get(1, 'DR', 10)
            mosquitto_pub(self.broker.port, self.topic('001DR0010') + '/set', str((before + 1) % 65536))
            time.sleep(1.5)
            self.assertEqual(self.line.get(1, 'DR', 10), before)
            self.assertNotIn('set', readonly.log())
        finally:
            readonly.stop()
        self.assertEqual(mosquitto_sub(self.broker.port, online), [online + ' false'])


if __name__ == '__main__':
    unittest.main(verbosity=2)
