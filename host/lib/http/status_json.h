// The counters as JSON for the status page and for scripts (/api/status),
// with the gateway's version, the driver's banner, the port and the uptime.
#pragma once

#include <nlohmann/json.hpp>

#include "http/status_source.h"

namespace qel::http {

nlohmann::json StatusJson(const StatusSource& source, const StatusView& view);

}  // namespace qel::http
