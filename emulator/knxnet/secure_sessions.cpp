#include "knxnet/secure_sessions.h"

#include <cstring>

#include "platform/crypto.h"
#include "secure/secure_frames.h"

namespace bcuemu::knxnet {
namespace {

namespace sec = qel::secure;
using qel::platform::NativeCrypto;

constexpr uint8_t kServerSerial[sec::kSerialSize] = {0x00, 0xFA, 0x00, 0x00, 0x00, 0x01};

}  // namespace

SecureSessions::SecureSessions(const SecureSettings& settings) {
    sec::DeviceAuthenticationKey(settings.deviceAuthenticationCode, &deviceKey_);
    for (const auto& [user, password] : settings.users) {
        sec::Key key{};
        sec::UserPasswordKey(password, &key);
        users_.emplace_back(user, key);
    }
}

SecureSessions::~SecureSessions() {
    for (auto& [c, s] : sessions_) sec::Wipe(s.key.data(), s.key.size());
}

std::vector<uint8_t> SecureSessions::SealOne(Session& s, const uint8_t* inner, size_t n) {
    sec::WrapperFields f;
    f.sessionId = s.id;
    f.sequence = s.sequence++;
    std::memcpy(f.serial, kServerSerial, sizeof kServerSerial);
    std::vector<uint8_t> out(n + sec::kWrapperOverhead);
    out.resize(sec::Wrap(s.key, f, inner, n, out.data(), out.size()));
    return out;
}

void SecureSessions::Open(uint32_t connection, const sec::SecureFrame& request, Result* out) {
    Session s;
    uint8_t privateKey[sec::kPublicKeySize];
    uint8_t secret[sec::kPublicKeySize];
    std::memcpy(s.clientPublic, request.publicKey, sizeof s.clientPublic);
    const bool keyed = NativeCrypto().x25519KeyPair(privateKey, s.serverPublic) &&
                       NativeCrypto().x25519SharedSecret(privateKey, s.clientPublic, secret) &&
                       sec::SessionKey(secret, &s.key);
    sec::Wipe(privateKey, sizeof privateKey);
    sec::Wipe(secret, sizeof secret);
    if (!keyed) return;
    s.id = nextId_++;
    if (nextId_ == 0) nextId_ = 1;
    uint8_t mac[sec::kMacSize];
    if (!sec::SessionResponseMac(deviceKey_, s.id, s.clientPublic, s.serverPublic, mac)) return;
    std::vector<uint8_t> response(sec::kSessionResponseSize);
    sec::SessionResponse(response.data(), s.id, s.serverPublic, mac);
    out->replies.push_back(std::move(response));
    sessions_[connection] = s;
}

void SecureSessions::Authenticate(Session& s, const uint8_t* inner, size_t n, TunnelFaults& faults, Result* out) {
    sec::SecureFrame f;
    if (!sec::ParseSecureFrame(inner, n, &f) || f.service != sec::SecureService::kSessionAuthenticate) return;
    bool ok = false;
    for (const auto& [user, key] : users_) {
        uint8_t mac[sec::kMacSize];
        if (user == f.userId && sec::SessionAuthenticateMac(key, user, s.clientPublic, s.serverPublic, mac))
            ok = sec::SameMac(mac, f.mac);
    }
    ok = ok && !faults.refuseAuthentication;
    uint8_t status[sec::kSessionStatusSize];
    sec::SessionStatusFrame(status, ok ? sec::kAuthenticationSuccess : sec::kAuthenticationFailed);
    out->replies.push_back(SealOne(s, status, sizeof status));
    s.authenticated = ok;
    out->notes.push_back("secure session " + std::to_string(s.id) + ": user " + std::to_string(f.userId) +
                         (ok ? " authenticated" : " refused"));
}

void SecureSessions::Mute(TunnelFaults& faults) {
    if (!faults.muteSessions) return;
    faults.muteSessions = false;
    for (auto& [c, s] : sessions_) s.muted = s.muted || s.authenticated;
}

SecureSessions::Result SecureSessions::Receive(uint32_t connection, const uint8_t* bytes, size_t count,
                                               TunnelFaults& faults) {
    Result out;
    Mute(faults);
    sec::SecureFrame f;
    if (!sec::ParseSecureFrame(bytes, count, &f)) return out;  // plain frames are not taken
    if (f.service == sec::SecureService::kSessionRequest) {
        Open(connection, f, &out);
        return out;
    }
    auto found = sessions_.find(connection);
    if (found == sessions_.end() || f.service != sec::SecureService::kSecureWrapper) return out;
    Session& s = found->second;
    std::vector<uint8_t> inner(count);
    size_t n = 0;
    sec::WrapperFields fields;
    if (s.muted || f.sessionId != s.id || !sec::Unwrap(s.key, bytes, count, &fields, inner.data(), inner.size(), &n))
        return out;
    if (s.received && fields.sequence <= s.lastReceived) return out;
    s.received = true;
    s.lastReceived = fields.sequence;
    if (!s.authenticated) {
        Authenticate(s, inner.data(), n, faults, &out);
        return out;
    }
    sec::SecureFrame status;
    if (sec::ParseSecureFrame(inner.data(), n, &status) && status.service == sec::SecureService::kSessionStatus) {
        if (status.status == sec::kClose) {
            out.close = true;
            out.notes.push_back("secure session " + std::to_string(s.id) + " closed by the client");
        }
        return out;
    }
    inner.resize(n);
    out.inner.push_back(std::move(inner));
    return out;
}

std::vector<std::vector<uint8_t>> SecureSessions::Seal(uint32_t connection, const std::vector<uint8_t>& frame,
                                                       TunnelFaults& faults) {
    Mute(faults);
    auto found = sessions_.find(connection);
    if (found == sessions_.end() || !found->second.authenticated || found->second.muted) return {};
    std::vector<uint8_t> sealed = SealOne(found->second, frame.data(), frame.size());
    if (faults.badMacs > 0 && !sealed.empty()) {
        --faults.badMacs;
        sealed.back() ^= 0x01;
    }
    if (faults.replayedFrames > 0) {
        --faults.replayedFrames;
        return {sealed, sealed};
    }
    return {sealed};
}

void SecureSessions::Closed(uint32_t connection) {
    auto found = sessions_.find(connection);
    if (found == sessions_.end()) return;
    sec::Wipe(found->second.key.data(), found->second.key.size());
    sessions_.erase(found);
}

}  // namespace bcuemu::knxnet
