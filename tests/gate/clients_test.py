"""Four pymodbus clients at once, 500 mixed requests each, against unpaced
fasim: every answer is right or the exception it must be, and nothing is lost
or swapped between clients. A fifth client leaves with requests queued."""
import random, socket, struct, threading, unittest

from gate_rig import Rig, read

REQUESTS = 500


def client_run(rig, k, failures):
    rnd = random.Random(k)
    c = rig.client()
    mine = {}  # DR numbers this client owns (station 2, DR 500+100k ..) -> value written
    try:
        for i in range(REQUESTS):
            kind = rnd.choice(('read', 'bits', 'write', 'writeback', 'illegal'))
            st = rnd.choice((1, 2))
            if kind == 'read':
                n, count = rnd.randint(0, 300), rnd.randint(1, 40)
                want = [rig.memory[(st, 'DR', x)] for x in range(n, n + count)]
                got = read(c, 'hr', n, count, st)
            elif kind == 'bits':
                byte = rnd.randint(0, 15)
                want = [rig.memory[(st, 'IO', byte * 10 + b)] for b in range(8)]
                got = read(c, 'co', byte * 10, 8, st)
            elif kind == 'write':
                n = 500 + 100 * k + rnd.randint(0, 9)
                value = k * 10000 + i  # whose write it was shows in the value
                got = c.write_register(n, value, slave=2).isError()
                mine[n], want = value, False
            elif kind == 'writeback' and mine:
                n = rnd.choice(sorted(mine))
                got, want = read(c, 'hr', n, 1, 2), [mine[n]]
            else:
                got, want = read(c, 'hr', 1000 + rnd.randint(0, 50), 2, 2), 2
            if got != want:
                failures.append(f'client {k} request {i} ({kind}): {got} != {want}')
    except Exception as e:  # a lost answer shows as a time-out here
        failures.append(f'client {k}: {e!r}')
    finally:
        c.close()


class Clients(unittest.TestCase):
    def test_four_clients_at_once(self):
        rig = Rig(stations={1: 'FA2', 2: 'FA3'}, gate_args=('--allow-writes',))
        try:
            # A client that sends requests and leaves before the answers: only its own are lost.
            with socket.create_connection(('127.0.0.1', rig.port)) as s:
                s.sendall(b''.join(struct.pack('>HHHBBHH', t, 0, 6, 1, 3, 0, 100) for t in range(10)))
            failures = []
            threads = [threading.Thread(target=client_run, args=(rig, k, failures)) for k in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(failures, [])
            self.assertIn('disconnected', rig.log())
        finally:
            rig.close()


if __name__ == '__main__':
    unittest.main()
