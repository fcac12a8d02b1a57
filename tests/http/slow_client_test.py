"""qelgate --http against clients that try to hold it: many idle connections
and slow-loris ones (a header line now and then, never the end) leave /metrics
answered at once; the slow ones get 408 at the whole-request deadline; a
kept-alive connection answers its later requests as fast as its first;
OPTIONS is 405 with Allow, HEAD has the GET's fields and no body.

    slow_client_test.py [IDLE [SLOW]]     (default 300 idle, 50 slow)
"""
import http.client, socket, statistics, subprocess, sys, time

import http_rig

REQUEST_DEADLINE = 5  # seconds, the server's whole-request deadline


def curl(rig, *args):
    """curl's status and total time for one request."""
    out = subprocess.run(['curl', '-s', '-o', '/dev/null', '-w', '%{http_code} %{time_total}', '--max-time', '10',
                          *args], capture_output=True, text=True).stdout.split()
    return (int(out[0]), float(out[1])) if len(out) == 2 else (0, 10.0)


def headers(rig, *args):
    return subprocess.run(['curl', '-s', '-i', '--max-time', '5', *args], capture_output=True).stdout.decode()


def keep_alive(rig):
    """Times of 10 requests after the first on one connection, in ms."""
    connection = http.client.HTTPConnection('127.0.0.1', int(rig.http.rsplit(':', 1)[1]), timeout=5)
    times = []
    for i in range(11):
        start = time.perf_counter()
        connection.request('GET', '/metrics')
        response = connection.getresponse()
        body = response.read()
        assert response.status == 200 and b'qelgate_build_info' in body, response.status
        if i:
            times.append((time.perf_counter() - start) * 1000)
    connection.close()
    return times


def connect(port):
    s = socket.create_connection(('127.0.0.1', port), timeout=5)
    s.setblocking(False)
    return s


def main():
    idle_count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    slow_count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    rig = http_rig.start()
    url = rig.http + '/metrics'
    port = int(rig.http.rsplit(':', 1)[1])
    sockets = []
    try:
        # Methods.
        answer = headers(rig, '-X', 'OPTIONS', url)
        assert answer.startswith('HTTP/1.1 405 '), answer
        assert 'Allow: GET, HEAD\r\n' in answer, answer
        answer = headers(rig, '-X', 'OPTIONS', '--request-target', '*', rig.http)
        assert answer.startswith('HTTP/1.1 405 '), answer
        answer = headers(rig, '-I', url)
        assert answer.startswith('HTTP/1.1 200 ') and 'Content-Length: ' in answer, answer
        assert answer.endswith('\r\n\r\n'), 'HEAD answered with a body'
        print('OPTIONS 405 with Allow, HEAD without a body')

        # Keep-alive: the second request and on, against the Nagle and delayed-ACK stall (40 ms each).
        times = keep_alive(rig)
        print(f'keep-alive, requests 2 to 11: median {statistics.median(times):.2f} ms, max {max(times):.2f} ms')
        assert min(times) < 20, times

        fresh = [curl(rig, url) for _ in range(5)]
        assert all(status == 200 for status, _ in fresh), fresh
        print(f'/metrics alone: median {statistics.median(t for _, t in fresh) * 1000:.1f} ms')

        # The attack: idle connections, then slow-loris ones that send a header line every second.
        for _ in range(idle_count):
            sockets.append(connect(port))
        slow = [connect(port) for _ in range(slow_count)]
        sockets += slow
        begun = time.time()
        for s in slow:
            s.send(b'GET /metrics HTTP/1.1\r\nHost: x\r\n')
        times, answered_408, line = [], 0, 0
        while time.time() - begun < REQUEST_DEADLINE + 3:
            line += 1
            for s in slow:
                try:
                    s.send(b'X-Slow-%d: 1\r\n' % line)
                except OSError:
                    pass
            status, took = curl(rig, url)
            assert status == 200, f'/metrics beside the attack: status {status} after {took:.1f} s'
            times.append(took * 1000)
            time.sleep(max(0.0, begun + line - time.time()))
        for s in slow:
            try:
                answered_408 += s.recv(100).startswith(b'HTTP/1.1 408 ')
            except OSError:
                pass
        print(f'/metrics beside {idle_count} idle and {slow_count} slow-loris connections: {len(times)} requests, '
              f'median {statistics.median(times):.1f} ms, max {max(times):.1f} ms; '
              f'{answered_408} slow-loris connections answered 408')
        assert max(times) < 1000, times
        assert answered_408 >= slow_count // 2, answered_408
        rig.close()
    finally:
        for s in sockets:
            s.close()
        http_rig.kill(rig)


if __name__ == '__main__':
    main()
