#include "secure/keyring.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/crypto.h"
#include "secure/secure_crypto.h"

namespace qel::secure {
namespace {

using platform::NativeCrypto;

constexpr std::string_view kKeyringSalt = "1.keyring.ets.knx.org";
constexpr uint32_t kKeyringIterations = 65536;
constexpr size_t kRandomPrefix = 8;
constexpr size_t kPaddedSecret = 24;
constexpr size_t kMaxText = 16u << 20;
constexpr int kMaxDepth = 32;

// ---- A small XML reader: elements and attributes; text and comments are skipped.

struct Element {
    std::string name;  // without a namespace prefix
    std::vector<std::pair<std::string, std::string>> attributes;  // namespace declarations left out
    std::vector<Element> children;

    const std::string* attribute(std::string_view key) const {
        for (const auto& [k, v] : attributes)
            if (k == key) return &v;
        return nullptr;
    }
};

class XmlReader {
public:
    explicit XmlReader(std::string_view text) : s_(text) {}

    bool document(Element* root) {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;  // byte order mark
        if (!misc()) return false;
        if (!element(root, 0)) return false;
        return misc() && at_ == s_.size();
    }

private:
    bool starts(std::string_view what) const { return s_.substr(at_, what.size()) == what; }
    void spaces() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) ++at_;
    }
    bool skipPast(std::string_view end) {
        const size_t found = s_.find(end, at_);
        if (found == std::string_view::npos) return false;
        at_ = found + end.size();
        return true;
    }
    // Spaces, comments and processing instructions; no DTD.
    bool misc() {
        for (;;) {
            spaces();
            if (starts("<!--")) {
                if (!skipPast("-->")) return false;
            } else if (starts("<?")) {
                if (!skipPast("?>")) return false;
            } else {
                return !starts("<!");
            }
        }
    }
    static bool NameChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
    }
    bool name(std::string* out) {
        const size_t begin = at_;
        while (at_ < s_.size() && NameChar(s_[at_])) ++at_;
        if (at_ == begin) return false;
        out->assign(s_.substr(begin, at_ - begin));
        return true;
    }
    static std::string Local(const std::string& qualified) {
        const size_t colon = qualified.rfind(':');
        return colon == std::string::npos ? qualified : qualified.substr(colon + 1);
    }
    static void PutUtf8(uint32_t c, std::string* out) {
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | c >> 6));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | c >> 12));
            out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | c >> 18));
            out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    // An attribute value: entities decoded, white space normalised to spaces.
    static bool Decode(std::string_view raw, std::string* out) {
        out->clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            const char c = raw[i];
            if (c == '<') return false;
            if (c == '\t' || c == '\n' || c == '\r') {
                out->push_back(' ');
                continue;
            }
            if (c != '&') {
                out->push_back(c);
                continue;
            }
            const size_t end = raw.find(';', i);
            if (end == std::string_view::npos) return false;
            const std::string_view entity = raw.substr(i + 1, end - i - 1);
            if (entity == "amp") out->push_back('&');
            else if (entity == "lt") out->push_back('<');
            else if (entity == "gt") out->push_back('>');
            else if (entity == "quot") out->push_back('"');
            else if (entity == "apos") out->push_back('\'');
            else if (entity.size() > 1 && entity[0] == '#') {
                const bool hex = entity[1] == 'x';
                const std::string digits(entity.substr(hex ? 2 : 1));
                if (digits.empty() || digits.size() > 6) return false;
                char* stop = nullptr;
                const unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
                if (*stop != '\0' || code == 0 || code > 0x10FFFF) return false;
                PutUtf8(static_cast<uint32_t>(code), out);
            } else {
                return false;
            }
            i = end;
        }
        return true;
    }
    bool element(Element* e, int depth) {
        if (depth > kMaxDepth || !starts("<")) return false;
        ++at_;
        std::string qualified;
        if (!name(&qualified)) return false;
        e->name = Local(qualified);
        for (;;) {
            const size_t before = at_;
            spaces();
            if (starts("/>")) {
                at_ += 2;
                return true;
            }
            if (starts(">")) {
                ++at_;
                break;
            }
            if (at_ == before) return false;  // attributes are separated by white space
            std::string key;
            if (!name(&key)) return false;
            spaces();
            if (!starts("=")) return false;
            ++at_;
            spaces();
            if (at_ >= s_.size() || (s_[at_] != '"' && s_[at_] != '\'')) return false;
            const char quote = s_[at_++];
            const size_t end = s_.find(quote, at_);
            if (end == std::string_view::npos) return false;
            std::string value;
            if (!Decode(s_.substr(at_, end - at_), &value)) return false;
            at_ = end + 1;
            if (key == "xmlns" || key.rfind("xmlns:", 0) == 0) continue;
            std::string local = Local(key);
            if (e->attribute(local) != nullptr) return false;
            e->attributes.emplace_back(std::move(local), std::move(value));
        }
        // Content: child elements; text and comments are skipped.
        for (;;) {
            const size_t lt = s_.find('<', at_);
            if (lt == std::string_view::npos) return false;
            at_ = lt;
            if (starts("<!--")) {
                if (!skipPast("-->")) return false;
            } else if (starts("</")) {
                at_ += 2;
                std::string closing;
                if (!name(&closing) || closing != qualified) return false;
                spaces();
                if (!starts(">")) return false;
                ++at_;
                return true;
            } else if (starts("<?")) {
                if (!skipPast("?>")) return false;
            } else if (starts("<!")) {
                return false;  // CDATA or a DTD: not in a keyring
            } else {
                e->children.emplace_back();
                if (!element(&e->children.back(), depth + 1)) return false;
            }
        }
    }

    std::string_view s_;
    size_t at_ = 0;
};

