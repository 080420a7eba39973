// The credentials of a secure tunnel, from the small file a knxip://...?secure=PATH
// target names: either an ETS keyring, its password and the tunnel's
// individual address, or a user id and password given directly, with the
// server's device authentication code when known (docs/knxip-secure.md).
// Those of a secure routing group, from the file a knxrouting://...?secure=PATH
// target names: a keyring and its password (the keyring's backbone key and
// latency tolerance), or the backbone key given directly as 32 hex digits.
// Read once, at open; only the keys are kept, the passwords wiped.
// What went wrong is said without a secret.
#pragma once

#include <cstddef>
#include <cstdint>

#include "secure/secure_crypto.h"

namespace qel::secure {

struct Credentials {
    uint8_t userId = 0;
    Key userKey{};
    bool deviceKnown = false;  // else the SESSION_RESPONSE's MAC goes unchecked
    Key deviceKey{};

    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials();  // wipes the keys
};

// False with `why` ("line 2: unknown key", "wrong keyring password (or an
// altered keyring)", ...) when the file cannot give credentials.
bool ReadCredentials(const char* path, Credentials* out, char* why, size_t whySize);

struct GroupCredentials {
    Key backboneKey{};
    uint32_t latencyToleranceMs = 0;  // 0: not given

    GroupCredentials() = default;
    GroupCredentials(const GroupCredentials&) = delete;
    GroupCredentials& operator=(const GroupCredentials&) = delete;
    ~GroupCredentials();  // wipes the key
};

// The same for a routing group ("neither keyring nor backbone-key", "no
// backbone key in the keyring", ...).
bool ReadGroupCredentials(const char* path, GroupCredentials* out, char* why, size_t whySize);

}  // namespace qel::secure
