"""A real Prometheus scrapes qelgate --http: the page passes promtool, the
scrape is up, and the silent station's failures are counted."""
import json, os, shutil, socket, subprocess, tempfile, time, urllib.parse, urllib.request

import http_rig


def wait(ready, seconds, what):
    end = time.time() + seconds
    while time.time() < end:
        try:
            value = ready()
            if value:
                return value
        except OSError:
            pass
        time.sleep(0.25)
    raise AssertionError(f'timed out waiting for {what}')


def query(base, expression):
    url = base + '/api/v1/query?' + urllib.parse.urlencode({'query': expression})
    with urllib.request.urlopen(url, timeout=5) as response:
        answer = json.load(response)
    assert answer['status'] == 'success', answer
    return [float(r['value'][1]) for r in answer['data']['result']]


def main():
    rig = http_rig.start()
    storage = tempfile.mkdtemp(prefix='qelgate-prom-')
    prometheus = None
    try:
        http_rig.traffic(rig)
        page = http_rig.get(rig, '/metrics')
        check = subprocess.run(['/usr/bin/promtool', 'check', 'metrics'], input=page, text=True,
                               capture_output=True)
        assert check.returncode == 0 and not check.stdout.strip() and not check.stderr.strip(), \
            f'promtool: {check.stdout}{check.stderr}'

        port = http_rig.free_port()
        config = os.path.join(storage, 'prometheus.yml')
        with open(config, 'w') as f:
            f.write('global: {scrape_interval: 1s, evaluation_interval: 1s}\n'
                    'scrape_configs:\n'
                    '  - job_name: qelgate\n'
                    f'    static_configs: [{{targets: ["{rig.http[len("http://"):]}"]}}]\n')
        prometheus = subprocess.Popen(
            ['/usr/bin/prometheus', f'--config.file={config}', f'--storage.tsdb.path={storage}/data',
             f'--web.listen-address=127.0.0.1:{port}'],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        base = f'http://127.0.0.1:{port}'
        wait(lambda: query(base, 'up{job="qelgate"}') == [1.0], 30, 'the scrape to be up')
        print('scrape up')

        http_rig.skip_without_line_statistics(rig, 'the silent station\'s failures')
        failed = wait(lambda: sum(query(base, f'qelgate_station_failures_total{{station="{http_rig.SILENT}"}}')),
                      15, 'failures of the silent station')
        assert failed > 0
        answered = query(base, 'qelgate_station_answer_seconds_count{station="1"}')
        assert answered and answered[0] > 0, answered
        print(f'silent station {http_rig.SILENT}: {failed:.0f} failed attempts')
        rig.close()
    finally:
        if prometheus:
            prometheus.terminate()
            prometheus.wait(20)
        shutil.rmtree(storage, ignore_errors=True)
        http_rig.kill(rig)


if __name__ == '__main__':
    main()
