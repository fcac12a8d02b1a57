"""qelgate's front door with raw sockets and pymodbus against fasim: framing by
the MBAP header, slow, idle, vanished and non-reading clients, writes checked
whole, units without a station, and the stop."""
import os, socket, struct, subprocess, threading, time, unittest

from gate_rig import Rig, read


def adu(pdu, unit=1, tid=1, protocol=0, length=None):
    return struct.pack('>HHHB', tid, protocol, len(pdu) + 1 if length is None else length, unit) + pdu


def read_hr(address, count=1, unit=1, tid=1):
    return adu(struct.pack('>BHH', 3, address, count), unit, tid)


def recv_reply(s):
    """One reply by its MBAP length, or b'' when the gateway closed."""
    head = b''
    while len(head) < 6:
        part = s.recv(6 - len(head))
        if not part:
            return head
        head += part
    body = b''
    while len(body) < struct.unpack('>H', head[4:6])[0]:
        part = s.recv(300)
        if not part:
            break
        body += part
    return head + body


def line_frames(rig):
    return [line for line in rig.control_lines('trace') if 'M>S' in line]


class FrontDoor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(stations={0: 'FA2', 1: 'FA2', 2: 'FA3'},
                      gate_args=('--allow-writes', '--units', '0-2', '--max-clients', '4', '--client-idle', '3'))

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()
        log = cls.rig.log()
        assert 'stopping:' in log and 'were not done' in log, log

    def connect(self):
        s = socket.create_connection(('127.0.0.1', self.rig.port))
        s.settimeout(5)
        return s

    def test_requests_are_framed_by_their_mbap_length(self):
        rig = self.rig
        before = rig.get(0, 'DR', 259)
        rig.control('trace clear')
        with self.connect() as s:
            cases = [  # what, request, the exception answered
                ('function 0x18 with data', adu(bytes([0x18, 0, 100, 0, 1, 2, 0, 100])), b'\x98\x01'),
                ('device identification 43/14', adu(bytes([0x2B, 0x0E, 1, 0])), b'\xab\x01'),
                ('diagnostics 8', adu(bytes([8, 0, 0, 0x12, 0x34])), b'\x88\x01'),
                ('function 0', adu(bytes([0])), b'\x80\x01'),
                ('a short 0x16', adu(bytes([0x16, 0, 1])), b'\x96\x01'),
                ('a short 0x17', adu(bytes([0x17])), b'\x97\x01'),
                ('function 0x90 stays an exception', adu(bytes([0x90, 1, 2])), b'\x90\x01'),
                ('a read with surplus bytes', adu(struct.pack('>BHHB', 3, 100, 1, 0)), b'\x83\x03'),
            ]
            for tid, (what, request, exception) in enumerate(cases, 1):
                started = time.time()
                s.sendall(request[:0] + struct.pack('>H', tid) + request[2:])
                reply = recv_reply(s)
                self.assertEqual(reply[:2], struct.pack('>H', tid), what)
                self.assertEqual(reply[7:], exception, what)
                self.assertLess(time.time() - started, 0.15, f'{what}: answered at once')
                # The next ordinary read is answered as itself.
                s.sendall(read_hr(100, tid=100 + tid))
                reply = recv_reply(s)
                self.assertEqual(reply, struct.pack('>HHHBBBH', 100 + tid, 0, 5, 1, 3, 2, rig.memory[(1, 'DR', 100)]),
                                 what)
        self.assertEqual(rig.get(0, 'DR', 259), before, 'a read never becomes a write')
        self.assertEqual(len(line_frames(rig)), len(cases), 'only the reads went to the line')
        self.assertFalse([f for f in line_frames(rig) if '"W' in f or 'W0' in f], 'nothing was written')

        for what, request in (('protocol id 1', adu(bytes([3, 0, 0, 0, 1]), protocol=1)),
                              ('length 1', adu(b'', length=1)), ('length 0', adu(b'', length=0)),
                              ('length 255', adu(bytes(254), length=255))):
            with self.connect() as s:
                s.sendall(request + read_hr(100))
                self.assertEqual(recv_reply(s), b'', f'{what}: closed, nothing answered')
        self.assertIn('protocol id 1 is not Modbus', rig.log())
        self.assertIn('MBAP length 255 is above 254', rig.log())

    def test_a_byte_at_a_time_client_does_not_stall_a_live_one(self):
        done = threading.Event()

        def dribble():  # a whole read every 12 bytes, one byte each 150 ms
            with self.connect() as s:
                stream = b''.join(read_hr(n) for n in range(20))
                for b in stream:
                    if done.is_set():
                        return
                    s.sendall(bytes([b]))
                    time.sleep(0.15)

        slow = threading.Thread(target=dribble)
        slow.start()
        c = self.rig.client()
        reads, end = 0, time.time() + 3
        while time.time() < end:
            self.assertEqual(read(c, 'hr', 7, 1, 1), [self.rig.memory[(1, 'DR', 7)]])
            reads += 1
        c.close()
        done.set()
        slow.join()
        self.assertGreater(reads, 60, 'the live client is served as if alone')

    def test_vanished_and_idle_clients_make_room(self):
        silent = [self.connect() for _ in range(4)]  # as if gone without a FIN
        time.sleep(0.3)
        keepalive = subprocess.run(['ss', '-tno', 'state', 'established', f'( sport = :{self.rig.port} )'],
                                   capture_output=True, text=True).stdout
        self.assertIn('keepalive', keepalive, 'the gateway probes its clients')
        c = self.rig.client()
        self.assertEqual(read(c, 'hr', 3, 1, 1), [self.rig.memory[(1, 'DR', 3)]], 'a new client is served')
        c.close()
        self.assertEqual(silent[0].recv(10), b'', 'the client idle longest was evicted')
        self.assertIn(f'evicted client 127.0.0.1:{silent[0].getsockname()[1]}', self.rig.log())
        for s in silent[1:]:  # --client-idle 3
            self.assertEqual(s.recv(10), b'')
            s.close()
        self.assertIn('idle for 3 s (--client-idle)', self.rig.log())

    def test_a_client_that_never_reads_is_closed(self):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(('127.0.0.1', self.rig.port))
        s.settimeout(0.5)
        request = read_hr(0, unit=9)  # answered at once with 0x0A, no line time
        try:
            for _ in range(20000):
                s.sendall(request * 50)
        except OSError:
            pass
        s.close()
        self.assertIn('it does not read its replies', self.rig.log())
        self.assertEqual(read(self.rig.client(), 'hr', 3, 1, 1), [self.rig.memory[(1, 'DR', 3)]])

    def test_a_write_is_checked_whole_before_any_of_it_is_written(self):
        rig, c = self.rig, self.rig.client()
        before = [rig.get(1, 'CP', n) for n in range(3)]
        rig.control('trace clear')
        self.assertEqual(c.write_registers(10000, [5, 6, 10000], slave=1).exception_code, 3)
        self.assertEqual(c.write_registers(20000, [1, 10000], slave=2).exception_code, 3)
        self.assertEqual([rig.get(1, 'CP', n) for n in range(3)], before)
        self.assertEqual(line_frames(rig), [], 'nothing went to the line')
        self.assertIn('001CP0002 cannot take 10000 (a preset is 0-9999)', rig.log())
        self.assertFalse(c.write_registers(10000, [5, 6, 9999], slave=1).isError())
        self.assertEqual([rig.get(1, 'CP', n) for n in range(3)], [5, 6, 9999])
        c.close()

    def test_a_write_to_a_gate_the_model_refuses_says_where_the_model_came_from(self):
        rig, c = self.rig, self.rig.client()
        self.assertEqual(c.write_register(400, 1, slave=1).exception_code, 2)
        self.assertEqual(c.write_register(1000, 1, slave=2).exception_code, 2)
        c.close()
        said = [line for line in rig.log().splitlines() if 'refused a write' in line and 'is illegal' in line]
        self.assertEqual(len(said), 2, rig.log())
        self.assertTrue(said[0].endswith(
            'to unit 1 at 400: gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: '
            '0-399); station 1 is an FA2 by default: there is no station model file (no --models FILE, and no '
            f'{os.getcwd()}/davEV01.int, the file the driver reads for QEL 1); if it is an FA-3, name it with '
            '--station 1:FA3'), said[0])
        self.assertTrue(said[1].endswith(
            'to unit 2 at 1000: gate 002DR1000 is illegal: element 1000 is outside DR on station 2, an FA3 (legal: '
            '0-999); station 2 is named FA3 by --station 2:FA3'), said[1])

    def test_units_without_a_station(self):
        c = self.rig.client()
        self.rig.control('trace clear')
        started = time.time()
        for unit in (3, 7, 255):
            self.assertEqual(read(c, 'hr', 0, 1, unit), 0x0A, unit)
        self.assertLess(time.time() - started, 1)
        self.assertEqual(line_frames(self.rig), [], 'nothing was sent')
        c.close()


