// A System table that delegates to the platform's own and fails chosen
// calls: the Nth call of one operation, once or from then on. Every call is
// counted. Ports opened through it are wrapped the same way, so port
// operations can be failed too.
//
// One FaultSystem at a time: the constructor installs it (platform::setSystem)
// and the destructor restores the platform's own table.
//
// A failed call does not reach the platform and returns the refusal of its
// kind: false, nullptr, WaitResult::kFailed, a read or write with no byte
// moved, a datagram wait kFailed. A failed sleepMs, awaitLine, signalWake, closeWake or closeDatagram
// returns at once (an unclosed wake or socket is then left); tickMs never fails.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel::test {

enum class Op : uint8_t {
    // System
    kOpenPort, kTickMs, kSleepMs, kStartThread, kJoinThread, kThreadEnded, kSetThreadPriority,
    kCreateEvent, kSetEvent, kWaitEvent, kCloseEvent, kCreateMutex, kLockMutex, kUnlockMutex,
    kCloseMutex, kHostSymbol, kCreateWake, kSignalWake, kWaitWake, kCloseWake, kLibraryPath,
    kResolveHost, kOpenDatagram, kSendDatagram, kReceiveDatagram, kCloseDatagram,
    // PortMethods
    kClose, kGetState, kSetState, kGetTimeouts, kSetTimeouts, kSetQueueSizes, kWrite, kRead,
    kQueryInput, kSetModemLine, kGetCts, kSetEventMask, kAwaitLine, kAwaitCts, kAwaitInput,
    kCount
};

// The table slot's name ("openPort", "read", ...) and back; kCount when unknown.
const char* opName(Op op);
Op opByName(const char* name);

class FaultSystem {
public:
    enum class Mode : uint8_t { kOnce, kFromThenOn };

    FaultSystem();
    ~FaultSystem();
    FaultSystem(const FaultSystem&) = delete;
    FaultSystem& operator=(const FaultSystem&) = delete;

    // Fails the nth call (1: the next one) of op counted from now.
    void failNth(Op op, uint32_t n, Mode mode = Mode::kOnce);
    void failNth(const char* opName, uint32_t n, Mode mode = Mode::kOnce);
    // Stops failing anything; counts stay.
    void clearFaults();
    // Calls of op since construction or resetCounts, failed ones included.
    uint32_t calls(Op op) const;
    uint32_t calls(const char* opName) const;
    // Calls that were failed, all operations together.
    uint32_t failures() const;
    void resetCounts();
};

}  // namespace qel::test
