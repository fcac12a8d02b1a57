// The gate checks through QelMain: any address bytes, data type, count,
// single or block check, and any station models in the workspace.
//
// Input: mode, count, data type, model pattern, then the address text (its
// bytes as given, zeros included, in a buffer exactly that long plus the
// terminating zero).
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_host.h"
#include "support/host_records.h"

namespace {

const char* const kModels[] = {"FA2", "FA3", "fa3", "XYZ", "", "FA2"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzhost::Prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzhost::Input in(data, size);
    const std::uint8_t mode = in.Byte();
    const auto count = static_cast<std::int8_t>(in.Byte());
    const std::uint8_t type = in.Byte();
    const std::uint8_t pattern = in.Byte();
    const std::string text = in.Rest();

    DriverWorkspace workspace{};
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        const char* model = kModels[(s + pattern) % 6];
        if ((pattern & 0x80) == 0 && s % 7 != pattern % 7) model = "FA2";
        std::memcpy(workspace.stationModel[s], model, std::strlen(model) + 1);
    }

    auto gas = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(gas.get(), text.data(), text.size());
    gas[text.size()] = '\0';

    GateDefinition definition{};
    definition.gas = (mode & 0x40) != 0 ? nullptr : gas.get();
    definition.dataType = (mode & 0x02) != 0 ? static_cast<std::int8_t>(type)
                                              : ((type & 1) != 0 ? DATA_TYPE_BIT : DATA_TYPE_WORD);
    definition.count = count;
    const std::int32_t operation = (mode & 0x01) != 0 ? QEL_CHECK_BLOCK : QEL_CHECK_GATE;
    const std::int32_t rc = testsupport::CallQel(workspace, operation, &definition);

    if (rc != 0 && rc != 1) std::abort();
    if (rc == 0 && (definition.station >= STATION_COUNT || definition.areaCode > AREA_FORCE)) std::abort();
    return 0;
}
