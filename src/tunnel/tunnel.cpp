#include "tunnel/tunnel.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "host/log.h"
#include "port_map/port_map.h"
#include "tunnel/knxnet_frames.h"
#include "tunnel/secure_transport.h"
#include "tunnel/tunnel_transport.h"

namespace qel {
namespace {

using knxnet::Service;

constexpr uint32_t kConnectLimitMs = 10000;  // at open
constexpr uint32_t kRenewLimitMs = 3000;     // a reconnect a request asked for
constexpr uint32_t kRetryMs = 1000;          // a CONNECT_REQUEST again, while there is no tunnel
constexpr uint32_t kAckWaitMs = 1000;
constexpr uint32_t kConfirmWaitMs = 3000;
constexpr uint32_t kHeartbeatMs = 60000;
constexpr uint32_t kStateAnswerMs = 10000;
constexpr int kStateTries = 3;
constexpr uint32_t kCheckAnswerMs = 1000;
constexpr uint32_t kDisconnectWaitMs = 1000;
constexpr uint8_t kNoRefusal = 0xFF;

struct Tunnel {
    Link link;  // kTunnelLink
    Transport carrier;           // UDP datagrams or a TCP connection
    platform::Endpoint control;  // the server's control endpoint
    platform::Endpoint data;     // its data endpoint, from the CONNECT_RESPONSE
    knxnet::Hpai own;            // this side's endpoint in requests; 0.0.0.0:0 for route-back and TCP
    char server[24];             // "a.b.c.d:port", for the log
    char owner[kObjectNameSize];
    // The holder of the line, to whom indications go (none while opening or closing).
    InstanceData* instance;
    IndicationHandler onIndication;

    bool connected;
    uint8_t channel;
    uint8_t sendSequence;
    uint8_t receiveSequence;
    bool connecting;  // a CONNECT_REQUEST is out
    uint32_t connectSentMs;
    uint8_t lastRefusal;  // logged once until the tunnel is up again
    bool loggedSilence;   // the same for a server that does not answer
    int awaitedAck;       // the sequence number, -1: none
    bool acked;
    uint8_t ackStatus;
    bool awaitingConfirm;
    bool confirmed;
    bool confirmNegative;
    bool stateSent;
    bool stateAnswered;
    uint32_t stateSentMs;
    int stateTries;
    uint32_t nextHeartbeatMs;
    bool disconnectAnswered;

