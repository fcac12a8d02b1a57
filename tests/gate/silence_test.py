"""A station that falls silent, as the plant's tools see it, on fasim paced
at 9600: a poller with a 1 s time-out that reconnects after a time-out (as
SCADA packages and Node-RED do) sees at most one time-out, then 0x0B; a
client with an 8 s time-out gets 0x0B within 1.5 s; the live station beside
keeps its reads; the HTTP API and /metrics follow the same timing."""
import json, threading, time, unittest, urllib.error, urllib.request

from gate_rig import Rig, free_port, read, wait

GATEWAY_TARGET = 0x0B


class Poller(threading.Thread):
    """Reads one register of `unit` every second with a 1 s time-out,
    reconnecting after each time-out; keeps (time, answer) pairs."""

    def __init__(self, rig, unit):
        super().__init__(daemon=True)
        self.rig, self.unit, self.answers, self.stop = rig, unit, [], threading.Event()

    def run(self):
        c = self.rig.client(timeout=1)
        while not self.stop.is_set():
            started = time.time()
            answer = read(c, 'hr', 0, 1, self.unit)
            self.answers.append((started, answer))
            if answer == 'no answer':
                c.close()
                c = self.rig.client(timeout=1)
            self.stop.wait(max(0, 1 - (time.time() - started)))
        c.close()


class Reader(threading.Thread):
    """Reads station 1 back to back; counts the right answers per window."""

    def __init__(self, rig):
        super().__init__(daemon=True)
        self.rig, self.times, self.stop = rig, [], threading.Event()
        self.want = [rig.memory[(1, 'DR', 0)]]

    def run(self):
        c = self.rig.client(timeout=5)
        while not self.stop.is_set():
            if read(c, 'hr', 0, 1, 1) == self.want:
                self.times.append(time.time())
        c.close()

    def rate(self, start, end):
        return sum(1 for t in self.times if start <= t < end) / (end - start)


class Silence(unittest.TestCase):
    def test_a_station_that_falls_silent_costs_one_time_out_at_most(self):
        http = free_port()
        rig = Rig(stations={1: 'FA2', 3: 'FA2'}, paced=True, gate_args=['--http', f'127.0.0.1:{http}'])
        try:
            poller, reader = Poller(rig, 3), Reader(rig)
            poller.start()
            reader.start()
            time.sleep(4)  # both stations answer; their time-outs are learned
            self.assertTrue(all(a == [rig.memory[(3, 'DR', 0)]] for _, a in poller.answers), poller.answers)
            baseline = (time.time() - 3, time.time())

            self.assertEqual(rig.control('silent 3 on'), 'ok')
            silent = time.time()
            patient = rig.client(timeout=8)
            started = time.time()
            self.assertEqual(read(patient, 'hr', 1, 1, 3), GATEWAY_TARGET)
            patient_took = time.time() - started
            patient.close()
            # The HTTP API: held down, at once.
            try:
                urllib.request.urlopen(f'http://127.0.0.1:{http}/api/gates/003DR0002', timeout=8)
                self.fail('a read of a silent station succeeded')
            except urllib.error.HTTPError as e:
                self.assertEqual(e.code, 503)
                self.assertEqual(json.load(e)['error'], 'station_down')
            with urllib.request.urlopen(f'http://127.0.0.1:{http}/metrics', timeout=5) as r:
                metrics = r.read().decode()
            self.assertIn('qelgate_station_up{station="3",model="FA2"} 0', metrics)
            time.sleep(20)
            during = (silent + 2, time.time())
            poller.stop.set()
            reader.stop.set()
            poller.join(5)
            reader.join(10)

            self.assertLess(patient_took, 1.5, 'an 8 s client gets 0x0B within 1.5 s')
            after = [a for t, a in poller.answers if t >= silent - 1]
            timeouts = after.count('no answer')
            self.assertLessEqual(timeouts, 1, after)
            first = next(i for i, a in enumerate(after) if a == GATEWAY_TARGET)
            self.assertEqual(set(after[first:]), {GATEWAY_TARGET}, after)
            self.assertIn('station 3 did not answer: held down', rig.log())
            before_rate, during_rate = reader.rate(*baseline), reader.rate(*during)
            print(f'silent station: {timeouts} time-outs, 8 s client answered in {patient_took:.2f} s; '
                  f'station 1: {before_rate:.1f} reads/s before, {during_rate:.1f}/s beside the silent one '
                  f'({during_rate / before_rate:.3f}x)')
            self.assertGreaterEqual(during_rate, 0.95 * before_rate)
        finally:
            rig.close()


if __name__ == '__main__':
    unittest.main()
