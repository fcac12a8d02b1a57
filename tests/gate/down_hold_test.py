"""A silent station on a paced line: after its first failure the down-hold
answers its requests at once, and the other stations keep their rate."""
import threading, time, unittest

from gate_rig import Rig, read


def rate(client, seconds, want):
    """Reads of station 1 per second over `seconds`; each must be right."""
    done, end = 0, time.time() + seconds
    while time.time() < end:
        assert read(client, 'hr', 0, 1, 1) == want
        done += 1
    return done / seconds


class DownHold(unittest.TestCase):
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
            self.assertIn('DAVEV: Read failed', rig.log(), '-v adds the driver\'s lines')
            self.assertGreater(during, 0.5 * before, f'station 1: {before:.1f}/s before, {during:.1f}/s during')
        finally:
            rig.close()


if __name__ == '__main__':
    unittest.main()
