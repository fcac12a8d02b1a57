// The gateway's front door: any byte stream a client sends, in any pieces,
// through the MBAP framing, the request decoding and the replies. Only whole requests with
// a good header leave the framing, exactly as they were sent and in order;
// what is held back is never a whole request; the pieces do not matter; a
// decoded request is exactly as long as its function and count say.
//
// Input: one byte that chooses how the stream is cut into pieces, then the
// stream.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fuzz_host.h"
#include "modbus/mbap_framer.h"
#include "modbus/mbap_reply.h"
#include "modbus/modbus_request.h"

namespace {

using qel::modbus::MbapFramer;

void Require(bool condition) {
    if (!condition) std::abort();
}

unsigned Word(const std::uint8_t* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

struct Framed {
    std::vector<std::vector<std::uint8_t>> requests;
    bool bad = false;
    std::size_t held = 0;
};

// Feeds the stream in pieces of the sizes `cut` gives, taking every whole
// request after each piece.
template <typename Cut>
Framed Frame(const std::uint8_t* stream, std::size_t size, Cut cut) {
    MbapFramer framer;
    Framed out;
    for (std::size_t at = 0; at < size && !out.bad;) {
        const std::size_t piece = std::min(size - at, cut());
        framer.Append(stream + at, piece);
        at += piece;
        for (;;) {
            const MbapFramer::Status status = framer.Next();
            if (status == MbapFramer::Status::NeedMore) break;
            if (status == MbapFramer::Status::Bad) {
                Require(!framer.Reason().empty());
                out.bad = true;
                break;
            }
            out.requests.push_back(framer.Request());
        }
    }
    out.held = framer.Buffered();
    return out;
}

void CheckDecoded(const std::vector<std::uint8_t>& request) {
    qel::modbus::ModbusRequest m;
    const auto decoded = qel::modbus::DecodeRequest(request.data(), static_cast<int>(request.size()),
                                                qel::modbus::kMbapHeaderLength, m);
    Require(m.unit == request[6] && m.function == request[7]);
    if (decoded == qel::modbus::Decoded::Ok) {
        const std::size_t pdu = request.size() - qel::modbus::kMbapHeaderLength;
        Require(m.count >= 1 && m.count <= 2000);
        Require(m.values.size() == (m.write ? m.count : 0));
        if (m.function >= 15) Require(pdu == 6 + request[12]);
        else Require(pdu == 5);
        for (const std::uint16_t v : m.values) Require(m.table != qel::modbus::Table::Coils || v <= 1);
        // A served request's reply: its transaction id, unit and function,
        // and a length that says exactly what follows it.
        const std::vector<std::uint16_t> values(m.count, 1);
        const auto normal = qel::modbus::NormalReply(request, m, values);
        Require(normal.size() >= 10 && Word(normal.data() + 4) == normal.size() - 6 && normal[0] == request[0] &&
                normal[1] == request[1] && normal[6] == request[6] && normal[7] == request[7]);
    }
    const auto reply = qel::modbus::ExceptionReply(request.data(), request.size(), 1);
    Require(reply.size() == 9 && Word(reply.data() + 4) == 3 && reply[7] >= 0x80 && reply[6] == request[6]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzhost::Input in(data, size);
    std::uint32_t seed = in.Byte();
    const std::string text = in.Rest();
    const auto* stream = reinterpret_cast<const std::uint8_t*>(text.data());

    const Framed whole = Frame(stream, text.size(), [&] { return text.size() + 1; });
    const Framed pieces = Frame(stream, text.size(), [&] {
        seed = seed * 1103515245u + 12345u;
        return std::size_t{1} + (seed >> 16) % 24;
    });
    Require(whole.requests == pieces.requests && whole.bad == pieces.bad);

    // The requests are the stream's first bytes, cut by their headers.
    std::size_t at = 0;
    for (const auto& request : whole.requests) {
        Require(request.size() >= 8 && request.size() <= qel::modbus::kMaxAduLength);
        Require(at + request.size() <= text.size());
        Require(std::equal(request.begin(), request.end(), stream + at));
        Require(Word(request.data() + 2) == 0);
        const unsigned length = Word(request.data() + 4);
        Require(length >= 2 && length <= 254 && request.size() == 6 + length);
        at += request.size();
        CheckDecoded(request);
    }
    const std::size_t rest = text.size() - at;
    if (whole.bad) {
        // Stopped at a header that cannot start a request.
        Require(rest >= qel::modbus::kMbapHeaderLength);
        const unsigned length = Word(stream + at + 4);
        Require(Word(stream + at + 2) != 0 || length < 2 || length > 254);
    } else {
        // What is held is the unfinished start of one request.
        Require(whole.held == rest && pieces.held == rest);
        Require(rest < qel::modbus::kMbapHeaderLength || rest < 6 + Word(stream + at + 4));
    }
    return 0;
}
