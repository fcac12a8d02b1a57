"""qelgate under a service manager: READY=1 once the listeners take
connections, WATCHDOG=1 every half of WATCHDOG_USEC, STOPPING=1 on SIGTERM."""
import os, socket, tempfile, time

import http_rig

WATCHDOG_SECONDS = 2.0


def main():
    directory = tempfile.mkdtemp(prefix='qelgate-notify-')
    path = os.path.join(directory, 'notify')
    manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    manager.bind(path)
    os.environ['NOTIFY_SOCKET'] = path
    os.environ['WATCHDOG_USEC'] = str(int(WATCHDOG_SECONDS * 1e6))
    rig = http_rig.start()
    try:
        messages = []  # (time, message)
        manager.settimeout(10)
        end = time.time() + 4 * WATCHDOG_SECONDS
        while time.time() < end:
            message = manager.recv(4096).decode()
            messages.append((time.time(), message))
            if message == 'READY=1':
                # Ready means both listeners answer.
                socket.create_connection(('127.0.0.1', rig.port), 2).close()
                http_rig.get(rig, '/metrics')
        assert any(m == 'READY=1' for _, m in messages), messages
        pings = [t for t, m in messages if m == 'WATCHDOG=1']
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        assert len(pings) >= 5, messages
        # Every half period; the bounds are generous, the line loop may be late.
        assert all(0.4 * WATCHDOG_SECONDS <= gap <= WATCHDOG_SECONDS for gap in gaps), gaps
        rig.close()
        manager.settimeout(0.5)
        after = []
        try:
            while True:
                after.append(manager.recv(4096).decode())
        except socket.timeout:
            pass
        assert 'STOPPING=1' in after, after
        print(f'{len(pings)} watchdog pings, gaps {min(gaps):.2f}-{max(gaps):.2f} s')
    finally:
        if rig.gate.poll() is None:
            rig.gate.kill()
            rig.fasim.kill()
        manager.close()
        os.unlink(path)
        os.rmdir(directory)


if __name__ == '__main__':
    main()
