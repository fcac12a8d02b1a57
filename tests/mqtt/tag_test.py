"""Typed tags over MQTT, against a real mosquitto and fasim: a tag of every
type published as its engineering value with its raw words and unit, a
deadband holding back small changes, and writes in engineering units read
back from fasim's memory, a value out of range refused with the range."""
import time, unittest

from mqtt_rig import Subscriber, mosquitto_pub
import tag_list
from tag_list import TAGS


class Tags(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tag_list.class_fasim(cls)
        tag_list.class_gate(cls, ['--mqtt-writes'], every=' 250ms')
        cls.sub = Subscriber(cls.broker.port, cls.gate.prefix + '/#')
        cls.addClassCleanup(cls.sub.close)

    @classmethod
    def topic(cls, name):
        return f'{cls.gate.prefix}/001/{name}'

    def test_1_every_type_gives_its_engineering_value(self):
        for name, (_, _, _, _, words, value) in TAGS.items():
            with self.subTest(name=name):
                self.sub.wait_for(self.topic(name), lambda p: p['q'] == 'good' and p['v'] == value)
        temp = self.sub.value(self.topic('temp'))
        self.assertEqual(list(temp), ['v', 'raw', 'u', 't', 'q'])
        self.assertEqual((temp['raw'], temp['u']), (65301, 'deg C'))
        self.assertEqual(self.sub.value(self.topic('count'))['raw'], [1, 2])
        # A tag that converts nothing has no "raw"; one without a unit no "u".
        self.assertEqual(list(self.sub.value(self.topic('rpm'))), ['v', 'u', 't', 'q'])
        self.assertEqual(list(self.sub.value(self.topic('door'))), ['v', 't', 'q'])

    def test_2_a_deadband_holds_small_changes(self):
        topic = self.topic('level')
        self.sub.wait_for(topic, lambda p: p['v'] == 40)
        start = time.time()
        tag_list.set_words(self.line, 'level', [108])  # 44 cm: 4 from 40, inside the deadband of 5
        time.sleep(1.0)  # four rounds
        self.assertFalse([m for m in self.sub.messages if m[0] >= start and m[1] == topic])
        tag_list.set_words(self.line, 'level', [110])  # 45 cm: 5 from the 40 published
        self.sub.wait_for(topic, lambda p: p['v'] == 45, 5, start)

    def test_3_writes_in_engineering_units_read_back(self):
        for name, value, words in tag_list.WRITES:
            with self.subTest(name=name):
                after = time.time() - 0.5
                mosquitto_pub(self.broker.port, self.topic(name) + '/set', f'{{"v": {value}}}')
                self.sub.wait_for(self.topic(name) + '/set/result', lambda p: p == {'ok': True}, 10, after)
                self.assertEqual(tag_list.words_of(self.line, name, len(words)), words)
                self.sub.wait_for(self.topic(name), lambda p: p['v'] == value, 10, after)

    def test_4_a_value_out_of_range_is_refused_with_the_range(self):
        name, value, says = tag_list.OUT_OF_RANGE
        before = tag_list.words_of(self.line, name, 1)
        after = time.time() - 0.5
        mosquitto_pub(self.broker.port, self.topic(name) + '/set', str(value))
        self.sub.wait_for(self.topic(name) + '/set/result', lambda p: p['ok'] is False and says in p['reason'], 10,
                          after)
        self.assertEqual(tag_list.words_of(self.line, name, 1), before)


if __name__ == '__main__':
    unittest.main()
