"""qelgate --http over TLS (--http-tls-cert, --http-tls-key), with
certificates made here by the openssl command line: curl and openssl
s_client speak to it, headless Chromium renders the page over it, plain
HTTP gets nothing, a client certificate is required with
--http-tls-client-ca, SIGHUP takes a renewed certificate (and keeps the old
one when the new files are bad), handshakes that never finish hold no slot
past the request deadline, and --http-writes off loopback without TLS is
refused at start."""
import os, socket, subprocess, sys, tempfile, time

import http_rig
from gate_rig import free_port, listening, wait
from page_test import Rows, chromium

DEADLINE = 5.0  # the loop's request deadline, which a handshake counts against


def openssl(*args, cwd):
    subprocess.run(['openssl', *args], cwd=cwd, check=True, capture_output=True)


def certificates(directory):
    """A CA; two server certificates of it for 127.0.0.1 (CN gate-one and
    gate-two, the renewal); a client certificate of it; and a client
    certificate of another CA."""
    key = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes']
    for ca in ('ca', 'other-ca'):
        openssl('req', '-x509', *key, '-keyout', f'{ca}.key', '-out', f'{ca}.crt', '-days', '2', '-subj', f'/CN={ca}',
                cwd=directory)
    with open(os.path.join(directory, 'san.ext'), 'w') as f:
        f.write('subjectAltName=IP:127.0.0.1,DNS:localhost\n')
    for name, ca, ext in (('gate-one', 'ca', True), ('gate-two', 'ca', True), ('client', 'ca', False),
                          ('stranger', 'other-ca', False)):
        openssl('req', *key, '-keyout', f'{name}.key', '-out', f'{name}.csr', '-subj', f'/CN={name}', cwd=directory)
        openssl('x509', '-req', '-in', f'{name}.csr', '-CA', f'{ca}.crt', '-CAkey', f'{ca}.key', '-CAcreateserial',
                '-out', f'{name}.crt', '-days', '2', *(['-extfile', 'san.ext'] if ext else []), cwd=directory)
    return lambda name: os.path.join(directory, name)


