#include "protocol/ack.h"

#include <array>

#include "entry/host_log.h"
#include "protocol/frame_parts.h"
#include "serial/line.h"

namespace qel {

int ReadAck(DriverWorkspace& workspace) {
    std::array<std::uint8_t, ACK_LENGTH> answer{};
    if (const int got = ReceiveAnswer(workspace, answer); got != 0) return got;
    if (answer[0] == ACK_CODE) {
        if (answer[3] == CR) return 0;
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal Ack message: no CR.");
        return 1;
    }
    if (answer[0] == NAK_CODE) {
        std::array<std::uint8_t, NAK_LENGTH - ACK_LENGTH> last{};
        if (const int got = ReceiveAnswer(workspace, last); got != 0) return got;
        if (last[0] == CR) {
            HostLog(LOG_INFO, "DAVEV:Nck message received. Errorcode=%x ", static_cast<unsigned>(answer[1]));
            return 1;
        }
        HostLog(LOG_PROTOCOL, "DAVEV:Illegal Nak message: no CR.");
        return 1;
    }
    HostLog(LOG_PROTOCOL, "DAVEV:Illegal message received for ACK/NACK.");
    return 1;
}

}  // namespace qel
