"""The gate API of qelgate --http against fasim: reads through the line
scheduler, writes with the bearer token and the write allow-list, the
errors with their status codes and diagnosis, every answer checked against
the server's own OpenAPI description."""
import http.client, json, os, tempfile, urllib.error, urllib.parse, urllib.request

import http_rig

TOKEN = 'a-token-of-the-test-' + os.urandom(4).hex()


def call(rig, method, path, body=None, token=None):
    """(status, JSON) of one request; a body of bytes goes as it is."""
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    request = urllib.request.Request(rig.http + path, method=method, data=data)
    if token:
        request.add_header('Authorization', 'Bearer ' + token)
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


class Schema:
    """Enough of OpenAPI 3.0's schemas for these answers: $ref, type,
    nullable, required, properties, additionalProperties, items, enum,
    minimum and maximum."""

    def __init__(self, description):
        self.root = description

    def resolve(self, schema):
        while '$ref' in schema:
            node = self.root
            for part in schema['$ref'].lstrip('#/').split('/'):
                node = node[part]
            schema = node
        return schema

    def check(self, value, schema, where='$'):
        schema = self.resolve(schema)
        if value is None:
            assert schema.get('nullable'), f'{where}: null where {schema} is not nullable'
            return
        kind = schema.get('type')
        types = {'object': dict, 'array': list, 'string': str, 'integer': int, 'number': (int, float), 'boolean': bool}
        if kind:
            assert isinstance(value, types[kind]) and not (kind == 'integer' and isinstance(value, bool)), \
                f'{where}: {value!r} is no {kind}'
        if 'enum' in schema:
            assert value in schema['enum'], f'{where}: {value!r} not in {schema["enum"]}'
        if 'minimum' in schema:
            assert value >= schema['minimum'], f'{where}: {value} below {schema["minimum"]}'
        if 'maximum' in schema:
            assert value <= schema['maximum'], f'{where}: {value} above {schema["maximum"]}'
        if kind == 'object':
            for name in schema.get('required', []):
                assert name in value, f'{where}: {name} missing'
            properties = schema.get('properties', {})
            for name, item in value.items():
                if name in properties:
                    self.check(item, properties[name], f'{where}.{name}')
                else:
                    assert schema.get('additionalProperties', True) is not False, f'{where}: {name} not described'
        if kind == 'array':
            for i, item in enumerate(value):
                self.check(item, schema.get('items', {}), f'{where}[{i}]')

    def answer(self, method, status, body):
        operation = self.root['paths']['/api/gates/{gate}'][method.lower()]
        assert str(status) in operation['responses'], f'{method} answered {status}, not described'
        response = self.resolve(operation['responses'][str(status)])
        self.check(body, response['content']['application/json']['schema'])


