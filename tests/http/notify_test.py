"""qelgate under a service manager: READY=1 once the listeners take
connections, WATCHDOG=1 every half of WATCHDOG_USEC, STOPPING=1 on SIGTERM;
and no WATCHDOG=1 while the line's loop is stuck in an exchange (a driver
that holds its read attempts while a file exists), again once it is free."""
import os, socket, tempfile, threading, time

import http_rig

WATCHDOG_SECONDS = 2.0


class Manager:
    """The service manager's end of NOTIFY_SOCKET: (time, message) as they come."""

    def __init__(self, directory):
        self.path = os.path.join(directory, 'notify')
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)
        self.socket.settimeout(0.2)
        os.environ['NOTIFY_SOCKET'] = self.path
        os.environ['WATCHDOG_USEC'] = str(int(WATCHDOG_SECONDS * 1e6))

    def collect(self, seconds):
        messages = []
        end = time.time() + seconds
        while time.time() < end:
            try:
                messages.append((time.time(), self.socket.recv(4096).decode()))
            except socket.timeout:
                pass
        return messages

    def close(self):
        self.socket.close()
        os.unlink(self.path)


def pings(messages):
    return [t for t, m in messages if m == 'WATCHDOG=1']


def pinging(manager):
    rig = http_rig.start()
    try:
        messages = []
        end = time.time() + 10
        while not any(m == 'READY=1' for _, m in messages):
            assert time.time() < end, messages
            messages += manager.collect(0.2)
        # Ready means both listeners answer.
        socket.create_connection(('127.0.0.1', rig.port), 2).close()
        http_rig.get(rig, '/metrics')
        messages += manager.collect(4 * WATCHDOG_SECONDS)
        times = pings(messages)
        gaps = [b - a for a, b in zip(times, times[1:])]
        assert len(times) >= 5, messages
        # Every half period; the bounds are generous, the line loop may be late.
        # Pinged at a fixed period, a quarter of WatchdogSec: never a flood,
        # never a gap the manager would take for a hang.
        assert all(0.15 * WATCHDOG_SECONDS <= gap <= WATCHDOG_SECONDS for gap in gaps), gaps
        rig.close()
        after = [m for _, m in manager.collect(0.5)]
        assert 'STOPPING=1' in after, after
        print(f'{len(times)} watchdog pings, gaps {min(gaps):.2f}-{max(gaps):.2f} s')
    finally:
        http_rig.kill(rig)


def blocked(manager, directory):
    block = os.path.join(directory, 'block')
    os.environ['BLOCKING_DRIVER_FILE'] = block
    # -v: the real driver's log lines reach qelgate's log (it found libkestan.so) through the stand-in.
    rig = http_rig.start(['--driver', os.environ['BLOCKING_DRIVER'], '-v'])
    try:
        assert pings(manager.collect(2 * WATCHDOG_SECONDS)), 'no pings before the block'
        open(block, 'w').close()
        client = rig.client(timeout=60)
        answer = []
        reader = threading.Thread(target=lambda: answer.append(http_rig.read(client, 'hr', 0, 2, 1)))
        reader.start()
        manager.collect(WATCHDOG_SECONDS)  # a ping already on its way
        stuck = manager.collect(2 * WATCHDOG_SECONDS)
        assert not pings(stuck) and reader.is_alive(), (stuck, answer)
        assert rig.gate.poll() is None, 'qelgate died'
        os.unlink(block)
        again = manager.collect(2 * WATCHDOG_SECONDS)
        reader.join(10)
        assert pings(again), 'the pings did not come back'
        assert answer and isinstance(answer[0], list), answer
        client.close()
        rig.close()
        assert 'loaded successfully' in rig.log(), rig.log()
        print(f'no ping for {2 * WATCHDOG_SECONDS:.0f} s while the line was stuck; {len(pings(again))} after')
    finally:
        if os.path.exists(block):
            os.unlink(block)
        http_rig.kill(rig)


def main():
    directory = tempfile.mkdtemp(prefix='qelgate-notify-')
    manager = Manager(directory)
    try:
        pinging(manager)
        blocked(manager, directory)
    finally:
        manager.close()
        os.rmdir(directory)


if __name__ == '__main__':
    main()
