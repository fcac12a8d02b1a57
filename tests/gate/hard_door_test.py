"""qelgate's front door against clients that send and never read, against a
stop in the middle of a long write, and its watchdog pings beside long block
reads: real programs, fasim on a pty, raw sockets and pymodbus."""
import os, signal, socket, statistics, struct, subprocess, tempfile, threading, time, unittest

from gate_rig import Rig, read


def read_hr(address, count=1, unit=1, tid=1):
    return struct.pack('>HHHBBHH', tid, 0, 6, unit, 3, address, count)


def write_many(address, values, unit=1, tid=1):
    pdu = struct.pack('>BHHB', 16, address, len(values), 2 * len(values)) + b''.join(struct.pack('>H', v) for v in values)
    return struct.pack('>HHHB', tid, 0, len(pdu) + 1, unit) + pdu


def recv_exactly(s, size):
    data = b''
    while len(data) < size:
        part = s.recv(size - len(data))
        if not part:
            break
        data += part
    return data


class Flooders:
    """Clients that send a read every `every` seconds and never read a reply."""
    def __init__(self, port, count, every=0.01, registers=1):
        self.stop, self.sockets = False, []
        for _ in range(count):
            s = socket.create_connection(('127.0.0.1', port))
            s.settimeout(0.2)
            self.sockets.append(s)
        self.threads = [threading.Thread(target=self._send, args=(s, every, registers), daemon=True)
                        for s in self.sockets]
        for t in self.threads:
            t.start()

    def _send(self, s, every, registers):
        tid = 0
        while not self.stop:
            tid = (tid + 1) & 0xFFFF
            try:
                s.sendall(read_hr(0, registers, tid=tid))
            except OSError:
                return  # evicted, or its socket full
            time.sleep(every)

    def close(self):
        self.stop = True
        for t in self.threads:
            t.join(2)
        for s in self.sockets:
            s.close()


def latencies(client, want, seconds):
    took, end = [], time.time() + seconds
    while time.time() < end:
        started = time.time()
        assert read(client, 'hr', 0, 1, 1) == want
        took.append(time.time() - started)
        time.sleep(0.02)
    return took


