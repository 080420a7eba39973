#include "tunnel/tunnel_transport.h"

#include <cstdio>
#include <cstring>

namespace qel {
namespace {

using platform::Sys;

constexpr uint32_t kWriteLimitMs = 1000;  // a server that stops reading ends the connection

// ---- UDP ----

Readiness UdpReady(Transport&) { return Readiness::kReady; }

bool UdpSend(Transport& t, const platform::Endpoint& to, const uint8_t* bytes, size_t n) {
    Sys().sendDatagram(t.socket, &to, bytes, static_cast<uint32_t>(n));
    return true;
}

Arrival UdpReceive(Transport& t, platform::Wake* wake, uint32_t ms, const uint8_t** frame, size_t* n,
                   platform::Endpoint* from) {
    uint32_t got = 0;
    switch (Sys().receiveDatagram(t.socket, wake, ms, t.in, sizeof t.in, &got, from)) {
    case platform::DatagramWait::kReceived:
        *frame = t.in;
        *n = got;
        return Arrival::kFrame;
    case platform::DatagramWait::kWoken: return Arrival::kWoken;
    case platform::DatagramWait::kTimedOut: return Arrival::kNothing;
    default: return Arrival::kFailed;
    }
}

void UdpEnd(Transport&) {}

void UdpClose(Transport& t) { Sys().closeDatagram(t.socket); }

// ---- TCP ----

void TcpEnd(Transport& t) {
    if (t.stream == nullptr) return;
    t.stream->methods->close(t.stream);
    t.stream = nullptr;
    t.have = 0;
    t.taken = 0;
}

Readiness TcpReady(Transport& t) {
    if (t.stream != nullptr) return Readiness::kReady;
    char host[16];
    const uint32_t a = t.server.address;
    std::snprintf(host, sizeof host, "%u.%u.%u.%u", static_cast<unsigned>(a >> 24), static_cast<unsigned>((a >> 16) & 0xFF),
                  static_cast<unsigned>((a >> 8) & 0xFF), static_cast<unsigned>(a & 0xFF));
    t.stream = Sys().connectTcp(host, t.server.port);
    return t.stream != nullptr ? Readiness::kReady : Readiness::kNotNow;
}

bool TcpSend(Transport& t, const platform::Endpoint&, const uint8_t* bytes, size_t n) {
    if (t.stream == nullptr) return false;
    if (t.stream->methods->writeAll(t.stream, bytes, static_cast<uint32_t>(n), kWriteLimitMs)) return true;
    TcpEnd(t);
    return false;
}

// No connection to read: the time passes all the same, so that the retries keep their pace.
Arrival Idle(platform::Wake* wake, uint32_t ms) {
    if (wake != nullptr) return Sys().waitWake(wake, ms) ? Arrival::kWoken : Arrival::kNothing;
    Sys().sleepMs(ms);
    return Arrival::kNothing;
}

enum class Cut : uint8_t { kWhole, kPart, kBad };

// What the buffer holds at its start: a whole frame (*total bytes), the beginning of one, or a broken header.
Cut NextFrame(const Transport& t, size_t* total) {
    if (t.have < knxnet::kHeaderSize) return Cut::kPart;
    *total = knxnet::FrameLength(t.in);
    if (*total == 0) return Cut::kBad;
    return t.have >= *total ? Cut::kWhole : Cut::kPart;
}

Arrival TcpReceive(Transport& t, platform::Wake* wake, uint32_t ms, const uint8_t** frame, size_t* n,
                   platform::Endpoint* from) {
    if (t.taken > 0) {  // the frame handed out last is done with
        std::memmove(t.in, t.in + t.taken, t.have - t.taken);
        t.have -= t.taken;
        t.taken = 0;
    }
    if (t.stream == nullptr) return Idle(wake, ms);
    size_t total = 0;
    Cut cut = NextFrame(t, &total);  // two frames may have come in one read
    if (cut == Cut::kPart) {
        switch (t.stream->methods->awaitInput(t.stream, wake, ms)) {
        case platform::StreamWait::kWoken: return Arrival::kWoken;
        case platform::StreamWait::kTimedOut: return Arrival::kNothing;
        case platform::StreamWait::kClosed: TcpEnd(t); return Arrival::kEnded;
        case platform::StreamWait::kInput: break;
        }
        // FrameLength bounds a frame by the buffer: there is room for the rest of it.
        const int32_t got =
            t.stream->methods->read(t.stream, t.in + t.have, static_cast<uint32_t>(sizeof t.in - t.have), 0);
        if (got < 0) {
            TcpEnd(t);
            return Arrival::kEnded;
        }
        t.have += static_cast<size_t>(got);
        cut = NextFrame(t, &total);
    }
    if (cut == Cut::kBad) {
        TcpEnd(t);
        return Arrival::kBroken;
    }
    if (cut == Cut::kPart) return Arrival::kNothing;
    *frame = t.in;
    *n = total;
    *from = t.server;
    t.taken = total;
    return Arrival::kFrame;
}

void TcpClose(Transport& t) { TcpEnd(t); }

const TransportMethods kUdp = {
    .acknowledged = true,
    .ready = UdpReady,
    .send = UdpSend,
    .receive = UdpReceive,
    .end = UdpEnd,
    .close = UdpClose,
};

const TransportMethods kTcp = {
    .acknowledged = false,
    .ready = TcpReady,
    .send = TcpSend,
    .receive = TcpReceive,
    .end = TcpEnd,
    .close = TcpClose,
};

}  // namespace

const TransportMethods& TcpMethods() { return kTcp; }

bool OpenTransport(Transport& t, bool tcp, const platform::Endpoint& server, knxnet::Hpai* own) {
    t.server = server;
    if (tcp) {
        t.methods = &kTcp;
        *own = knxnet::Hpai{0, 0, true};
        return true;
    }
    platform::Endpoint local{};
    t.socket = Sys().openDatagram(server.address, &local);
    if (t.socket == nullptr) return false;
    t.methods = &kUdp;
    *own = knxnet::Hpai{local.address, local.port};
    return true;
}

}  // namespace qel