// ---- Base64 (RFC 4648), the keyring's encoding of bytes.

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const uint8_t* bytes, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | (i + 1 < n ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < n ? bytes[i + 2] : 0);
        out.push_back(kBase64[v >> 18 & 63]);
        out.push_back(kBase64[v >> 12 & 63]);
        out.push_back(i + 1 < n ? kBase64[v >> 6 & 63] : '=');
        out.push_back(i + 2 < n ? kBase64[v & 63] : '=');
    }
    return out;
}

bool FromBase64(std::string_view text, std::vector<uint8_t>* out) {
    out->clear();
    if (text.size() % 4 != 0) return false;
    uint32_t v = 0;
    int bits = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size()) return false;
            ++padding;
            continue;
        }
        if (padding != 0) return false;
        const char* at = std::strchr(kBase64, c);
        if (c == '\0' || at == nullptr) return false;
        v = v << 6 | static_cast<uint32_t>(at - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<uint8_t>(v >> bits));
        }
    }
    return true;
}

// ---- The signature: a stream of the elements and attributes, and the
// password hash, hashed with SHA-256; its first 16 bytes.

void PutLength(size_t n, std::string* out) {
    // A 7-bit encoded length, as .NET's BinaryWriter writes it: one byte below 128.
    do {
        const uint8_t low = static_cast<uint8_t>(n & 0x7F);
        n >>= 7;
        out->push_back(static_cast<char>(n != 0 ? low | 0x80 : low));
    } while (n != 0);
}

void PutString(std::string_view s, std::string* out) {
    PutLength(s.size(), out);
    out->append(s);
}

void SignatureStream(const Element& e, bool root, std::string* out) {
    out->push_back('\x01');
    PutString(e.name, out);
    std::vector<const std::pair<std::string, std::string>*> sorted;
    for (const auto& a : e.attributes)
        if (!(root && a.first == "Signature")) sorted.push_back(&a);
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });
    for (const auto* a : sorted) {
        PutString(a->first, out);
        PutString(a->second, out);
    }
    for (const Element& child : e.children) SignatureStream(child, false, out);
    out->push_back('\x02');
}

bool Signature(const Element& root, const Key& passwordKey, uint8_t* signature) {
    std::string stream;
    SignatureStream(root, true, &stream);
    std::string hash = Base64(passwordKey.data(), passwordKey.size());
    PutString(hash, &stream);
    Wipe(hash.data(), hash.size());
    uint8_t digest[platform::kSha256Size];
    const bool ok = NativeCrypto().sha256(reinterpret_cast<const uint8_t*>(stream.data()),
                                          static_cast<uint32_t>(stream.size()), digest);
    std::memcpy(signature, digest, 16);
    return ok;
}

