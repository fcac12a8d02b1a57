// The table of operations that QelMain dispatches through, indexed by the
// request's operation code.
#pragma once

#include <array>
#include <cstdint>

#include "vuzorur.h"

namespace qel {

using OperationHandler = std::int32_t (*)(const QelRequest* request);
using OperationTable = std::array<OperationHandler, OPERATION_TABLE_SIZE>;

extern const OperationTable kOperationTable;

// Looks the handler up; nullptr for codes outside the table and empty slots.
OperationHandler FindOperation(std::int32_t code);

// Handlers, one per slot; each lives with the subsystem that owns it.
std::int32_t InitQel(const QelRequest* request);          // 1  entry/lifecycle
std::int32_t WarmStart(const QelRequest* request);        // 2  entry/lifecycle
std::int32_t CheckSingleGate(const QelRequest* request);  // 3  address
std::int32_t CheckBlockGate(const QelRequest* request);   // 4  address
std::int32_t ReadSingle(const QelRequest* request);       // 5  calls ReadGate
std::int32_t ReadGate(const QelRequest* request);         // 6  transact
std::int32_t WriteGate(const QelRequest* request);        // 7  transact
std::int32_t NotSupported(const QelRequest* request);     // 10
std::int32_t Close(const QelRequest* request);            // 11 calls ClosePort
std::int32_t ClosePort(const QelRequest* request);        // 12 entry/lifecycle
std::int32_t OpenPortOperation(const QelRequest* request);  // 13 entry/lifecycle
std::int32_t Describe(const QelRequest* request);         // 14 entry/lifecycle
std::int32_t Reconfigure(const QelRequest* request);      // 15 entry/lifecycle

}  // namespace qel
