"""A real mosquitto broker, fasim on a pty and qelgate publishing a gate list,
for tests and benchmarks with subscribers nobody here wrote (mosquitto_sub,
paho-mqtt). Paths come from the environment: QELGATE, FASIM."""
import functools, json, os, random, signal, socket, subprocess, sys, tempfile, threading, time

import paho.mqtt.client as mqtt

# The gateway tests' rig has the helpers for ports, waiting and fasim's control socket.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'gate'))
import gate_rig  # noqa: E402
from gate_rig import free_port  # noqa: E402,F401

wait = functools.partial(gate_rig.wait, step=0.02)


class Broker:
    def __init__(self, directory, port=None):
        self.port = port or free_port()
        self.conf = os.path.join(directory, f'mosquitto-{self.port}.conf')
        with open(self.conf, 'w') as f:
            f.write(f'listener {self.port} 127.0.0.1\nallow_anonymous true\n')
        self.log = open(os.path.join(directory, f'mosquitto-{self.port}.log'), 'a')
        self.start()

    def start(self):
        self.process = subprocess.Popen(['/usr/sbin/mosquitto', '-c', self.conf], stdout=self.log, stderr=self.log)
        wait(lambda: gate_rig.listening(self.port), what='mosquitto')

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Subscriber:
    """paho-mqtt on a topic filter: the last payload of each topic, and every
    message with the time it came."""
    def __init__(self, port, topic, persistent=False):
        self.last, self.messages, self.lock = {}, [], threading.Lock()
        # persistent: a session the broker keeps, QoS 1 messages queued for it while away.
        self.client = mqtt.Client(client_id='sub-' + os.urandom(3).hex(), clean_session=not persistent)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.on_message = self._message
        self.client.connect('127.0.0.1', port)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        payload = message.payload.decode()
        with self.lock:
            self.last[message.topic] = payload
            self.messages.append((time.time(), message.topic, payload))

    def value(self, topic):
        with self.lock:
            text = self.last.get(topic)
        return None if text is None else (json.loads(text) if text.startswith('{') else text)

    def wait_for(self, topic, ready, seconds=10, after=0):
        """The time the first payload of `topic` for which ready(payload) came
        (of those that came at `after` or later)."""
        end = time.time() + seconds
        while time.time() < end:
            with self.lock:
                for when, t, payload in self.messages:
                    if when >= after and t == topic and ready(json.loads(payload) if payload.startswith('{') else payload):
                        return when
            time.sleep(0.01)
        raise AssertionError(f'{topic}: nothing fitting in {seconds} s; last {self.value(topic)}')

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def mosquitto_sub(port, topic, count=1, seconds=5):
    """Messages as mosquitto_sub prints them with -v: 'topic payload' lines."""
    out = subprocess.run(['mosquitto_sub', '-p', str(port), '-t', topic, '-v', '-C', str(count), '-W', str(seconds)],
                         capture_output=True, text=True)
    return out.stdout.splitlines()


def mosquitto_pub(port, topic, payload):
    subprocess.run(['mosquitto_pub', '-p', str(port), '-t', topic, '-m', payload, '-q', '1'], check=True)


class Line:
    """fasim with random memory on a pty; `stations` {number: model}."""
    def __init__(self, directory, stations, paced=False, seed=3, extra=()):
        self.dir, self.stations = directory, stations
        rnd = random.Random(seed)
        with open(os.path.join(directory, 'memory.txt'), 'w') as f:
            for st in stations:
                for n in range(400):
                    f.write(f'{st} DR {n} {rnd.randint(0, 65535)}\n')
                for n in range(47):
                    f.write(f'{st} CP {n} {rnd.randint(0, 9999)}\n')
                for n in [n for n in range(158) if n % 10 < 8]:
                    f.write(f'{st} IO {n} {rnd.randint(0, 1)}\n')
        self.link = '/tmp/mq' + os.urandom(2).hex()  # at most 11 characters for the driver
        self.control_path = os.path.join(directory, 'control-' + self.link[7:])
        args = [os.environ['FASIM'], '--link', self.link, '--memory', os.path.join(directory, 'memory.txt'),
                '--control-socket', self.control_path] + list(extra)
        args += [a for st, m in stations.items() for a in ('--station', f'{st}:{m}')]
        self.args = args + ([] if paced else ['--unpaced'])
        self.start()

    def start(self):
        self.process = subprocess.Popen(self.args)
        wait(lambda: os.path.exists(self.link) and os.path.exists(self.control_path), what='fasim')

    def kill(self):
        """The adapter unplugged: the pty goes away at once."""
        self.process.kill()
        self.process.wait(10)

    def control(self, command):
        return gate_rig.control(self.control_path, command)

    def get(self, st, area, n):
        return int(self.control(f'get {st} {area} {n}'))

    def close(self):
        self.process.terminate()
        self.process.wait(10)


