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

uint32_t now() { return NativeSystem().tickMs(); }

bool send(VirtualPort* vp, const uint8_t* bytes, size_t n) {
    if (vp->closed) return false;
    if (vp->stream->methods->writeAll(vp->stream, bytes, static_cast<uint32_t>(n))) return true;
    vp->closed = true;
    return false;
}

bool sendOption(VirtualPort* vp, uint8_t verb, uint8_t option) {
    uint8_t out[3];
    return send(vp, out, tn::encodeOption(verb, option, out));
}

bool sendCommand(VirtualPort* vp, const uint8_t* payload, size_t length) {
    uint8_t out[5 + 2 * tn::kMaxSubnegotiation];
    return send(vp, out, tn::encodeSubnegotiation(tn::kComPortOption, payload, length, out));
}

void onOption(VirtualPort* vp, uint8_t verb, uint8_t option) {
    if (option == tn::kComPortOption) {
        if (verb == tn::kDo) vp->negotiation = Negotiation::kAccepted;
        if (verb == tn::kDont) vp->negotiation = Negotiation::kRefused;
        return;
    }
    // Nothing else is offered or wanted on a serial line.
    if (verb == tn::kWill) sendOption(vp, tn::kDont, option);
    if (verb == tn::kDo) sendOption(vp, tn::kWont, option);
}