    uint8_t out[knxnet::kMaxDatagram];
    uint8_t cemi[knxnet::kMaxDatagram];
};

Tunnel* TunnelOf(uint32_t handle) { return reinterpret_cast<Tunnel*>(LinkObjectOf(handle)); }

uint32_t Now() { return platform::Sys().tickMs(); }
bool Passed(uint32_t now, uint32_t since, uint32_t ms) { return now - since >= ms; }

// No tunnel any more: the listener connects again on its next turn.
void MarkGone(Tunnel& t) {
    t.connected = false;
    t.connecting = false;
    t.stateSent = false;
}

// The TCP connection ended under the tunnel: no goodbye is possible, and none is awaited.
void Ended(Tunnel& t, const char* why) {
    t.disconnectAnswered = true;
    if (!t.connected) return;
    QEL_LOG(text::kTunnelLost, t.owner, t.server, why);
    MarkGone(t);
}

void Send(Tunnel& t, const platform::Endpoint& to, size_t n) {
    // A datagram that cannot go counts as one lost on the way: the waits cover
    // both. A TCP connection that cannot take it has ended.
    if (!t.carrier.methods->send(t.carrier, to, t.out, n)) Ended(t, "connection closed");
}

// False when the secure session was refused: no request went.
bool SendConnect(Tunnel& t) {
    // Over TCP a connection first; none to be had counts as a request without
    // answer. The second to the next try counts from here, after the
    // connection's own wait.
    const Readiness ready = t.carrier.methods->ready(t.carrier);
    if (ready == Readiness::kReady) Send(t, t.control, knxnet::ConnectRequest(t.out, t.own, t.own));
    t.connecting = true;
    t.connectSentMs = Now();
    return ready != Readiness::kRefused;
}

void SendState(Tunnel& t) {
    Send(t, t.control, knxnet::ConnectionStateRequest(t.out, t.channel, t.own));
    t.stateSent = true;
    t.stateAnswered = false;
    t.stateSentMs = Now();
}

void SendDisconnect(Tunnel& t) {
    t.disconnectAnswered = false;
    Send(t, t.control, knxnet::DisconnectRequest(t.out, t.channel, t.own));
}

// The tunnel is gone for this side; the server is told, so that its slot is free.
void Lose(Tunnel& t, const char* why) {
    if (!t.connected) return;
    QEL_LOG(text::kTunnelLost, t.owner, t.server, why);
    MarkGone(t);
    SendDisconnect(t);
    t.carrier.methods->end(t.carrier);
}

void Connected(Tunnel& t, const knxnet::Received& r, const platform::Endpoint& from) {
    t.connected = true;
    t.connecting = false;
    t.channel = r.channel;
    t.sendSequence = 0;
    t.receiveSequence = 0;
    // A server behind NAT, or one that answers route-back, names no data endpoint.
    t.data = r.endpoint.address != 0 ? platform::Endpoint{r.endpoint.address, r.endpoint.port} : from;
    t.stateSent = false;
    t.stateTries = 0;
    t.nextHeartbeatMs = Now() + kHeartbeatMs;
    t.lastRefusal = kNoRefusal;
    t.loggedSilence = false;
    const uint16_t a = r.individualAddress;
    QEL_LOG(text::kTunnelOpen, t.owner, t.server, static_cast<unsigned>(r.channel), static_cast<unsigned>(a >> 12),
            static_cast<unsigned>((a >> 8) & 0x0F), static_cast<unsigned>(a & 0xFF));
}

void Take(Tunnel& t, const uint8_t* cemi, size_t n) {
    knxnet::CemiData frame{};
    if (!knxnet::ParseCemi(cemi, n, &frame)) return;
    if (frame.code == knxnet::kLDataCon) {
        if (t.awaitingConfirm) {
            t.confirmed = true;
            t.confirmNegative = knxnet::IsNegativeConfirm(frame);
        }
        return;
    }
    if (frame.code != knxnet::kLDataInd || t.instance == nullptr) return;
    InstanceData* instance = t.instance;
    const uint8_t length = knxnet::BcuIndicationFromCemi(frame, instance->receivedBytes, sizeof instance->receivedBytes);
    if (length == 0) return;
    instance->receivedLength = static_cast<int16_t>(length + 1);
    if (t.onIndication != nullptr) t.onIndication(instance);
}

void Tunnelling(Tunnel& t, const knxnet::Received& r) {
    if (!t.connected || r.channel != t.channel) return;
    // TCP loses and repeats nothing: every request is taken, none acknowledged.
    if (!t.carrier.methods->acknowledged) {
        Take(t, r.cemi, r.cemiLength);
        return;
    }
    // The expected one is taken; the one before is a repeat whose acknowledgement was lost.
    const bool expected = r.sequence == t.receiveSequence;
    if (!expected && r.sequence != static_cast<uint8_t>(t.receiveSequence - 1)) return;
    Send(t, t.data, knxnet::TunnellingAck(t.out, t.channel, r.sequence, knxnet::kNoError));
    if (!expected) return;
    ++t.receiveSequence;
    Take(t, r.cemi, r.cemiLength);
}

void Handle(Tunnel& t, const uint8_t* frame, size_t n, const platform::Endpoint& from) {
    // Only the server speaks here: from its control endpoint's address, or
    // from its data endpoint's (knxd names its interface's address there).
    if (from.address != t.control.address && !(t.connected && from.address == t.data.address)) return;
    knxnet::Received r;
    if (!knxnet::ParseDatagram(frame, n, &r)) return;
    char scratch[8];
    switch (r.service) {
    case Service::kConnectResponse:
        if (t.connected && r.status == knxnet::kNoError && r.channel != t.channel) {
            // A late answer to a repeated request: that tunnel is not wanted, its slot is freed.
            Send(t, t.control, knxnet::DisconnectRequest(t.out, r.channel, t.own));
            return;
        }
        if (!t.connecting || t.connected) return;
        if (r.status == knxnet::kNoError) {
            Connected(t, r, from);
            return;
        }
        t.connecting = false;
        t.carrier.methods->end(t.carrier);
        if (r.status != t.lastRefusal)
            QEL_LOG(text::kTunnelRefused, t.owner, t.server, knxnet::StatusName(r.status, scratch, sizeof scratch));
        t.lastRefusal = r.status;
        return;
    case Service::kConnectionStateResponse:
        if (!t.connected || r.channel != t.channel || !t.stateSent) return;
        t.stateSent = false;
        t.stateAnswered = true;
        if (r.status != knxnet::kNoError) {
            Lose(t, knxnet::StatusName(r.status, scratch, sizeof scratch));
            return;
        }
        t.stateTries = 0;
        t.nextHeartbeatMs = Now() + kHeartbeatMs;
        return;
    case Service::kDisconnectRequest: {
        if (!t.connected || r.channel != t.channel) return;
        const platform::Endpoint to =
            r.endpoint.address != 0 ? platform::Endpoint{r.endpoint.address, r.endpoint.port} : from;
        Send(t, to, knxnet::DisconnectResponse(t.out, t.channel, knxnet::kNoError));
        QEL_LOG(text::kTunnelClosedByServer, t.owner, t.server);
        MarkGone(t);
        t.carrier.methods->end(t.carrier);
        return;
    }
    case Service::kDisconnectResponse:
        if (r.channel == t.channel) t.disconnectAnswered = true;
        return;
    case Service::kTunnellingAck:
        if (t.connected && r.channel == t.channel && t.awaitedAck == r.sequence) {
            t.acked = true;
            t.ackStatus = r.status;
        }
        return;
    case Service::kTunnellingRequest:
        Tunnelling(t, r);
        return;
    default:
        return;
    }
}

// One wait for a frame (handled when it came), the wake or the time.
Arrival Pump(Tunnel& t, platform::Wake* wake, uint32_t ms) {
    const uint8_t* frame = nullptr;
    size_t n = 0;
    platform::Endpoint from{};
    const Arrival r = t.carrier.methods->receive(t.carrier, wake, ms, &frame, &n, &from);
    if (r == Arrival::kFrame) Handle(t, frame, n, from);
    if (r == Arrival::kEnded) Ended(t, "connection closed");
    if (r == Arrival::kBroken) Ended(t, "bad frame length");
    return r;
}

// Serves the socket until `done` holds or ms passed; whether it holds.
template <typename Done>
bool WaitFor(Tunnel& t, uint32_t ms, Done done) {
    const uint32_t start = Now();
    while (!done()) {
        const uint32_t elapsed = Now() - start;
        if (elapsed >= ms) return false;
        if (Pump(t, nullptr, ms - elapsed) == Arrival::kFailed) return done();
    }
    return true;
}

// Connects, a request a second, for at most limitMs; false when refused (logged) or unanswered.
bool ConnectNow(Tunnel& t, uint32_t limitMs) {
    const uint32_t start = Now();
    for (uint32_t elapsed = 0; !t.connected && elapsed < limitMs; elapsed = Now() - start) {
        if (!SendConnect(t)) {
            t.connecting = false;
            return false;  // refused (logged)
        }
        const uint32_t left = limitMs - elapsed;
        WaitFor(t, left < kRetryMs ? left : kRetryMs, [&] { return !t.connecting; });
        if (!t.connected && !t.connecting) return false;  // refused
    }
    if (t.connected) return true;
    t.connecting = false;
    if (!t.loggedSilence) QEL_LOG(text::kTunnelNoAnswer, t.owner, t.server, "CONNECT_REQUEST");
    t.loggedSilence = true;
    return false;
}

// The listener's timers: the heartbeat and its answer, and a new connection once a second.
void Tick(Tunnel& t) {
    const uint32_t now = Now();
    if (!t.connected) {
        if (!t.connecting || Passed(now, t.connectSentMs, kRetryMs)) SendConnect(t);
        return;
    }
    if (t.stateSent) {
        if (!Passed(now, t.stateSentMs, kStateAnswerMs)) return;
        if (++t.stateTries < kStateTries) {
            SendState(t);
            return;
        }
        QEL_LOG(text::kTunnelNoAnswer, t.owner, t.server, "CONNECTIONSTATE_REQUEST");
        Lose(t, "no heartbeat");
        return;
    }
    if (static_cast<int32_t>(now - t.nextHeartbeatMs) >= 0) SendState(t);
}

// Until the next timer of Tick, at most `ms`.
uint32_t UntilNextTick(const Tunnel& t, uint32_t ms) {
    const uint32_t now = Now();
    auto until = [&](uint32_t at) {
        const auto left = static_cast<int32_t>(at - now);
        return left <= 0 ? 0u : static_cast<uint32_t>(left);
    };
    uint32_t next = ms;
    if (!t.connected) next = until(t.connectSentMs + kRetryMs);
    else if (t.stateSent) next = until(t.stateSentMs + kStateAnswerMs);
    else next = until(t.nextHeartbeatMs);
    return next < ms ? next : ms;
}

// Takes the line's holder for the length of a call.
class Holder {
public:
    Holder(Tunnel& t, InstanceData* instance, IndicationHandler onIndication) : t_(t) {
        t.instance = instance;
        t.onIndication = onIndication;
    }
    ~Holder() {
        t_.instance = nullptr;
        t_.onIndication = nullptr;
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

private:
    Tunnel& t_;
};

}  // namespace

uint32_t OpenTunnel(const char* target, const char* owner) {
    TunnelTarget where{};
    if (!ParseTunnelTarget(target, std::strlen(target), &where)) return kNoPort;
    char server[sizeof where.host + 8];
    std::snprintf(server, sizeof server, "%s:%u", where.host, static_cast<unsigned>(where.port));
    uint32_t address = 0;
    if (!platform::Sys().resolveHost(where.host, &address)) {
        QEL_LOG(text::kTunnelHostUnknown, owner, server);
        return kNoPort;
    }
    auto* t = new (std::nothrow) Tunnel{};
    if (t == nullptr) return kNoPort;
    std::snprintf(t->server, sizeof t->server, "%u.%u.%u.%u:%u", static_cast<unsigned>(address >> 24),
                  static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                  static_cast<unsigned>(address & 0xFF), static_cast<unsigned>(where.port));
    std::snprintf(t->owner, sizeof t->owner, "%s", owner);
    t->control = {address, where.port};
    if (where.secure[0] != '\0') {
        if (!OpenSecureTransport(t->carrier, where.secure, t->control, t->owner, t->server, &t->own)) {
            delete t;
            return kNoPort;
        }
    } else if (!OpenTransport(t->carrier, where.tcp, t->control, &t->own)) {
        QEL_LOG(text::kTunnelNoSocket, owner, t->server);
        delete t;
        return kNoPort;
    }
    t->link.methods = &kTunnelLink;
    if (where.nat) t->own = knxnet::Hpai{0, 0};
    t->lastRefusal = kNoRefusal;
    t->awaitedAck = -1;
    if (!ConnectNow(*t, kConnectLimitMs)) {
        t->carrier.methods->close(t->carrier);
        delete t;
        return kNoPort;
    }
    return HandleOfLink(&t->link);
}

void HangUpTunnel(uint32_t handle) {
    Tunnel& t = *TunnelOf(handle);
    if (!t.connected) return;
    SendDisconnect(t);
    // Nothing more goes on this channel, not even an acknowledgement.
    MarkGone(t);
    WaitFor(t, kDisconnectWaitMs, [&] { return t.disconnectAnswered; });
    t.carrier.methods->end(t.carrier);
}

void CloseTunnel(uint32_t handle) {
    HangUpTunnel(handle);
    Tunnel& t = *TunnelOf(handle);
    t.carrier.methods->close(t.carrier);
    delete &t;
}

TunnelResult TunnelSend(InstanceData* instance, const uint8_t* image, IndicationHandler onIndication) {
    Tunnel& t = *TunnelOf(instance->portHandle);
    const Holder holder(t, instance, onIndication);
    const size_t length = knxnet::CemiFromBcuRequest(image, t.cemi);
    if (length == 0) return TunnelResult::kNotConfirmed;
    if (!t.connected) {
        QEL_LOG(text::kTunnelDown, t.owner, t.server);
        return TunnelResult::kDown;
    }
    // Set before the request goes: a server may confirm before it acknowledges.
    t.awaitingConfirm = true;
    t.confirmed = false;
    t.acked = false;
    t.awaitedAck = t.sendSequence;
    for (int attempt = 0; attempt < 2 && !t.acked && t.connected; ++attempt) {
        Send(t, t.data, knxnet::TunnellingRequest(t.out, t.channel, t.sendSequence, t.cemi, length));
        if (!t.carrier.methods->acknowledged) {
            // TCP delivers it or ends the connection.
            t.acked = t.connected;
            t.ackStatus = knxnet::kNoError;
        }
        WaitFor(t, kAckWaitMs, [&] { return t.acked || !t.connected; });
    }
    t.awaitedAck = -1;
    char scratch[8];
    const char* why = nullptr;
    TunnelResult result = TunnelResult::kDown;
    if (!t.connected) {
        QEL_LOG(text::kTunnelDown, t.owner, t.server);
    } else if (!t.acked) {
        QEL_LOG(text::kTunnelNoAnswer, t.owner, t.server, "TUNNELLING_REQUEST");
        Lose(t, "no acknowledgement");
    } else if (t.ackStatus != knxnet::kNoError) {
        why = knxnet::StatusName(t.ackStatus, scratch, sizeof scratch);
        if (t.ackStatus == knxnet::kConnectionIdError) Lose(t, why);
    } else {
        ++t.sendSequence;
        WaitFor(t, kConfirmWaitMs, [&] { return t.confirmed || !t.connected; });
        if (!t.confirmed) why = t.connected ? "no L_Data.con" : "tunnel closed";
        else if (t.confirmNegative) why = "negative L_Data.con";
        else result = TunnelResult::kConfirmed;
    }
    t.awaitingConfirm = false;
    if (why != nullptr) {
        QEL_LOG(text::kTunnelNotConfirmed, t.owner, t.server, why);
        result = TunnelResult::kNotConfirmed;
    }
    return result;
}

bool ServeTunnel(InstanceData* instance, platform::Wake* wake, uint32_t maxMs, IndicationHandler onIndication) {
    Tunnel& t = *TunnelOf(instance->portHandle);
    const Holder holder(t, instance, onIndication);
    const uint32_t start = Now();
    for (;;) {
        Tick(t);
        const uint32_t elapsed = Now() - start;
        if (elapsed >= maxMs) return true;
        switch (Pump(t, wake, UntilNextTick(t, maxMs - elapsed))) {
        case Arrival::kWoken: return true;
        case Arrival::kFailed: return false;
        default: break;
        }
    }
}

bool CheckTunnel(InstanceData* instance, IndicationHandler onIndication) {
    Tunnel& t = *TunnelOf(instance->portHandle);
    const Holder holder(t, instance, onIndication);
    if (t.connected) {
        SendState(t);
        if (!WaitFor(t, kCheckAnswerMs, [&] { return t.stateAnswered || !t.connected; })) {
            QEL_LOG(text::kTunnelNoAnswer, t.owner, t.server, "CONNECTIONSTATE_REQUEST");
            Lose(t, "no heartbeat");
        }
        t.stateSent = false;
        if (t.connected) return true;
    }
    return ConnectNow(t, kRenewLimitMs);
}

bool RenewTunnel(InstanceData* instance, IndicationHandler onIndication) {
    Tunnel& t = *TunnelOf(instance->portHandle);
    const Holder holder(t, instance, onIndication);
    HangUpTunnel(instance->portHandle);
    t.loggedSilence = false;
    t.lastRefusal = kNoRefusal;
    return ConnectNow(t, kRenewLimitMs);
}

}  // namespace qel
