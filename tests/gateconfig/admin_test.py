"""What an admin meets, row by row: a second gateway on a taken --http port
exits 2; --check says good (0, the configuration in effect) or names the
spot (64); hand-written files with a byte-order mark, CR LF and trailing
comments (model file, write allow-list, gate list); the start line names who
may write; a port below 1024 without the capability names it."""
import os, signal, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
import mqtt_rig  # noqa: E402
from mqtt_rig import free_port, wait  # noqa: E402

QELGATE = os.environ['QELGATE']
BOM = '\ufeff'


def run(args, **kw):
    return subprocess.run([QELGATE] + args, capture_output=True, text=True, timeout=30, **kw)


def main():
    directory = mqtt_rig.temp_dir()
    line = mqtt_rig.Line(directory, {1: 'FA2', 2: 'FA3'})

    def write(name, text):
        path = os.path.join(directory, name)
        with open(path, 'w', newline='') as f:
            f.write(text)
        return path

    models = write('stations.int', BOM + '# the FA-3s of line 1\r\n002FA3  # the press\r\n')
    allow = write('allow.txt', BOM + '001DR0100 2   # set points\r\n\r\n# end\r\n')
    gates = write('gates.txt', BOM + '001DR0010 1s tag=tank_level  # level\r\n002DR0000 4\r\n')
    http = free_port()
    config = write('line1.toml', BOM + f'# line 1\r\nport = "{line.link}"  # the adapter\r\n'
                   f'models = "stations.int"\r\nhttp = "127.0.0.1:{http}"\r\nwrite-allow = "allow.txt"\r\n'
                   'mqtt-writes = true\r\nmqtt = "mqtt://127.0.0.1:1"\r\npublish = "gates.txt"\r\n')

    # --check: good, with the configuration in effect on stdout.
    good = run(['--config', config, '--check'])
    assert good.returncode == 0, good.stderr
    assert f'models = "{models}"' in good.stdout and f'write-allow = "{allow}"' in good.stdout, good.stdout
    assert 'the configuration is good' in good.stderr, good.stderr
    # --check: a gate the driver refuses, named with the file's line.
    bad = write('bad.toml', f'port = "{line.link}"\nmqtt = "mqtt://127.0.0.1:1"\n'
                'publish = [\n  "001DR0010",\n  "001XX0010",\n]\n')
    refused = run(['--config', bad, '--check'])
    assert refused.returncode == 64 and f'{bad}:5: gate 001XX0010 is illegal: "XX" is no area of station 1, an FA2 ' \
        in refused.stderr, refused.stderr
    # The same reason qelhost gives, with where the station's model came from,
    # for a gate of each list: the write-allow file, an inline write-allow
    # list, the poll list.
    reason = ('gate 002DR9000 is illegal: element 9000 is outside DR on station 2, an FA3 (legal: {legal}); '
              f'station 2 is named FA3 on line 2 of {models}')
    outside = write('outside.txt', '001DR0010\n# the press\n002DR9000\n')
    for name, text, where in [
            ('allow-file.toml', f'write-allow = "{outside}"\nallow-writes = true\n', f'{outside}:3: '),
            ('allow-inline.toml', 'write-allow = [\n  "001DR0010",\n  "002DR9000",\n]\nallow-writes = true\n',
             '{toml}:5: '),
            ('poll.toml', f'poll = "{outside}"\n', f'--poll {outside}:3: ')]:
        toml = write(name, f'port = "{line.link}"\nmodels = "stations.int"\n' + text)
        refused = run(['--config', toml, '--check'])
        assert refused.returncode == 64, refused.stderr
        said = [l for l in refused.stderr.splitlines() if 'is illegal' in l]
        assert len(said) == 1, refused.stderr
        head, _, legal = said[0].partition('(legal: ')
        assert said[0].endswith(where.format(toml=toml) + reason.format(legal=legal.split(')')[0])), said[0]
    # A tag twice: the line of the second.
    twice = write('twice.toml', f'port = "{line.link}"\nmqtt = "mqtt://127.0.0.1:1"\n'
                  'publish = [{ gate = "001DR0010", tag = "a" },\n { gate = "001DR0011", tag = "a" }]\n')
    refused = run(['--config', twice, '--check'])
    assert refused.returncode == 64 and f'{twice}:4: tag "a" is given twice' in refused.stderr, refused.stderr

    # The gateway from that file: the FA-3 from the model file, the writes by MQTT only.
    log_path = os.path.join(directory, 'first.log')
    with open(log_path, 'w') as log:
        first = subprocess.Popen([QELGATE, '--config', config, '--listen', f'127.0.0.1:{free_port()}'], stderr=log)
    try:
        wait(lambda: 'diagnostics on' in open(log_path).read(), what='the first gateway')
        start = open(log_path).read()
        assert '2 gates writable (MQTT)' in start and 'read-only' not in start, start
        assert 'FA3 stations: 2' in start, start
        # A second gateway on the same --http port: exit 2, as for --listen.
        other = mqtt_rig.Line(directory, {1: 'FA2'})
        second = run(['--port', other.link, '--listen', f'127.0.0.1:{free_port()}', '--http', f'127.0.0.1:{http}'])
        assert second.returncode == 2 and 'cannot listen for HTTP' in second.stderr, (second.returncode, second.stderr)
        other.close()
        assert first.poll() is None
    finally:
        first.terminate()
        code = first.wait(20)
    assert code == 0, open(log_path).read()

    # Relative paths as an admin writes them: --config from the working
    # directory, the token file beside the configuration; a reload after the
    # gateway moved into a directory of its own finds both again.
    write('token', 'a-token-of-at-least-sixteen\n')
    os.chmod(os.path.join(directory, 'token'), 0o600)
    write('rel.toml', f'port = "{line.link}"\nhttp = "127.0.0.1:{free_port()}"\nhttp-writes = true\n'
          'http-token-file = "token"\nstation = ["2:FA3", "42:FA3"]\n')
    log_path = os.path.join(directory, 'relative.log')
    with open(log_path, 'w') as log:
        gate = subprocess.Popen([QELGATE, '--config', 'rel.toml', '--listen', f'127.0.0.1:{free_port()}',
                                 '--station', '133:FA3'], stderr=log, cwd=directory)
    try:
        wait(lambda: 'diagnostics on' in open(log_path).read(), what='the gateway on a relative --config')
        gate.send_signal(signal.SIGHUP)
        wait(lambda: 'reloaded' in open(log_path).read() or 'refused' in open(log_path).read(), what='the reload')
        text = open(log_path).read()
        assert 'reload refused' not in text, text
    finally:
        gate.terminate()
        gate.wait(20)
    # --check: the stations merged, every key printed; a fault of two keys
    # names where the file gave them.
    merged = run(['--config', 'rel.toml', '--check', '--station', '42:FA2'], cwd=directory)
    assert merged.returncode == 0, merged.stderr
    assert 'station = ["2:FA3", "42:FA2"]' in merged.stdout, merged.stdout
    assert 'buffer = ' in merged.stdout and 'buffer-max = ' in merged.stdout and 'buffer-rate = ' in merged.stdout
    lonely = write('lonely.toml', f'port = "{line.link}"\n# no writes\nwrite-allow = "allow.txt"\n')
    refused = run(['--config', lonely, '--check'])
    assert refused.returncode == 64 and f'({lonely}:3:1: write-allow)' in refused.stderr, refused.stderr
    unitless = write('unitless.toml', f'port = "{line.link}"\nmqtt = "mqtt://127.0.0.1:1"\n'
                     'publish = [{ gate = "001DR0010", period = 1000 }]\n')
    refused = run(['--config', unitless, '--check'])
    assert refused.returncode == 64 and 'period = 1000 has no unit' in refused.stderr, refused.stderr

    # A port below 1024 as a user without the capability.
    if os.geteuid() == 0 and os.path.exists('/usr/bin/setpriv'):
        os.chmod(os.path.realpath(line.link), 0o666)  # fasim's pty, for that user
        low = subprocess.run(['/usr/bin/setpriv', '--reuid=65534', '--regid=65534', '--clear-groups',
                              '--inh-caps=-all', '--bounding-set=-net_bind_service', QELGATE, '--port', line.link,
                              '--listen', '127.0.0.1:502'], capture_output=True, text=True, timeout=30)
        if 'Permission denied' in low.stderr or low.returncode != 0:
            assert low.returncode == 2 and 'CAP_NET_BIND_SERVICE' in low.stderr and 'qelgate@' in low.stderr, \
                (low.returncode, low.stderr)
            print('ok: port 502 without the capability names it')
        else:
            print('skipped: an unprivileged user may bind port 502 here')
    bounded_files(directory, line, write)
    line.close()
    print('ok: --check, hand-written files, the start line, a taken --http port')


