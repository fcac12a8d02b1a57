"""qelgate's MQTT side against what a broker's other clients can do: a flood
of sets (mosquitto_pub), payloads with a NUL or trailing junk, retained
topics left by an earlier list, a second gateway with the same client id,
a broker that refuses the password. Real mosquitto, fasim on a pty."""
import os, re, subprocess, threading, time, unittest

import paho.mqtt.client as mqtt

from mqtt_rig import Broker, Gate, Line, Subscriber, class_broker, class_line, temp_dir, wait


def rss_kib(pid):
    with open(f'/proc/{pid}/status') as f:
        return int(re.search(r'VmRSS:\s+(\d+)', f.read()).group(1))


def publish_raw(port, topic, payload, retain=False):
    """One message with these exact bytes (paho), QoS 1."""
    c = mqtt.Client(client_id='raw-' + os.urandom(3).hex())
    c.connect('127.0.0.1', port)
    c.loop_start()
    c.publish(topic, payload, qos=1, retain=retain).wait_for_publish(5)
    c.loop_stop()
    c.disconnect()


class Sets(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        class_broker(cls)
        class_line(cls, {1: 'FA2'})
        cls.gate = Gate(cls.line, cls.broker.port, ['001DR0010', '001DR0020 200ms', '001DR0030'], ['--mqtt-writes'])
        cls.addClassCleanup(lambda: cls.gate.process.poll() is None and cls.gate.stop())
        cls.sub = Subscriber(cls.broker.port, cls.gate.prefix + '/#')
        cls.addClassCleanup(cls.sub.close)
        cls.sub.wait_for(cls.gate.prefix + '/001/DR0020', lambda p: p['q'] == 'good')

    def test_a_flood_of_sets_writes_the_newest_and_leaves_the_line_to_the_reads(self):
        prefix, line = self.gate.prefix, self.line
        rss_before = rss_kib(self.gate.process.pid)
        # 001DR0020 changes every 0.5 s meanwhile; it is read every 200 ms.
        changes, stop = [], threading.Event()
        def change():
            value = 1000
            while not stop.is_set():
                value += 1
                line.control(f'set 1 DR 20 {value}')
                changes.append(value)
                stop.wait(0.5)
        changer = threading.Thread(target=change)
        changer.start()
        started = time.time()
        flood = '\n'.join([str(n % 60000) for n in range(30000)] + ['junk'] * 2000) + '\n'
        subprocess.run(['mosquitto_pub', '-p', str(self.broker.port), '-t', prefix + '/001/DR0010/set', '-l',
                        '-q', '0'], input=flood, text=True, check=True, timeout=60)
        flooded = time.time()
        # Another client's set of another gate right behind the flood.
        subprocess.run(['mosquitto_pub', '-p', str(self.broker.port), '-t', prefix + '/001/DR0030/set', '-m',
                        '4242', '-q', '1'], check=True)
        wait(lambda: line.get(1, 'DR', 30) == 4242, 10, 'the set behind the flood written')
        applied = time.time() - flooded
        # Of the flood, the newest set stands.
        wait(lambda: line.get(1, 'DR', 10) == 29999, 10, 'the newest set of the flood written')
        stop.set()
        changer.join()
        # The reads went on through the flood: every change of 001DR0020 published.
        for value in changes[:-1]:
            self.sub.wait_for(prefix + '/001/DR0020', lambda p, v=value: p['v'] == v, 5, after=started)
        self.assertLess(applied, 5)
        with self.sub.lock:
            superseded = sum(1 for _, t, p in self.sub.messages if t.endswith('/set/result') and 'superseded' in p)
        self.assertGreater(superseded, 0)
        log = self.gate.log()
        self.assertLess(log.count('MQTT set on'), 10, 'refused sets are logged in a burst, then counted')
        # The sanitizers keep freed memory in quarantine: the bound is the
        # plain build's.
        if os.environ.get('SANITIZED') != '1':
            self.assertLess(rss_kib(self.gate.process.pid) - rss_before, 16 * 1024)

    def test_a_payload_with_a_nul_or_trailing_junk_is_refused(self):
        prefix = self.gate.prefix
        before = self.line.get(1, 'DR', 10)
        # The rule of every write's payload, HTTP's too: the reason in the answer.
        for payload, why in ((b'49\x00junk', 'a control byte (0x00) at byte 3'), (b'49 junk', '4 bytes follow the value'),
                             (b'1e400', 'is beyond'), (b'{"v":53,"v":54}', 'the key "v" is given twice'),
                             (b'{"v":5,"x":1}', 'unknown key "x"')):
            started = time.time()
            publish_raw(self.broker.port, prefix + '/001/DR0010/set', payload)
            self.sub.wait_for(prefix + '/001/DR0010/set/result', lambda p, w=why: p['ok'] is False and w in p['reason'],
                              5, after=started)
        self.assertEqual(self.line.get(1, 'DR', 10), before)
        # Whitespace around the number and an exponent are a whole number.
        for payload, value in ((b' 42 ', 42), (b'1e3', 1000)):
            publish_raw(self.broker.port, prefix + '/001/DR0010/set', payload)
            wait(lambda v=value: self.line.get(1, 'DR', 10) == v, 5, f'{payload} written')

    def test_the_start_line_says_which_front_ends_write(self):
        start = next(line for line in self.gate.log().splitlines() if 'serving' in line)
        self.assertIn('writes allowed (MQTT)', start)
        self.assertNotIn('read-only', start)


class Broker2(unittest.TestCase):
    def test_retained_topics_no_longer_published_are_cleared_on_start(self):
        d = temp_dir()
        broker = Broker(d)
        line = Line(d, {1: 'FA2', 2: 'FA2'})
        try:
            gate = Gate(line, broker.port, ['001DR0010', '002DR0010'])
            sub = Subscriber(broker.port, gate.prefix + '/#')
            sub.wait_for(gate.prefix + '/002/$state', lambda p: p == 'up')
            sub.wait_for(gate.prefix + '/002/DR0010', lambda p: p['q'] == 'good')
            gate.stop()
            sub.close()
            publish_raw(broker.port, gate.prefix + '/009/DR0001', b'{"v":1}', retain=True)  # an older list's
            gate = Gate(line, broker.port, ['001DR0010'], name='gate2')  # station 2 left out
            wait(lambda: 'cleared the retained topic' in gate.log() and '$online' in gate.log() or
                 gate.log().count('cleared the retained topic') >= 3, 10, 'the sweep')
            time.sleep(3.5)  # the sweep ends
            retained = subprocess.run(['mosquitto_sub', '-p', str(broker.port), '-t', gate.prefix + '/#', '-v',
                                       '--retained-only', '-W', '2'], capture_output=True, text=True).stdout
            topics = sorted(line.split()[0] for line in retained.splitlines())
            self.assertEqual(topics, sorted([gate.prefix + '/$online', gate.prefix + '/$port', gate.prefix + '/001/$state',
                                             gate.prefix + '/001/DR0010']), retained)
            self.assertEqual(gate.log().count('cleared the retained topic'), 3, gate.log())
            gate.stop()
        finally:
            line.close()
            broker.stop()

    def test_a_taken_over_session_is_said_once_and_backed_off(self):
        d = temp_dir()
        broker = Broker(d)
        line1, line2 = Line(d, {1: 'FA2'}), Line(d, {1: 'FA2'})
        gates = []
        try:
            for n, line in enumerate((line1, line2)):
                gates.append(Gate(line, broker.port, ['001DR0010'], ['--mqtt-client-id', 'same-id'], name=f'g{n}'))
            time.sleep(12)
            logs = [g.log() for g in gates]
            said = sum(log.count('takes the session over') for log in logs)
            self.assertGreaterEqual(said, 1, logs)
            for log in logs:
                self.assertLessEqual(log.count('takes the session over'), 1, log)
                self.assertLessEqual(log.count('connected to the MQTT broker'), 5, log)
        finally:
            for g in gates:
                g.stop()
            line1.close()
            line2.close()
            broker.stop()

    def test_a_refused_password_is_logged_once_per_reason(self):
        d = temp_dir()
        os.chmod(d, 0o755)  # mosquitto started as root reads its files as the mosquitto user
        passwords = os.path.join(d, 'passwords')
        subprocess.run(['mosquitto_passwd', '-c', '-b', passwords, 'gate', 'right'], check=True)
        os.chmod(passwords, 0o644)
        broker = Broker(d)
        broker.stop()
        with open(broker.conf, 'w') as f:
            f.write(f'listener {broker.port} 127.0.0.1\nallow_anonymous false\npassword_file {passwords}\n')
        broker.start()
        line = Line(d, {1: 'FA2'})
        try:
            gate = Gate(line, broker.port, ['001DR0010'], ['--mqtt-user', 'gate', '--mqtt-password', 'wrong'])
            time.sleep(10)  # reconnects with back-off: 1, 2, 4 s ...
            log = gate.log()
            self.assertEqual(log.count('refused the connection'), 1, log)
            self.assertIn('logged again each minute', log)
            gate.stop()
        finally:
            line.close()
            broker.stop()


if __name__ == '__main__':
    unittest.main()
