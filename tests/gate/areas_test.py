"""Every area of an FA2 and an FA3 station through qelgate, with pymodbus and
mbpoll: reads against fasim's random memory, writes read back through fasim's
control interface, the exceptions, and the gateway's safety limits."""
import socket, struct, subprocess, time, unittest

from gate_rig import AREAS, MAP, Rig, read


class Areas(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(stations={1: 'FA2', 2: 'FA3', 3: 'FA2'}, silent=(3,),
                      gate_args=('--allow-writes', '--down-hold', '30', '--max-clients', '3'))
        cls.c = cls.rig.client()

    @classmethod
    def tearDownClass(cls):
        cls.c.close()
        cls.rig.close()

    def test_every_area_reads_what_the_station_holds(self):
        for st, model in ((1, 'FA2'), (2, 'FA3')):
            for area, numbers in AREAS[model].items():
                table, base = MAP[area]
                numbers = list(numbers)
                # Runs of up to 8 side-by-side numbers, from the start and the end of the area.
                for first in (numbers[0], numbers[-8]):
                    run = [n for n in numbers if first <= n < first + 8]
                    want = [self.rig.memory[(st, area, n)] for n in run]
                    for t in ((table, 'di') if table == 'co' else (table,)):
                        got = read(self.c, t, base + run[0], len(run), st)
                        self.assertEqual(got, want, f'{st} {area} {run[0]}..{run[-1]} via {t}')

    def test_long_register_reads_take_the_fewest_block_reads(self):
        for st, count, block_reads in ((1, 125, 2), (2, 125, 2), (1, 100, 1)):
            self.rig.control('trace clear')
            got = read(self.c, 'hr', 250, count, st)
            self.assertEqual(got, [self.rig.memory[(st, 'DR', n)] for n in range(250, 250 + count)])
            frames = [line for line in self.rig.control_lines('trace') if 'M>S' in line and '`' not in line]
            self.assertEqual(len(frames), block_reads, '\n'.join(frames))

    def test_writes_of_every_kind_reach_the_station(self):
        c = self.c
        cases = [  # what, write call, (station, area, first number), values
            ('FC6 DR', lambda: c.write_register(17, 4321, slave=1), (1, 'DR', 17), [4321]),
            ('FC16 DR', lambda: c.write_registers(900, [1, 65535, 7], slave=2), (2, 'DR', 900), [1, 65535, 7]),
            ('FC16 CP', lambda: c.write_registers(10000 + 5, [9999, 12], slave=1), (1, 'CP', 5), [9999, 12]),
            ('FC6 TP', lambda: c.write_register(20000 + 200, 77, slave=2), (2, 'TP', 200), [77]),
            ('FC5 IO', lambda: c.write_coil(157, True, slave=1), (1, 'IO', 157), [1]),
            ('FC15 IM', lambda: c.write_coils(10000 + 1310, [1, 0, 1], slave=2), (2, 'IM', 1310), [1, 0, 1]),
            ('FC15 SR', lambda: c.write_coils(20000 + 100, [0, 1], slave=2), (2, 'SR', 100), [0, 1]),
        ]
        for what, write, (st, area, n), values in cases:
            self.assertFalse(write().isError(), what)
            self.assertEqual([self.rig.get(st, area, n + i) for i in range(len(values))], values, what)

    def test_exceptions(self):
        c = self.c
        cases = [  # what, response, exception code
            ('DR 400 on FA2', c.read_holding_registers(400, 1, slave=1), 2),
            ('IO 8 (no bit digit 8)', c.read_coils(0, 9, slave=1), 2),
            ('past the last area', c.read_holding_registers(40000, 1, slave=1), 2),
            ('WO', c.write_register(30001, 5, slave=2), 2),
            ('TM 80 on FA2', c.read_input_registers(80, 1, slave=1), 2),
            ('FC 23 is not served', c.readwrite_registers(read_address=0, read_count=1, write_address=0,
                                                          write_registers=[1], slave=1), 1),
            ('CP above 9999 is refused before the line', c.write_register(10000, 10000, slave=1), 3),
        ]
        for what, response, code in cases:
            self.assertTrue(response.isError(), what)
            self.assertEqual(response.exception_code, code, what)

    def test_a_silent_station_is_held_down(self):
        started = time.time()
        self.assertEqual(read(self.c, 'hr', 0, 1, 3), 0x0B)
        self.assertGreater(time.time() - started, 0.5, 'the first request goes to the line: five attempts, 150 ms apart')
        started = time.time()
        for _ in range(5):
            self.assertEqual(read(self.c, 'hr', 0, 1, 3), 0x0B)
        self.assertLess(time.time() - started, 1, 'during the down-hold the answer comes at once')
        # Named by no option and never heard: absent, not a station down.
        self.assertIn('unit 3 did not answer and never has', self.rig.log())
        self.assertNotIn('DAVEV', self.rig.log(), 'the driver\'s lines only with -v')

    def test_mbpoll(self):
        def mbpoll(*args):
            return subprocess.run(['mbpoll', '-m', 'tcp', '-p', str(self.rig.port), '-0', '-1', *args],
                                  capture_output=True, text=True, timeout=20)
        out = mbpoll('-a', '2', '-r', '10', '-c', '3', '127.0.0.1').stdout
        for n in range(10, 13):
            self.assertIn(f'[{n}]: \t{self.rig.memory[(2, "DR", n)]}', out)
        out = mbpoll('-a', '1', '-t', '0', '-r', '200', '-c', '8', '127.0.0.1').stdout
        self.assertIn(f'[207]: \t{self.rig.memory[(1, "IO", 207)]}', out)
        mbpoll('-a', '1', '-r', '10100', '127.0.0.1', '4444')  # CP 100 is no FA2 element
        r = mbpoll('-a', '1', '-r', '10040', '127.0.0.1', '4444')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.rig.get(1, 'CP', 40), 4444)
        self.assertIn('Illegal data address', mbpoll('-a', '1', '-r', '10100', '127.0.0.1', '1').stderr)

    def test_a_malformed_client_leaves_the_gateway_serving(self):
        with socket.create_connection(('127.0.0.1', self.rig.port)) as s:  # length field far too big
            s.sendall(struct.pack('>HHHBB', 1, 0, 4000, 1, 3) + b'\0' * 300)
            s.settimeout(5)
            self.assertEqual(s.recv(9), b'', 'closed')
        self.assertEqual(read(self.c, 'hr', 3, 1, 1), [self.rig.memory[(1, 'DR', 3)]])


class ReadOnly(unittest.TestCase):
    def test_writes_need_allow_writes_and_the_allow_list(self):
        rig = Rig(stations={1: 'FA2'})
        try:
            self.assertEqual(rig.client().write_register(5, 1, slave=1).exception_code, 1)
        finally:
            rig.close()
        import os, tempfile
        allow = os.path.join(tempfile.mkdtemp(), 'allow')
        with open(allow, 'w') as f:
            f.write('# gates a client may write\n001DR0010 2\n001io0017\n')
        rig = Rig(stations={1: 'FA2'}, gate_args=('--allow-writes', '--write-allow', allow))
        try:
            c = rig.client()
            self.assertFalse(c.write_registers(10, [5, 6], slave=1).isError())
            self.assertFalse(c.write_coil(17, True, slave=1).isError())
            self.assertEqual(c.write_registers(10, [5, 6, 7], slave=1).exception_code, 2)
            self.assertEqual(rig.get(1, 'DR', 12), rig.memory[(1, 'DR', 12)], 'nothing of a refused write is written')
            self.assertEqual(c.write_coil(16, True, slave=1).exception_code, 2)
        finally:
            rig.close()


if __name__ == '__main__':
    unittest.main()
