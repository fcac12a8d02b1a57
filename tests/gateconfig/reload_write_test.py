"""qelgate --config on fasim at the line's pace: a 60-value write (FC16) is
under way when SIGHUP brings a new baud. The write ends whole and is
answered, then the line is reopened; the log says that the reload reopened
it, and blames no serial port failure."""
import os, signal, subprocess, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
import mqtt_rig  # noqa: E402
from mqtt_rig import free_port, wait  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

VALUES = [1000 + i for i in range(60)]


def main():
    directory = mqtt_rig.temp_dir()
    line = mqtt_rig.Line(directory, {1: 'FA2'}, paced=True)
    modbus = free_port()
    config = os.path.join(directory, 'line1.toml')

    def write_config(text):
        with open(config + '.new', 'w') as f:
            f.write(f'port = "{line.link}"\nlisten = "127.0.0.1:{modbus}"\nallow-writes = true\n' + text)
        os.replace(config + '.new', config)

    write_config('')
    log_path = os.path.join(directory, 'gate.log')
    with open(log_path, 'w') as log:
        gate = subprocess.Popen([os.environ['QELGATE'], '--config', config], stderr=log)

    def log():
        with open(log_path) as f:
            return f.read()

    try:
        wait(lambda: mqtt_rig.gate_rig.listening(modbus), what='qelgate')
        client = ModbusTcpClient('127.0.0.1', port=modbus, timeout=20, retries=0)
        assert client.connect()
        result = {}
        writer = threading.Thread(target=lambda: result.update(r=client.write_registers(200, VALUES, slave=1)))
        started = time.time()
        writer.start()
        wait(lambda: line.get(1, 'DR', 200) == VALUES[0], what='the write under way')
        write_config('baud = 19200\n')
        gate.send_signal(signal.SIGHUP)
        writer.join(20)
        took = time.time() - started
        assert not result['r'].isError(), (result['r'], log())
        written = [line.get(1, 'DR', 200 + i) for i in range(len(VALUES))]
        assert written == VALUES, written
        wait(lambda: 'reload: line reopened with the new port settings' in log(), what='the reopen')
        assert 'serial port failure' not in log(), log()
        assert 'baud 9600 -> 19200' in log(), log()
        r = client.read_holding_registers(200, count=2, slave=1)
        assert not r.isError() and r.registers == VALUES[:2], r
        client.close()
        print(f'ok: the 60-value write ended whole in {took:.1f} s across the reload; the line reopened after it')
    finally:
        gate.terminate()
        code = gate.wait(20)
        line.close()
    assert code == 0 and 'stopped' in log(), log()


if __name__ == '__main__':
    main()
