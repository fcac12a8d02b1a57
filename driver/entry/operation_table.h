// The table of operations that QelMain dispatches through, indexed by the
// request's operation code.
#pragma once

#include <array>
#include <cstdint>

#include "address/gate_check.h"
#include "entry/lifecycle.h"
#include "transact/attempt_operations.h"
#include "transact/read_gate.h"
#include "transact/write_gate.h"
#include "vuzorur.h"

namespace qel {

using OperationHandler = std::int32_t (*)(const QelRequest* request);
using OperationTable = std::array<OperationHandler, OPERATION_TABLE_SIZE>;

extern const OperationTable kOperationTable;

// The extension operations, codes EXTENSION_FIRST_OPERATION and up: a table
// of their own, so that the standard table stays as it is.
using ExtensionTable = std::array<OperationHandler, EXTENSION_COUNT>;
extern const ExtensionTable kExtensionTable;

// The handlers are declared in the headers of the subsystems that own them;
// the table includes those headers, never the other way round. QelMain calls
// a handler only with a request that is not null (it refuses a null one), so
// the handlers check the records the request points to, not the request.

// Looks the handler up in the standard table, then in the extension table;
// nullptr for codes outside both and for empty slots.
OperationHandler FindOperation(std::int32_t code);

}  // namespace qel
