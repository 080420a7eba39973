#include "platform/virtual_line/virtual_port.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <new>

#include "platform/virtual_line/read_timeouts.h"
#include "platform/virtual_line/telnet_codec.h"

namespace qel::platform {
namespace {

namespace tn = qel::telnet;

constexpr uint32_t kRingBytes = 4096;
constexpr uint32_t kChunk = 512;

// Received data bytes waiting for read, oldest first.
class Ring {
public:
    uint32_t size() const { return count_; }
    uint32_t room() const { return kRingBytes - count_; }
    void push(uint8_t b) {
        bytes_[(head_ + count_) % kRingBytes] = b;
        ++count_;
    }
    uint32_t take(uint8_t* out, uint32_t n) {
        const uint32_t k = std::min(n, count_);
        for (uint32_t i = 0; i < k; ++i) out[i] = bytes_[(head_ + i) % kRingBytes];
        head_ = (head_ + k) % kRingBytes;
        count_ -= k;
        return k;
    }

private:
    uint8_t bytes_[kRingBytes]{};
    uint32_t head_ = 0;
    uint32_t count_ = 0;
};

enum class Negotiation : uint8_t { kPending, kAccepted, kRefused };

struct VirtualPort {
    Port base;
    // The modem lines may be switched from the host's thread while the listener
    // is mid-handshake; the stream and its decoder take one caller at a time.
    std::recursive_mutex mutex;
    ByteStream* stream;
    tn::Decoder decoder;
    Ring received;
    LineState state;
    Timeouts timeouts;
    Negotiation negotiation = Negotiation::kPending;
    bool closed = false;
    bool cts = false;
    uint32_t controlsSent = 0;
    uint32_t controlsAnswered = 0;
};

VirtualPort* self(Port* p) { return reinterpret_cast<VirtualPort*>(p); }

uint32_t Now() { return NativeSystem().tickMs(); }

// A write the far side does not take within the read time-out fails, as a
// device write would.
uint32_t WriteLimitMs(const VirtualPort* vp) {
    constexpr uint32_t kNoReadTimeoutLimitMs = 1000;
    return vp->timeouts.readTotalConstant != 0 ? vp->timeouts.readTotalConstant : kNoReadTimeoutLimitMs;
}

bool send(VirtualPort* vp, const uint8_t* bytes, size_t n) {
    if (vp->closed) return false;
    if (vp->stream->methods->writeAll(vp->stream, bytes, static_cast<uint32_t>(n), WriteLimitMs(vp))) return true;
    vp->closed = true;
    return false;
}

bool SendOption(VirtualPort* vp, uint8_t verb, uint8_t option) {
    uint8_t out[3];
    return send(vp, out, tn::EncodeOption(verb, option, out));
}

bool SendCommand(VirtualPort* vp, const uint8_t* payload, size_t length) {
    uint8_t out[5 + 2 * tn::kMaxSubnegotiation];
    return send(vp, out, tn::EncodeSubnegotiation(tn::kComPortOption, payload, length, out));
}

void OnOption(VirtualPort* vp, uint8_t verb, uint8_t option) {
    if (option == tn::kComPortOption) {
        if (verb == tn::kDo) vp->negotiation = Negotiation::kAccepted;
        if (verb == tn::kDont) vp->negotiation = Negotiation::kRefused;
        return;
    }
    // Nothing else is offered or wanted on a serial line.
    if (verb == tn::kWill) SendOption(vp, tn::kDont, option);
    if (verb == tn::kDo) SendOption(vp, tn::kWont, option);
}

void OnCommand(VirtualPort* vp, const tn::Item& item) {
    if (item.option != tn::kComPortOption || item.length == 0) return;
    const uint8_t command = item.payload[0];
    if (command == tn::kSetControl + tn::kServerOffset) ++vp->controlsAnswered;
    if (command == tn::kNotifyModemstate + tn::kServerOffset && item.length >= 2)
        vp->cts = (item.payload[1] & tn::kModemCts) != 0;
}

// Reads what the stream has within timeoutMs and decodes it. Returns the raw
// byte count, 0 when nothing came (or no room is left), -1 when closed.
int32_t pump(VirtualPort* vp, uint32_t timeoutMs) {
    if (vp->closed) return -1;
    // One raw byte gives at most one data byte, so this never overfills the ring.
    const uint32_t want = std::min(kChunk, vp->received.room());
    if (want == 0) return 0;
    uint8_t raw[kChunk];
    const int32_t got = vp->stream->methods->read(vp->stream, raw, want, timeoutMs);
    if (got < 0) {
        vp->closed = true;
        return -1;
    }
    tn::Item item;
    for (int32_t i = 0; i < got; ++i) {
        if (!vp->decoder.feed(raw[i], item)) continue;
        switch (item.kind) {
        case tn::Item::Kind::kData: vp->received.push(item.byte); break;
        case tn::Item::Kind::kOption: OnOption(vp, item.byte, item.option); break;
        case tn::Item::Kind::kSubnegotiation: OnCommand(vp, item); break;
        case tn::Item::Kind::kNone: break;
        }
    }
    return got;
}

// Takes in everything already there, without waiting.
void drain(VirtualPort* vp) {
    while (vp->received.room() > 0 && pump(vp, 0) > 0) {
    }
}

// Pumps until done() or limitMs ran out; false when the stream closed or the ring is full.
template <typename Done>
bool PumpUntil(VirtualPort* vp, uint32_t limitMs, Done done) {
    const uint32_t start = Now();
    while (!done()) {
        const uint32_t elapsed = Now() - start;
        if (elapsed >= limitMs) return true;
        if (vp->received.room() == 0) return true;
        if (pump(vp, limitMs - elapsed) < 0) return false;
    }
    return true;
}

bool VpSetModemLine(Port* p, ModemLine line, bool on) {
    VirtualPort* vp = self(p);
    uint8_t value;
    if (line == ModemLine::kRts) value = on ? tn::kControlRtsOn : tn::kControlRtsOff;
    else value = on ? tn::kControlDtrOn : tn::kControlDtrOff;
    const uint8_t payload[2] = {tn::kSetControl, value};
    if (!SendCommand(vp, payload, sizeof payload)) return false;
    const uint32_t target = ++vp->controlsSent;
    // The far side's reaction (a CTS change) comes before its answer, so once
    // the answer is in, getCts already tells it.
    return PumpUntil(vp, kControlAnswerMs, [&] { return vp->controlsAnswered >= target; });
}

bool ApplyControl(Port* p, uint8_t dtrControl, uint8_t rtsControl) {
    bool ok = true;
    if (dtrControl == kDtrEnable) ok = VpSetModemLine(p, ModemLine::kDtr, true) && ok;
    if (dtrControl == kDtrDisable) ok = VpSetModemLine(p, ModemLine::kDtr, false) && ok;
    if (rtsControl == kRtsEnable) ok = VpSetModemLine(p, ModemLine::kRts, true) && ok;
    if (rtsControl == kRtsDisable) ok = VpSetModemLine(p, ModemLine::kRts, false) && ok;
    return ok;
}

bool VpClose(Port* p) {
    VirtualPort* vp = self(p);
    vp->stream->methods->close(vp->stream);
    delete vp;
    return true;
}

bool VpGetState(Port* p, LineState* out) {
    if (self(p)->closed) return false;
    *out = self(p)->state;
    return true;
}

bool VpSetState(Port* p, const LineState* s) {
    VirtualPort* vp = self(p);
    constexpr uint8_t kParityCodes[] = {tn::kParityNone, tn::kParityOdd, tn::kParityEven, tn::kParityMark,
                                        tn::kParitySpace};
    constexpr uint8_t kStopCodes[] = {tn::kStop1, tn::kStop15, tn::kStop2};
    if (s->baud == 0 || s->byteSize < 5 || s->byteSize > 8 || s->parity > 4 || s->stopBits > 2) return false;
    const uint8_t baud[5] = {tn::kSetBaudrate, static_cast<uint8_t>(s->baud >> 24),
                             static_cast<uint8_t>(s->baud >> 16), static_cast<uint8_t>(s->baud >> 8),
                             static_cast<uint8_t>(s->baud)};
    const uint8_t size[2] = {tn::kSetDatasize, s->byteSize};
    const uint8_t parity[2] = {tn::kSetParity, kParityCodes[s->parity]};
    const uint8_t stop[2] = {tn::kSetStopsize, kStopCodes[s->stopBits]};
    if (!SendCommand(vp, baud, sizeof baud) || !SendCommand(vp, size, sizeof size) ||
        !SendCommand(vp, parity, sizeof parity) || !SendCommand(vp, stop, sizeof stop))
        return false;
    vp->state = *s;
    return ApplyControl(p, s->dtrControl, s->rtsControl);
}

bool VpGetTimeouts(Port* p, Timeouts* out) {
    *out = self(p)->timeouts;
    return true;
}

bool VpSetTimeouts(Port* p, const Timeouts* t) {
    self(p)->timeouts = *t;
    return true;
}

bool VpSetQueueSizes(Port* p, uint32_t, uint32_t) { return !self(p)->closed; }

bool VpWrite(Port* p, const uint8_t* bytes, uint32_t n, uint32_t* written) {
    VirtualPort* vp = self(p);
    *written = 0;
    uint8_t out[2 * kChunk];
    for (uint32_t done = 0; done < n;) {
        const uint32_t k = std::min(kChunk, n - done);
        size_t len = 0;
        for (uint32_t i = 0; i < k; ++i) len += tn::EncodeData(bytes[done + i], out + len);
        if (!send(vp, out, len)) return false;
        done += k;
        *written = done;
    }
    return true;
}

bool VpRead(Port* p, uint8_t* buffer, uint32_t n, uint32_t* got) {
    VirtualPort* vp = self(p);
    *got = 0;
    const uint32_t start = Now();
    uint32_t lastByte = start;
    drain(vp);
    for (;;) {
        const uint32_t k = vp->received.take(buffer + *got, n - *got);
        if (k > 0) {
            *got += k;
            lastByte = Now();
        }
        if (*got == n) return true;
        if (vp->closed) return false;
        const uint32_t t = Now();
        const uint32_t wait = ReadWaitMs(vp->timeouts, n, t - start, t - lastByte, *got > 0);
        if (wait == 0) return true;
        if (pump(vp, wait) < 0) return false;
    }
}

bool VpQueryInput(Port* p, uint32_t* waiting, uint32_t* errors) {
    VirtualPort* vp = self(p);
    drain(vp);
    *errors = 0;
    *waiting = vp->received.size();
    return !vp->closed;
}

bool VpGetCts(Port* p, bool* on) {
    VirtualPort* vp = self(p);
    drain(vp);
    *on = vp->cts;
    return !vp->closed;
}

bool VpSetEventMask(Port* p, uint32_t) { return !self(p)->closed; }

// Waits for the stream's next news even with bytes in the ring: a poll that
// waits for CTS to drop after an answer byte must not spin on the byte.
void VpAwaitLine(Port* p, uint32_t maxMs) { pump(self(p), maxMs); }

// Blocks on the stream: the far side's CTS notification, or the wake, ends it.
bool VpAwaitCts(Port* p, Wake* wake, uint32_t maxMs) {
    VirtualPort* vp = self(p);
    const uint32_t start = Now();
    for (;;) {
        drain(vp);
        if (vp->closed) return false;
        if (vp->cts) return true;
        const uint32_t elapsed = Now() - start;
        if (elapsed >= maxMs) return true;
        // Bytes no one reads fill the ring: then only the wake or the limit can end the wait.
        if (vp->received.room() == 0) {
            NativeSystem().waitWake(wake, maxMs - elapsed);
            return true;
        }
        switch (vp->stream->methods->awaitInput(vp->stream, wake, maxMs - elapsed)) {
        case StreamWait::kInput: break;
        case StreamWait::kWoken:
        case StreamWait::kTimedOut: return true;
        case StreamWait::kClosed: vp->closed = true; return false;
        }
    }
}

// As the CTS wait, for bytes in the ring; without a wake, the stream's news alone.
bool VpAwaitInput(Port* p, Wake* wake, uint32_t maxMs) {
    VirtualPort* vp = self(p);
    const uint32_t start = Now();
    for (;;) {
        drain(vp);
        if (vp->closed) return false;
        if (vp->received.size() > 0) return true;
        const uint32_t elapsed = Now() - start;
        if (elapsed >= maxMs) return true;
        if (wake == nullptr) {
            if (pump(vp, maxMs - elapsed) < 0) return false;
            continue;
        }
        switch (vp->stream->methods->awaitInput(vp->stream, wake, maxMs - elapsed)) {
        case StreamWait::kInput: break;
        case StreamWait::kWoken:
        case StreamWait::kTimedOut: return true;
        case StreamWait::kClosed: vp->closed = true; return false;
        }
    }
}

// Each method runs with the port's mutex held (close frees the port, so it takes none).
template <auto Method, typename... Args>
auto Locked(Port* p, Args... args) {
    std::lock_guard<std::recursive_mutex> hold(self(p)->mutex);
    return Method(p, args...);
}

const PortMethods kVirtualPortMethods = {
    .close = VpClose,
    .getState = Locked<VpGetState, LineState*>,
    .setState = Locked<VpSetState, const LineState*>,
    .getTimeouts = Locked<VpGetTimeouts, Timeouts*>,
    .setTimeouts = Locked<VpSetTimeouts, const Timeouts*>,
    .setQueueSizes = Locked<VpSetQueueSizes, uint32_t, uint32_t>,
    .write = Locked<VpWrite, const uint8_t*, uint32_t, uint32_t*>,
    .read = Locked<VpRead, uint8_t*, uint32_t, uint32_t*>,
    .queryInput = Locked<VpQueryInput, uint32_t*, uint32_t*>,
    .setModemLine = Locked<VpSetModemLine, ModemLine, bool>,
    .getCts = Locked<VpGetCts, bool*>,
    .setEventMask = Locked<VpSetEventMask, uint32_t>,
    .awaitLine = Locked<VpAwaitLine, uint32_t>,
    .awaitCts = Locked<VpAwaitCts, Wake*, uint32_t>,
    .awaitInput = Locked<VpAwaitInput, Wake*, uint32_t>,
};

}  // namespace

Port* OpenVirtualPort(ByteStream* stream) {
    auto* vp = new (std::nothrow) VirtualPort{};
    if (vp == nullptr) {
        stream->methods->close(stream);
        return nullptr;
    }
    vp->base.methods = &kVirtualPortMethods;
    vp->stream = stream;
    vp->state = LineState{};
    vp->state.baud = 9600;
    vp->state.byteSize = 8;
    vp->state.binary = true;
    vp->timeouts = Timeouts{};
    const bool negotiated =
        SendOption(vp, tn::kWill, tn::kComPortOption) &&
        PumpUntil(vp, kNegotiationMs, [&] { return vp->negotiation != Negotiation::kPending; }) &&
        vp->negotiation == Negotiation::kAccepted;
    const uint8_t mask[2] = {tn::kSetModemstateMask, tn::kModemCts | tn::kModemDeltaCts};
    if (!negotiated || !SendCommand(vp, mask, sizeof mask)) {
        VpClose(&vp->base);
        return nullptr;
    }
    return &vp->base;
}

}  // namespace qel::platform
