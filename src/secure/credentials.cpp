#include "secure/credentials.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "secure/keyring.h"

namespace qel::secure {
namespace {

constexpr size_t kMaxFile = 16 * 1024;  // a few lines; more is not a credentials file

// The plain values, wiped when done with.
struct Plain {
    std::string keyring, keyringPassword, userPassword, deviceCode;
    uint16_t tunnel = 0;
    bool haveTunnel = false;
    unsigned user = 0;
    bool haveBackbone = false;
    Key backboneKey{};
    ~Plain() {
        for (std::string* s : {&keyring, &keyringPassword, &userPassword, &deviceCode}) Wipe(s->data(), s->size());
        Wipe(backboneKey.data(), backboneKey.size());
    }
};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// A keyring named relative to the credentials file is beside it.
std::string Beside(const char* path, const std::string& name) {
    const bool absolute = name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':');
    const char* slash = std::strrchr(path, '/');
    const char* backslash = std::strrchr(path, '\\');
    if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
    if (absolute || slash == nullptr) return name;
    return std::string(path, static_cast<size_t>(slash - path + 1)) + name;
}

bool Fail(char* why, size_t whySize, const char* text, unsigned line = 0) {
    if (line == 0) std::snprintf(why, whySize, "%s", text);
    else std::snprintf(why, whySize, "line %u: %s", line, text);
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseKey(std::string_view text, Key* key) {
    if (text.size() != 2 * key->size()) return false;
    for (size_t i = 0; i < key->size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        (*key)[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// One "KEY = VALUE" line into `p`; the failure's text, or nullptr.
const char* TakeLine(std::string_view key, std::string_view value, Plain* p) {
    if (key == "keyring") p->keyring = value;
    else if (key == "keyring-password") p->keyringPassword = value;
    else if (key == "user-password") p->userPassword = value;
    else if (key == "device-authentication-code") p->deviceCode = value;
    else if (key == "backbone-key") {
        if (!ParseKey(value, &p->backboneKey)) return "backbone-key not 32 hex digits";
        p->haveBackbone = true;
    }
    else if (key == "tunnel") {
        if (!ParseIndividualAddress(value, &p->tunnel)) return "not an individual address";
        p->haveTunnel = true;
    } else if (key == "user") {
        p->user = 0;
        for (char c : value) {
            if (c < '0' || c > '9' || p->user > 127) return "user not 1 to 127";
            p->user = p->user * 10 + static_cast<unsigned>(c - '0');
        }
        if (p->user < 1 || p->user > 127) return "user not 1 to 127";
    } else {
        return "unknown key";
    }
    return nullptr;
}

bool ReadText(const char* path, std::string* text) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    text->resize(kMaxFile + 1);
    const size_t n = std::fread(text->data(), 1, text->size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || n > kMaxFile) {
        Wipe(text->data(), n);
        return false;
    }
    text->resize(n);
    return true;
}

// The secrets named by a keyring.
bool FromKeyring(const char* path, Plain* p, char* why, size_t whySize) {
    Keyring keyring;
    const std::string file = Beside(path, p->keyring);
    KeyringError error = ReadKeyringFile(file.c_str(), p->keyringPassword, &keyring);
    const TunnelInterface* tunnel = nullptr;
    if (error == KeyringError::kNone) error = FindTunnel(keyring, p->tunnel, 0, &tunnel);
    if (error != KeyringError::kNone) return Fail(why, whySize, KeyringErrorText(error));
    p->user = tunnel->userId;
    p->userPassword = tunnel->password;
    p->deviceCode = tunnel->authentication;
    const KeyringDevice* device = nullptr;
    if (p->deviceCode.empty() && FindDevice(keyring, tunnel->host, &device) == KeyringError::kNone)
        p->deviceCode = device->authentication;
    return true;
}

// The file's lines into `p`.
bool ReadPlain(const char* path, Plain* p, char* why, size_t whySize) {
    std::string text;
    if (!ReadText(path, &text)) return Fail(why, whySize, "not readable");
    const char* failure = nullptr;
    unsigned lineNumber = 0;
    for (size_t at = 0; at < text.size() && failure == nullptr;) {
        ++lineNumber;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view line = Trim(std::string_view(text).substr(at, end - at));
        at = end + 1;
        if (line.empty() || line.front() == '#') continue;  // a password may hold '#': only whole lines are comments
        const size_t equals = line.find('=');
        const std::string_view key = equals == std::string_view::npos ? line : Trim(line.substr(0, equals));
        const std::string_view value = equals == std::string_view::npos ? "" : Trim(line.substr(equals + 1));
        if (key.empty() || value.empty()) failure = "not KEY = VALUE";
        else failure = TakeLine(key, value, p);
    }
    Wipe(text.data(), text.size());
    return failure == nullptr || Fail(why, whySize, failure, lineNumber);
}

}  // namespace

Credentials::~Credentials() {
    Wipe(userKey.data(), userKey.size());
    Wipe(deviceKey.data(), deviceKey.size());
}

GroupCredentials::~GroupCredentials() { Wipe(backboneKey.data(), backboneKey.size()); }

bool ReadCredentials(const char* path, Credentials* out, char* why, size_t whySize) {
    Plain p;
    if (!ReadPlain(path, &p, why, whySize)) return false;
    if (!p.keyring.empty()) {
        if (!p.haveTunnel || p.keyringPassword.empty())
            return Fail(why, whySize, "a keyring wants keyring-password and tunnel");
        if (!FromKeyring(path, &p, why, whySize)) return false;
    } else if (p.user == 0 || p.userPassword.empty()) {
        return Fail(why, whySize, "neither keyring nor user and user-password");
    }
    out->userId = static_cast<uint8_t>(p.user);
    out->deviceKnown = !p.deviceCode.empty();
    if (!UserPasswordKey(p.userPassword, &out->userKey) ||
        (out->deviceKnown && !DeviceAuthenticationKey(p.deviceCode, &out->deviceKey)))
        return Fail(why, whySize, "cryptographic primitive failed");
    return true;
}

bool ReadGroupCredentials(const char* path, GroupCredentials* out, char* why, size_t whySize) {
    Plain p;
    if (!ReadPlain(path, &p, why, whySize)) return false;
    if (p.keyring.empty()) {
        if (!p.haveBackbone) return Fail(why, whySize, "neither keyring nor backbone-key");
        out->backboneKey = p.backboneKey;
        return true;
    }
    if (p.keyringPassword.empty()) return Fail(why, whySize, "a keyring wants keyring-password");
    Keyring keyring;
    const std::string file = Beside(path, p.keyring);
    KeyringError error = ReadKeyringFile(file.c_str(), p.keyringPassword, &keyring);
    if (error == KeyringError::kNone && !keyring.backbone.present) error = KeyringError::kNoBackbone;
    if (error != KeyringError::kNone) return Fail(why, whySize, KeyringErrorText(error));
    std::memcpy(out->backboneKey.data(), keyring.backbone.key, out->backboneKey.size());
    out->latencyToleranceMs = keyring.backbone.latencyMs;
    return true;
}

}  // namespace qel::secure
