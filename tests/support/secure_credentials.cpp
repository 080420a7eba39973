#include "support/secure_credentials.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "secure/keyring.h"
#include "support/test_line.h"

namespace qel::test {

bcuemu::knxnet::SecureSettings TestSecureSettings() { return {kTestDeviceCode, {{2, kTestUserPassword}}}; }

std::string WriteTestFile(const std::string& name, const std::string& text) {
    static std::mutex lock;
    static std::vector<std::string> written;
    std::lock_guard guard(lock);
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string path = PortMapFolder() + "qel-" + std::to_string(stamp) + "-" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return "";
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    if (written.empty()) {
        std::atexit([] {
            for (const std::string& p : written) std::remove(p.c_str());
        });
    }
    written.push_back(path);
    return path;
}

std::array<uint8_t, 16> TestBackboneKey() {
    return {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
}

std::string TestKeyring() {
    static const std::string path = [] {
        secure::Keyring keyring;
        keyring.created = "2026-12-09T12:00:00.0000000Z";
        keyring.backbone.present = true;
        const std::array<uint8_t, 16> backbone = TestBackboneKey();
        std::copy(backbone.begin(), backbone.end(), keyring.backbone.key);
        keyring.backbone.latencyMs = 1000;
        keyring.backbone.multicastAddress = "224.0.23.12";
        secure::TunnelInterface tunnel;
        secure::ParseIndividualAddress("1.1.241", &tunnel.individualAddress);
        secure::ParseIndividualAddress("1.1.240", &tunnel.host);
        tunnel.userId = 2;
        tunnel.password = kTestUserPassword;
        tunnel.authentication = kTestDeviceCode;
        keyring.tunnels.push_back(tunnel);
        std::string text;
        if (secure::WriteKeyring(keyring, kTestKeyringPassword, &text) != secure::KeyringError::kNone) return std::string();
        return WriteTestFile("tunnels.knxkeys", text);
    }();
    return path;
}

std::string TestRoutingCredentials() {
    static const std::string path =
        WriteTestFile("secure-routing", "keyring = " + TestKeyring() + "\nkeyring-password = " + kTestKeyringPassword + "\n");
    return path;
}

std::string TestCredentials() {
    static const std::string path = WriteTestFile(
        "secure", "keyring = " + TestKeyring() + "\nkeyring-password = " + kTestKeyringPassword + "\ntunnel = 1.1.241\n");
    return path;
}

}  // namespace qel::test
