#include "transact/receive_ack.h"

#include <array>

#include "base/host_log.h"
#include "protocol/ack.h"
#include "serial/line.h"

namespace qel {

int ReadAck(DriverWorkspace& workspace) {
    std::array<std::uint8_t, ACK_LENGTH> answer{};
    if (const int got = ReceiveAnswer(workspace, answer); got != 0) return got;
    switch (JudgeAckStart(answer)) {
    case AckStart::Ack:
        return 0;
    case AckStart::AckWithoutCr:
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal Ack message: no CR.");
        return 1;
    case AckStart::Nak:
        break;
    case AckStart::Illegal:
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal message received for ACK/NACK.");
        return 1;
    }
    std::array<std::uint8_t, NAK_LENGTH - ACK_LENGTH> last{};
    if (const int got = ReceiveAnswer(workspace, last); got != 0) return got;
    if (NakComplete(last[0])) {
        HostLog(LOG_INFO, "DAVEV:Nck message received. Errorcode=%x ", static_cast<unsigned>(NakErrorCode(answer)));
        return 1;
    }
    HostLog(LOG_PROTOCOL, "DAVEV:Illegal Nak message: no CR.");
    return 1;
}

}  // namespace qel
