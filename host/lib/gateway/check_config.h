// qelgate --config FILE --check: the options, the station models and every
// listed gate as the driver checks them, without the line.
#pragma once

#include <string>

#include "gateway/gate_options.h"
#include "session/host_context.h"

namespace qel::gateway {

// Ready when the whole configuration is good; BadSetting with the reason in
// error (empty when the session's report said it already).
// report: where the session says what it finds (a model file's warnings).
session::OpenResult CheckConfiguration(Options o, std::string& error, const session::ReportSink& report = {});

}  // namespace qel::gateway
