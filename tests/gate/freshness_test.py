"""Shared reads are never stale: on a paced line (9600 baud), while four
clients read station 1 DR 100..119 back to back, fasim's values are changed
through its control socket, and a read sent after each change must return
it; no client ever sees a value go back. With --poll and --max-age a read
sent once the max age has passed after a change returns it as well, and a
write is never answered from memory with the value before it."""
import json, os, threading, time, unittest, urllib.request

from gate_rig import Rig, free_port, read

BLOCK, COUNT = 100, 20


def hammer(rig, stop, seen, failures):
    """Reads the block until stopped; every element's value must never go back."""
    c = rig.client()
    last = [0] * COUNT
    try:
        while not stop.is_set():
            got = read(c, 'hr', BLOCK, COUNT, 1)
            if not isinstance(got, list):
                failures.append(f'exception {got}')
                continue
            for i, (before, now) in enumerate(zip(last, got)):
                if now < before:
                    failures.append(f'DR {BLOCK + i} went back from {before} to {now}')
            last = got
            seen[0] += 1
    except Exception as e:
        failures.append(repr(e))
    finally:
        c.close()


def status(port):
    with urllib.request.urlopen(f'http://127.0.0.1:{port}/api/status', timeout=5) as response:
        return json.loads(response.read())['line']['sharing']


class Freshness(unittest.TestCase):
    def run_changes(self, rig, http, changes, settle):
        for n in range(BLOCK, BLOCK + COUNT):
            self.assertEqual(rig.control(f'set 1 DR {n} 0'), 'ok')
        time.sleep(settle)  # the values before lie beyond the max age
        stop, seen, failures = threading.Event(), [0], []
        threads = [threading.Thread(target=hammer, args=(rig, stop, seen, failures)) for _ in range(4)]
        for t in threads:
            t.start()
        asker = rig.client()
        try:
            time.sleep(0.5)
            for i in range(1, changes + 1):
                n = BLOCK + i % COUNT
                self.assertEqual(rig.control(f'set 1 DR {n} {i}'), 'ok')
                time.sleep(settle)
                got = read(asker, 'hr', BLOCK, COUNT, 1)
                self.assertEqual(got[n - BLOCK], i, f'change {i} of DR {n}: read after it gave {got}')
        finally:
            stop.set()
            for t in threads:
                t.join()
            asker.close()
        self.assertEqual(failures, [])
        self.assertGreater(seen[0], changes)
        return status(http)

    def test_a_read_after_a_change_returns_it_while_others_share_the_line(self):
        http = free_port()
        rig = Rig(stations={1: 'FA2'}, paced=True, gate_args=('--http', str(http)))
        try:
            sharing = self.run_changes(rig, http, changes=25, settle=0)
            self.assertGreater(sharing['sharedRequests'], 20, sharing)
            self.assertEqual(sharing['imageRequests'], 0, 'no image without --max-age')
        finally:
            rig.close()

    def test_the_image_never_serves_a_value_older_than_the_max_age_nor_across_a_write(self):
        http = free_port()
        poll = os.path.join(os.environ.get('TMPDIR', '/tmp'), f'poll-{os.getpid()}.txt')
        with open(poll, 'w') as f:
            f.write(f'001DR{BLOCK:04d} {COUNT} 0.2s\n')
        rig = Rig(stations={1: 'FA2'}, paced=True,
                  gate_args=('--http', str(http), '--poll', poll, '--max-age', '400', '--allow-writes'))
        try:
            # A change shows once the max age has passed since it.
            sharing = self.run_changes(rig, http, changes=8, settle=0.45)
            self.assertGreater(sharing['imageRequests'], 20, sharing)
            self.assertLessEqual(sharing['imageAgeMax'], 0.4, sharing)
            # A client's write is not hidden by the image from its next read.
            c = rig.client()
            for value in (7001, 7002, 7003):
                self.assertFalse(c.write_register(BLOCK + 3, value, slave=1).isError())
                self.assertEqual(read(c, 'hr', BLOCK, COUNT, 1)[3], value)
            c.close()
            self.assertIn('line image: a read is answered from values at most 400 ms old', rig.log())
        finally:
            rig.close()
            os.unlink(poll)


if __name__ == '__main__':
    unittest.main()
