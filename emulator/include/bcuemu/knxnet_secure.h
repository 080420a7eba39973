// What a secure tunnelling server knows (KnxnetServer::Secure): its device
// authentication code and its users' passwords. Test credentials only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bcuemu::knxnet {

struct SecureSettings {
    std::string deviceAuthenticationCode;
    std::vector<std::pair<uint8_t, std::string>> users;  // user id, password
};

}  // namespace bcuemu::knxnet
