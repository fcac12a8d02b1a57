#!/usr/bin/python3
"""qelhost snapshot measured on a paced line (not a test: it prints numbers
for docs/twin.md).

A fasim line of three stations (FA-2, FA-3, FA-3) at BAUD (default 9600),
paced, every element filled with its own value; qelhost snapshot of it: the
time taken against the planner's prediction (the goal: within 1.1 times).
Then fasim plays the snapshot's folder, paced too, and a second snapshot of
the twin is compared with the first: the values that differ (the goal: 0).

  /usr/bin/python3 bench/snapshot_bench.py [BAUD]
Paths from QELHOST, FASIM, else build/bin."""
import os, re, shutil, subprocess, sys, tempfile, time

here = os.path.dirname(os.path.abspath(__file__))
QELHOST = os.environ.get('QELHOST', os.path.join(here, '..', 'build', 'bin', 'qelhost'))
FASIM = os.environ.get('FASIM', os.path.join(here, '..', 'build', 'bin', 'fasim'))

FA2 = [('TM', 0, 79, 0), ('CT', 0, 46, 0), ('DR', 0, 399, 0), ('CP', 0, 46, 0), ('TP', 0, 79, 0),
       ('SR', 0, 127, 1), ('IO', 0, 157, 2), ('IO', 200, 357, 2), ('IR', 400, 697, 2),
       ('IR', 2200, 2357, 2), ('IR', 2400, 2697, 2)]
FA3 = [('TM', 0, 255, 0), ('CT', 0, 46, 0), ('CT', 48, 102, 0), ('DR', 0, 999, 0), ('CP', 0, 46, 0),
       ('CP', 48, 102, 0), ('TP', 0, 255, 0), ('SR', 0, 223, 1), ('IO', 0, 157, 2), ('IO', 200, 357, 2),
       ('IO', 2000, 2157, 2), ('IO', 2200, 2357, 2), ('IR', 400, 697, 2), ('IR', 2400, 2697, 2),
       ('IM', 640, 1317, 2)]


def fill(path, stations):
    """kind 0: words (TM and CT below 0x4000, as the driver reads them); 1: bits; 2: bits by byte and bit."""
    with open(path, 'w') as out:
        for station, ranges in stations:
            index = 0
            for area, first, last, kind in ranges:
                for n in range(first, last + 1):
                    if kind == 2 and n % 10 > 7:
                        continue
                    index += 1
                    value = (station * 40503 + index * 257 + n) & 0xFFFF
                    if area in ('TM', 'CT'):
                        value &= 0x3FFF
                    if kind:
                        value = int((index * 7 + station) % 3 == 0)
                    out.write(f'{station} {area} {n} {value}\n')


def start_fasim(args, link):
    proc = subprocess.Popen([FASIM, '--link', link] + args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists(link):
            break
        time.sleep(0.05)
    return proc


def snapshot(link, baud, out):
    run = subprocess.run([QELHOST, 'snapshot', '--port', link, '--baud', baud, '--stations', '1-3', '--out', out],
                         capture_output=True, text=True, timeout=900)
    if run.returncode != 0:
        sys.exit(f'snapshot failed ({run.returncode}): {run.stderr}')
    m = re.search(r'read (\d+) values in (\d+) exchanges in ([\d.]+) s \(predicted ([\d.]+) s\)', run.stderr)
    return int(m.group(1)), int(m.group(2)), float(m.group(3)), float(m.group(4))


def values(path):
    with open(path) as f:
        return {tuple(line.split()) for line in f if line.strip() and not line.startswith('#')}


def main():
    baud = sys.argv[1] if len(sys.argv) > 1 else '9600'
    work = tempfile.mkdtemp(prefix='snapshot-bench-')
    try:
        fill(os.path.join(work, 'source.txt'), [(1, FA2), (2, FA3), (3, FA3)])
        link = os.path.join('/tmp', 'sb%d' % os.getpid())
        source = start_fasim(['--station', '1:FA2', '--station', '2:FA3', '--station', '3:FA3', '--baud', baud,
                              '--memory', os.path.join(work, 'source.txt')], link)
        try:
            n, exchanges, took, predicted = snapshot(link, baud, os.path.join(work, 'first'))
        finally:
            source.terminate()
            source.wait()
        print(f'snapshot at {baud} baud: {n} values in {exchanges} exchanges, {took:.1f} s '
              f'against {predicted:.1f} s predicted: {took / predicted:.3f} times')
        twin = start_fasim(['--config', os.path.join(work, 'first', 'fasim.conf')], link)
        try:
            snapshot(link, baud, os.path.join(work, 'second'))
        finally:
            twin.terminate()
            twin.wait()
        first = values(os.path.join(work, 'first', 'memory.txt'))
        second = values(os.path.join(work, 'second', 'memory.txt'))
        source_values = values(os.path.join(work, 'source.txt'))
        print(f'the twin against the line: {len(first ^ second)} values differ; '
              f'the snapshot against what the line held: {len(first ^ source_values)} differ')
    finally:
        shutil.rmtree(work)


if __name__ == '__main__':
    main()
