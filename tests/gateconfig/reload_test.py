"""qelgate --config on fasim, a real mosquitto and a pymodbus client that
reads in a loop: SIGHUP applies a new publish list (tags, line name), a new
baud (the line reopened), new client limits and a moved --http, and the
client keeps its one connection throughout; a broken file and a change that
needs a restart are refused with one log line each and counted in /metrics."""
import os, signal, subprocess, sys, threading, time, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
import mqtt_rig  # noqa: E402
from mqtt_rig import free_port, wait  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402


def metric(http_port, name):
    text = urllib.request.urlopen(f'http://127.0.0.1:{http_port}/metrics', timeout=5).read().decode()
    return {line.split()[0]: float(line.split()[1]) for line in text.splitlines() if line.startswith(name)}


class Reader(threading.Thread):
    """Reads unit 1's DR0010 over one connection until stopped; counts the
    reads, the 0x0B answers and anything else."""
    def __init__(self, port):
        super().__init__(daemon=True)
        self.client = ModbusTcpClient('127.0.0.1', port=port, timeout=10, retries=0)
        assert self.client.connect()
        self.local = self.client.socket.getsockname()
        self.reads, self.unavailable, self.errors, self.stop = 0, 0, [], False

    def run(self):
        while not self.stop:
            try:
                r = self.client.read_holding_registers(10, count=1, slave=1)
                if r.isError():
                    if getattr(r, 'exception_code', None) == 0x0B:
                        self.unavailable += 1
                    else:
                        self.errors.append(str(r))
                else:
                    assert r.registers == [1234], r.registers
                    self.reads += 1
            except Exception as e:  # a disconnect, a time-out
                self.errors.append(repr(e))
                return
            if self.client.socket is None or self.client.socket.getsockname() != self.local:
                self.errors.append('the connection was made anew')
                return


def main():
    directory = mqtt_rig.temp_dir()
    broker = mqtt_rig.Broker(directory)
    line = mqtt_rig.Line(directory, {1: 'FA2'})
    line.control('set 1 DR 10 1234')
    line.control('set 1 DR 20 4321')
    modbus, http1, http2 = free_port(), free_port(), free_port()
    config = os.path.join(directory, 'line1.toml')

    def write_config(text, listen=modbus):
        with open(config, 'w') as f:
            f.write(f'port = "{line.link}"\nlisten = "127.0.0.1:{listen}"\n'
                    f'mqtt = "mqtt://127.0.0.1:{broker.port}"\nline-name = "line1"\n' + text)

    write_config(f'http = "127.0.0.1:{http1}"\n'
                 'publish = [{ gate = "001DR0010", period = "200ms", tag = "level" }]\n')
    log_path = os.path.join(directory, 'gate.log')
    with open(log_path, 'w') as log:
        gate = subprocess.Popen([os.environ['QELGATE'], '--config', config], stderr=log)

    def log():
        with open(log_path) as f:
            return f.read()

    sub = mqtt_rig.Subscriber(broker.port, 'fa/#')
    try:
        wait(lambda: mqtt_rig.gate_rig.listening(modbus), what='qelgate')
        sub.wait_for('fa/line1/001/level', lambda p: p['v'] == 1234)
        reader = Reader(modbus)
        reader.start()
        wait(lambda: reader.reads >= 20, what='the reads before the reload')

        # The new list, a new baud, new client limits, --http moved.
        write_config(f'http = "127.0.0.1:{http2}"\nbaud = 19200\nmax-clients = 4\nclient-idle = 60\n'
                     'publish = [{ gate = "001DR0020", period = "200ms", tag = "flow" }]\n')
        gate.send_signal(signal.SIGHUP)
        wait(lambda: 'reloaded' in log(), what='the reload')
        reloaded = time.time()
        assert 'baud 9600 -> 19200' in log() and 'max-clients 8 -> 4' in log(), log()
        wait(lambda: 'line reopened with the new port settings' in log(), what='the reopen')
        sub.wait_for('fa/line1/001/flow', lambda p: p['v'] == 4321, after=reloaded)
        # The old gate is no longer read: no message on its topic a second after.
        time.sleep(1.5)
        late = [m for m in sub.messages if m[1] == 'fa/line1/001/level' and m[0] > reloaded + 0.5]
        assert not late, late
        assert metric(http2, 'qelgate_config_reloads_total') == {
            'qelgate_config_reloads_total{result="applied"}': 1,
            'qelgate_config_reloads_total{result="refused"}': 0}
        try:
            urllib.request.urlopen(f'http://127.0.0.1:{http1}/metrics', timeout=2)
            raise AssertionError('the old --http still answers')
        except OSError:
            pass

        # A broken file: refused with file:line:column, the rest goes on.
        with open(config, 'a') as f:
            f.write('max-clients = "many"\n')
        gate.send_signal(signal.SIGHUP)
        wait(lambda: 'reload refused' in log(), what='the refusal')
        refusal = [l for l in log().splitlines() if 'reload refused' in l]
        assert len(refusal) == 1 and f'{config}:' in refusal[0] and 'max-clients' in refusal[0], refusal
        # A change that takes a restart: refused, naming it.
        write_config(f'http = "127.0.0.1:{http2}"\nbaud = 19200\nmax-clients = 4\nclient-idle = 60\n'
                     'publish = ["001DR0020 200ms tag=flow"]\n', listen=free_port())
        gate.send_signal(signal.SIGHUP)
        wait(lambda: 'changing listen takes a restart' in log(), what='the second refusal')
        assert metric(http2, 'qelgate_config_reloads_total')['qelgate_config_reloads_total{result="refused"}'] == 2
        count = reader.reads
        wait(lambda: reader.reads >= count + 20, what='the reads after the reloads')
        reader.stop = True
        reader.join(20)
        # The one connection throughout; queued reads at the reopen may get 0x0B, nothing else.
        assert not reader.errors, reader.errors
        assert 'closed' not in log().replace('serial port closed', ''), log()
        print(f'ok: {reader.reads} reads on one connection across 3 reloads ({reader.unavailable} answered 0x0B '
              f'at the reopen); the new list published, the old one stopped')
    finally:
        sub.close()
        gate.terminate()
        code = gate.wait(20)
        line.close()
        broker.stop()
    assert code == 0 and 'stopped' in log(), log()


if __name__ == '__main__':
    main()
