"""fasim on a pty for the Python module's tests: stations 1 (FA2) and 2 (FA3)
with known memory, station 5 silent from the start, and the control socket
to silence a station and let it answer again. FASIM names fasim; the module
is found on PYTHONPATH."""
import os, shutil, subprocess, sys, tempfile, time

import pytest

# fasim's control socket through the gateway tests' rig.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'gate'))
from gate_rig import control  # noqa: E402

STATIONS = {1: 'FA2', 2: 'FA3', 5: 'FA2'}
MEMORY = {(1, 'DR', n): 1000 + n for n in range(20)} | {(2, 'DR', n): 2000 + n for n in range(120)} | {
    (1, 'IO', 0): 1, (1, 'IO', 1): 0, (1, 'IO', 2): 1, (2, 'TP', 3): 1234}


class Sim:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='vuzorur-py-')
        with open(os.path.join(self.dir, 'memory.txt'), 'w') as f:
            for (st, area, n), v in MEMORY.items():
                f.write(f'{st} {area} {n} {v}\n')
        self.link = '/tmp/vp' + os.urandom(2).hex()  # the driver takes at most 11 characters
        self.control_path = os.path.join(self.dir, 'control')
        args = [os.environ['FASIM'], '--link', self.link, '--memory', os.path.join(self.dir, 'memory.txt'),
                '--control-socket', self.control_path, '--unpaced', '--silent', '5']
        args += [a for st, m in STATIONS.items() for a in ('--station', f'{st}:{m}')]
        self.process = subprocess.Popen(args)
        end = time.time() + 10
        while not (os.path.exists(self.link) and os.path.exists(self.control_path)):
            assert time.time() < end and self.process.poll() is None, 'fasim did not start'
            time.sleep(0.05)

    def control(self, command):
        return control(self.control_path, command)

    def get(self, st, area, n):
        return int(self.control(f'get {st} {area} {n}'))

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope='module')
def sim():
    s = Sim()
    yield s
    s.close()


@pytest.fixture
def line(sim):
    import vuzorur
    with vuzorur.Line(sim.link, stations={2: 'FA3'}, down_hold=1.0) as l:
        yield l