// ---- The secrets: AES-128-CBC under the password key, the IV the first 16
// bytes of SHA-256 of the Created attribute; 8 random bytes, then the
// secret with PKCS#7 padding.

struct Secrets {
    Key key{};
    uint8_t iv[platform::kAesBlockSize] = {};
    ~Secrets() { Wipe(key.data(), key.size()); }
};

bool PasswordKey(std::string_view password, Key* key) {
    return NativeCrypto().pbkdf2Sha256(reinterpret_cast<const uint8_t*>(password.data()),
                                       static_cast<uint32_t>(password.size()),
                                       reinterpret_cast<const uint8_t*>(kKeyringSalt.data()),
                                       static_cast<uint32_t>(kKeyringSalt.size()), kKeyringIterations, key->data(),
                                       static_cast<uint32_t>(key->size()));
}

bool CreatedIv(std::string_view created, uint8_t* iv) {
    uint8_t digest[platform::kSha256Size];
    if (!NativeCrypto().sha256(reinterpret_cast<const uint8_t*>(created.data()),
                               static_cast<uint32_t>(created.size()), digest))
        return false;
    std::memcpy(iv, digest, platform::kAesBlockSize);
    return true;
}

KeyringError DecryptSecret(const Secrets& s, const std::string* encoded, std::string* out) {
    out->clear();
    if (encoded == nullptr || encoded->empty()) return KeyringError::kNone;
    std::vector<uint8_t> bytes;
    if (!FromBase64(*encoded, &bytes) || bytes.empty() || bytes.size() % platform::kAesBlockSize != 0)
        return KeyringError::kMalformed;
    if (!NativeCrypto().aes128CbcDecrypt(s.key.data(), s.iv, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                         bytes.data()))
        return KeyringError::kCryptoFailed;
    const size_t pad = bytes.back();
    const bool padded = bytes.size() > kRandomPrefix && pad >= 1 && pad <= bytes.size() - kRandomPrefix &&
                        std::all_of(bytes.end() - static_cast<std::ptrdiff_t>(pad), bytes.end(),
                                    [pad](uint8_t b) { return b == pad; });
    if (padded) out->assign(bytes.begin() + kRandomPrefix, bytes.end() - static_cast<std::ptrdiff_t>(pad));
    Wipe(bytes.data(), bytes.size());
    return padded ? KeyringError::kNone : KeyringError::kMalformed;
}

KeyringError EncryptSecret(const Secrets& s, std::string_view secret, std::string* out) {
    out->clear();
    if (secret.empty()) return KeyringError::kNone;
    // Padded to 24 bytes as ETS does; a longer secret to the next AES block.
    size_t padded = kPaddedSecret;
    while (padded <= secret.size()) padded += platform::kAesBlockSize;
    const size_t pad = padded - secret.size();
    if (pad > 255) return KeyringError::kMalformed;
    std::vector<uint8_t> bytes(kRandomPrefix + padded, static_cast<uint8_t>(pad));
    std::memcpy(bytes.data() + kRandomPrefix, secret.data(), secret.size());
    const bool ok = NativeCrypto().randomBytes(bytes.data(), static_cast<uint32_t>(kRandomPrefix)) &&
                    NativeCrypto().aes128CbcEncrypt(s.key.data(), s.iv, bytes.data(),
                                                    static_cast<uint32_t>(bytes.size()), bytes.data());
    if (ok) *out = Base64(bytes.data(), bytes.size());
    Wipe(bytes.data(), bytes.size());
    return ok ? KeyringError::kNone : KeyringError::kCryptoFailed;
}

// A key (the backbone's, a tool key, a group key) is one block, encrypted as
// it is: no random bytes, no padding.
KeyringError DecryptKey(const Secrets& s, const std::string* encoded, uint8_t* key) {
    std::vector<uint8_t> bytes;
    if (encoded == nullptr || !FromBase64(*encoded, &bytes) || bytes.size() != platform::kAesBlockSize)
        return KeyringError::kMalformed;
    const bool ok = NativeCrypto().aes128CbcDecrypt(s.key.data(), s.iv, bytes.data(),
                                                    static_cast<uint32_t>(bytes.size()), key);
    Wipe(bytes.data(), bytes.size());
    return ok ? KeyringError::kNone : KeyringError::kCryptoFailed;
}