void onCommand(VirtualPort* vp, const tn::Item& item) {
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
        case tn::Item::Kind::kOption: onOption(vp, item.byte, item.option); break;
        case tn::Item::Kind::kSubnegotiation: onCommand(vp, item); break;
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
bool pumpUntil(VirtualPort* vp, uint32_t limitMs, Done done) {
    const uint32_t start = now();
    while (!done()) {
        const uint32_t elapsed = now() - start;
        if (elapsed >= limitMs) return true;
        if (vp->received.room() == 0) return true;
        if (pump(vp, limitMs - elapsed) < 0) return false;
    }
    return true;
}

bool vpSetModemLine(Port* p, ModemLine line, bool on) {
    VirtualPort* vp = self(p);
    uint8_t value;
    if (line == ModemLine::kRts) value = on ? tn::kControlRtsOn : tn::kControlRtsOff;
    else value = on ? tn::kControlDtrOn : tn::kControlDtrOff;
    const uint8_t payload[2] = {tn::kSetControl, value};
    if (!sendCommand(vp, payload, sizeof payload)) return false;
    const uint32_t target = ++vp->controlsSent;
    // The far side's reaction (a CTS change) comes before its answer, so once
    // the answer is in, getCts already tells it.
    return pumpUntil(vp, kControlAnswerMs, [&] { return vp->controlsAnswered >= target; });
}

bool applyControl(Port* p, uint8_t dtrControl, uint8_t rtsControl) {
    bool ok = true;
    if (dtrControl == kDtrEnable) ok = vpSetModemLine(p, ModemLine::kDtr, true) && ok;
    if (dtrControl == kDtrDisable) ok = vpSetModemLine(p, ModemLine::kDtr, false) && ok;
    if (rtsControl == kRtsEnable) ok = vpSetModemLine(p, ModemLine::kRts, true) && ok;
    if (rtsControl == kRtsDisable) ok = vpSetModemLine(p, ModemLine::kRts, false) && ok;
    return ok;
}

bool vpClose(Port* p) {
    VirtualPort* vp = self(p);
    vp->stream->methods->close(vp->stream);
    delete vp;
    return true;
}

bool vpGetState(Port* p, LineState* out) {
    if (self(p)->closed) return false;
    *out = self(p)->state;
    return true;
}

bool vpSetState(Port* p, const LineState* s) {
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
    if (!sendCommand(vp, baud, sizeof baud) || !sendCommand(vp, size, sizeof size) ||
        !sendCommand(vp, parity, sizeof parity) || !sendCommand(vp, stop, sizeof stop))
        return false;
    vp->state = *s;
    return applyControl(p, s->dtrControl, s->rtsControl);
}

bool vpGetTimeouts(Port* p, Timeouts* out) {
    *out = self(p)->timeouts;
    return true;
}

bool vpSetTimeouts(Port* p, const Timeouts* t) {
    self(p)->timeouts = *t;
    return true;
}

bool vpSetQueueSizes(Port* p, uint32_t, uint32_t) { return !self(p)->closed; }

bool vpWrite(Port* p, const uint8_t* bytes, uint32_t n, uint32_t* written) {
    VirtualPort* vp = self(p);
    *written = 0;
    uint8_t out[2 * kChunk];
    for (uint32_t done = 0; done < n;) {
        const uint32_t k = std::min(kChunk, n - done);
        size_t len = 0;
        for (uint32_t i = 0; i < k; ++i) len += tn::encodeData(bytes[done + i], out + len);
        if (!send(vp, out, len)) return false;
        done += k;
        *written = done;
    }
    return true;
}

bool vpRead(Port* p, uint8_t* buffer, uint32_t n, uint32_t* got) {
    VirtualPort* vp = self(p);
    *got = 0;
    const uint32_t start = now();
    uint32_t lastByte = start;
    drain(vp);
    for (;;) {
        const uint32_t k = vp->received.take(buffer + *got, n - *got);
        if (k > 0) {
            *got += k;
            lastByte = now();
        }
        if (*got == n) return true;
        if (vp->closed) return false;
        const uint32_t t = now();
        const uint32_t wait = readWaitMs(vp->timeouts, n, t - start, t - lastByte, *got > 0);
        if (wait == 0) return true;
        if (pump(vp, wait) < 0) return false;
    }
}

bool vpQueryInput(Port* p, uint32_t* waiting, uint32_t* errors) {
    VirtualPort* vp = self(p);
    drain(vp);
    *errors = 0;
    *waiting = vp->received.size();
    return !vp->closed;
}

bool vpGetCts(Port* p, bool* on) {
    VirtualPort* vp = self(p);
    drain(vp);
    *on = vp->cts;
    return !vp->closed;
}

bool vpSetEventMask(Port* p, uint32_t) { return !self(p)->closed; }

void vpAwaitLine(Port* p, uint32_t maxMs) {
    VirtualPort* vp = self(p);
    if (vp->received.size() == 0) pump(vp, maxMs);
}

// Each method runs with the port's mutex held (close frees the port, so it takes none).
template <auto Method, typename... Args>
auto Locked(Port* p, Args... args) {
    std::lock_guard<std::recursive_mutex> hold(self(p)->mutex);
    return Method(p, args...);
}

const PortMethods kVirtualPortMethods = {
    vpClose,
    Locked<vpGetState, LineState*>,
    Locked<vpSetState, const LineState*>,
    Locked<vpGetTimeouts, Timeouts*>,
    Locked<vpSetTimeouts, const Timeouts*>,
    Locked<vpSetQueueSizes, uint32_t, uint32_t>,
    Locked<vpWrite, const uint8_t*, uint32_t, uint32_t*>,
    Locked<vpRead, uint8_t*, uint32_t, uint32_t*>,
    Locked<vpQueryInput, uint32_t*, uint32_t*>,
    Locked<vpSetModemLine, ModemLine, bool>,
    Locked<vpGetCts, bool*>,
    Locked<vpSetEventMask, uint32_t>,
    Locked<vpAwaitLine, uint32_t>,
};

}  // namespace

Port* openVirtualPort(ByteStream* stream) {
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
        sendOption(vp, tn::kWill, tn::kComPortOption) &&
        pumpUntil(vp, kNegotiationMs, [&] { return vp->negotiation != Negotiation::kPending; }) &&
        vp->negotiation == Negotiation::kAccepted;
    const uint8_t mask[2] = {tn::kSetModemstateMask, tn::kModemCts | tn::kModemDeltaCts};
    if (!negotiated || !sendCommand(vp, mask, sizeof mask)) {
        vpClose(&vp->base);
        return nullptr;
    }
    return &vp->base;
}

}  // namespace qel::platform
