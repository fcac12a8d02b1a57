"""The status page's trends: qelgate samples each station's answer time,
station 2 goes silent in the middle and answers again; /api/status shows
values, a gap, values, and headless Chromium draws the chart with its red
band. --screenshot PATH keeps the picture, as a phone shows it."""
import json, time

import http_rig
from gate_rig import read
from page_test import chromium, screenshot_if_asked


def reads_for(rig, client, seconds, units):
    end = time.time() + seconds
    while time.time() < end:
        for unit in units:
            read(client, 'hr', 0, 4, unit)
        time.sleep(0.05)


def main():
    rig = http_rig.start()
    try:
        client = rig.client()
        reads_for(rig, client, 4, (1, 2))
        rig.control('silent 2 on')
        reads_for(rig, client, 5, (1, 2))
        rig.control('silent 2 off')
        # Station 2 comes back by its probes (1 s, 2 s, ...); reads go on meanwhile.
        end = time.time() + 20
        while http_rig.status(rig)['stations'][1]['state'] != 'up':
            assert time.time() < end, 'station 2 did not come back'
            reads_for(rig, client, 0.5, (1, 2))
        reads_for(rig, client, 4, (1, 2))
        client.close()

        trends = http_rig.status(rig)['trends']
        assert trends['span'] == 3600
        series = {s['name']: s['v'] for s in trends['stations']}
        one, two = series['1'], series['2']
        assert one and all(v is not None and 0 < v < 1000 for v in one), one
        # Values, then the outage, then values again.
        first_gap = two.index(None)
        assert any(v is not None for v in two[:first_gap]), two
        assert any(v is not None for v in two[first_gap:]), two
        assert two[-1] is not None, two

        dom = chromium(rig.http + '/', '--dump-dom')
        for name in ('1', '2'):
            start = dom.index(f'data-trend="station:{name}"')
            box = dom[start:dom.index('</svg>', start)]
            assert '<polyline' in box, box
            assert ('class="gap"' in box) == (name == '2'), box
        screenshot_if_asked(rig.http + '/', 900)
        print('trends:', json.dumps(trends)[:300])
        rig.close()
    finally:
        http_rig.kill(rig)


if __name__ == '__main__':
    main()