def raw(rig, method, target, body=None, headers=None):
    """(status, fields, body) of one request sent as it is."""
    url = urllib.parse.urlsplit(rig.http)
    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=10)
    try:
        connection.putrequest(method, target, skip_accept_encoding=True)
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        if body is not None:
            connection.putheader('Content-Length', str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


def server_refusals(rig, schema):
    """What the server itself refuses is in the description too: 404, 405,
    413 and 414, the last at exactly its bound of 4,096 bytes."""
    operations = {(path, method): op for path, item in schema.root['paths'].items()
                  for method, op in item.items() if isinstance(op, dict)}

    def described(path, method, status):
        op = operations[(path, method)]
        assert str(status) in op['responses'], f'{method} {path}: {status} not described'
        response = schema.resolve(op['responses'][str(status)])
        assert 'text/plain' in response['content'], (path, method, status)
        return response

    gate = '/api/gates/{gate}'
    status, fields, _ = raw(rig, 'DELETE', '/api/gates/001DR0010')
    assert status == 405 and fields['Allow'] == 'GET, HEAD, PUT', (status, fields)
    assert 'Allow' in described(gate, 'get', 405)['headers']
    status, fields, _ = raw(rig, 'POST', '/metrics', b'')
    assert status == 405 and fields['Allow'] == 'GET, HEAD', (status, fields)
    described('/metrics', 'get', 405)
    status, fields, _ = raw(rig, 'GET', '/nowhere')
    assert status == 404 and fields['Content-Type'].startswith('text/plain'), (status, fields)
    for path, method in operations:
        described(path, method, 404)
    status, _, _ = raw(rig, 'PUT', '/api/gates/001DR0012', b'{"v":1}' + b' ' * 9000,
                       {'Authorization': 'Bearer ' + TOKEN})
    assert status == 413, status
    described(gate, 'put', 413)
    # The request line "GET TARGET HTTP/1.1": 4,096 bytes are taken, one more is 414.
    for size, want in [(4096, 200), (4097, 414)]:
        target = '/metrics?pad=' + 'a' * (size - len('GET  HTTP/1.1') - len('/metrics?pad='))
        assert len(f'GET {target} HTTP/1.1') == size
        status, _, _ = raw(rig, 'GET', target)
        assert status == want, (size, status)
    described('/metrics', 'get', 414)


def main():
    folder = tempfile.mkdtemp(prefix='qelgate-api-')
    token_file = os.path.join(folder, 'token')
    with open(token_file, 'w') as f:
        f.write('\ufeff' + TOKEN + '\n')  # a byte-order mark is not part of the token
    os.chmod(token_file, 0o600)
    allow = os.path.join(folder, 'allow.txt')
    with open(allow, 'w') as f:
        f.write('001DR0010 5\n002IO0005\n')
    rig = http_rig.start(['--http-writes', '--http-token-file', token_file, '--write-allow', allow])
    try:
        with urllib.request.urlopen(rig.http + '/api/openapi.json', timeout=5) as response:
            schema = Schema(json.loads(response.read()))
        assert schema.root['openapi'].startswith('3.')
        server_refusals(rig, schema)

        def expect(method, path, status, body=None, token=None):
            got, answer = call(rig, method, path, body, token)
            assert got == status, f'{method} {path}: {got} {answer}, not {status}'
            schema.answer(method, got, answer)
            return answer

        # Reads: one word, a run across a block, bits, all as fasim holds them.
        a = expect('GET', '/api/gates/001DR0010', 200)
        assert a['v'] == rig.get(1, 'DR', 10) and a['values'] == [a['v']] and a['count'] == 1
        a = expect('GET', '/api/gates/002DR0100?count=30', 200)
        assert a['values'] == [rig.get(2, 'DR', 100 + i) for i in range(30)]
        a = expect('GET', '/api/gates/001IO0006?count=4', 200)
        assert a['values'] == [rig.get(1, 'IO', n) for n in (6, 7, 10, 11)]

        # A bad gate, a bad count: 400 with what is wrong.
        a = expect('GET', '/api/gates/001DR0400', 400)
        assert (a['error'], a['hint'], a['station']) == ('bad_gate', 'outside_range', 1) and 'legal: 0-399' in a['message']
        assert expect('GET', '/api/gates/001DR0010?count=x', 400)['error'] == 'bad_gate'

        # The silent station: no answer (504), then held down (503) at once.
        a = expect('GET', f'/api/gates/{http_rig.SILENT:03d}DR0001', 504)
        assert (a['error'], a['failure'], a['hint'], a['station']) == ('no_answer', 'no_answer', 'no_answer', 5)
        assert 'no answer from station 5' in a['message']
        a = expect('GET', f'/api/gates/{http_rig.SILENT:03d}DR0001', 503)
        assert (a['error'], a['failure']) == ('station_down', 'down')

        # Writes: the token, the allow-list, the value's range.
        assert expect('PUT', '/api/gates/001DR0012', 401, {'v': 5})['error'] == 'unauthorized'
        assert expect('PUT', '/api/gates/001DR0012', 401, {'v': 5}, token=TOKEN + 'x')['error'] == 'unauthorized'
        a = expect('PUT', '/api/gates/001DR0012', 200, {'v': 4321}, token=TOKEN)
        assert a['v'] == 4321 and rig.get(1, 'DR', 12) == 4321
        expect('PUT', '/api/gates/002IO0005', 200, {'v': 1}, token=TOKEN)
        assert rig.get(2, 'IO', 5) == 1
        assert expect('PUT', '/api/gates/001DR0020', 403, {'v': 1}, token=TOKEN)['error'] == 'not_allowed'
        assert rig.get(1, 'DR', 20) == rig.memory[(1, 'DR', 20)]
        assert expect('PUT', '/api/gates/002IO0005', 400, {'v': 2}, token=TOKEN)['error'] == 'bad_value'
        assert expect('PUT', '/api/gates/001DR0012', 400, {'value': 2}, token=TOKEN)['error'] == 'bad_value'
        # The rule of every write's payload: nothing after the value, each key
        # once, no key but "v"; the reason in the message, nothing written.
        for body, why in [(b'{"v":5}\0garbage', 'a control byte (0x00) at byte 8'),
                          (b'{"v":5} x', '1 bytes follow the value'),
                          (b'{"v":53,"v":54}', 'the key "v" is given twice'),
                          (b'{"v":5,"x":1}', 'unknown key "x"'),
                          (b'{"v":2.5}', 'is not a whole number')]:
            a = expect('PUT', '/api/gates/001DR0012', 400, body, token=TOKEN)
            assert a['error'] == 'bad_value' and why in a['message'], (body, a)
        assert rig.get(1, 'DR', 12) == 4321
        # The same rule takes what MQTT takes: a bare number, 1e3.
        expect('PUT', '/api/gates/001DR0012', 200, b' 1e3 ', token=TOKEN)
        assert rig.get(1, 'DR', 12) == 1000
        # The reads went through the line scheduler: its counters saw them.
        stations = {s['station']: s for s in http_rig.status(rig)['stations']}
        assert stations[2]['exchanges'] >= 2 and stations[5]['state'] in ('down', 'probing')
        rig.close()
    finally:
        http_rig.kill(rig)

    # Without --http-writes a PUT is refused whatever it carries.
    rig = http_rig.start()
    try:
        got, a = call(rig, 'PUT', '/api/gates/001DR0012', {'v': 5}, TOKEN)
        assert got == 403 and a['error'] == 'not_allowed' and '--http-writes' in a['message'], (got, a)
        rig.close()
    finally:
        http_rig.kill(rig)
    print('gate API: reads, writes and errors as described')


if __name__ == '__main__':
    main()
