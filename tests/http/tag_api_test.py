"""Tags over HTTP: GET and PUT /api/tags/NAME against fasim, with a publish
list holding a tag of every type; each tag read as its engineering value
(the same as the MQTT and Sparkplug tests expect), each write in units
read back from fasim's memory as the tag's words, a value out of range
refused with the range, an unknown name 404; every answer checked against
the server's own OpenAPI description; the status page's trends name each
tag with its engineering value and unit."""
import json, os, sys, unittest, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
from mqtt_rig import free_port, wait  # noqa: E402
import tag_list  # noqa: E402
from tag_list import TAGS  # noqa: E402
from gate_api_test import Schema, call  # noqa: E402

TOKEN = 'tag-token-' + os.urandom(4).hex()


class TagApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tag_list.class_fasim(cls)
        token_file = os.path.join(cls.dir, 'token')
        with open(token_file, 'w') as f:
            f.write(TOKEN + '\n')
        port = free_port()
        cls.http = f'http://127.0.0.1:{port}'
        tag_list.class_gate(cls, ['--http', str(port), '--http-writes', '--http-token-file', token_file])
        wait(lambda: cls.ready(), seconds=10, what='the HTTP server')
        with urllib.request.urlopen(cls.http + '/api/openapi.json', timeout=5) as response:
            cls.schema = Schema(json.loads(response.read()))

    @classmethod
    def ready(cls):
        try:
            urllib.request.urlopen(cls.http + '/api/openapi.json', timeout=1).close()
            return True
        except OSError:
            return False

    def expect(self, method, name, status, body=None, token=None):
        got, answer = call(self, method, '/api/tags/' + name, body, token)
        self.assertEqual(got, status, f'{method} {name}: {answer}')
        operation = self.schema.root['paths']['/api/tags/{name}'][method.lower()]
        self.assertIn(str(status), operation['responses'])
        response = self.schema.resolve(operation['responses'][str(status)])
        self.schema.check(answer, response['content']['application/json']['schema'])
        return answer

    def test_0_the_page_trends_show_tags_in_units(self):
        def series():
            with urllib.request.urlopen(self.http + '/api/status', timeout=5) as response:
                trends = json.loads(response.read())['trends']
            return {g['name']: g for g in trends['gates'] if g['v'] and g['v'][-1] is not None}
        wait(lambda: set(TAGS) <= set(series()), seconds=15, what='a trend of every tag')
        got = series()
        for name, (_, _, _, _, _, value) in TAGS.items():
            with self.subTest(name=name):
                self.assertEqual(got[name]['v'][-1], value)
        self.assertEqual((got['temp']['unit'], got['temp']['gate']), ('deg C', '001DR0010'))
        self.assertNotIn('unit', got['count'])

    def test_1_every_type_reads_its_engineering_value(self):
        for name, (_, _, _, _, words, value) in TAGS.items():
            with self.subTest(name=name):
                a = self.expect('GET', name, 200)
                self.assertEqual((a['tag'], a['v'], a['raw']), (name, value, words))
        a = self.expect('GET', 'temp', 200)
        self.assertEqual((a['type'], a['u'], a['gate']), ('int16', 'deg C', '001DR0010'))

    def test_2_writes_in_engineering_units_read_back(self):
        for name, value, words in tag_list.WRITES:
            with self.subTest(name=name):
                a = self.expect('PUT', name, 200, {'v': value}, TOKEN)
                self.assertEqual((a['v'], a['raw']), (value, words))
                self.assertEqual(tag_list.words_of(self.line, name, len(words)), words)
                self.assertEqual(self.expect('GET', name, 200)['v'], value)
        # Rounded to the nearest step: 20.46 deg C is 205 tenths, read as 20.5.
        self.assertEqual(self.expect('PUT', 'temp', 200, {'v': 20.46}, TOKEN)['v'], 20.5)

    def test_3_refusals(self):
        name, value, says = tag_list.OUT_OF_RANGE
        before = tag_list.words_of(self.line, name, 1)
        a = self.expect('PUT', name, 400, {'v': value}, TOKEN)
        self.assertEqual((a['error'], a['tag']), ('bad_value', name))
        self.assertIn(says, a['message'])
        self.assertEqual(tag_list.words_of(self.line, name, 1), before)
        self.assertEqual(self.expect('PUT', 'temp', 401, {'v': 1})['error'], 'unauthorized')
        self.assertEqual(self.expect('PUT', 'temp', 400, {'v': 'hot'}, TOKEN)['error'], 'bad_value')
        a = self.expect('GET', 'nosuch', 404)
        self.assertEqual(a['error'], 'unknown_tag')
        self.assertIn('the tags are count, door', a['message'])


if __name__ == '__main__':
    unittest.main()
