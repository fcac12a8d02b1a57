// The status page (status_page.html, compiled in): one page that reads
// /api/status and shows the stations as a table, refreshing itself.
#pragma once

#include <string_view>

namespace qel::http {

std::string_view StatusPageHtml();

}  // namespace qel::http
