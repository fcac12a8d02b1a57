"""The line shared on a paced line (9600 baud): a silent station's down-hold
answers at once while the other stations keep their rate, and a client with
many requests queued does not starve another."""
import socket, struct, threading, time, unittest

from gate_rig import Rig, read


def rate(client, seconds, want):
    """Reads of station 1 per second over `seconds`; each must be right."""
    done, end = 0, time.time() + seconds
    while time.time() < end:
        assert read(client, 'hr', 0, 1, 1) == want
        done += 1
    return done / seconds


class PacedLine(unittest.TestCase):
    def test_a_dead_station_does_not_stall_the_line(self):
        rig = Rig(stations={1: 'FA2', 3: 'FA2'}, silent=(3,), paced=True, gate_args=('--down-hold', '30', '-v'))
        try:
            a, b = rig.client(), rig.client()
            want = [rig.memory[(1, 'DR', 0)]]
            before = rate(a, 2, want)
            self.assertEqual(read(b, 'hr', 0, 1, 3), 0x0B)  # the driver's retries: seconds of line time

            answers = []
            def dead_station():
                end = time.time() + 3
                while time.time() < end:
                    started = time.time()
                    answers.append((read(b, 'hr', 0, 1, 3), time.time() - started))
            t = threading.Thread(target=dead_station)
            t.start()
            during = rate(a, 3, want)
            t.join()
            self.assertGreater(len(answers), 10)
            self.assertEqual({code for code, _ in answers}, {0x0B})
            self.assertLess(max(s for _, s in answers), 0.5, 'held down: answered without the line')
            self.assertIn('DAVEV: Izumi', rig.log(), '-v adds the driver\'s lines')
            self.assertIn('unit 3 did not answer and never has', rig.log())  # named by no option: absent
            self.assertGreater(during, 0.5 * before, f'station 1: {before:.1f}/s before, {during:.1f}/s during')
        finally:
            rig.close()

    def test_a_greedy_client_does_not_starve_another(self):
        rig = Rig(stations={1: 'FA2'}, paced=True)
        try:
            polite = rig.client()
            with socket.create_connection(('127.0.0.1', rig.port)) as greedy:
                # Eight reads of 100 registers, sent at once: about 4 s of line time.
                greedy.sendall(b''.join(struct.pack('>HHHBBHH', t, 0, 6, 1, 3, 0, 100) for t in range(8)))
                time.sleep(0.2)
                started = time.time()
                self.assertEqual(read(polite, 'hr', 7, 1, 1), [rig.memory[(1, 'DR', 7)]])
                waited = time.time() - started
                greedy.settimeout(20)
                answers = b''
                while len(answers) < 8 * 209:
                    answers += greedy.recv(65536)
            self.assertLess(waited, 2, 'served in turn, not after the whole queue')
            ids = [struct.unpack('>H', answers[i * 209:i * 209 + 2])[0] for i in range(8)]
            self.assertEqual(ids, list(range(8)), 'a client gets its answers in the order it asked')
            want = [rig.memory[(1, 'DR', n)] for n in range(100)]
            self.assertEqual(list(struct.unpack('>100H', answers[9:209])), want)
        finally:
            rig.close()


if __name__ == '__main__':
    unittest.main()
