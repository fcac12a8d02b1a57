"""Runs the examples of one document against fasim on a pseudo-terminal, so
that an example that stops working fails the suite.

Which blocks are examples:

- A fenced block whose language is python, sh, bash, shell or toml is an
  example by that alone: it runs, unless the line before it (blank lines
  aside) is `<!-- example: skip REASON -->`, which says why it cannot run
  here (hardware, an install, a placeholder such as PREFIX).
- Any other block, fenced or indented by four spaces, runs only when the line
  before it is `<!-- example: KIND [OPTIONS] -->`, KIND being python, sh or
  toml. A fenced block of one of the kinds above may carry options the same
  way.

Options of a marker:

- `with-line` (python): the block uses an open `line`; it runs inside
  `with vuzorur.Line(PORT, stations={2: "FA3", 42: "FA3"}) as line:`.
- `background` (sh): the block is started and left running (a gateway, for
  the examples after it); it is stopped when the document ends. With
  `wait-port=N` the next example waits until 127.0.0.1:N accepts; with
  `wait-file=PATH`, until PATH exists (a simulator's link).
- `needs=MODULE` (python): skipped, and said so, when Python lacks MODULE.
- `expect=TEXT` (TEXT without spaces, or quoted "..."): the output must hold
  TEXT.

Every example of a document runs in order in one temporary directory (files
one writes, the next may read), where `build` leads to the build tree and the
programs and the Python module are on PATH and PYTHONPATH. fasim plays
stations 1 (FA2), 2 (FA3) and 42 (FA3) unpaced, station 5 is silent. Before
an example runs, `/dev/ttyUSB0`, `ttyUSB0` and `/tmp/fa0` become fasim's
pseudo-terminal, the ports 1502 and 9502 free ports. A toml example is
written to a file and checked with `qelgate --config FILE --check`.

Usage: run_examples.py --bin BUILD/bin DOCUMENT.md
"""
import argparse
import importlib.util
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

KINDS = {'python': 'python', 'sh': 'sh', 'bash': 'sh', 'shell': 'sh', 'toml': 'toml'}
MARKER = re.compile(r'^\s*<!--\s*example:\s*(.*?)\s*-->\s*$')
FENCE = re.compile(r'^(\s*)```\s*([\w+-]*)\s*$')
TIMEOUT = 90


class Example:
    def __init__(self, line, kind, text, options, skip=None):
        self.line, self.kind, self.text, self.options, self.skip = line, kind, text, options, skip


def parse_options(words):
    options = {}
    for word in words:
        key, _, value = word.partition('=')
        options[key] = value if value else True
    return options