class Gate:
    """qelgate on a Line, publishing `gates` (list lines) to a broker."""
    def __init__(self, line, broker_port, gates, args=(), name='gate'):
        self.line = line
        self.list_path = os.path.join(line.dir, name + '-list.txt')
        with open(self.list_path, 'w') as f:
            f.write('\n'.join(gates) + '\n')
        self.modbus_port = free_port()
        self.args = [os.environ['QELGATE'], '--port', line.link, '--listen', f'127.0.0.1:{self.modbus_port}',
                     '--mqtt', f'mqtt://127.0.0.1:{broker_port}', '--publish', self.list_path] + list(args)
        self.args += [a for st, m in line.stations.items() if m == 'FA3' for a in ('--station', f'{st}:FA3')]
        self.log_path = os.path.join(line.dir, name + '.log')
        self.prefix = 'fa/' + os.path.basename(line.link)
        self.start()

    def start(self):
        """Started again after a kill: the log goes on in the same file."""
        with open(self.log_path, 'a') as log:
            self.process = subprocess.Popen(self.args, stderr=log)

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)

    def stop(self):
        self.process.terminate()
        code = self.process.wait(20)
        assert code == 0 and 'stopped' in self.log(), f'qelgate did not stop cleanly ({code}):\n{self.log()}'


def temp_dir():
    return tempfile.mkdtemp(prefix='qelgate-mqtt-')


def class_broker(cls):
    """A test class's temporary folder and broker (cls.dir, cls.broker); the
    broker stops when the class is done, also when its set-up fails half way."""
    cls.dir = temp_dir()
    cls.broker = Broker(cls.dir)
    cls.addClassCleanup(lambda: cls.broker.stop())


def class_line(cls, stations):
    """A test class's fasim with `stations` (cls.line) in cls.dir, closed when the class is done."""
    cls.line = Line(cls.dir, stations)
    cls.addClassCleanup(cls.line.close)


def class_relayed(cls, stations):
    """A test class's broker behind a Relay the tests cut (cls.relay), fasim
    with `stations` (cls.line, which a test may kill and start again) and a
    persistent subscriber to every gateway's topics on the broker itself
    (cls.sub); each gone when the class is done."""
    class_broker(cls)
    cls.relay = Relay(cls.broker.port)
    cls.addClassCleanup(cls.relay.cut)
    cls.line = Line(cls.dir, stations)
    cls.addClassCleanup(lambda: cls.line.process.poll() is None and cls.line.close())
    cls.sub = Subscriber(cls.broker.port, 'fa/#', persistent=True)
    cls.addClassCleanup(cls.sub.close)


def allow_file(directory, gases):
    """A write allow list of `gases` in `directory`: its path."""
    path = os.path.join(directory, 'allow.txt')
    with open(path, 'w') as f:
        f.write('\n'.join(gases) + '\n')
    return path


class Relay:
    """A TCP relay on a loopback port of its own to the broker, that a test
    cuts (every connection closed, new ones refused) and restores."""
    def __init__(self, target_port):
        self.port, self.target = free_port(), target_port
        self.lock, self.connections, self.listener = threading.Lock(), [], None
        self.restore()

    def restore(self):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(('127.0.0.1', self.port))
        listener.listen(16)
        self.listener = listener
        threading.Thread(target=self._accept, args=(listener,), daemon=True).start()

    def _accept(self, listener):
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            try:
                broker = socket.create_connection(('127.0.0.1', self.target))
            except OSError:
                client.close()
                continue
            with self.lock:
                self.connections += [client, broker]
            for a, b in ((client, broker), (broker, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def _pipe(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for s in self.connections:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
            self.connections.clear()
