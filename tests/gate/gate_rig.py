"""qelgate in front of fasim on a pty, for tests with Modbus clients nobody
here wrote (pymodbus, mbpoll). Paths come from the environment: QELGATE, FASIM."""
import os, random, socket, subprocess, tempfile, time

from pymodbus.client import ModbusTcpClient

# Legal written numbers of every area, per model (as a gate address writes them).
def _bits(*ranges):
    return [n for lo, hi in ranges for n in range(lo, hi + 1) if n % 10 < 8]

AREAS = {
    'FA2': {'DR': range(400), 'CP': range(47), 'TP': range(80), 'TM': range(80), 'CT': range(47),
            'IO': _bits((0, 157), (200, 357)), 'IR': _bits((400, 697), (2200, 2357), (2400, 2697)),
            'SR': range(128)},
    'FA3': {'DR': range(1000), 'CP': list(range(47)) + list(range(48, 103)), 'TP': range(256),
            'TM': range(256), 'CT': list(range(47)) + list(range(48, 103)),
            'IO': _bits((0, 157), (200, 357), (2000, 2157), (2200, 2357)),
            'IM': _bits((400, 637), (640, 1317), (2400, 2697)), 'SR': range(224)},
}
# Modbus table and base of each area (the gateway's address map).
MAP = {'DR': ('hr', 0), 'CP': ('hr', 10000), 'TP': ('hr', 20000), 'TM': ('ir', 0), 'CT': ('ir', 10000),
       'IO': ('co', 0), 'IR': ('co', 10000), 'IM': ('co', 10000), 'SR': ('co', 20000)}


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something accepts TCP connections on the local port."""
    try:
        socket.create_connection(('127.0.0.1', port), 0.2).close()
        return True
    except OSError:
        return False


def wait(ready, seconds=10, what='the rig', step=0.05):
    end = time.time() + seconds
    while not ready():
        assert time.time() < end, f'timed out waiting for {what}'
        time.sleep(step)


def control(path, command):
    """One command to fasim's control socket at `path`, its one-line answer."""
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(path)
        s.sendall((command + '\n').encode())
        answer = b''
        while not answer.endswith(b'\n'):
            answer += s.recv(4096)
    return answer.decode().strip()


class GateDidNotStart(Exception):
    """qelgate ended at its start; the text is its log."""


class Rig:
    def __init__(self, stations={1: 'FA2', 2: 'FA3'}, silent=(), paced=False, gate_args=(), seed=7, name_fa3=True):
        self.dir = tempfile.mkdtemp(prefix='qelgate-test-')
        self.stations = stations
        self.memory = {}  # (station, area, n) -> value
        rnd = random.Random(seed)
        with open(os.path.join(self.dir, 'memory.txt'), 'w') as f:
            for st, model in stations.items():
                for area, numbers in AREAS[model].items():
                    for n in numbers:
                        bit = area in ('IO', 'IR', 'IM', 'SR')
                        v = rnd.randint(0, 1) if bit else rnd.randint(0, 9999 if area in ('CP', 'TP') else 65535)
                        # The driver gives a timer's or counter's value without its two status bits.
                        self.memory[(st, area, n)] = v & 0x3FFF if area in ('TM', 'CT') else v
                        f.write(f'{st} {area} {n} {v}\n')
        self.link = '/tmp/gq' + os.urandom(2).hex()  # at most 11 characters for the driver
        self.control_path = os.path.join(self.dir, 'control')
        args = [os.environ['FASIM'], '--link', self.link, '--memory', os.path.join(self.dir, 'memory.txt'),
                '--control-socket', self.control_path]
        args += [a for st, m in stations.items() for a in ('--station', f'{st}:{m}')]
        args += [a for st in silent for a in ('--silent', str(st))]
        self.fasim_args = args + ([] if paced else ['--unpaced'])
        self.start_fasim()
        self.port = free_port()
        args = [os.environ['QELGATE'], '--port', self.link, '--listen', f'127.0.0.1:{self.port}']
        if name_fa3:  # else qelgate takes every station for an FA-2, as without --models
            args += [a for st, m in stations.items() if m == 'FA3' for a in ('--station', f'{st}:FA3')]
        self.log_path = os.path.join(self.dir, 'qelgate.log')
        with open(self.log_path, 'w') as log:
            self.gate = subprocess.Popen(args + list(gate_args), stderr=log)
        try:
            self._wait(lambda: self.gate.poll() is not None or self._listening())
            if self.gate.poll() is not None:
                raise GateDidNotStart(self.log())
        except BaseException:
            # Nothing left running: a child holding the test's output open
            # would keep the test from ending until its time-out.
            self.gate.kill()
            self.fasim.kill()
            raise

    def start_fasim(self):
        """Starts fasim on the rig's link (again, after the last one went away)."""
        if os.path.exists(self.control_path):
            os.unlink(self.control_path)  # left by a fasim that was killed
        self.fasim = subprocess.Popen(self.fasim_args)
        self._wait(lambda: os.path.exists(self.link) and os.path.exists(self.control_path))

    def _listening(self):
        return listening(self.port)

    @staticmethod
    def _wait(ready, seconds=10):
        wait(ready, seconds)

    def control(self, command):
        return control(self.control_path, command)

    def control_lines(self, command):
        """A command whose answer is several lines up to "end" (trace)."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.control_path)
            s.sendall((command + '\n').encode())
            answer = b''
            while not answer.endswith(b'end\n'):
                answer += s.recv(65536)
        return answer.decode().splitlines()[:-1]

    def get(self, st, area, n):
        return int(self.control(f'get {st} {area} {n}'))

    def client(self, timeout=15):
        c = ModbusTcpClient('127.0.0.1', port=self.port, timeout=timeout, retries=0)
        assert c.connect()
        return c

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def close(self):
        """Stops qelgate with SIGTERM (it must stop cleanly) and fasim."""
        self.gate.terminate()
        code = self.gate.wait(20)
        self.fasim.terminate()
        self.fasim.wait(10)
        assert code == 0 and 'stopped' in self.log(), f'qelgate did not stop cleanly ({code}):\n{self.log()}'


def read(client, table, address, count, unit):
    """One read of a Modbus table ('hr', 'ir', 'co', 'di'): values, or the exception code."""
    call = {'hr': client.read_holding_registers, 'ir': client.read_input_registers,
            'co': client.read_coils, 'di': client.read_discrete_inputs}[table]
    r = call(address, count, slave=unit)
    if r.isError():
        return getattr(r, 'exception_code', 'no answer')
    return list(r.registers if table in ('hr', 'ir') else r.bits[:count])
