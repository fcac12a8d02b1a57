"""vuzorur.Line against fasim: reads, writes, scan, poll, the exceptions
with their fields, a station that goes silent and returns, threads, and the
line released on exit and on garbage collection."""
import gc, os, threading, time

import pytest
import vuzorur

from conftest import MEMORY


def test_reads_a_word_a_block_and_bits(line):
    assert line.read('001DR0003') == 1003
    assert line.read('002DR0100', count=10) == [2100 + i for i in range(10)]
    # Bit areas skip the bit digits 8 and 9 of each byte.
    assert line.read('001IO0000', count=3) == [1, 0, 1]
    assert line.read('002TP0003') == 1234


def test_a_long_run_crosses_block_limits(line):
    # More elements than one block takes: several exchanges, one list.
    assert line.read('002DR0000', count=120) == [2000 + i for i in range(120)]


def test_write_reaches_the_station(line, sim):
    line.write('001DR0015', 4321)
    assert sim.get(1, 'DR', 15) == 4321
    assert line.read('001DR0015') == 4321
    line.write('001IO0005', 1)
    assert sim.get(1, 'IO', 5) == 1


@pytest.mark.parametrize('gate, count, hint', [
    ('001DR0400', 1, 'outside_range'),   # an FA-2 has DR 0-399
    ('001IM0400', 1, 'area_missing'),    # IM is an FA-3's
    ('001XX0001', 1, 'no_area'),
    ('1DR0001', 1, 'no_station'),
    ('300DR0001', 1, 'station_above_255'),
    ('001DR0395', 10, 'outside_range'),  # the run leaves the area
])
def test_an_illegal_gate_raises_gate_error(line, gate, count, hint):
    with pytest.raises(vuzorur.GateError) as caught:
        line.read(gate, count=count)
    e = caught.value
    assert e.failure == 'bad_gate' and e.hint == hint and e.gate == gate
    assert 'illegal' in str(e)


@pytest.mark.parametrize('gate, value, words', [
    ('001IO0005', 2, 'a bit is 0 or 1'),
    ('002TP0003', 10000, 'a preset is 0-9999'),
    ('001DR0001', 70000, 'a word is 0 to 65535'),
])
def test_a_value_that_does_not_fit_is_refused_before_the_line(line, sim, gate, value, words):
    def attempts():
        return sum(s['attempts'] for s in line.stats()['stations'])
    before = attempts()
    with pytest.raises(vuzorur.GateError) as caught:
        line.write(gate, value)
    assert caught.value.failure == 'bad_value' and words in str(caught.value)
    assert attempts() == before


def test_silent_station_no_answer_then_down_with_fields(line):
    with pytest.raises(vuzorur.NoAnswer) as caught:
        line.read('005DR0001')
    e = caught.value
    assert (e.station, e.failure, e.hint, e.gate) == (5, 'no_answer', 'no_answer', '005DR0001')
    assert 'no answer from station 5' in str(e)
    assert isinstance(e, vuzorur.LineError) and isinstance(e, vuzorur.Error)
    # Held down now: the next read fails at once, without the line.
    start = time.monotonic()
    with pytest.raises(vuzorur.StationDown) as caught:
        line.read('005DR0001')
    assert time.monotonic() - start < 0.5
    assert caught.value.failure == 'down' and caught.value.station == 5
    # Its words say it is held down, not that it did not answer this time.
    assert 'station 5 is held down' in str(caught.value) and 'without being sent' in str(caught.value)
    assert {s['station']: s['state'] for s in line.stats()['stations']}[5] in ('down', 'probing')


def test_a_station_that_goes_silent_and_returns(line, sim):
    assert line.read('001DR0002') == 1002
    sim.control('silent 1 on')
    try:
        # It answered before: one more attempt after the silence, not four
        # 600 ms apart, then NoAnswer; then StationDown at once.
        start = time.monotonic()
        with pytest.raises(vuzorur.NoAnswer):
            line.read('001DR0002')
        assert time.monotonic() - start < 1.5
        start = time.monotonic()
        with pytest.raises(vuzorur.StationDown):
            line.read('001DR0002')
        assert time.monotonic() - start < 0.5
        # Others go on meanwhile.
        assert line.read('002DR0001') == 2001
    finally:
        sim.control('silent 1 off')
    # The background probes (down_hold 1 s) bring it back up.
    end = time.monotonic() + 15
    while True:
        try:
            assert line.read('001DR0002') == 1002
            break
        except vuzorur.StationDown:
            assert time.monotonic() < end, 'station 1 did not come back'
            time.sleep(0.2)
    assert {s['station']: s['state'] for s in line.stats()['stations']}[1] == 'up'


def test_scan_finds_the_stations_and_the_line_goes_on(line):
    assert line.scan(range(0, 8)) == {1: 'FA2', 2: 'FA3'}
    assert line.read('002DR0007') == 2007


