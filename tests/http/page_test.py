"""Headless Chromium renders the status page of qelgate --http: the
silent station is shown down, the live ones up with answer times.
--screenshot PATH keeps a picture of the page as a phone shows it."""
import html.parser, re, shutil, subprocess, sys, tempfile

import http_rig


class Rows(html.parser.HTMLParser):
    """The rendered station table: {station: {'state': ..., 'median': ..., ...}}, and the version."""

    def __init__(self):
        super().__init__()
        self.rows, self.version, self._row, self._cell, self._in_version = {}, '', None, None, False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == 'tr' and 'data-station' in attrs:
            self._row = self.rows.setdefault(int(attrs['data-station']), {'row-state': attrs.get('data-state')})
        elif tag == 'td' and self._row is not None:
            self._cell = (attrs.get('class') or 'other').split()[0]
            self._row[self._cell] = ''
        self._in_version = attrs.get('id') == 'version'

    def handle_endtag(self, tag):
        if tag == 'tr':
            self._row = None
        self._cell, self._in_version = None, False

    def handle_data(self, data):
        if self._row is not None and self._cell:
            self._row[self._cell] += data
        if self._in_version:
            self.version += data


def chromium(url, *extra):
    profile = tempfile.mkdtemp(prefix='qelgate-chromium-')
    try:
        return subprocess.run(
            ['/usr/bin/chromium', '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             f'--user-data-dir={profile}', '--virtual-time-budget=3000', *extra, url],
            capture_output=True, text=True, timeout=90).stdout
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def screenshot_if_asked(url, height):
    """With --screenshot PATH: a picture of the page at `url` as a phone shows it, 420 pixels wide."""
    if '--screenshot' in sys.argv:
        chromium(url, '--screenshot=' + sys.argv[sys.argv.index('--screenshot') + 1], f'--window-size=420,{height}',
                 '--hide-scrollbars')


def main():
    rig = http_rig.start()
    try:
        http_rig.traffic(rig)
        page = Rows()
        page.feed(chromium(rig.http + '/', '--dump-dom'))
        assert re.fullmatch(r'\d+\.\d+\.\d+', page.version), f'the page did not render: {page.version!r}'
        screenshot_if_asked(rig.http + '/', 800)

        http_rig.skip_without_line_statistics(rig, 'the station table')
        rows = page.rows
        # A down station is 'probing' for the moment a background probe is on the line.
        assert rows[http_rig.SILENT]['state'] in ('down', 'probing'), rows
        for station, model in http_rig.LIVE.items():
            row = rows[station]
            assert row['state'] == 'up' and row['model'] == model, row
            assert row['median'].endswith(' ms') and row['p99'].endswith(' ms'), row
        print('rendered:', rows)
        rig.close()
    finally:
        http_rig.kill(rig)


if __name__ == '__main__':
    main()
