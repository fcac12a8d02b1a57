// The station model file, read by QEL_INIT through QelMain from the current
// directory (a scratch directory), on the in-memory line.
//
// Input: the QEL number's byte, then the whole file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_host.h"
#include "support/host_records.h"
#include "support/memory_line.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzhost::Prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzhost::Input in(data, size);
    const std::int32_t qel = static_cast<std::int8_t>(in.Byte());
    const std::string contents = in.Rest();

    char name[64];
    std::snprintf(name, sizeof name, "davEV%.2d.int", qel);
    if (std::FILE* f = std::fopen(name, "wb")) {
        std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
    } else {
        std::abort();
    }

    testsupport::MemoryLine line;
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor("fuzz");
    const std::int32_t rc = testsupport::CallQel(workspace, QEL_INIT, &setup, qel);
    std::remove(name);
    if (rc != 0) std::abort();  // the line opens; the file never fails the initialisation
    // Every model slot holds a zero-terminated text of at most three characters.
    for (const auto& model : workspace.stationModel)
        if (strnlen(model, STATION_MODEL_SIZE) > 3) std::abort();
    testsupport::CallQel(workspace, QEL_CLOSE, nullptr, qel);
    return 0;
}
