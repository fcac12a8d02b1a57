"""Typed tags on the Sparkplug B node, every message decoded by the pinned
npm decoder: each tag's metric has the datatype of its type (Double when
scaled) and its engineering value, the birth carries engUnit, description
and engLow/engHigh, and a DCMD in engineering units is written to fasim's
memory as the tag's words; a value out of range is refused."""
import os, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
from mqtt_rig import wait  # noqa: E402
import tag_list  # noqa: E402
from tag_list import TAGS  # noqa: E402
from sparkplug_test import Codec, Host, metric  # noqa: E402

DATATYPES = {'temp': 'Double', 'count': 'UInt32', 'signed': 'Int32', 'flow': 'Float', 'preset': 'UInt16',
             'total': 'UInt32', 'rpm': 'UInt16', 'door': 'Boolean', 'level': 'Double'}


class SparkplugTags(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tag_list.class_fasim(cls)
        cls.codec = Codec()
        cls.addClassCleanup(cls.codec.process.kill)
        cls.host = Host(cls.broker.port, cls.codec)
        cls.addClassCleanup(cls.host.client.loop_stop)
        tag_list.class_gate(cls, ['--sparkplug', 'plant', '--sparkplug-node', 'line1', '--sparkplug-only',
                                  '--mqtt-writes'], every=' 250ms')
        cls.base = 'spBv1.0/plant/'

    def value_of(self, name, after=0):
        """The tag's newest value: from the birth, or a DDATA after it."""
        birth = self.host.find(lambda t, p: t == self.base + 'DBIRTH/line1/001')[2]
        alias = metric(birth, name)['alias']
        value = metric(birth, name)['value']
        with self.host.lock:
            for when, t, p in self.host.messages:
                if when >= after and t == self.base + 'DDATA/line1/001' and metric(p, alias=alias):
                    value = metric(p, alias=alias)['value']
        return value

    def test_1_births_have_types_values_and_properties(self):
        birth = self.host.find(lambda t, p: t == self.base + 'DBIRTH/line1/001')[2]
        for name, (_, _, _, _, _, value) in TAGS.items():
            with self.subTest(name=name):
                m = metric(birth, name)
                want = bool(value) if DATATYPES[name] == 'Boolean' else value
                self.assertEqual((m['type'], m['value']), (DATATYPES[name], want))
                self.assertEqual(m['properties']['Quality']['value'], 192)
        temp = metric(birth, 'temp')['properties']
        self.assertEqual((temp['engUnit']['type'], temp['engUnit']['value']), ('String', 'deg C'))
        self.assertEqual(temp['description']['value'], 'oven zone A')
        self.assertEqual((temp['engLow']['value'], temp['engHigh']['value']), (-3276.8, 3276.7))
        self.assertEqual(temp['engLow']['type'], 'Double')
        # No range for a float, no unit where none is given.
        self.assertNotIn('engLow', metric(birth, 'flow')['properties'])
        self.assertNotIn('engUnit', metric(birth, 'count')['properties'])

    def test_2_dcmd_in_engineering_units(self):
        # Each in the datatype its metric was born with, the tag's.
        for name, value, words in tag_list.WRITES:
            with self.subTest(name=name):
                start = time.time()
                self.host.publish(self.base + 'DCMD/line1/001', self.codec.encode(
                    {'timestamp': int(time.time() * 1000),
                     'metrics': [{'name': name, 'type': DATATYPES[name], 'value': value}]}))
                wait(lambda: tag_list.words_of(self.line, name, len(words)) == words, seconds=10,
                     what=f'the DCMD of {name} in fasim')
                wait(lambda: self.value_of(name, start) == value, seconds=10, what=f'{name} read back')

    def test_3_out_of_range_is_refused(self):
        name, value, says = tag_list.OUT_OF_RANGE
        before = tag_list.words_of(self.line, name, 1)
        self.host.publish(self.base + 'DCMD/line1/001', self.codec.encode(
            {'timestamp': int(time.time() * 1000), 'metrics': [{'name': name, 'type': 'Double', 'value': value}]}))
        wait(lambda: says in self.gate.log(), seconds=10, what='the refusal with the range')
        self.assertEqual(tag_list.words_of(self.line, name, 1), before)

    def test_3b_another_datatype_is_refused(self):
        # The tag's datatype, not the word's: an Int64 for the Int32 tag, a
        # Double for the Float one, refused before the line.
        for name, sent, born, value in (('signed', 'Int64', 'Int32', 5), ('flow', 'Double', 'Float', 0.5)):
            with self.subTest(name=name):
                before = tag_list.words_of(self.line, name, 2)
                self.host.publish(self.base + 'DCMD/line1/001', self.codec.encode(
                    {'timestamp': int(time.time() * 1000), 'metrics': [{'name': name, 'type': sent, 'value': value}]}))
                wait(lambda: f"datatype {sent} does not match the metric's {born}" in self.gate.log(), seconds=10,
                     what=f'the refusal of {name} as {sent}')
                self.assertEqual(tag_list.words_of(self.line, name, 2), before)

    def test_4_a_deadband_holds_small_changes(self):
        birth = self.host.find(lambda t, p: t == self.base + 'DBIRTH/line1/001')[2]
        alias = metric(birth, 'level')['alias']
        tag_list.set_words(self.line, 'level', [100])  # 40 cm
        wait(lambda: self.value_of('level') == 40, seconds=10, what='level at 40')
        start = time.time()
        tag_list.set_words(self.line, 'level', [108])  # 44 cm: inside the deadband of 5
        time.sleep(1.0)  # four rounds
        with self.host.lock:
            self.assertFalse([p for when, t, p in self.host.messages if when >= start and
                              t == self.base + 'DDATA/line1/001' and metric(p, alias=alias)])
        tag_list.set_words(self.line, 'level', [110])  # 45 cm: 5 from the 40 sent
        wait(lambda: self.value_of('level', start) == 45, seconds=5, what='level at 45')


if __name__ == '__main__':
    unittest.main()