def examples_of(path):
    """The document's examples, in order; a marker that leads to no block is
    a fault of the document and raises."""
    lines = open(path, encoding='utf-8').read().split('\n')
    out = []
    marker = None  # (line number, words)
    i = 0
    while i < len(lines):
        line = lines[i]
        m = MARKER.match(line)
        if m:
            if marker:
                raise SystemExit(f'{path}:{marker[0]}: an example marker with no block after it')
            marker = (i + 1, shlex.split(m.group(1)))
            i += 1
            continue
        if not line.strip():
            i += 1
            continue
        fence = FENCE.match(line)
        start = i + 1
        if fence:
            indent, lang = fence.group(1), fence.group(2).lower()
            body = []
            i += 1
            while i < len(lines) and not lines[i].strip().startswith('```'):
                body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
                i += 1
            i += 1
            kind = KINDS.get(lang)
        elif line.startswith('    ') and (i == 0 or not lines[i - 1].strip() or MARKER.match(lines[i - 1])):
            body = []
            while i < len(lines) and (lines[i].startswith('    ') or not lines[i].strip()):
                body.append(lines[i][4:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            kind = None
        else:
            if marker:
                raise SystemExit(f'{path}:{marker[0]}: an example marker with no block after it')
            i += 1
            continue
        text = '\n'.join(body) + '\n'
        if marker:
            words = marker[1]
            marker = None
            if not words:
                raise SystemExit(f'{path}:{start - 1}: an empty example marker')
            if words[0] == 'skip':
                if len(words) < 2:
                    raise SystemExit(f'{path}:{start - 1}: "example: skip" without its reason')
                out.append(Example(start, kind or 'block', text, {}, skip=' '.join(words[1:])))
                continue
            if words[0] not in ('python', 'sh', 'toml'):
                raise SystemExit(f'{path}:{start - 1}: unknown example kind "{words[0]}"')
            out.append(Example(start, words[0], text, parse_options(words[1:])))
        elif kind:
            out.append(Example(start, kind, text, {}))
    if marker:
        raise SystemExit(f'{path}:{marker[0]}: an example marker with no block after it')
    return out


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def wait_file(path, process, seconds=15):
    deadline = time.time() + seconds
    while time.time() < deadline and process.poll() is None:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return os.path.exists(path)


def wait_port(port, process, seconds=15):
    end = time.time() + seconds
    while time.time() < end:
        if process.poll() is not None:
            return False
        try:
            socket.create_connection(('127.0.0.1', port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Rig:
    """fasim on a pseudo-terminal and the directory the examples run in."""

    def __init__(self, bin_dir):
        self.bin = os.path.abspath(bin_dir)
        self.dir = tempfile.mkdtemp(prefix='vuzorur-doc-')
        os.symlink(os.path.dirname(self.bin), os.path.join(self.dir, 'build'))
        self.link = '/tmp/dx' + os.urandom(2).hex()  # the driver keeps at most 11 characters
        self.ports = {'1502': str(free_port()), '9502': str(free_port())}
        self.fasim = subprocess.Popen(
            [os.path.join(self.bin, 'fasim'), '--link', self.link, '--unpaced', '--silent', '5',
             '--station', '1:FA2', '--station', '2:FA3', '--station', '42:FA3', '--station', '5:FA2'],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.time() + 10
        while not os.path.exists(self.link):
            if time.time() > end or self.fasim.poll() is not None:
                raise SystemExit('fasim did not start')
            time.sleep(0.05)
        self.env = dict(os.environ)
        self.env['PATH'] = self.bin + os.pathsep + self.env.get('PATH', '/usr/bin:/bin')
        self.env['PYTHONPATH'] = self.bin
        self.background = []
        self.logs = []  # (where, path) of the background examples' output

    def substitute(self, text):
        text = text.replace('/dev/ttyUSB0', self.link).replace('/tmp/fa0', self.link)
        text = re.sub(r'\bttyUSB0\b', self.link, text)
        for port, free in self.ports.items():
            text = re.sub(rf'\b{port}\b', free, text)
        return text

    def close(self):
        for p in self.background:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
        self.fasim.terminate()
        try:
            self.fasim.wait(10)
        except subprocess.TimeoutExpired:
            self.fasim.kill()
            self.fasim.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def command_of(rig, ex, number):
    """The command that runs ex, and the file it is written to."""
    text = rig.substitute(ex.text)
    if ex.kind == 'python':
        if ex.options.get('with-line'):
            body = ''.join('    ' + l + '\n' if l.strip() else '\n' for l in text.split('\n'))
            text = ('import vuzorur\n'
                    f'with vuzorur.Line({rig.link!r}, stations={{2: "FA3", 42: "FA3"}}) as line:\n' + body)
        name = f'example{number}.py'
        command = ['/usr/bin/python3', name]
    elif ex.kind == 'sh':
        name = f'example{number}.sh'
        command = ['/bin/bash', '-e', '-o', 'pipefail', name]
    else:
        name = f'example{number}.toml'
        command = [os.path.join(rig.bin, 'qelgate'), '--config', name, '--check']
    with open(os.path.join(rig.dir, name), 'w', encoding='utf-8') as f:
        f.write(text)
    return command


def run(document, bin_dir):
    examples = examples_of(document)
    ran, skipped, failed = 0, 0, []
    if not examples:
        print(f'{document}: no examples')
        return 0
    rig = Rig(bin_dir)
    try:
        waiting = None
        for number, ex in enumerate(examples, 1):
            where = f'{document}:{ex.line}'
            if ex.skip:
                print(f'{where}: skipped: {ex.skip}')
                skipped += 1
                continue
            needs = ex.options.get('needs')
            if needs and importlib.util.find_spec(needs) is None:
                print(f'{where}: skipped: Python has no {needs} here')
                skipped += 1
                continue
            if waiting:
                kind, target, process = waiting
                waiting = None
                if kind == 'file' and not wait_file(os.path.join(rig.dir, target), process):
                    failed.append(where)
                    print(f'{where}: FAILED: the background example never made {target}')
                    continue
                if kind == 'port' and not wait_port(int(rig.ports.get(target, target)), process):
                    failed.append(where)
                    print(f'{where}: FAILED: the background example never listened on {target}')
                    continue
            command = command_of(rig, ex, number)
            print(f'{where}: {ex.kind} example')
            if ex.options.get('background'):
                log = open(os.path.join(rig.dir, f'background{number}.log'), 'w')
                process = subprocess.Popen(command, cwd=rig.dir, env=rig.env, stdout=log, stderr=subprocess.STDOUT,
                                           start_new_session=True)
                log.close()
                rig.logs.append((where, log.name))
                rig.background.append(process)
                if ex.options.get('wait-port'):
                    waiting = ('port', ex.options['wait-port'], process)
                elif ex.options.get('wait-file'):
                    waiting = ('file', ex.options['wait-file'], process)
                ran += 1
                continue
            try:
                result = subprocess.run(command, cwd=rig.dir, env=rig.env, capture_output=True, text=True,
                                        timeout=TIMEOUT, start_new_session=True)
                output = result.stdout + result.stderr
                ok = result.returncode == 0
                reason = f'exit status {result.returncode}'
            except subprocess.TimeoutExpired as e:
                output = (e.stdout or b'').decode(errors='replace') if isinstance(e.stdout, bytes) else (e.stdout or '')
                ok, reason = False, f'still running after {TIMEOUT} s'
            expect = ex.options.get('expect')
            if ok and isinstance(expect, str) and expect not in output:
                ok, reason = False, f'the output lacks "{expect}"'
            ran += 1
            if not ok:
                failed.append(where)
                print(f'{where}: FAILED ({reason}):\n{ex.text}--- output:\n{output}---')
        if failed:
            for where, path in rig.logs:
                print(f'--- the output of the background example {where}:\n' + open(path, errors='replace').read())
    finally:
        rig.close()
    print(f'{document}: {ran} examples ran, {skipped} skipped, {len(failed)} failed')
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin', required=True)
    parser.add_argument('--list', action='store_true', help='list the examples and their markers, run nothing')
    parser.add_argument('document')
    args = parser.parse_args()
    if args.list:
        for ex in examples_of(args.document):
            print(f'{args.document}:{ex.line}: {ex.kind}', f'skip: {ex.skip}' if ex.skip else ex.options)
        return 0
    return run(args.document, args.bin)


if __name__ == '__main__':
    sys.exit(main())
