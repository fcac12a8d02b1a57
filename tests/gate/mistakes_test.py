"""A new user's mistakes at the gateway, row by row, against the real qelgate
and fasim on a pty: each is answered in the log (and where it says so, in
/api/status), and a client that gives up does not keep a unit unjudged."""
import json, socket, struct, time, unittest, urllib.request

from gate_rig import Rig, free_port, read, wait

GATEWAY_TARGET = 0x0B
SERVER_FAILURE = 0x04


class Mistakes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Station 42 is an FA-3 that nothing names; unit 9 has no station.
        cls.http = free_port()
        cls.rig = Rig(stations={1: 'FA2', 42: 'FA3'}, name_fa3=False,
                      gate_args=['--http', f'127.0.0.1:{cls.http}'])

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def status(self):
        with urllib.request.urlopen(f'http://127.0.0.1:{self.http}/api/status', timeout=5) as r:
            return json.load(r)

    def test_an_fa3_served_as_an_fa2_is_named_in_the_log_and_the_status(self):
        # It answers, if not as an FA-2 does: the station failed the read (0x04), it did not fail to respond.
        c = self.rig.client()
        self.assertEqual(read(c, 'hr', 10, 1, 42), SERVER_FAILURE)
        c.close()
        advice = 'station 42 answers as an FA-3 but is served as an FA-2: add --station 42:FA3'
        wait(lambda: advice in self.rig.log(), 20, 'the advice in the log')
        station = [s for s in self.status()['stations'] if s['station'] == 42][0]
        self.assertEqual(station['answersAs'], 'FA3')
        self.assertEqual(station['advice'], advice)
        self.assertEqual(self.rig.log().count(advice), 1, 'said once')
        c = self.rig.client()
        self.assertEqual(read(c, 'hr', 10, 1, 1), [self.rig.memory[(1, 'DR', 10)]], 'the line was put back')
        c.close()

    def metrics(self):
        with urllib.request.urlopen(f'http://127.0.0.1:{self.http}/metrics', timeout=5) as r:
            return r.read().decode()

    def test_a_wrong_unit_is_absent_not_a_station_down_for_good(self):
        # A wrong unit id and a client's 1 s time-out: the attempt under way
        # is finished, unit 9 is judged absent (it never answered and no
        # option names it), and the next try is answered at once.
        c = self.rig.client()
        self.assertEqual(read(c, 'hr', 10, 1, 1), [self.rig.memory[(1, 'DR', 10)]])
        c.close()
        asked = time.time()
        c = self.rig.client(timeout=1)
        self.assertEqual(read(c, 'hr', 0, 1, 9), 'no answer')
        c.close()
        wait(lambda: 'unit 9 did not answer and never has: absent' in self.rig.log(), 15, 'unit 9 judged')
        self.assertNotIn('station 9 did not answer: held down', self.rig.log())
        c = self.rig.client(timeout=1)
        started = time.time()
        self.assertEqual(read(c, 'hr', 0, 1, 9), GATEWAY_TARGET)
        self.assertLess(time.time() - started, 0.5)
        c.close()
        # No station: no row, no `up` series for the documented alert, no
        # probes; listed apart with when and how often it was asked.
        status = self.status()
        self.assertNotIn(9, [s['station'] for s in status['stations']])
        absent = [a for a in status['absent'] if a['unit'] == 9]
        self.assertEqual(len(absent), 1, status['absent'])
        self.assertEqual(absent[0]['requests'], 2)
        self.assertLessEqual(asked - 1, absent[0]['firstRequest'])
        self.assertLessEqual(absent[0]['firstRequest'], absent[0]['lastRequest'])
        metrics = self.metrics()
        self.assertNotIn('qelgate_station_up{station="9"', metrics)
        self.assertIn('qelgate_station_up{station="1"', metrics)
        self.assertIn('qelgate_unit_absent_requests_total{station="9"} 2', metrics)
        self.assertEqual(absent[0]['attempts'], 5, 'the first request\'s attempts, none for the second')
        time.sleep(2.5)  # a down station would be probed after 1 s and 2 s more
        absent = [a for a in self.status()['absent'] if a['unit'] == 9]
        self.assertEqual(absent[0]['attempts'], 5, 'no probes')

    def test_http_on_the_modbus_port_names_the_http_address(self):
        with socket.create_connection(('127.0.0.1', self.rig.port), 5) as s:
            s.sendall(b'GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n')
            s.settimeout(5)
            self.assertEqual(s.recv(100), b'', 'closed, nothing answered')
        wait(lambda: f'HTTP is served on --http 127.0.0.1:{self.http}' in self.rig.log(), 5, 'the hint')
        self.assertIn('this is the Modbus TCP port', self.rig.log())


if __name__ == '__main__':
    unittest.main()
