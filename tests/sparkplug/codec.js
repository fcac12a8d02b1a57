// The tests' Sparkplug B codec: the npm package sparkplug-payload, which this
// project did not write. One JSON request a line on stdin
// ({"decode": HEX} or {"encode": PAYLOAD}), one JSON answer a line on stdout.
const readline = require('readline');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

function plain(key, value) {
    if (value && typeof value === 'object' && 'low' in value && 'high' in value) return Number(value.toString());
    if (value && value.type === 'Buffer' && Array.isArray(value.data)) return value.data;
    if (value instanceof Uint8Array) return Array.from(value);
    return value;
}

readline.createInterface({ input: process.stdin }).on('line', (line) => {
    const request = JSON.parse(line);
    let answer;
    try {
        if ('decode' in request) {
            const payload = sparkplug.decodePayload(Buffer.from(request.decode, 'hex'));
            for (const m of payload.metrics || [])
                if (m.value instanceof Uint8Array) m.value = Array.from(m.value);
            answer = payload;
        } else {
            answer = { hex: Buffer.from(sparkplug.encodePayload(request.encode)).toString('hex') };
        }
    } catch (e) {
        answer = { error: String(e) };
    }
    process.stdout.write(JSON.stringify(answer, plain) + '\n');
});
