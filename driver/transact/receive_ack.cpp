#include "transact/receive_ack.h"

#include <array>

#include "base/host_log.h"
#include "protocol/ack.h"
#include "serial/line.h"

namespace qel {

Result ReadAck(DriverWorkspace& workspace, Failure* why) {
    std::array<std::uint8_t, ACK_LENGTH> answer{};
    if (const Result got = ReceiveAnswer(workspace, answer, why); got != RESULT_DONE) return got;
    switch (JudgeAckStart(answer)) {
    case AckStart::Ack:
        return RESULT_DONE;
    case AckStart::AckWithoutCr:
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal Ack message: no CR.");
        Note(why, FAILURE_MALFORMED);
        return RESULT_REFUSED;
    case AckStart::Nak:
        break;
    case AckStart::Illegal:
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal message received for ACK/NACK.");
        Note(why, FAILURE_MALFORMED);
        return RESULT_REFUSED;
    }
    std::array<std::uint8_t, NAK_LENGTH - ACK_LENGTH> last{};
    if (const Result got = ReceiveAnswer(workspace, last, why); got != RESULT_DONE) {
        // Four characters of the Nak came: the answer stopped part way.
        if (got == RESULT_LINE_FAILURE && workspace.portHandle != 0) Note(why, FAILURE_SHORT_ANSWER);
        return got;
    }
    if (NakComplete(last[0])) {
        HostLog(LOG_INFO, "DAVEV:Nck message received. Errorcode=%x ", static_cast<unsigned>(NakErrorCode(answer)));
        Note(why, FAILURE_NAK);
        return RESULT_REFUSED;
    }
    HostLog(LOG_PROTOCOL, "DAVEV:Illegal Nak message: no CR.");
    Note(why, FAILURE_MALFORMED);
    return RESULT_REFUSED;
}

}  // namespace qel