def curl(url, *args):
    done = subprocess.run(['curl', '-sS', '--max-time', '10', *args, url], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def subject(port, ca):
    """The subject the server shows to openssl s_client, with its verification."""
    done = subprocess.run(['openssl', 's_client', '-connect', f'127.0.0.1:{port}', '-CAfile', ca, '-brief'],
                          input='', capture_output=True, text=True, timeout=20)
    text = done.stdout + done.stderr
    assert 'Verification: OK' in text, text
    line = [l for l in text.splitlines() if l.startswith('Peer certificate:')]
    assert line, text
    return line[0].split(':', 1)[1].strip()


def stalled_handshakes(port, count):
    """Connections that begin a ClientHello and never finish it."""
    opened = []
    for _ in range(count):
        s = socket.create_connection(('127.0.0.1', port), timeout=5)
        s.sendall(bytes([0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03]))  # a record of 512 bytes: 11 sent
        opened.append(s)
    return opened


def closed_by_server(s):
    s.settimeout(0.05)
    try:
        return s.recv(1) == b''
    except socket.timeout:
        return False
    except OSError:
        return True


def main():
    files = certificates(tempfile.mkdtemp(prefix='qelgate-tls-'))
    cert, key = files('server.crt'), files('server.key')
    for suffix in ('crt', 'key'):
        os.link(files(f'gate-one.{suffix}'), files(f'server.{suffix}'))
    rig = http_rig.start(['--http-tls-cert', cert, '--http-tls-key', key])
    port = int(rig.http.rsplit(':', 1)[1])
    https = f'https://127.0.0.1:{port}'
    try:
        wait(lambda: listening(port), what='the HTTPS listener')
        # curl, verifying the chain; the gates too.
        code, body, err = curl(https + '/metrics', '--cacert', files('ca.crt'))
        assert code == 0 and 'qelgate_' in body, (code, err)
        code, body, err = curl(https + '/api/gates/001DR0000', '--cacert', files('ca.crt'))
        assert code == 0 and '"v"' in body, (code, body, err)
        # Plain HTTP on the TLS port: no answer of any kind.
        code, body, _ = curl(f'http://127.0.0.1:{port}/metrics')
        assert code != 0 and 'qelgate_' not in body, (code, body)
        assert 'diagnostics on https://' in rig.log(), rig.log()
        assert 'HTTP TLS as /CN=gate-one' in rig.log(), rig.log()
        assert subject(port, files('ca.crt')).endswith('CN = gate-one')

        # The page, rendered by Chromium over TLS.
        page = Rows()
        page.feed(chromium(https + '/', '--dump-dom', '--ignore-certificate-errors'))
        assert page.version and page.version[0].isdigit(), f'the page did not render over TLS: {page.version!r}'

        # A renewed certificate on SIGHUP, without a configuration file.
        for suffix in ('crt', 'key'):
            os.replace(files(f'gate-two.{suffix}'), files(f'server.{suffix}'))
        rig.gate.send_signal(1)
        wait(lambda: '(reloaded)' in rig.log(), what='the reload')
        assert subject(port, files('ca.crt')).endswith('CN = gate-two')
        # A bad one: the one in use goes on.
        with open(cert, 'w') as f:
            f.write('not a certificate\n')
        rig.gate.send_signal(1)
        wait(lambda: 'HTTP TLS files not reloaded' in rig.log(), what='the refused reload')
        assert subject(port, files('ca.crt')).endswith('CN = gate-two')
        code, body, err = curl(https + '/metrics', '--cacert', files('ca.crt'))
        assert code == 0 and 'qelgate_' in body, (code, err)

        # Slow loris over TLS: more unfinished handshakes than the loop has
        # slots. Each new connection evicts the oldest idle one, so a real
        # client is served at once; and each is closed at the deadline.
        began = time.time()
        stalled = stalled_handshakes(port, 140)
        started = time.time()
        code, body, err = curl(https + '/metrics', '--cacert', files('ca.crt'))
        took = time.time() - started
        assert code == 0 and 'qelgate_' in body, (code, err)
        assert took < 2.0, f'a client waited {took:.2f} s behind stalled handshakes'
        wait(lambda: all(closed_by_server(s) for s in stalled), DEADLINE + 5, 'the stalled handshakes closed')
        held = time.time() - began
        assert held <= DEADLINE + 4, f'stalled handshakes held for {held:.1f} s'
        for s in stalled:
            s.close()
        print(f'140 stalled handshakes: a client served in {took:.2f} s; all closed after {held:.1f} s')
        rig.close()
    finally:
        http_rig.kill(rig)

    # Client certificates required.
    rig = http_rig.start(['--http-tls-cert', files('gate-one.crt'), '--http-tls-key', files('gate-one.key'),
                          '--http-tls-client-ca', files('ca.crt')])
    port = int(rig.http.rsplit(':', 1)[1])
    https = f'https://127.0.0.1:{port}'
    try:
        wait(lambda: listening(port), what='the HTTPS listener')
        ca = ['--cacert', files('ca.crt')]
        code, body, _ = curl(https + '/metrics', *ca)
        assert code != 0 and 'qelgate_' not in body, 'served without a client certificate'
        code, body, _ = curl(https + '/metrics', *ca, '--cert', files('stranger.crt'), '--key', files('stranger.key'))
        assert code != 0 and 'qelgate_' not in body, 'served to a client certificate of another CA'
        code, body, err = curl(https + '/metrics', *ca, '--cert', files('client.crt'), '--key', files('client.key'))
        assert code == 0 and 'qelgate_' in body, (code, err)
        assert 'client certificates of' in rig.log()
        rig.close()
    finally:
        http_rig.kill(rig)

    # Writes off loopback: TLS, or said explicitly.
    token = files('token')
    with open(token, 'w') as f:
        f.write('s3cret-token-for-the-test\n')
    os.chmod(token, 0o600)
    writes = ['--http-writes', '--http-token-file', token]
    for args, refused in (([], True), (['--http-plaintext-writes'], False),
                          (['--http-tls-cert', files('gate-one.crt'), '--http-tls-key', files('gate-one.key')], False)):
        http_port = free_port()
        rig = http_rig.Rig(stations=http_rig.LIVE, gate_args=['--http', f'0.0.0.0:{http_port}', *writes, *args]) \
            if not refused else None
        if refused:
            done = subprocess.run([os.environ['QELGATE'], '--port', '/dev/null', '--http', f'0.0.0.0:{http_port}',
                                   *writes], capture_output=True, text=True, timeout=20)
            assert done.returncode == 64, (done.returncode, done.stderr)
            assert 'clear text' in done.stderr and '--http-plaintext-writes' in done.stderr, done.stderr
            continue
        try:
            wait(lambda: listening(http_port), what='the listener on 0.0.0.0')
            rig.close()
        finally:
            http_rig.kill(rig)
    # The TLS options go together.
    done = subprocess.run([os.environ['QELGATE'], '--port', '/dev/null', '--http', '8080', '--http-tls-cert',
                           files('gate-one.crt')], capture_output=True, text=True, timeout=20)
    assert done.returncode == 64 and '--http-tls-key' in done.stderr, (done.returncode, done.stderr)
    print('TLS: curl, s_client, Chromium, client certificates, reloads, stalled handshakes, writes off loopback: ok')


if __name__ == '__main__':
    sys.exit(main())
