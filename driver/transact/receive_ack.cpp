#include "transact/receive_ack.h"

#include <array>

#include "base/host_log.h"
#include "protocol/ack.h"
#include "serial/line.h"

namespace qel {

Result ReadAck(DriverWorkspace& workspace) {
    std::array<std::uint8_t, ACK_LENGTH> answer{};
    if (const Result got = ReceiveAnswer(workspace, answer); got != RESULT_DONE) return got;
    switch (JudgeAckStart(answer)) {
    case AckStart::Ack:
        return RESULT_DONE;
    case AckStart::AckWithoutCr:
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal Ack message: no CR.");
        return RESULT_REFUSED;
    case AckStart::Nak:
        break;
    case AckStart::Illegal:
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal message received for ACK/NACK.");
        return RESULT_REFUSED;
    }
    std::array<std::uint8_t, NAK_LENGTH - ACK_LENGTH> last{};
    if (const Result got = ReceiveAnswer(workspace, last); got != RESULT_DONE) return got;
    if (NakComplete(last[0])) {
        HostLog(LOG_INFO, "DAVEV:Nck message received. Errorcode=%x ", static_cast<unsigned>(NakErrorCode(answer)));
        return RESULT_REFUSED;
    }
    HostLog(LOG_PROTOCOL, "DAVEV:Illegal Nak message: no CR.");
    return RESULT_REFUSED;
}

}  // namespace qel
