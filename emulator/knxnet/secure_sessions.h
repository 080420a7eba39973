// A KNXnet/IP secure server's sessions over TCP, one per connection, without
// sockets: SESSION_REQUEST answered with the server's key and MAC,
// SESSION_AUTHENTICATE checked against the users' passwords, then every
// frame opened for the tunnelling server and every answer sealed. Plain
// frames and wrappers that do not open are ignored. Built on the driver's
// own secure/ code: test tooling, not a second implementation to trust.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bcuemu/knxnet_faults.h"
#include "bcuemu/knxnet_secure.h"
#include "secure/secure_crypto.h"

namespace bcuemu::knxnet {

class SecureSessions {
public:
    explicit SecureSessions(const SecureSettings& settings);
    ~SecureSessions();
    SecureSessions(const SecureSessions&) = delete;
    SecureSessions& operator=(const SecureSessions&) = delete;

    struct Result {
        std::vector<std::vector<uint8_t>> inner;    // frames for the tunnelling server
        std::vector<std::vector<uint8_t>> replies;  // for the connection, as they are
        std::vector<std::string> notes;
        bool close = false;  // the client closed its session: the connection ends
    };
    Result Receive(uint32_t connection, const uint8_t* bytes, size_t count, TunnelFaults& faults);
    // The tunnelling server's frame for `connection`, sealed (a fault may
    // make it two); none without an authenticated session.
    std::vector<std::vector<uint8_t>> Seal(uint32_t connection, const std::vector<uint8_t>& frame,
                                           TunnelFaults& faults);
    void Closed(uint32_t connection);

private:
    struct Session {
        uint16_t id = 0;
        qel::secure::Key key{};
        uint8_t clientPublic[qel::secure::kPublicKeySize] = {};
        uint8_t serverPublic[qel::secure::kPublicKeySize] = {};
        bool authenticated = false;
        bool muted = false;
        bool received = false;
        uint64_t lastReceived = 0;
        uint64_t sequence = 0;
    };
    // Applies the muteSessions fault to the sessions up now.
    void Mute(TunnelFaults& faults);
    void Open(uint32_t connection, const qel::secure::SecureFrame& request, Result* out);
    void Authenticate(Session& s, const uint8_t* inner, size_t n, TunnelFaults& faults, Result* out);
    std::vector<uint8_t> SealOne(Session& s, const uint8_t* inner, size_t n);

    qel::secure::Key deviceKey_{};
    std::vector<std::pair<uint8_t, qel::secure::Key>> users_;
    std::map<uint32_t, Session> sessions_;
    uint16_t nextId_ = 1;
};

}  // namespace bcuemu::knxnet
