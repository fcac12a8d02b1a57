#include "entry/operation_table.h"

namespace qel {

std::int32_t NotSupported(const QelRequest*) { return RESULT_REFUSED; }

// QEL_CLOSE is QEL_CLOSE_PORT under another code.
std::int32_t Close(const QelRequest* request) { return ClosePort(request); }

// Slots 0, 8, 9 and 16 are empty, as are the slots of operations whose
// handler is not part of this build.
const OperationTable kOperationTable = {
    nullptr,       // 0
    InitQel,       // 1  QEL_INIT
    WarmStart,     // 2  QEL_WARM_START
    CheckSingleGate,  // 3  QEL_CHECK_GATE
    CheckBlockGate,   // 4  QEL_CHECK_BLOCK
    ReadSingle,    // 5  QEL_READ
    ReadGate,      // 6  QEL_READ_BLOCK
    WriteGate,     // 7  QEL_WRITE
    nullptr,       // 8
    nullptr,       // 9
    NotSupported,  // 10 QEL_NOT_SUPPORTED
    Close,         // 11 QEL_CLOSE
    ClosePort,     // 12 QEL_CLOSE_PORT
    OpenPortOperation,  // 13 QEL_OPEN_PORT
    Describe,      // 14 QEL_DESCRIBE
    Reconfigure,   // 15 QEL_RECONFIGURE
    nullptr,       // 16
};

const ExtensionTable kExtensionTable = {
    ReadAttemptOperation,   // 17 QEL_READ_ATTEMPT
    WriteAttemptOperation,  // 18 QEL_WRITE_ATTEMPT
};
static_assert(QEL_EXTENSION_FIRST_OPERATION >= OPERATION_TABLE_SIZE, "extensions lie above the standard table");
static_assert(QEL_READ_ATTEMPT == QEL_EXTENSION_FIRST_OPERATION && QEL_WRITE_ATTEMPT == QEL_EXTENSION_FIRST_OPERATION + 1);

OperationHandler FindOperation(std::int32_t code) {
    if (code >= 0 && code < static_cast<std::int32_t>(kOperationTable.size())) {
        return kOperationTable[static_cast<std::size_t>(code)];
    }
    // Compared before subtracting, so that no code can overflow.
    if (code >= QEL_EXTENSION_FIRST_OPERATION &&
        code - QEL_EXTENSION_FIRST_OPERATION < static_cast<std::int32_t>(kExtensionTable.size())) {
        return kExtensionTable[static_cast<std::size_t>(code - QEL_EXTENSION_FIRST_OPERATION)];
    }
    return nullptr;
}

}  // namespace qel
