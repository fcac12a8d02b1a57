"""qelgate --http in front of fasim on a pty (the gateway tests' rig), with
Modbus traffic to live stations and to a silent one."""
import json, os, sys, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'gate'))
from gate_rig import GateDidNotStart, Rig, free_port, read  # noqa: E402

LIVE = {1: 'FA2', 2: 'FA3'}
SILENT = 5  # not configured in fasim, so it never answers; named to qelgate, so a station down, not absent


def start(gate_args=()):
    # A port found free may be taken by another test before qelgate binds
    # it: then again on other ports.
    for attempt in range(3):
        http_port = free_port()
        try:
            rig = Rig(stations=LIVE, gate_args=['--http', str(http_port), '--station', f'{SILENT}:FA2'] +
                      list(gate_args))
        except GateDidNotStart as e:
            if 'Address already in use' not in str(e) or attempt == 2:
                raise
            continue
        rig.http = f'http://127.0.0.1:{http_port}'
        return rig


def kill(rig):
    """Kills what a failed test left running (after rig.close() nothing is)."""
    if rig.gate.poll() is None:
        rig.gate.kill()
        rig.fasim.kill()


def traffic(rig):
    """Reads from every live station, and one from the silent station (about 8 s of retries)."""
    client = rig.client()
    for _ in range(3):
        for unit in LIVE:
            values = read(client, 'hr', 0, 4, unit)
            assert isinstance(values, list), f'unit {unit} read failed: {values}'
    assert read(client, 'hr', 0, 1, SILENT) == 0x0B
    client.close()


def get(rig, path):
    with urllib.request.urlopen(rig.http + path, timeout=5) as response:
        return response.read().decode()


def status(rig):
    return json.loads(get(rig, '/api/status'))


def skip_without_line_statistics(rig, what):
    """Exit 77 (CTest: skipped) while the gateway reports no line statistics."""
    if status(rig)['line'] is None:
        rig.close()
        print(f'SKIP: {what}: the gateway reports no line statistics yet (no line scheduler counts)')
        sys.exit(77)
