"""vuzorur.Line as hard as the programs: bad arguments raise ValueError
naming the parameter and what it takes; Ctrl-C ends a long call within
about half a second, the line usable after; a child after fork() gets a
clear error from its parent's Line and exits normally."""
import os, subprocess, sys, textwrap, time

import pytest
import vuzorur


@pytest.mark.parametrize('kwargs, said', [
    ({'parity': 'x'}, "parity: 'x'; one of 'none', 'odd', 'even', 'mark', 'space'"),
    ({'stop_bits': '3'}, "stop_bits: '3'; one of '1', '1.5', '2'"),
    ({'baud': 75136}, 'baud: 75136 does not fit'),
    ({'baud': 20}, 'baud: 20 is below 50'),
    ({'baud': -1}, 'baud: -1; a rate from 50 to 57600'),
    ({'data_bits': 9}, 'data_bits: 9; 5, 6, 7 or 8'),
    ({'qel': -1}, 'qel: -1; a QEL number from 0 to 9999'),
    ({'qel': 10000}, 'qel: 10000; a QEL number from 0 to 9999'),
    ({'port': ''}, 'port: empty; name a serial port'),
    ({'port': 'tty\0S0'}, 'port: holds a NUL'),
    ({'stations': {-1: 'FA2'}}, 'stations: -1 is not a station; 0 to 255'),
])
def test_bad_settings_raise_value_error_naming_the_parameter(sim, kwargs, said):
    args = {'port': sim.link} | kwargs
    port = args.pop('port')
    with pytest.raises(ValueError) as caught:
        vuzorur.Line(port, **args)
    assert said in str(caught.value)


@pytest.mark.parametrize('call', [
    lambda line: line.read('001DR0010\0junk'),
    lambda line: line.write('001DR0010\0', 5),
    lambda line: line.poll(['001DR0010', '001DR0011\n'], rounds=1),
])
def test_gate_text_with_a_nul_or_control_byte_is_a_value_error(line, call):
    with pytest.raises(ValueError) as caught:
        call(line)
    assert str(caught.value).startswith('gate: a ') and "'001DR0010' and nothing after it" in str(caught.value)


def test_trailing_junk_and_bad_counts_are_value_errors_too(line):
    with pytest.raises(ValueError):
        line.read('001DR0010junk')
    with pytest.raises(ValueError):
        line.read('001DR0010', count=0)
    with pytest.raises(vuzorur.GateError):
        line.read('001DR0010junk')


@pytest.mark.parametrize('stations', [[256], [-1], [1, 2, 300]])
def test_scan_of_no_station_is_a_value_error(line, stations):
    with pytest.raises(ValueError) as caught:
        line.scan(stations)
    assert 'is not a station; 0 to 255' in str(caught.value)


def run_script(sim, body, timeout=60):
    """A script of its own: Ctrl-C and fork() act on the whole process."""
    script = textwrap.dedent('''
        import os, signal, sys, threading, time
        import vuzorur
        link = sys.argv[1]
    ''') + textwrap.dedent(body)
    return subprocess.run([sys.executable, '-c', script, sim.link], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ))


def test_ctrl_c_ends_a_long_call_within_half_a_second(sim):
    got = run_script(sim, '''
        line = vuzorur.Line(link, stations={2: 'FA3'}, driver_retries=True, timeout=0.5)
        def interrupt():
            time.sleep(0.5)
            global sent
            sent = time.monotonic()
            os.kill(os.getpid(), signal.SIGINT)
        for name, call in [('read', lambda: line.read('005DR0001')),
                           ('write', lambda: line.write('005DR0001', 7)),
                           ('scan', lambda: line.scan(range(3, 60)))]:
            threading.Thread(target=interrupt).start()
            start = time.monotonic()
            try:
                call()
                print(name, 'not interrupted')
            except KeyboardInterrupt:
                print(name, 'interrupted after %.2f s' % (time.monotonic() - sent))
            # The line goes on: the call's request withdrawn, what had begun ended.
            begun = time.monotonic()
            assert line.read('001DR0003') == 1003
            print(name, 'next read after %.2f s' % (time.monotonic() - begun))
        line.close()
        print('closed')
    ''')
    assert got.returncode == 0, got.stdout + got.stderr
    lines = got.stdout.splitlines()
    assert lines[-1] == 'closed', got.stdout
    for name in ('read', 'write', 'scan'):
        interrupted = [l for l in lines if l.startswith(name + ' interrupted')]
        assert interrupted, got.stdout
        assert float(interrupted[0].split()[-2]) < 0.5, got.stdout
        following = [l for l in lines if l.startswith(name + ' next read')]
        # A begun attempt of the driver's own retries ends first: seconds, not the whole call's.
        assert following and float(following[0].split()[-2]) < 10, got.stdout


def test_a_child_after_fork_gets_a_clear_error_and_exits(sim):
    got = run_script(sim, '''
        line = vuzorur.Line(link, stations={2: 'FA3'})
        assert line.read('001DR0003') == 1003
        pid = os.fork()
        if pid == 0:
            try:
                line.read('001DR0003')
                print('child read', flush=True)
            except vuzorur.Error as e:
                print('child:', e, flush=True)
            print('child closed' if line.closed else 'child open', flush=True)
            sys.exit(3)  # a normal exit: the Line is let go of, nothing waited on
        end = time.monotonic() + 20
        while time.monotonic() < end:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print('child exit', os.waitstatus_to_exitcode(status), flush=True)
                break
            time.sleep(0.05)
        else:
            os.kill(pid, signal.SIGKILL)
            print('child hung', flush=True)
        assert line.read('001DR0004') == 1004
        line.close()
        print('parent done', flush=True)
    ''')
    assert got.returncode == 0, got.stdout + got.stderr
    assert 'before fork(); a child process opens a Line of its own' in got.stdout, got.stdout
    assert 'child closed' in got.stdout and 'child exit 3' in got.stdout, got.stdout
    assert 'parent done' in got.stdout, got.stdout
