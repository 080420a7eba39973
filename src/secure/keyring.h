// The ETS keyring (.knxkeys, XML): what the driver needs from it, the
// tunnelling interfaces with their user ids and passwords, the devices
// with their authentication codes and the IP backbone's key, decrypted with the keyring's password
// once its signature proves that password right. A writer beside it lets
// tests and the emulator make keyrings.
//
// Nothing here logs; a failure says only which kind it was, never a secret.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qel::secure {

enum class KeyringError : uint8_t {
    kNone,
    kUnreadable,        // the file could not be read
    kMalformed,         // not a keyring this reader understands
    kWrongPassword,     // the signature does not match: wrong password, or an altered file
    kNoSuchInterface,   // no tunnelling interface with that address
    kNoSuchDevice,      // no device with that address
    kNoBackbone,        // no backbone key: the project's routing is not secure
    kCryptoFailed,      // a platform primitive refused
};
// "wrong keyring password", ...
const char* KeyringErrorText(KeyringError error);

struct TunnelInterface {
    uint16_t individualAddress = 0;  // the tunnel's own address
    uint16_t host = 0;               // the KNXnet/IP server's device address
    uint8_t userId = 0;
    std::string password;            // the user's password, plain
    std::string authentication;      // the device authentication code, plain; may be empty
};

struct KeyringDevice {
    uint16_t individualAddress = 0;
    bool hasSerial = false;
    uint8_t serial[6] = {};
    std::string authentication;      // device authentication code, plain; may be empty
    std::string managementPassword;  // plain; may be empty
};

// The secure routing group of the project (the keyring's Backbone).
struct KeyringBackbone {
    bool present = false;
    uint8_t key[16] = {};
    uint32_t latencyMs = 0;        // the latency tolerance; 0: not given
    std::string multicastAddress;  // as written; may be empty
};

struct Keyring {
    std::string project;
    std::string createdBy;
    std::string created;
    std::vector<TunnelInterface> tunnels;
    std::vector<KeyringDevice> devices;
    KeyringBackbone backbone;

    Keyring() = default;
    Keyring(const Keyring&) = default;
    Keyring& operator=(const Keyring&) = default;
    ~Keyring();  // wipes the passwords and the backbone key
};

// Parses and checks a keyring's text and decrypts its secrets into `out`.
KeyringError ReadKeyring(std::string_view text, std::string_view password, Keyring* out);
KeyringError ReadKeyringFile(const char* path, std::string_view password, Keyring* out);

// The tunnelling interface with that individual address; with host not 0,
// also of that server.
KeyringError FindTunnel(const Keyring& keyring, uint16_t individualAddress, uint16_t host,
                        const TunnelInterface** out);
KeyringError FindDevice(const Keyring& keyring, uint16_t individualAddress, const KeyringDevice** out);

// A signed keyring of `keyring`'s contents under `password`, the secrets
// encrypted with fresh random bytes. Passwords of up to 23 bytes fill the
// 32 bytes ETS writes; longer ones take more blocks.
KeyringError WriteKeyring(const Keyring& keyring, std::string_view password, std::string* text);

// "1.1.10" <-> 0x110A.
bool ParseIndividualAddress(std::string_view text, uint16_t* address);
std::string IndividualAddressText(uint16_t address);

}  // namespace qel::secure