def test_poll_rounds_keep_time_and_carry_failures(line):
    start = time.monotonic()
    rounds = list(line.poll(['001DR0001', '002DR0010', '005DR0000'], every=0.3, rounds=3))
    assert len(rounds) == 3
    assert time.monotonic() - start >= 0.6
    for r in rounds:
        assert r['001DR0001'] == 1001 and r['002DR0010'] == 2010
        assert r['005DR0000'] is None and isinstance(r.errors['005DR0000'], vuzorur.LineError)
    # The first round waits for the silent station's attempts; then it is
    # held down and the rounds keep their time.
    assert rounds[2].time - rounds[1].time == pytest.approx(0.3, abs=0.25)
    with pytest.raises(vuzorur.GateError):
        line.poll(['001DR0400'])


def test_threads_share_one_line(line):
    errors, results = [], {}

    def worker(n):
        try:
            results[n] = [line.read(f'002DR{n:04d}') for _ in range(10)]
        except Exception as e:  # noqa: BLE001: reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert results == {n: [2000 + n] * 10 for n in range(6)}


def test_the_line_is_released_on_exit_and_on_collection(sim):
    with vuzorur.Line(sim.link) as line:
        assert line.read('001DR0000') == 1000
    assert line.closed
    with pytest.raises(ValueError):
        line.read('001DR0000')
    cwd = os.getcwd()
    line = vuzorur.Line(sim.link, stations={2: 'FA3'})
    assert os.getcwd() == cwd  # the station models do not move the caller
    del line
    gc.collect()
    # Released: the port opens again at once.
    again = vuzorur.Line(sim.link)
    assert again.read('001DR0001') == 1001
    again.close()


def test_opening_failures():
    with pytest.raises(vuzorur.LineError) as caught:
        vuzorur.Line('/tmp/nx' + os.urandom(2).hex())
    assert caught.value.failure == 'port'
    with pytest.raises(ValueError):
        vuzorur.Line('/tmp/x', stations={2: 'FA9'})
    # A long path is no setting error: the device is not there.
    with pytest.raises(vuzorur.LineError) as caught:
        vuzorur.Line('/tmp/a/very/long/device')
    assert caught.value.failure == 'port'
    assert 'longer than' not in str(caught.value)


@pytest.mark.parametrize('kwargs, words', [
    ({'port': '10.0.0.5:4001'}, 'for a line over TCP write port="tcp:10.0.0.5:4001"'),
    ({'port': 'tcp:localhost'}, 'write a line over TCP as port="tcp:HOST:PORT"'),
    ({'port': '/tmp/x', 'driver': '/nonexistent/libdriver.so'}, 'name another driver with driver=PATH'),
])
def test_an_opening_failure_names_the_lines_own_parameters(kwargs, words):
    # The session library gives the fact; Line says what to change in its
    # own parameters, never in a program's options.
    with pytest.raises(ValueError) as caught:
        vuzorur.Line(**kwargs)
    assert words in str(caught.value)
    assert '--' not in str(caught.value)


def test_diagnoses_name_the_lines_own_parameters(line):
    # Station 1 is served as an FA-2 because nothing names it: the advice is
    # Line's stations= parameter, never a program's option.
    with pytest.raises(vuzorur.GateError) as caught:
        line.read('001FORCE')
    assert 'name it with stations={1: "FA3"}' in str(caught.value)
    assert '--' not in str(caught.value)
    with pytest.raises(vuzorur.NoAnswer) as caught:
        line.read('005DR0001')
    assert 'line.scan() lists the stations that answer' in str(caught.value)
    assert 'qelhost' not in str(caught.value)


def test_a_second_line_on_a_port_this_process_holds(line, sim):
    # The port is this process's own: said so, not as a port another program holds.
    with pytest.raises(vuzorur.LineError) as caught:
        vuzorur.Line(sim.link)
    assert 'this process holds ' + sim.link + ' already' in str(caught.value)
    assert 'fasim' not in str(caught.value)
    # Closed, the port may be opened again.
    line.close()
    with vuzorur.Line(sim.link) as again:
        assert again.read('001DR0001') == again.read('001DR0001')


def test_an_illegal_gate_says_where_the_model_came_from(line):
    # Station 2 is named by stations=; station 1 by nothing at all.
    with pytest.raises(vuzorur.GateError) as caught:
        line.read('002WO0000')
    assert str(caught.value).endswith('; station 2 is named FA3 by stations={2: "FA3"}'), str(caught.value)
    with pytest.raises(vuzorur.GateError) as caught:
        line.read('001DR0400')
    words = str(caught.value)
    assert words.startswith('gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: '
                            '0-399); station 1 is an FA2 by default: there is no station model file (no '
                            'models="FILE", and no /'), words
    assert words.endswith('/davEV01.int, the file the driver reads for QEL 1); if it is an FA-3, name it with '
                          'stations={1: "FA3"}'), words
