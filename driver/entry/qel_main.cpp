// The library's one export.
#include "entry/operation_table.h"

extern "C" QEL_API std::int32_t QelMain(const QelRequest* request) {
    // Codes outside the table, empty slots and a missing request are refused.
    if (request == nullptr) return 1;
    const qel::OperationHandler handler = qel::FindOperation(request->operation);
    if (handler == nullptr) return 1;
    return handler(request);
}