class NeverReading(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(stations={1: 'FA2'}, gate_args=('--max-clients', '4'))

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def test_clients_that_never_read_do_not_lock_new_ones_out(self):
        rig = self.rig
        flood = Flooders(rig.port, 4)  # as many as --max-clients, a read every 10 ms each
        try:
            time.sleep(1.5)
            served = refused = 0
            want = [rig.memory[(1, 'DR', 5)]]
            for _ in range(8):  # a new client every 0.2 s, each while all the slots are taken
                c = rig.client(timeout=3)
                try:
                    served += read(c, 'hr', 5, 1, 1) == want
                except Exception:
                    refused += 1
                c.close()
                time.sleep(0.2)
            self.assertEqual((served, refused), (8, 0), rig.log())
        finally:
            flood.close()
        log = rig.log()
        self.assertIn('it does not read its replies', log)
        self.assertIn('(its replies unread for', log, 'a client that does not read went first')
        self.assertNotIn('refused 127.0.0.1', log)

    def test_a_client_piling_up_requests_gets_no_share_until_it_reads(self):
        rig = self.rig
        live = rig.client()
        want = [rig.memory[(1, 'DR', 0)]]
        alone = statistics.median(latencies(live, want, 1.0))
        s = socket.create_connection(('127.0.0.1', rig.port))
        s.settimeout(10)
        count = 120  # far more than the gateway takes under way, sent on and on, none read
        for t in range(0, count, 10):
            s.sendall(b''.join(read_hr(0, 20, tid=t + k) for k in range(10)))
            time.sleep(0.1)
        self.assertIn(f'held client 127.0.0.1:{s.getsockname()[1]}', rig.log())
        beside = statistics.median(latencies(live, want, 1.0))
        # Held: it gets only the line time the live client leaves.
        self.assertLess(beside, 3 * alone + 0.01, (alone, beside))
        # It reads now, and sends nothing more: after its replies are taken
        # and a quiet while it is served again, every request in its order.
        started = time.time()
        for tid in range(count):
            head = recv_exactly(s, 9)
            self.assertEqual(head[:2], struct.pack('>H', tid))
            self.assertEqual(head[7:9], bytes([3, 40]))
            recv_exactly(s, 40)
        self.assertLess(time.time() - started, 15)
        self.assertIn(f'client 127.0.0.1:{s.getsockname()[1]} reads its replies again', rig.log())
        s.close()
        live.close()


class Stop(unittest.TestCase):
    def test_a_stop_finishes_the_write_under_way_and_begins_no_other(self):
        rig = Rig(stations={1: 'FA2'}, paced=True, gate_args=('--allow-writes',))
        try:
            values = [(7 * n + 11) & 0xFFFF for n in range(100)]
            before = rig.get(1, 'DR', 300)
            a = socket.create_connection(('127.0.0.1', rig.port))
            a.settimeout(20)
            # A 100-value write, and behind it in the client's order a write
            # of one value, which the stop finds not begun.
            a.sendall(write_many(100, values, tid=5) +
                      struct.pack('>HHHBBHH', 6, 0, 6, 1, 6, 300, before ^ 0x5A5A))
            time.sleep(1.0)  # its first values are written, most are not
            self.assertNotEqual(rig.get(1, 'DR', 199), values[99])
            stopped = time.time()
            rig.gate.send_signal(signal.SIGTERM)
            reply = recv_exactly(a, 12)
            self.assertEqual(reply, struct.pack('>HHHBBHH', 5, 0, 6, 1, 16, 100, 100), 'the write is answered whole')
            self.assertEqual(a.recv(12), b'', 'the request not begun is not answered')
            code = rig.gate.wait(20)
            self.assertLess(time.time() - stopped, 10)
            self.assertEqual(code, 0, rig.log())
            self.assertEqual([rig.get(1, 'DR', 100 + n) for n in range(100)], values, 'every value written')
            self.assertEqual(rig.get(1, 'DR', 300), before, 'the write not begun was not begun')
            self.assertIn('stopping: finishing the requests begun on the line', rig.log())
            a.close()
        finally:
            if rig.gate.poll() is None:
                rig.gate.kill()
            rig.fasim.terminate()
            rig.fasim.wait(10)


class Watchdog(unittest.TestCase):
    def test_the_watchdog_is_pinged_at_its_period_beside_long_block_reads(self):
        directory = tempfile.mkdtemp(prefix='qelgate-watchdog-')
        path = os.path.join(directory, 'notify')
        sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sink.bind(path)
        sink.settimeout(0.2)
        os.environ['NOTIFY_SOCKET'], os.environ['WATCHDOG_USEC'] = path, '4000000'  # pings every 1 s
        try:
            rig = Rig(stations={2: 'FA3'}, paced=True)
        finally:
            del os.environ['NOTIFY_SOCKET'], os.environ['WATCHDOG_USEC']
        stop, readers = False, []
        def reader():  # long block reads back to back: 120 registers of an FA-3 at 9600 baud
            c = rig.client()
            while not stop:
                read(c, 'hr', 0, 120, 2)
            c.close()
        readers = [threading.Thread(target=reader) for _ in range(2)]
        pings = []
        try:
            for t in readers:
                t.start()
            end = time.time() + 6
            while time.time() < end:
                try:
                    if b'WATCHDOG=1' in sink.recv(256):
                        pings.append(time.time())
                except socket.timeout:
                    pass
        finally:
            stop = True
            for t in readers:
                t.join(10)
            rig.close()
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        self.assertGreaterEqual(len(pings), 5, pings)
        self.assertLess(max(gaps), 1.5, gaps)


if __name__ == '__main__':
    unittest.main()
