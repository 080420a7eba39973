#include "serial/frames.h"

namespace qel {
namespace {

constexpr uint32_t kAnswerLimitMs = 100;
// The BCU reacts to RTS within 3 ms.
constexpr uint32_t kOwnCtsDropLimitMs = 10;

// A sent byte and the BCU's answer to it; the pseudo port answers 0x00.
bool MasterExchangeByte(uint8_t byte, PortHandle port, uint8_t* answer) {
    if (port == kPseudoPort) return true;
    return MasterSendByte(byte, port) && CommReadByte(port, answer);
}

}  // namespace

// Driver-initiated: RTS up, wait for CTS, write, wait for the answer byte, RTS down.
bool MasterSendByte(uint8_t byte, PortHandle port) {
    if (port == kPseudoPort) return true;  // no device: every byte counts as taken
    CommSetRts(port, 1);
    if (!CommWaitCtsOn(port)) {
        CommSetRts(port, 0);
        return false;
    }
    const bool written = CommWriteByte(port, byte);
    CommWaitRxBytes(port, kAnswerLimitMs);
    CommSetRts(port, 0);
    // A BCU may hold CTS until it sees RTS drop. Neither the next byte nor the
    // listener, once the line is let go, may take that CTS for the BCU's own request.
    CommWaitCtsOff(port, kOwnCtsDropLimitMs);
    return written && CommBytesWaiting(port) > 0;
}

ByteResult SendFirstByte(uint8_t byte, PortHandle port) {
    if (CommGetCts(port)) return ByteResult::kBcuWantsToSend;
    uint8_t answer = 0x00;
    if (!MasterExchangeByte(byte, port, &answer)) return ByteResult::kFailed;
    if (answer == 0xFF || answer == 0x00) return ByteResult::kAccepted;
    if (IsHeaderByte(answer)) return ByteResult::kBcuWantsToSend;
    return ByteResult::kFailed;
}

ByteResult SendNextByte(uint8_t byte, PortHandle port) {
    uint8_t answer = 0x00;
    if (!MasterExchangeByte(byte, port, &answer)) return ByteResult::kFailed;
    return answer == 0x00 ? ByteResult::kAccepted : ByteResult::kFailed;
}

// BCU-initiated: wait for CTS, RTS up, CTS still on, write, wait for CTS down,
// RTS down, take the BCU's byte.
bool SlaveExchangeByte(uint8_t send, PortHandle port, uint8_t* received, uint32_t limitMs) {
    if (port == kPseudoPort) return true;
    if (!CommWaitCtsOn(port)) return false;
    CommSetRts(port, 1);
    if (!CommWaitCtsOn(port)) {
        CommSetRts(port, 0);
        return false;
    }
    const bool written = CommWriteByte(port, send);
    if (!CommWaitCtsOff(port, limitMs)) {
        CommSetRts(port, 0);
        return false;
    }
    CommSetRts(port, 0);
    const bool arrived = CommWaitRxBytes(port, limitMs);
    if (!written || !arrived) return false;
    return CommReadByte(port, received);
}

}  // namespace qel
