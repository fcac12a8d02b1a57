"""Record and replay end to end: a line changed at random times is recorded
by qelhost record, exported as CSV, and played by fasim --replay; polled
through the driver, every recorded change comes back at its recorded
offset, in order, none missing. REPLAY_SECONDS sets how long the changes
go on (the slow run: 60); REPLAY_TOLERANCE_MS the bound of an offset."""
import os, re, subprocess, tempfile, time, unittest

import replay_rig
from replay_rig import ELEMENTS

SECONDS = float(os.environ.get('REPLAY_SECONDS', '4'))
TOLERANCE_MS = float(os.environ.get('REPLAY_TOLERANCE_MS', '100'))


class RecordAndReplay(unittest.TestCase):
    def test_a_night_recorded_comes_back_at_its_times(self):
        directory = tempfile.mkdtemp(prefix='replay-test-')
        line, link, control, _ = replay_rig.fasim(directory, 'plant')
        out = os.path.join(directory, 'night.db')
        try:
            made, code, err = replay_rig.record(directory, link, control, out, SECONDS, seed=11)
        finally:
            line.terminate()
            line.wait(10)
        self.assertEqual(code, 0, err)
        self.assertGreater(len(made), SECONDS * 2)
        summary = re.search(r'(\d+) changes recorded, 0 dropped for the bound, 0 lost to the disk', err)
        self.assertTrue(summary, err)

        rows, text = replay_rig.export(out)
        self.assertTrue(text.startswith('time,station,gate,area,number,value\n'), text[:80])
        self.assertEqual(len(rows), int(summary.group(1)))
        self.assertRegex(rows[0]['time'], r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$')
        # The first value of every element, then each change made, in order, and nothing else.
        for element in ELEMENTS:
            values = [int(r['value']) for r in rows if (int(r['station']), r['area'], int(r['number'])) == element]
            self.assertEqual(values, [0] + [v for _, e, v in made if e == element], element)
        gate = {(int(r['station']), r['area'], int(r['number'])): r['gate'] for r in rows}
        self.assertEqual(gate[(2, 'IO', 157)], '002IO0157')
        self.assertEqual(gate[(2, 'DR', 502)], '002DR0502')
        # Recorded within a round or two of being made (rounds every 20 to 50 ms),
        # as far apart as they were made.
        recorded = {}
        for element in ELEMENTS:
            rows_of = [r for r in rows if (int(r['station']), r['area'], int(r['number'])) == element][1:]
            for row, change in zip(rows_of, [c for c in made if c[1] == element]):
                recorded[change] = replay_rig.millis(row) / 1000.0
        for change in made:
            lag = (recorded[change] - recorded[made[0]]) - (change[0] - made[0][0])
            self.assertLess(abs(lag), 0.3, change)

        span = (replay_rig.millis(rows[-1]) - replay_rig.millis(rows[0])) / 1000.0
        seen, fasim_err = replay_rig.replay_and_poll(directory, out, span + 1.0)
        self.assertIn(f'replaying {len(rows)} changes', fasim_err)
        # A pass lasts until the recording ended (0.3 s after the last change), not until its last change.
        passing = float(re.search(r'a pass of ([\d.]+) s', fasim_err).group(1))
        self.assertGreater(passing, span + 0.2, fasim_err)
        self.assertLess(passing, span + 1.0, fasim_err)
        faults, errors = replay_rig.judge(rows, seen, TOLERANCE_MS)
        self.assertEqual(faults, [], fasim_err)
        self.assertEqual(len(errors), len(made))
        print(f'replay fidelity: {len(made)} changes over {span:.1f} s, offsets off by '
              f'{min(errors):+.0f}..{max(errors):+.0f} ms (mean {sum(errors) / len(errors):+.1f} ms)')

    def test_twice_as_fast_from_a_time_into_it(self):
        """--speed 2 --from 1s: the line as it stood at 1 s at once, the rest at half its offsets."""
        directory = tempfile.mkdtemp(prefix='replay-test-')
        line, link, control, _ = replay_rig.fasim(directory, 'plant')
        out = os.path.join(directory, 'night.db')
        try:
            made, code, err = replay_rig.record(directory, link, control, out, 3.0, seed=5, min_gap=0.3)
        finally:
            line.terminate()
            line.wait(10)
        self.assertEqual(code, 0, err)
        rows, _ = replay_rig.export(out)
        first = replay_rig.millis(rows[0])
        later = [r for r in rows if replay_rig.millis(r) - first >= 1000]
        self.assertTrue(later, rows)
        seen, fasim_err = replay_rig.replay_and_poll(directory, out, 2.0, ['--speed', '2', '--from', '1s'])
        self.assertIn('from 1.000 s into the recording, at speed 2', fasim_err)
        checked = 0
        for row in later:
            due = (replay_rig.millis(row) - first - 1000) / 2000.0
            if due < 0.5:
                continue  # the poll may not have begun
            checked += 1
            element = (int(row['station']), row['area'], int(row['number']))
            # The value is there by its time (or was already, as the line stood at 1 s).
            at = [t for t, e, v in seen if e == element and v == int(row['value']) and t >= due - 0.1]
            self.assertTrue(at, (element, row['value'], due, [x for x in seen if x[1] == element][:40]))
            self.assertLess(at[0] - due, TOLERANCE_MS / 1000.0, (element, row['value']))
        self.assertGreater(checked, 0)
        # The line as it stood at 1 s, there at once: each element's last value before it.
        before = {}
        for r in rows:
            if replay_rig.millis(r) - first < 1000:
                before[(int(r['station']), r['area'], int(r['number']))] = int(r['value'])
        # The poll's first read of an element may come after some of the
        # later changes were due (a loaded machine starts the poll late):
        # what it reads is the value at 1 s, or a later change already due
        # when the read was seen, never one still to come.
        for element, value in before.items():
            firsts = [(t, v) for t, e, v in seen if e == element][:1]
            self.assertTrue(firsts, element)
            t0, v0 = firsts[0]
            due = {int(r['value']) for r in later if (int(r['station']), r['area'], int(r['number'])) == element and
                   (replay_rig.millis(r) - first - 1000) / 2000.0 <= t0 + TOLERANCE_MS / 1000.0}
            self.assertIn(v0, {value} | due, (element, t0))


class BadInput(unittest.TestCase):
    def run_program(self, *args):
        return subprocess.run(list(args), capture_output=True, text=True, timeout=30)

    def test_an_export_of_what_is_not_a_recording_is_refused(self):
        directory = tempfile.mkdtemp(prefix='replay-test-')
        corrupt = os.path.join(directory, 'corrupt.db')
        with open(corrupt, 'wb') as f:
            f.write(os.urandom(8192))
        for path, words in ((corrupt, 'cannot be read'), (os.path.join(directory, 'missing.db'), 'No such file')):
            run = self.run_program(os.environ['QELHOST'], 'record', '--export', 'csv', '--out', path)
            self.assertEqual(run.returncode, 64, run.stderr)
            self.assertIn(words, run.stderr)
            self.assertEqual(run.stdout, '')
        self.assertFalse(os.path.exists(os.path.join(directory, 'missing.db')))

    def test_a_record_without_gates_is_refused(self):
        run = self.run_program(os.environ['QELHOST'], '--port', '/tmp/none', 'record', '--out', '/tmp/x.db')
        self.assertEqual(run.returncode, 64)
        self.assertIn('record needs --gates FILE', run.stderr)

    def test_a_recording_in_a_place_that_cannot_hold_one_is_refused(self):
        directory = tempfile.mkdtemp(prefix='replay-test-')
        line, link, _, _ = replay_rig.fasim(directory, 'plant')
        try:
            run = self.run_program(os.environ['QELHOST'], '--port', link, *replay_rig.STATION_ARGS, 'record',
                                   '--gates', replay_rig.write_gates(directory), '--out', directory)
        finally:
            line.terminate()
            line.wait(10)
        self.assertEqual(run.returncode, 64, run.stderr)
        self.assertIn('cannot open the recording', run.stderr)

    def test_a_list_in_error_leaves_no_recording_behind(self):
        directory = tempfile.mkdtemp(prefix='replay-test-')
        gates = os.path.join(directory, 'gates.txt')
        with open(gates, 'w') as f:
            f.write('001DR0010\n001DR9999\n')
        out = os.path.join(directory, 'night.db')
        line, link, _, _ = replay_rig.fasim(directory, 'plant')
        try:
            run = self.run_program(os.environ['QELHOST'], '--port', link, 'record', '--gates', gates, '--out', out)
        finally:
            line.terminate()
            line.wait(10)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn('001DR9999', run.stderr)
        self.assertFalse(os.path.exists(out))
        run = self.run_program(os.environ['QELHOST'], '--port', link, 'record', '--gates',
                               os.path.join(directory, 'none.txt'), '--out', out)
        self.assertEqual(run.returncode, 64, run.stderr)
        self.assertFalse(os.path.exists(out))

    def test_a_damaged_recording_is_set_aside_and_a_new_one_begun(self):
        directory = tempfile.mkdtemp(prefix='replay-test-')
        out = os.path.join(directory, 'night.db')
        with open(out, 'wb') as f:
            f.write(b'x' * 8192)
        line, link, _, _ = replay_rig.fasim(directory, 'plant')
        try:
            run = self.run_program(os.environ['QELHOST'], '--port', link, *replay_rig.STATION_ARGS, 'record',
                                   '--gates', replay_rig.write_gates(directory), '--out', out, '--rounds', '2')
        finally:
            line.terminate()
            line.wait(10)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn('set aside as ' + out + '.damaged-', run.stderr)
        aside = [n for n in os.listdir(directory) if n.startswith('night.db.damaged-')]
        self.assertEqual(len(aside), 1)
        with open(os.path.join(directory, aside[0]), 'rb') as f:
            self.assertEqual(f.read(), b'x' * 8192)
        rows, _ = replay_rig.export(out)
        self.assertEqual(len(rows), len(ELEMENTS))


if __name__ == '__main__':
    unittest.main(verbosity=2)
