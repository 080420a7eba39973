#include "routing/routing.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "host/log.h"
#include "link/cemi_frames.h"
#include "port_map/port_map.h"
#include "routing/routing_frames.h"
#include "routing/routing_pace.h"
#include "routing/routing_secure.h"

namespace qel {
namespace {

constexpr uint32_t kBusyLimitMs = 3000;  // a send's longest wait for busy routers
constexpr uint32_t kTimerWaitLimitMs = 1000;  // the start's longest wait for the group's timer
// The driver's own address on the bus: the BCU would fill in its own, routing has none to give.
constexpr uint16_t kOwnAddress = 0xFFFF;  // 15.15.255

struct Routing {
    Link link;  // kRoutingLink
    RoutingTarget where;
    platform::Datagram* receiver;  // on the group's port, joined
    platform::Datagram* sender;    // on a port of its own
    platform::Endpoint own;        // the sender's: what comes from there is ours
    char group[24];                // "a.b.c.d:port", for the log
    char owner[kObjectNameSize];
    // The holder of the line, to whom indications go.
    InstanceData* instance;
    FrameHandler onIndication;
    routing::Pace pace;
    uint32_t random;  // xorshift state, never 0
    SecureRouting* secure;  // KNX IP Secure routing; nullptr: plain

    uint8_t in[routing::kMaxDatagram];
    uint8_t out[routing::kMaxDatagram];
    uint8_t cemi[routing::kMaxDatagram];
    uint8_t sealed[routing::kMaxDatagram + secure::kWrapperOverhead];
};

Routing* RoutingOf(uint32_t handle) { return reinterpret_cast<Routing*>(LinkObjectOf(handle)); }

uint32_t Now() { return platform::Sys().tickMs(); }

uint32_t NextRandom(Routing& r) {
    r.random ^= r.random << 13;
    r.random ^= r.random >> 17;
    r.random ^= r.random << 5;
    return r.random;
}

void CloseSockets(Routing& r) {
    if (r.receiver != nullptr) {
        platform::Sys().leaveGroup(r.receiver, r.where.group, r.where.interface);
        platform::Sys().closeDatagram(r.receiver);
    }
    if (r.sender != nullptr) platform::Sys().closeDatagram(r.sender);
    r.receiver = nullptr;
    r.sender = nullptr;
}

// Both sockets, or none (logged).
bool OpenSockets(Routing& r) {
    const platform::System& sys = platform::Sys();
    const RoutingTarget& w = r.where;
    platform::Endpoint local{};
    r.receiver = sys.openGroupDatagram(w.group, w.port, &local);
    bool ready = r.receiver != nullptr && sys.joinGroup(r.receiver, w.group, w.interface);
    if (ready) {
        sys.setMulticastLoop(r.receiver, true);  // where the receiving side decides (Windows)
        r.sender = sys.openDatagram(w.interface != 0 ? w.interface : w.group, &r.own);
        // Looped back, so that peers on this host hear it; known again by its endpoint.
        ready = r.sender != nullptr && (w.interface == 0 || sys.setMulticastInterface(r.sender, w.interface)) &&
                sys.setMulticastLoop(r.sender, true);
    }
    if (ready) return true;
    CloseSockets(r);
    QEL_LOG(text::kRoutingNoSocket, r.owner, r.group);
    return false;
}

void Indicate(Routing& r, const uint8_t* cemi, size_t n) {
    cemi::CemiData frame{};
    if (!cemi::ParseCemi(cemi, n, &frame) || frame.code != cemi::kLDataInd || r.instance == nullptr) return;
    InstanceData* instance = r.instance;
    const uint8_t length = cemi::BcuIndicationFromCemi(frame, instance->receivedBytes, sizeof instance->receivedBytes);
    if (length == 0) return;
    instance->receivedLength = static_cast<int16_t>(length + 1);
    if (r.onIndication != nullptr) r.onIndication(instance);
}

bool SendToGroup(Routing& r, const uint8_t* bytes, size_t n) {
    const platform::Endpoint to{r.where.group, r.where.port};
    return r.sender != nullptr && platform::Sys().sendDatagram(r.sender, &to, bytes, static_cast<uint32_t>(n));
}

void Handle(Routing& r, size_t n, const platform::Endpoint& from) {
    if (from.address == r.own.address && from.port == r.own.port) return;  // our own, looped back
    const uint8_t* frame = r.in;
    if (r.secure != nullptr) {
        size_t notify = 0;
        frame = OpenRoutedDatagram(*r.secure, Now(), r.in, n, &n, &notify);
        if (notify != 0) SendToGroup(r, r.secure->notify, notify);
        if (frame == nullptr) return;
    }
    routing::Routed d;
    if (!routing::ParseRouted(frame, n, &d)) return;
    switch (d.service) {
    case routing::Service::kIndication: Indicate(r, d.cemi, d.cemiLength); return;
    case routing::Service::kBusy:
        if (d.control == 0) routing::Busy(r.pace, Now(), d.waitMs, NextRandom(r));
        return;
    case routing::Service::kLostMessage: QEL_LOG(text::kRoutingLost, r.owner, r.group, static_cast<unsigned>(d.lost)); return;
    }
}

// One wait for a datagram (handled when it came), the wake or the time.
platform::DatagramWait Pump(Routing& r, platform::Wake* wake, uint32_t ms) {
    if (r.receiver == nullptr) return platform::DatagramWait::kFailed;
    uint32_t n = 0;
    platform::Endpoint from{};
    const platform::DatagramWait w = platform::Sys().receiveDatagram(r.receiver, wake, ms, r.in, sizeof r.in, &n, &from);
    if (w == platform::DatagramWait::kReceived) Handle(r, n, from);
    return w;
}

// Takes the line's holder for the length of a call.
class Holder {
public:
    Holder(Routing& r, InstanceData* instance, FrameHandler onIndication) : r_(r) {
        r.instance = instance;
        r.onIndication = onIndication;
    }
    ~Holder() {
        r_.instance = nullptr;
        r_.onIndication = nullptr;
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

private:
    Routing& r_;
};

bool NotSent(Routing& r, const char* why) {
    QEL_LOG(text::kRoutingNotSent, r.owner, r.group, why);
    return false;
}

// The group's timer at the start: its members' answers to the start's
// TIMER_NOTIFY, waited for up to the latency tolerance and at most 1 s, which
// keeps the start's bound (alone, the driver's own timer then runs).
void SynchroniseTimer(Routing& r) {
    SecureRouting& s = *r.secure;
    const uint32_t start = Now();
    if (!BeginSecureRouting(s, start) || !SendToGroup(r, s.notify, sizeof s.notify)) return;
    const uint32_t limit = s.group.toleranceMs < kTimerWaitLimitMs ? s.group.toleranceMs : kTimerWaitLimitMs;
    for (uint32_t elapsed = 0; !s.group.synchronised && elapsed < limit; elapsed = Now() - start) {
        if (Pump(r, nullptr, limit - elapsed) == platform::DatagramWait::kFailed) return;
    }
}

// The periodic TIMER_NOTIFY when due; how long until the next one.
uint32_t KeepTimer(Routing& r) {
    if (r.secure == nullptr) return UINT32_MAX;
    SecureRouting& s = *r.secure;
    const uint32_t now = Now();
    if (secure::UntilTimerNotify(s.group, now) == 0 && secure::PeriodicTimerNotify(s.group, now, s.notify))
        SendToGroup(r, s.notify, sizeof s.notify);
    return secure::UntilTimerNotify(s.group, Now());
}

}  // namespace

uint32_t OpenRouting(const char* target, const char* owner) {
    RoutingTarget where{};
    if (!ParseRoutingTarget(target, std::strlen(target), &where)) return kNoPort;
    auto* r = new (std::nothrow) Routing{};
    if (r == nullptr) return kNoPort;
    r->link.methods = &kRoutingLink;
    r->where = where;
    const uint32_t g = where.group;
    std::snprintf(r->group, sizeof r->group, "%u.%u.%u.%u:%u", static_cast<unsigned>(g >> 24),
                  static_cast<unsigned>((g >> 16) & 0xFF), static_cast<unsigned>((g >> 8) & 0xFF),
                  static_cast<unsigned>(g & 0xFF), static_cast<unsigned>(where.port));
    std::snprintf(r->owner, sizeof r->owner, "%s", owner);
    if (where.secure[0] != '\0') {
        r->secure = OpenSecureRouting(where.secure, r->owner, r->group);
        if (r->secure == nullptr) {
            delete r;
            return kNoPort;
        }
    }
    if (!OpenSockets(*r)) {
        delete r->secure;
        delete r;
        return kNoPort;
    }
    r->random = (Now() ^ (static_cast<uint32_t>(r->own.port) << 16) ^ r->own.address) | 1u;
    if (r->secure != nullptr) SynchroniseTimer(*r);
    QEL_LOG(text::kRoutingOpen, r->owner, r->group);
    return HandleOfLink(&r->link);
}

void CloseRouting(uint32_t handle) {
    Routing* r = RoutingOf(handle);
    CloseSockets(*r);
    delete r->secure;
    delete r;
}

bool RoutingSend(InstanceData* instance, const uint8_t* image, FrameHandler onIndication) {
    Routing& r = *RoutingOf(instance->portHandle);
    const Holder holder(r, instance, onIndication);
    const size_t length = cemi::CemiFromBcuRequest(image, r.cemi);
    if (length == 0) return false;
    if (r.sender == nullptr) return NotSent(r, "no socket");
    r.cemi[0] = cemi::kLDataInd;
    r.cemi[4] = static_cast<uint8_t>(kOwnAddress >> 8);
    r.cemi[5] = static_cast<uint8_t>(kOwnAddress);
    // Serves the group while the pace holds the telegram back: a busy frame may lengthen the wait.
    const uint32_t start = Now();
    for (uint32_t wait = routing::WaitBeforeSend(r.pace, start); wait > 0;
         wait = routing::WaitBeforeSend(r.pace, Now())) {
        const uint32_t elapsed = Now() - start;
        if (elapsed + wait > kBusyLimitMs) return NotSent(r, "routers busy");
        if (Pump(r, nullptr, wait) == platform::DatagramWait::kFailed) platform::Sys().sleepMs(wait);
    }
    const uint8_t* datagram = r.out;
    size_t n = routing::RoutingIndication(r.out, r.cemi, length);
    if (r.secure != nullptr) {
        datagram = r.sealed;
        n = secure::SealForGroup(r.secure->group, Now(), r.out, n, r.sealed, sizeof r.sealed);
        if (n == 0) return NotSent(r, "not sealed");
    }
    if (!SendToGroup(r, datagram, n)) return NotSent(r, "send refused");
    routing::Sent(r.pace, Now());
    return true;
}

bool ServeRouting(InstanceData* instance, platform::Wake* wake, uint32_t maxMs, FrameHandler onIndication) {
    Routing& r = *RoutingOf(instance->portHandle);
    const Holder holder(r, instance, onIndication);
    const uint32_t start = Now();
    for (;;) {
        const uint32_t elapsed = Now() - start;
        if (elapsed >= maxMs) return true;
        const uint32_t untilNotify = KeepTimer(r);
        switch (Pump(r, wake, untilNotify < maxMs - elapsed ? untilNotify : maxMs - elapsed)) {
        case platform::DatagramWait::kWoken: return true;
        case platform::DatagramWait::kFailed: return false;
        default: break;
        }
    }
}

bool CheckRouting(InstanceData* instance, FrameHandler onIndication) {
    Routing& r = *RoutingOf(instance->portHandle);
    {
        const Holder holder(r, instance, onIndication);
        if (r.sender != nullptr && Pump(r, nullptr, 0) != platform::DatagramWait::kFailed) return true;
    }
    return RenewRouting(instance, onIndication);
}

bool RenewRouting(InstanceData* instance, FrameHandler) {
    Routing& r = *RoutingOf(instance->portHandle);
    CloseSockets(r);
    return OpenSockets(r);
}

}  // namespace qel
