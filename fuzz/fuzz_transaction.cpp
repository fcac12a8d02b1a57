// Whole read and write transactions through QelMain on the in-memory line,
// the controller's side of the conversation taken from the fuzzer. Nothing
// really waits: the in-memory line counts the retry pauses and the purge and
// read time-outs instead of sleeping.
//
// Input:
//   byte 0      models of stations 0-3, two bits each: FA2, FA3, "FA3" in
//               lower case, "XY"
//   byte 1      force flags of stations 0-3 (bits 0-3)
//   byte 2      number of transfers, 1 to 4 (low two bits + 1)
//   8 bytes per transfer: operation (read, read block, write), station (0-3),
//               area code (0-10), element (16 bits), count (signed), data
//               type (bit 0: bit, else word; bit 1: any other value), value
//   then the controller's answers: for each frame the driver writes, a 16-bit
//   header (length in bits 0-10; bit 14: the port reports a line error at
//   the middle byte of them; bit 15: echo the frame first) and that many
//   bytes, fed to the driver after the frame.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_host.h"
#include "support/host_records.h"
#include "support/memory_line.h"

namespace {

constexpr std::uint16_t kUntouched = 0xA5A5;
const char* const kModels[] = {"FA2", "FA3", "fa3", "XY"};

struct Transfer {
    std::int32_t operation;
    GateTransfer gate{};
    std::size_t slots = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzhost::Prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzhost::Input in(data, size);
    const std::uint8_t models = in.Byte();
    const std::uint8_t force = in.Byte();
    const int transfers = (in.Byte() & 3) + 1;

    std::vector<Transfer> plan(static_cast<std::size_t>(transfers));
    for (Transfer& t : plan) {
        const std::uint8_t op = in.Byte();
        t.operation = op % 3 == 0 ? QEL_READ : op % 3 == 1 ? QEL_READ_BLOCK : QEL_WRITE;
        t.gate.station = in.Byte() & 3;
        t.gate.areaCode = in.Byte() % 11;
        t.gate.element = in.Word();
        t.gate.count = static_cast<std::int8_t>(in.Byte());
        const std::uint8_t type = in.Byte();
        t.gate.dataType = (type & 2) != 0 ? static_cast<std::int8_t>(type) : (type & 1) != 0 ? DATA_TYPE_BIT : DATA_TYPE_WORD;
        t.gate.hostField = in.Byte();  // the value to write, in slot 1
        t.gate.gas = "001DR0001";
        // The host's array: count slots for a block, two for a single value
        // (slot 1), and for a count below 1 as many as count + 1 gives.
        t.slots = t.gate.count > 1 ? static_cast<std::size_t>(t.gate.count)
                  : t.gate.count == 1 ? 2
                                      : static_cast<std::size_t>(t.gate.count + 1 > 0 ? t.gate.count + 1 : 0);
    }

    testsupport::MemoryLine line;
    line.SetEcho(false);
    const std::string answers = in.Rest();
    std::size_t next = 0;
    line.SetResponder([&](std::string_view written, testsupport::MemoryLine& l) {
        if (next + 2 > answers.size()) return;
        const auto header = static_cast<std::uint16_t>(static_cast<std::uint8_t>(answers[next]) |
                                                       static_cast<std::uint8_t>(answers[next + 1]) << 8);
        next += 2;
        if ((header & 0x8000u) != 0) l.Feed(written);
        const std::size_t length = std::min<std::size_t>(header & 0x7FFu, answers.size() - next);
        if ((header & 0x4000u) != 0) l.LineErrorAt(l.Consumed() + l.Pending() + length / 2);
        l.Feed(std::string_view(answers).substr(next, length));
        next += length;
    });

    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor("fuzz");
    if (testsupport::CallQel(workspace, QEL_INIT, &setup) != 0) std::abort();
    for (unsigned s = 0; s < 4; ++s) {
        const char* model = kModels[(models >> (2 * s)) & 3];
        std::memcpy(workspace.stationModel[s], model, std::strlen(model) + 1);
        workspace.forceFlags[s] = static_cast<std::uint8_t>((force >> s) & 1);
    }

    for (Transfer& t : plan) {
        // Exactly the host's slots, on the heap, so that a slot past them is seen.
        auto values = std::make_unique<std::uint16_t[]>(t.slots);
        for (std::size_t i = 0; i < t.slots; ++i) values[i] = kUntouched;
        const bool write = t.operation == QEL_WRITE;
        if (write && t.slots > 1) values[1] = static_cast<std::uint16_t>(t.gate.hostField);
        t.gate.values = t.slots > 0 ? values.get() : nullptr;
        GateTransfer gate = t.gate;
        const std::int32_t rc = testsupport::CallQel(workspace, t.operation, &gate);
        if (rc < 0 || rc > 2) std::abort();
        // A failed read leaves the host's array as it was.
        if (rc != 0 && !write)
            for (std::size_t i = 0; i < t.slots; ++i)
                if (values[i] != kUntouched) std::abort();
    }
    testsupport::CallQel(workspace, QEL_CLOSE, nullptr);
    return 0;
}
