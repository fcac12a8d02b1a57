// The library's one export.
#include "base/result.h"
#include "entry/operation_table.h"

extern "C" QEL_API std::int32_t QelMain(const QelRequest* request) {
    // Codes outside the table, empty slots and a missing request are refused.
    if (request == nullptr) return qel::RESULT_REFUSED;
    const qel::OperationHandler handler = qel::FindOperation(request->operation);
    if (handler == nullptr) return qel::RESULT_REFUSED;
    return handler(request);
}