KeyringError EncryptKey(const Secrets& s, const uint8_t* key, std::string* out) {
    uint8_t bytes[platform::kAesBlockSize];
    const bool ok = NativeCrypto().aes128CbcEncrypt(s.key.data(), s.iv, key, sizeof bytes, bytes);
    if (ok) *out = Base64(bytes, sizeof bytes);
    return ok ? KeyringError::kNone : KeyringError::kCryptoFailed;
}

// Twelve hex digits; separators between them are passed over.
bool ParseSerial(std::string_view text, uint8_t* serial) {
    size_t digits = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            if (c == ':' || c == '-' || c == ' ') continue;
            return false;
        }
        if (digits == 12) return false;
        serial[digits / 2] = static_cast<uint8_t>(digits % 2 == 0 ? digit << 4 : serial[digits / 2] | digit);
        ++digits;
    }
    return digits == 12;
}

bool ParseUserId(const std::string* text, uint8_t* userId) {
    if (text == nullptr || text->empty() || text->size() > 3) return false;
    unsigned value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 127) return false;
    *userId = static_cast<uint8_t>(value);
    return true;
}

KeyringError ReadInterface(const Element& e, const Secrets& s, Keyring* out) {
    const std::string* type = e.attribute("Type");
    if (type == nullptr || *type != "Tunneling") return KeyringError::kNone;  // USB and routing: not ours
    TunnelInterface t;
    const std::string* host = e.attribute("Host");
    const std::string* address = e.attribute("IndividualAddress");
    if (address == nullptr || !ParseIndividualAddress(*address, &t.individualAddress) ||
        (host != nullptr && !ParseIndividualAddress(*host, &t.host)) || !ParseUserId(e.attribute("UserID"), &t.userId))
        return KeyringError::kMalformed;
    KeyringError error = DecryptSecret(s, e.attribute("Password"), &t.password);
    if (error == KeyringError::kNone) error = DecryptSecret(s, e.attribute("Authentication"), &t.authentication);
    if (error == KeyringError::kNone) out->tunnels.push_back(std::move(t));
    return error;
}

KeyringError ReadBackbone(const Element& e, const Secrets& s, Keyring* out) {
    KeyringBackbone b;
    if (const std::string* latency = e.attribute("Latency")) {
        if (latency->empty() || latency->size() > 5) return KeyringError::kMalformed;
        for (char c : *latency) {
            if (c < '0' || c > '9') return KeyringError::kMalformed;
            b.latencyMs = b.latencyMs * 10 + static_cast<uint32_t>(c - '0');
        }
    }
    if (const std::string* group = e.attribute("MulticastAddress")) b.multicastAddress = *group;
    const KeyringError error = DecryptKey(s, e.attribute("Key"), b.key);
    if (error != KeyringError::kNone) return error;
    b.present = true;
    out->backbone = b;
    Wipe(b.key, sizeof b.key);
    return KeyringError::kNone;
}

KeyringError ReadDevice(const Element& e, const Secrets& s, Keyring* out) {
    KeyringDevice d;
    const std::string* address = e.attribute("IndividualAddress");
    const std::string* serial = e.attribute("SerialNumber");
    if (address == nullptr || !ParseIndividualAddress(*address, &d.individualAddress)) return KeyringError::kMalformed;
    // Not needed for a session: an unreadable serial number only goes unused.
    d.hasSerial = serial != nullptr && ParseSerial(*serial, d.serial);
    KeyringError error = DecryptSecret(s, e.attribute("Authentication"), &d.authentication);
    if (error == KeyringError::kNone)
        error = DecryptSecret(s, e.attribute("ManagementPassword"), &d.managementPassword);
    if (error == KeyringError::kNone) out->devices.push_back(std::move(d));
    return error;
}

void WipeString(std::string* s) {
    Wipe(s->data(), s->size());
    s->clear();
}

