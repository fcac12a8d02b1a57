"""Device paths as an admin writes them: a /dev/serial/by-id/... name, far
longer than the driver's 11-character port field, and a relative path. Each
is taken by qelhost, by qelgate (at its start, at a reload onto another such
port, and when the adapter comes back after it was unplugged) and by the
Python module."""
import os, signal, subprocess, tempfile, time

from gate_rig import free_port, listening, read, wait
from pymodbus.client import ModbusTcpClient

ROOT = tempfile.mkdtemp(prefix='qel-devpath-')
BY_ID = os.path.join(ROOT, 'serial', 'by-id')
FIRST = os.path.join(BY_ID, 'usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0')
SECOND = os.path.join(BY_ID, 'usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0')


def start_fasim(link, value):
    memory = link + '.memory'
    with open(memory, 'w') as f:
        f.write(f'1 DR 10 {value}\n')
    fasim = subprocess.Popen([os.environ['FASIM'], '--link', link, '--station', '1:FA2', '--unpaced',
                              '--memory', memory])
    wait(lambda: os.path.exists(link), what=f'fasim on {link}')
    return fasim


def stop(process):
    process.terminate()
    process.wait(10)


def qelhost_reads(port, cwd=None):
    run = subprocess.run([os.environ['QELHOST'], 'read', '--port', port, '001DR0010'], cwd=cwd,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, f'qelhost read --port {port}: {run.returncode}\n{run.stdout}{run.stderr}'
    return run.stdout


def python_reads(port, cwd):
    script = ('import vuzorur\n'
              f'with vuzorur.Line({port!r}) as line:\n'
              '    print(line.read("001DR0010"))\n')
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.environ['VUZORUR_MODULE']))
    run = subprocess.run(['/usr/bin/python3', '-c', script], cwd=cwd, capture_output=True, text=True,
                         timeout=60, env=env)
    assert run.returncode == 0, f'vuzorur.Line({port!r}): {run.returncode}\n{run.stdout}{run.stderr}'
    return run.stdout.strip()


def first_value(modbus_port, seconds=30):
    """DR0010 of unit 1 once a read gives values (a reopen takes a moment)."""
    client = ModbusTcpClient('127.0.0.1', port=modbus_port, timeout=5, retries=0)
    end = time.time() + seconds
    try:
        while time.time() < end:
            if client.connect():
                values = read(client, 'hr', 10, 1, 1)
                if isinstance(values, list):
                    return values[0]
            time.sleep(0.2)
    finally:
        client.close()
    raise AssertionError('no good read within %d s' % seconds)


def main():
    os.makedirs(BY_ID)
    first = start_fasim(FIRST, 1111)
    second = start_fasim(SECOND, 2222)
    gate = None
    try:
        relative = os.path.relpath(FIRST, ROOT)
        assert len(FIRST) > 11 and len(relative) > 11
        assert '1111' in qelhost_reads(FIRST)
        assert '1111' in qelhost_reads(relative, cwd=ROOT)
        if 'VUZORUR_MODULE' in os.environ:  # not built under the sanitizers
            assert python_reads(FIRST, ROOT) == '1111'
            assert python_reads(relative, ROOT) == '1111'

        # qelgate on the long name from its configuration; the adapter
        # unplugged and back; then a reload onto the second long name.
        modbus = free_port()
        config = os.path.join(ROOT, 'line.toml')
        with open(config, 'w') as f:
            f.write(f'port = "{FIRST}"\nlisten = "127.0.0.1:{modbus}"\n')
        log_path = os.path.join(ROOT, 'gate.log')
        with open(log_path, 'w') as log:
            gate = subprocess.Popen([os.environ['QELGATE'], '--config', config], stderr=log, cwd=ROOT)
        wait(lambda: listening(modbus), what='qelgate')
        assert first_value(modbus) == 1111

        # Unplugged and plugged back: the device node goes and comes again.
        first.kill()
        first.wait()
        os.unlink(FIRST)
        time.sleep(1.5)
        first = start_fasim(FIRST, 1112)
        assert first_value(modbus) == 1112

        with open(config, 'w') as f:
            f.write(f'port = "{SECOND}"\nlisten = "127.0.0.1:{modbus}"\n')
        gate.send_signal(signal.SIGHUP)
        end = time.time() + 30
        while first_value(modbus) != 2222:
            assert time.time() < end, 'the reload did not move the line to the second port'
            time.sleep(0.2)
        with open(log_path) as f:
            text = f.read()
        assert 'longer than' not in text, text
    finally:
        if gate:
            gate.terminate()
            gate.wait(20)
        stop(first)
        stop(second)
    print('long and relative device paths served by qelhost, qelgate (start, return, reload) and Python')


if __name__ == '__main__':
    main()