class KnownUnits(unittest.TestCase):
    def test_known_units_only_and_a_taken_port(self):
        rig = Rig(stations={1: 'FA2', 2: 'FA3'}, gate_args=('--known-units-only',))
        try:
            with socket.create_connection(('127.0.0.1', rig.port)) as stuck:
                stuck.sendall(read_hr(5)[:9])  # and nothing more
                c = rig.client()
                self.assertEqual(read(c, 'hr', 0, 1, 1), 0x0A, 'not named by --station')
                self.assertEqual(read(c, 'hr', 0, 1, 2), [rig.memory[(2, 'DR', 0)]])
                c.close()
                stuck.settimeout(10)
                self.assertEqual(stuck.recv(10), b'', 'a request left incomplete is closed')
            self.assertIn('a request left incomplete for 5 s', rig.log())
        finally:
            rig.close()
        # The --listen port taken: a run-time failure, not a usage error.
        link = '/tmp/gq' + os.urandom(2).hex()
        sim = subprocess.Popen([os.environ['FASIM'], '--link', link, '--station', '1:FA2', '--unpaced'])
        try:
            with socket.socket() as busy:
                busy.bind(('127.0.0.1', 0))
                busy.listen()
                Rig._wait(lambda: os.path.exists(link))
                taken = subprocess.run([os.environ['QELGATE'], '--port', link,
                                        '--listen', f'127.0.0.1:{busy.getsockname()[1]}'],
                                       capture_output=True, text=True, timeout=20)
            self.assertEqual(taken.returncode, 2, taken.stderr)
            self.assertIn('--listen', taken.stderr)
            self.assertIn('taken', taken.stderr)
        finally:
            sim.terminate()
            sim.wait(10)
        ro = Rig(stations={1: 'FA2'})
        try:
            self.assertEqual(ro.client().write_register(5, 1, slave=1).exception_code, 1)
            self.assertIn('refused a write from 127.0.0.1:', ro.log())
            self.assertIn('the gateway is read-only', ro.log())
        finally:
            ro.close()


if __name__ == '__main__':
    unittest.main()