std::string Escaped(std::string_view value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

void Serialise(const Element& e, int depth, std::string* out) {
    out->append(static_cast<size_t>(depth) * 2, ' ');
    *out += "<" + e.name;
    if (depth == 0) *out += " xmlns=\"http://knx.org/xml/keyring/1\"";
    for (const auto& [k, v] : e.attributes) *out += " " + k + "=\"" + Escaped(v) + "\"";
    if (e.children.empty()) {
        *out += " />\n";
        return;
    }
    *out += ">\n";
    for (const Element& child : e.children) Serialise(child, depth + 1, out);
    out->append(static_cast<size_t>(depth) * 2, ' ');
    *out += "</" + e.name + ">\n";
}

}  // namespace

Keyring::~Keyring() {
    for (TunnelInterface& t : tunnels) {
        WipeString(&t.password);
        WipeString(&t.authentication);
    }
    for (KeyringDevice& d : devices) {
        WipeString(&d.authentication);
        WipeString(&d.managementPassword);
    }
    Wipe(backbone.key, sizeof backbone.key);
}

const char* KeyringErrorText(KeyringError error) {
    switch (error) {
        case KeyringError::kNone: return "no error";
        case KeyringError::kUnreadable: return "keyring file not readable";
        case KeyringError::kMalformed: return "keyring malformed";
        case KeyringError::kWrongPassword: return "wrong keyring password (or an altered keyring)";
        case KeyringError::kNoSuchInterface: return "no such tunnelling interface in the keyring";
        case KeyringError::kNoSuchDevice: return "no such device in the keyring";
        case KeyringError::kNoBackbone: return "no backbone key in the keyring";
        case KeyringError::kCryptoFailed: return "cryptographic primitive failed";
    }
    return "unknown keyring error";
}

bool ParseIndividualAddress(std::string_view text, uint16_t* address) {
    unsigned parts[3] = {};
    size_t part = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0 || ++part > 2) return false;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        } else {
            return false;
        }
    }
    if (part != 2 || digits == 0 || parts[0] > 15 || parts[1] > 15 || parts[2] > 255) return false;
    *address = static_cast<uint16_t>(parts[0] << 12 | parts[1] << 8 | parts[2]);
    return true;
}

std::string IndividualAddressText(uint16_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", address >> 12, address >> 8 & 0x0F, address & 0xFF);
    return text;
}

KeyringError ReadKeyring(std::string_view text, std::string_view password, Keyring* out) {
    *out = Keyring{};
    if (text.size() > kMaxText) return KeyringError::kMalformed;
    Element root;
    if (!XmlReader(text).document(&root) || root.name != "Keyring") return KeyringError::kMalformed;
    const std::string* created = root.attribute("Created");
    const std::string* signature = root.attribute("Signature");
    std::vector<uint8_t> expected;
    if (created == nullptr || signature == nullptr || !FromBase64(*signature, &expected) || expected.size() != 16)
        return KeyringError::kMalformed;

    Secrets s;
    uint8_t computed[16];
    if (!PasswordKey(password, &s.key) || !CreatedIv(*created, s.iv) || !Signature(root, s.key, computed))
        return KeyringError::kCryptoFailed;
    if (!SameMac(computed, expected.data())) return KeyringError::kWrongPassword;

    Keyring keyring;
    if (const std::string* project = root.attribute("Project")) keyring.project = *project;
    if (const std::string* createdBy = root.attribute("CreatedBy")) keyring.createdBy = *createdBy;
    keyring.created = *created;
    for (const Element& e : root.children) {
        KeyringError error = KeyringError::kNone;
        if (e.name == "Interface") {
            error = ReadInterface(e, s, &keyring);
        } else if (e.name == "Backbone") {
            error = ReadBackbone(e, s, &keyring);
        } else if (e.name == "Devices") {
            for (const Element& d : e.children)
                if (error == KeyringError::kNone && d.name == "Device") error = ReadDevice(d, s, &keyring);
        }
        if (error != KeyringError::kNone) return error;
    }
    *out = std::move(keyring);
    return KeyringError::kNone;
}

