#include "host/log.h"
#include "link/line_trace.h"
#include "serial/port_handle.h"

namespace qel {
namespace {

constexpr uint32_t kPurgeChunk = 512;
constexpr uint32_t kPurgeReadTimeoutTensOfMs = 5;
constexpr uint32_t kLargestTimeoutMs = 0xFFFFFFFFu / 10 * 10;

}  // namespace

uint32_t CommSetReadTimeout(PortHandle handle, uint32_t tensOfMs) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return 0;
    platform::Timeouts timeouts{};
    if (!port->methods->getTimeouts(port, &timeouts)) return 0;
    const uint32_t previous = timeouts.readTotalConstant;
    // A host value past 429,496,729 means "as long as possible", not a wrapped short one.
    const uint32_t wanted = tensOfMs > kLargestTimeoutMs / 10 ? kLargestTimeoutMs : tensOfMs * 10;
    if (wanted == previous) return previous / 10;
    timeouts.readTotalConstant = wanted;
    if (!port->methods->setTimeouts(port, &timeouts)) return 0;
    return previous / 10;
}

bool CommPurgeInput(PortHandle handle) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return false;
    uint32_t waiting = 0;
    uint32_t errors = 0;
    if (port->methods->queryInput(port, &waiting, &errors) && waiting == 0) return true;

    TraceNote(handle, "purge");
    const uint32_t previous = CommSetReadTimeout(handle, kPurgeReadTimeoutTensOfMs);
    uint8_t scratch[kPurgeChunk];
    bool failed = false;
    for (;;) {
        uint32_t got = 0;
        if (!port->methods->read(port, scratch, kPurgeChunk, &got)) {
            failed = true;
            break;
        }
        if (got < kPurgeChunk) break;
    }
    if (previous != 0) CommSetReadTimeout(handle, previous);
    return !failed;
}

CommResult CommWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
    platform::Port* port = PortOf(handle);
    uint32_t done = 0;
    if (port == nullptr || !port->methods->write(port, bytes, count, &done)) return CommResult::kFailed;
    if (written != nullptr) *written = done;
    return done == count ? CommResult::kOk : CommResult::kShortWrite;
}

CommResult CommRead(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* total) {
    if (total != nullptr) *total = 0;
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return CommResult::kFailed;
    uint16_t sum = 0;
    while (sum < count) {
        const uint16_t missing = static_cast<uint16_t>(count - sum);
        uint32_t got = 0;
        if (!port->methods->read(port, buffer + sum, missing, &got)) return CommResult::kFailed;
        if (got == 0) return CommResult::kFailed;  // the read time-out ran out
        sum = static_cast<uint16_t>(sum + got);
        if (total != nullptr) *total = sum;
    }
    return CommResult::kOk;
}

bool CommWriteByte(PortHandle handle, uint8_t byte) {
    uint32_t written = 0;
    return CommWrite(handle, &byte, 1, &written) == CommResult::kOk && written == 1;
}

bool CommReadByte(PortHandle handle, uint8_t* byte) {
    uint16_t total = 0;
    return CommRead(handle, byte, 1, &total) == CommResult::kOk && total == 1;
}

uint16_t CommBytesWaiting(PortHandle handle) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return 0;
    uint32_t waiting = 0;
    uint32_t errors = 0;
    if (!port->methods->queryInput(port, &waiting, &errors)) {
        QEL_LOG(text::kInputQueryFailed, static_cast<unsigned long>(errors));
        return 0;
    }
    return static_cast<uint16_t>(waiting);
}

}  // namespace qel
