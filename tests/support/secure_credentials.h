// Credentials of the secure tunnels and routers in tests: the emulated
// server's and router's, and the files a driver's ?secure= target names (a
// keyring of the server's tunnel and the backbone key, and credentials
// files), written beside the port map and removed at exit.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bcuemu/knxnet_secure.h"

namespace qel::test {

constexpr char kTestKeyringPassword[] = "keyring password";
constexpr char kTestUserPassword[] = "tunnel password";
constexpr char kTestDeviceCode[] = "trustme";

// The server: device code kTestDeviceCode, user 2 with kTestUserPassword.
bcuemu::knxnet::SecureSettings TestSecureSettings();
// A file of `text`; its path.
std::string WriteTestFile(const std::string& name, const std::string& text);
// The secure routers' backbone key.
std::array<uint8_t, 16> TestBackboneKey();
// A keyring of the server's tunnel, 1.1.241 (user 2, its password, the device
// code), and of the backbone (TestBackboneKey()), under kTestKeyringPassword.
std::string TestKeyring();
// Credentials naming TestKeyring(), its password and the tunnel 1.1.241.
std::string TestCredentials();
// Credentials of a secure routing group: TestKeyring() and its password.
std::string TestRoutingCredentials();

}  // namespace qel::test
