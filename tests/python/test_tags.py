"""Tags from Python: line.tags() from a gate list file or a dict, each tag
read as its engineering value (the same list and values the MQTT,
Sparkplug and HTTP tests use), writes in units read back from fasim's
memory, and the errors: a bad list with file:line, a value out of range
with the range, a name no tag has."""
import os, sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mqtt'))
import tag_list  # noqa: E402
from tag_list import TAGS  # noqa: E402


@pytest.fixture
def tags(sim, line, tmp_path):
    tag_list.set_all(sim)
    path = tmp_path / 'gates.txt'
    path.write_text('\n'.join(tag_list.LINES) + '\n')
    return line.tags(str(path))


def test_every_type_reads_its_engineering_value(tags):
    for name, (_, _, _, _, _, value) in TAGS.items():
        assert tags.read(name) == value, name
    assert tags.read('door') is True
    assert isinstance(tags.read('temp'), float) and isinstance(tags.read('count'), int)
    assert sorted(tags.names) == sorted(TAGS) and 'temp' in tags


def test_writes_in_engineering_units_read_back(sim, tags):
    for name, value, words in tag_list.WRITES:
        assert tags.write(name, value) == value, name
        assert tag_list.words_of(sim, name, len(words)) == words, name
        assert tags.read(name) == value, name
    # Rounded to the tag's nearest step, halves away from zero.
    assert tags.write('temp', 20.46) == 20.5
    assert tags.write('rpm', 2.5) == 3


def test_refusals(sim, tags):
    import vuzorur
    name, value, says = tag_list.OUT_OF_RANGE
    before = tag_list.words_of(sim, name, 1)
    with pytest.raises(vuzorur.GateError, match=says):
        tags.write(name, value)
    assert tag_list.words_of(sim, name, 1) == before
    with pytest.raises(KeyError, match='the tags are count, door'):
        tags.read('nosuch')


def test_a_dict_of_tags(sim, line):
    tag_list.set_words(sim, 'count')
    tag_list.set_words(sim, 'temp')
    tags = line.tags({'count': '001DR0020 type=uint32',
                      'temp': {'gate': '001DR0010', 'type': 'int16', 'scale': 0.1, 'unit': 'deg C'}})
    assert (tags.read('count'), tags.read('temp')) == (65538, -23.5)


def test_a_bad_list_names_the_line(line, tmp_path):
    path = tmp_path / 'bad.txt'
    path.write_text('001DR0010 tag=a\n001DR0011 tag=b type=int64\n')
    with pytest.raises(ValueError, match=r'bad\.txt:2: type=int64 is no type; a type is one of bool'):
        line.tags(str(path))
    with pytest.raises(ValueError, match='tags:1: scale=0'):
        line.tags({'x': '001DR0010 scale=0'})


def test_a_refused_gate_in_a_list_gives_the_reason_in_pythons_words(line, tmp_path):
    path = tmp_path / 'illegal.txt'
    path.write_text('001DR0010 tag=a\n# the next one\n001DR0400 tag=b\n')
    with pytest.raises(ValueError) as caught:
        line.tags(str(path))
    assert str(caught.value).startswith(f'{path}:3: gate 001DR0400 is illegal: element 400 is outside DR on '
                                        'station 1, an FA2 (legal: 0-399); station 1 is an FA2 by default: ')
    assert str(caught.value).endswith('/davEV01.int, the file the driver reads for QEL 1); if it is an FA-3, name it '
                                      'with stations={1: "FA3"}'), str(caught.value)
    assert '--station' not in str(caught.value) and '--models' not in str(caught.value)
