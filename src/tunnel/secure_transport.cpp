#include "tunnel/secure_transport.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "host/log.h"
#include "secure/client_session.h"
#include "secure/credentials.h"

namespace qel {

struct SecureLink {
    secure::Credentials credentials;
    secure::ClientSession session{};
    bool established = false;
    const char* owner = "";
    const char* server = "";
    uint32_t lastSentMs = 0;
    unsigned drops = 0;      // over the tunnel's life
    char lastFailure[48] = {};  // logged already
    uint8_t sealed[knxnet::kMaxDatagram + secure::kWrapperOverhead];
    uint8_t inner[knxnet::kMaxDatagram];

    ~SecureLink() { secure::EndSession(session); }
};

namespace {

using secure::Handshake;
using secure::Opened;

constexpr uint32_t kHandshakeLimitMs = 10000;  // for each answer, as for CONNECT
constexpr uint32_t kKeepAliveMs = 30000;       // well inside a server's session timeout

uint32_t Now() { return platform::Sys().tickMs(); }
const TransportMethods& Tcp() { return TcpMethods(); }

bool SendSealed(Transport& t, const uint8_t* frame, size_t n) {
    SecureLink& s = *t.secure;
    const size_t length = secure::Seal(s.session, frame, n, s.sealed, sizeof s.sealed);
    if (length == 0 || !Tcp().send(t, t.server, s.sealed, length)) return false;
    s.lastSentMs = Now();
    return true;
}

// The session is gone with its connection: its keys wiped.
void Forget(Transport& t) {
    t.secure->established = false;
    secure::EndSession(t.secure->session);
    Tcp().end(t);
}

void Drop(SecureLink& s, Opened why) {
    const char* text = "not wrapped";
    if (why == Opened::kOtherSession) text = "other session";
    else if (why == Opened::kBadMac) text = "bad MAC";
    else if (why == Opened::kOldSequence) text = "old sequence number";
    ++s.drops;
    QEL_LOG(text::kSecureDropped, s.owner, s.server, text, s.drops);
}

const char* StatusText(uint8_t status, char* scratch, size_t size) {
    switch (status) {
    case secure::kAuthenticationFailed: return "authentication failed";
    case secure::kUnauthenticated: return "unauthenticated";
    case secure::kTimeout: return "timeout";
    case secure::kClose: return "closed by the server";
    default: std::snprintf(scratch, size, "status %u", static_cast<unsigned>(status)); return scratch;
    }
}

Readiness Refused(Transport& t, const char* why) {
    SecureLink& s = *t.secure;
    if (std::strcmp(s.lastFailure, why) != 0) QEL_LOG(text::kSecureFailed, s.owner, s.server, why);
    std::snprintf(s.lastFailure, sizeof s.lastFailure, "%s", why);
    Forget(t);
    return Readiness::kRefused;
}

// The next frame of the handshake, begun at `start`; anything but kFrame: none came in time.
Arrival Next(Transport& t, uint32_t start, const uint8_t** frame, size_t* n) {
    for (uint32_t elapsed = Now() - start; elapsed < kHandshakeLimitMs; elapsed = Now() - start) {
        platform::Endpoint from{};
        const Arrival a = Tcp().receive(t, nullptr, kHandshakeLimitMs - elapsed, frame, n, &from);
        if (a != Arrival::kNothing) return a;
    }
    return Arrival::kNothing;
}

Readiness SetUpSession(Transport& t) {
    SecureLink& s = *t.secure;
    char scratch[16];
    uint8_t request[secure::kSessionRequestSize];
    size_t n = 0;
    if (!secure::BeginSession(s.session, request, &n)) return Refused(t, "cryptographic primitive failed");
    if (!Tcp().send(t, t.server, request, n)) return Readiness::kNotNow;
    const uint8_t* frame = nullptr;
    size_t length = 0;
    for (const uint32_t start = Now();;) {
        if (Next(t, start, &frame, &length) != Arrival::kFrame) return Refused(t, "no SESSION_RESPONSE");
        uint8_t status = 0;
        size_t sealedLength = 0;
        const Handshake h =
            secure::Respond(s.session, s.credentials, frame, length, s.sealed, sizeof s.sealed, &sealedLength, &status);
        if (h == Handshake::kOther) continue;
        if (h == Handshake::kStatus) return Refused(t, StatusText(status, scratch, sizeof scratch));
        if (h == Handshake::kBadMac) return Refused(t, "wrong device authentication code");
        if (h == Handshake::kFailed) return Refused(t, "cryptographic primitive failed");
        if (!Tcp().send(t, t.server, s.sealed, sealedLength)) return Refused(t, "no SESSION_STATUS");
        break;
    }
    for (const uint32_t start = Now();;) {
        if (Next(t, start, &frame, &length) != Arrival::kFrame) return Refused(t, "no SESSION_STATUS");
        size_t innerLength = 0;
        const Opened o = secure::Open(s.session, frame, length, s.inner, sizeof s.inner, &innerLength);
        if (o != Opened::kFrame) {
            Drop(s, o);
            continue;
        }
        uint8_t status = 0;
        if (!secure::StatusIn(s.inner, innerLength, &status)) continue;
        if (status != secure::kAuthenticationSuccess) return Refused(t, StatusText(status, scratch, sizeof scratch));
        break;
    }
    s.established = true;
    s.lastSentMs = Now();
    s.lastFailure[0] = '\0';
    return Readiness::kReady;
}

Readiness SecureReady(Transport& t) {
    if (t.stream != nullptr && t.secure->established) return Readiness::kReady;
    if (Tcp().ready(t) != Readiness::kReady) return Readiness::kNotNow;
    return SetUpSession(t);
}

bool SecureSend(Transport& t, const platform::Endpoint&, const uint8_t* bytes, size_t n) {
    if (t.stream == nullptr || !t.secure->established) return false;
    if (SendSealed(t, bytes, n)) return true;
    Forget(t);
    return false;
}

Arrival SecureReceive(Transport& t, platform::Wake* wake, uint32_t ms, const uint8_t** frame, size_t* n,
                      platform::Endpoint* from) {
    SecureLink& s = *t.secure;
    if (t.stream != nullptr && s.established) {
        const uint32_t quiet = Now() - s.lastSentMs;
        if (quiet >= kKeepAliveMs) {
            uint8_t keepAlive[secure::kSessionStatusSize];
            secure::SessionStatusFrame(keepAlive, secure::kKeepAlive);
            if (!SendSealed(t, keepAlive, sizeof keepAlive)) {
                Forget(t);
                return Arrival::kEnded;
            }
        } else if (kKeepAliveMs - quiet < ms) {
            ms = kKeepAliveMs - quiet;
        }
    }
    const uint8_t* raw = nullptr;
    size_t length = 0;
    const Arrival a = Tcp().receive(t, wake, ms, &raw, &length, from);
    if (a == Arrival::kEnded || a == Arrival::kBroken) Forget(t);
    if (a != Arrival::kFrame) return a;
    size_t innerLength = 0;
    const Opened o = secure::Open(s.session, raw, length, s.inner, sizeof s.inner, &innerLength);
    if (o != Opened::kFrame) {
        Drop(s, o);
        return Arrival::kNothing;
    }
    uint8_t status = 0;
    if (secure::StatusIn(s.inner, innerLength, &status)) {
        if (status != secure::kClose && status != secure::kTimeout && status != secure::kUnauthenticated)
            return Arrival::kNothing;  // a keep-alive
        Forget(t);  // the server ended the session
        return Arrival::kEnded;
    }
    *frame = s.inner;
    *n = innerLength;
    return Arrival::kFrame;
}

void SecureEnd(Transport& t) {
    if (t.stream != nullptr && t.secure->established) {
        uint8_t close[secure::kSessionStatusSize];
        secure::SessionStatusFrame(close, secure::kClose);
        SendSealed(t, close, sizeof close);
    }
    Forget(t);
}

void SecureClose(Transport& t) {
    SecureEnd(t);
    delete t.secure;
    t.secure = nullptr;
}

const TransportMethods kSecure = {
    .acknowledged = false,
    .ready = SecureReady,
    .send = SecureSend,
    .receive = SecureReceive,
    .end = SecureEnd,
    .close = SecureClose,
};

}  // namespace

bool OpenSecureTransport(Transport& t, const char* credentials, const platform::Endpoint& server, const char* owner,
                         const char* serverText, knxnet::Hpai* own) {
    auto* s = new (std::nothrow) SecureLink();
    if (s == nullptr) return false;
    char why[96];
    if (!secure::ReadCredentials(credentials, &s->credentials, why, sizeof why)) {
        QEL_LOG(text::kSecureCredentials, owner, credentials, why);
        delete s;
        return false;
    }
    s->owner = owner;
    s->server = serverText;
    OpenTransport(t, true, server, own);
    t.secure = s;
    t.methods = &kSecure;
    return true;
}

}  // namespace qel