def bounded_files(directory, line, write):
    """Files named by mistake are refused at once with the reason: a device,
    a FIFO, a file too large for its kind; a token file's mode is judged."""
    def check(args, code, *said):
        start = time.monotonic()
        got = run(args)
        assert time.monotonic() - start < 10, ('slow', args)
        assert got.returncode == code, (args, got.returncode, got.stderr)
        for text in said:
            assert text in got.stderr, (args, text, got.stderr)
        return got

    fifo = os.path.join(directory, 'line.fifo')
    os.mkfifo(fifo)
    check(['--config', fifo, '--check'], 64, f'{fifo}: a FIFO, not a regular file')
    head = f'port = "{line.link}"\n'
    for key, extra in [('models', ''), ('publish', 'mqtt = "mqtt://127.0.0.1:1"\n'), ('write-allow', 'allow-writes = true\n'),
                       ('poll', ''), ('http-token-file', f'http = "127.0.0.1:{free_port()}"\nhttp-writes = true\n')]:
        for named, kind in [('/dev/zero', 'a character device'), (fifo, 'a FIFO')]:
            config = write('bad-file.toml', head + extra + f'{key} = "{named}"\n')
            line_of_key = 2 + extra.count('\n')
            check(['--config', config, '--check'], 64, f'{config}:{line_of_key}:', f'{named} is {kind}, not a regular file')
    token = os.path.join(directory, 'token')
    common = ['--port', line.link, '--http', f'127.0.0.1:{free_port()}', '--http-writes', '--check']
    for named in ['/dev/zero', fifo]:
        check(common + ['--http-token-file', named], 64, 'not a regular file')
    with open(token, 'w') as f:
        f.write('t' * 10_000_000)
    os.chmod(token, 0o600)
    check(common + ['--http-token-file', token], 64, f'{token}: larger than 4 kB')
    with open(token, 'w') as f:
        f.write(BOM + 'a-token-of-sixteen-or-more\n')
    for mode, code, said in [(0o600, 0, None), (0o640, 0, None), (0o644, 0, 'mode 0644 lets every user read'),
                             (0o660, 64, 'mode 0660 lets its group write'), (0o666, 64, 'mode 0666 lets every user write')]:
        os.chmod(token, mode)
        got = check(common + ['--http-token-file', token], code, *([said] if said else []))
        if said is None:
            assert 'mode' not in got.stderr, got.stderr
        elif code == 0:
            assert 'it should be 0600 (chmod 600' in got.stderr, got.stderr
    long_name = write('long-name.toml', head + 'mqtt = "mqtt://127.0.0.1:1"\npublish = ["001DR0010"]\n'
                      f'line-name = "{"n" * 1000}"\n')
    check(['--config', long_name, '--check'], 64, "--line-name: 1000 bytes; a line's name has at most 64")
    long_node = write('long-node.toml', head + 'mqtt = "mqtt://127.0.0.1:1"\npublish = ["001DR0010"]\n'
                      f'sparkplug = "plant"\nsparkplug-node = "{"n" * 1000}"\n')
    check(['--config', long_node, '--check'], 64, '--sparkplug-node: ', 'cannot stand in a topic (1 to 64 bytes')
    gates = write('one-gate.txt', '001DR0010\n')
    for option in ['--mqtt-cafile', '--mqtt-cert']:
        extra = ['--mqtt-key', gates] if option == '--mqtt-cert' else []
        check(['--port', line.link, '--mqtt', 'mqtts://127.0.0.1:1', '--publish', gates, option, fifo] + extra + ['--check'],
              64, f'{option} {fifo}: a FIFO, not a regular file')
    huge = write('huge.toml', head + '# ' + 'x' * 5_000_000 + '\n')
    check(['--config', huge, '--check'], 64, f'{huge}: larger than 4 MB')
    print('ok: devices, FIFOs and files too large refused at once; the token file\'s mode')


if __name__ == '__main__':
    main()