KeyringError ReadKeyringFile(const char* path, std::string_view password, Keyring* out) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return KeyringError::kUnreadable;
    std::string text;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(file.gcount()));
        if (text.size() > kMaxText) return KeyringError::kMalformed;
    }
    if (file.bad()) return KeyringError::kUnreadable;
    return ReadKeyring(text, password, out);
}

KeyringError FindTunnel(const Keyring& keyring, uint16_t individualAddress, uint16_t host,
                        const TunnelInterface** out) {
    for (const TunnelInterface& t : keyring.tunnels) {
        if (t.individualAddress == individualAddress && (host == 0 || t.host == host)) {
            *out = &t;
            return KeyringError::kNone;
        }
    }
    return KeyringError::kNoSuchInterface;
}

KeyringError FindDevice(const Keyring& keyring, uint16_t individualAddress, const KeyringDevice** out) {
    for (const KeyringDevice& d : keyring.devices) {
        if (d.individualAddress == individualAddress) {
            *out = &d;
            return KeyringError::kNone;
        }
    }
    return KeyringError::kNoSuchDevice;
}

KeyringError WriteKeyring(const Keyring& keyring, std::string_view password, std::string* text) {
    Secrets s;
    if (keyring.created.empty()) return KeyringError::kMalformed;
    if (!PasswordKey(password, &s.key) || !CreatedIv(keyring.created, s.iv)) return KeyringError::kCryptoFailed;

    Element root;
    root.name = "Keyring";
    root.attributes = {{"Project", keyring.project}, {"CreatedBy", keyring.createdBy}, {"Created", keyring.created}};
    KeyringError error = KeyringError::kNone;
    auto secret = [&](Element* e, const char* name, const std::string& plain) {
        std::string encrypted;
        if (error == KeyringError::kNone) error = EncryptSecret(s, plain, &encrypted);
        if (!encrypted.empty()) e->attributes.emplace_back(name, std::move(encrypted));
    };
    if (keyring.backbone.present) {
        Element e;
        e.name = "Backbone";
        if (!keyring.backbone.multicastAddress.empty())
            e.attributes.emplace_back("MulticastAddress", keyring.backbone.multicastAddress);
        if (keyring.backbone.latencyMs != 0)
            e.attributes.emplace_back("Latency", std::to_string(keyring.backbone.latencyMs));
        std::string key;
        if (error == KeyringError::kNone) error = EncryptKey(s, keyring.backbone.key, &key);
        e.attributes.emplace_back("Key", std::move(key));
        root.children.push_back(std::move(e));
    }
    for (const TunnelInterface& t : keyring.tunnels) {
        Element e;
        e.name = "Interface";
        e.attributes = {{"Type", "Tunneling"},
                        {"Host", IndividualAddressText(t.host)},
                        {"IndividualAddress", IndividualAddressText(t.individualAddress)},
                        {"UserID", std::to_string(t.userId)}};
        secret(&e, "Password", t.password);
        secret(&e, "Authentication", t.authentication);
        root.children.push_back(std::move(e));
    }
    if (!keyring.devices.empty()) {
        Element devices;
        devices.name = "Devices";
        for (const KeyringDevice& d : keyring.devices) {
            Element e;
            e.name = "Device";
            e.attributes = {{"IndividualAddress", IndividualAddressText(d.individualAddress)}};
            if (d.hasSerial) {
                char serial[13];
                std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X%02X%02X", d.serial[0], d.serial[1],
                              d.serial[2], d.serial[3], d.serial[4], d.serial[5]);
                e.attributes.emplace_back("SerialNumber", serial);
            }
            secret(&e, "ManagementPassword", d.managementPassword);
            secret(&e, "Authentication", d.authentication);
            devices.children.push_back(std::move(e));
        }
        root.children.push_back(std::move(devices));
    }
    if (error != KeyringError::kNone) return error;
    uint8_t signature[16];
    if (!Signature(root, s.key, signature)) return KeyringError::kCryptoFailed;
    root.attributes.emplace_back("Signature", Base64(signature, sizeof signature));
    text->assign("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
    Serialise(root, 0, text);
    return KeyringError::kNone;
}

}  // namespace qel::secure
