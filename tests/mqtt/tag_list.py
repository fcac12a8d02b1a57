"""One gate list with a tag of every type, the words each tag's gate holds in
fasim, and the engineering value each front-end must give for it, worked out
here by hand and not by the code under test."""

# name: (list line, station, first DR/IO element, words set in fasim, engineering value)
TAGS = {
    'temp': ('001DR0010 tag=temp type=int16 scale=0.1 unit="deg C" desc="oven zone A"', 1, 'DR', 10,
             [65301], -23.5),
    'count': ('001DR0020 tag=count type=uint32', 1, 'DR', 20, [1, 2], 65538),
    'signed': ('001DR0030 tag=signed type=int32 order=lo-hi', 1, 'DR', 30, [0xFFFE, 0xFFFF], -2),
    'flow': ('001DR0040 tag=flow type=float32 unit=m3/h', 1, 'DR', 40, [0x3FC0, 0], 1.5),
    'preset': ('001DR0050 tag=preset type=bcd16', 1, 'DR', 50, [0x1234], 1234),
    'total': ('001DR0060 tag=total type=bcd32', 1, 'DR', 60, [0x0012, 0x3456], 123456),
    'rpm': ('001DR0070 tag=rpm type=uint16 unit=rpm', 1, 'DR', 70, [42], 42),
    'door': ('001IO0003 tag=door type=bool', 1, 'IO', 3, [1], 1),
    'level': ('001DR0080 tag=level type=uint16 scale=0.5 offset=-10 unit=cm deadband=5', 1, 'DR', 80, [100], 40),
}

LINES = [t[0] for t in TAGS.values()]

# Writes in engineering units: (name, value written, words fasim then holds).
WRITES = [
    ('temp', 20.5, [205]),
    ('count', 70000, [1, 4464]),
    ('signed', -70000, [0xEE90, 0xFFFE]),
    ('flow', -2.25, [0xC010, 0]),
    ('preset', 987, [0x0987]),
    ('total', 12345678, [0x1234, 0x5678]),
    ('rpm', 7, [7]),
    ('level', 55.5, [131]),
]

# Each front-end's refusal of a value out of range names the range in units.
OUT_OF_RANGE = ('temp', 4000, '-3276.8 to 3276.7 deg C')


def set_words(line, name, words=None):
    """Puts the tag's words in fasim's memory at once."""
    _, st, area, n, default, _ = TAGS[name]
    words = default if words is None else words
    if area == 'IO':
        assert line.control(f'set {st} {area} {n} {words[0]}') == 'ok'
    else:
        assert line.control(f'set {st} {area} {n} ' + ' '.join(map(str, words))) == 'ok'


def words_of(line, name, count):
    _, st, area, n, _, _ = TAGS[name]
    return [int(line.control(f'get {st} {area} {n + i}')) for i in range(count)]


def set_all(line):
    for name in TAGS:
        set_words(line, name)


# The front-ends' rigs: mqtt_rig is imported only when they are used, so that
# the Python binding's tests, which need only the table, do without paho.
def class_fasim(cls):
    """For a test class: a broker, fasim holding every tag's words, and in
    cls.allow a write allow list of the tags' data registers; each gone when
    the class is done."""
    import mqtt_rig
    mqtt_rig.class_broker(cls)
    mqtt_rig.class_line(cls, {1: 'FA2'})
    set_all(cls.line)
    cls.allow = mqtt_rig.allow_file(cls.dir, [f'001DR{n:04d}' for n in range(10, 90)])


def class_gate(cls, args, every=''):
    """qelgate (cls.gate) on class_fasim's line publishing every tag (each
    list line followed by `every`, a period or nothing), with `args` and
    writes allowed to cls.allow; stopped when the class is done."""
    import mqtt_rig
    cls.gate = mqtt_rig.Gate(cls.line, cls.broker.port, [line + every for line in LINES],
                             list(args) + ['--write-allow', cls.allow])
    cls.addClassCleanup(lambda: cls.gate.process.poll() is None and cls.gate.stop())
