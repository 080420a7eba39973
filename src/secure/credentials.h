// The credentials of a secure tunnel, from the small file a knxip://...?secure=PATH
// target names: either an ETS keyring, its password and the tunnel's
// individual address, or a user id and password given directly, with the
// server's device authentication code when known (docs/knxip-secure.md).
// Read once, at open; only the derived keys are kept, the passwords wiped.
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

}  // namespace qel::secure
