#include "port_map/port_map.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "host/log.h"
#include "platform/platform.h"

namespace qel {
namespace {

constexpr size_t kNameMax = 11;          // what the host's record holds
constexpr size_t kMapMax = 64 * 1024;    // a map is a few lines; more is not a map
constexpr size_t kPathSize = 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool SameName(const char* a, size_t n, const char* b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// A target the driver can open: a device path, or one of the schemes.
bool TargetUnderstood(const char* target, size_t n) {
    if (n >= 5 && std::strncmp(target, "ft12:", 5) == 0) {
        Ft12Target ft12;
        return ParseFt12Target(target, n, &ft12);
    }
    const char* scheme = static_cast<const char*>(std::memchr(target, ':', n));
    if (scheme == nullptr || n - static_cast<size_t>(scheme - target) < 3 || std::strncmp(scheme, "://", 3) != 0)
        return true;  // a path: the open says whether it exists
    const size_t schemeLength = static_cast<size_t>(scheme - target);
    const char* rest = scheme + 3;
    const size_t restLength = n - schemeLength - 3;
    auto isScheme = [&](const char* s) {
        return schemeLength == std::strlen(s) && std::strncmp(target, s, schemeLength) == 0;
    };
    if (isScheme("knxrouting")) {
        RoutingTarget routing;
        return ParseRoutingTarget(target, n, &routing);
    }
    if (restLength == 0 || IsBlank(rest[0])) return false;
    if (isScheme("rfc2217")) {
        const char* colon = static_cast<const char*>(std::memchr(rest, ':', restLength));
        return colon != nullptr && colon != rest && colon + 1 < rest + restLength;
    }
    TunnelTarget tunnel;
    return isScheme("knxip") && ParseTunnelTarget(target, n, &tunnel);
}

// An IPv4 literal, a.b.c.d, four numbers 0..255 without a sign.
bool ParseAddress(const char* begin, const char* end, uint32_t* out) {
    uint32_t address = 0;
    const char* c = begin;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (c == end || *c != '.') return false;
            ++c;
        }
        const char* digits = c;
        unsigned value = 0;
        while (c < end && std::isdigit(static_cast<unsigned char>(*c)) && c - digits < 3)
            value = value * 10 + static_cast<unsigned>(*c++ - '0');
        if (c == digits || value > 255) return false;
        address = address << 8 | value;
    }
    if (c != end) return false;
    *out = address;
    return true;
}

// Takes "?cemi" or "?baud=N" from the end of [begin, *end); false when there is none.
bool TakeFt12Option(const char* begin, const char** end, Ft12Target* out) {
    const char* mark = nullptr;
    for (const char* c = *end; c > begin; --c) {
        if (c[-1] == '?') {
            mark = c - 1;
            break;
        }
    }
    if (mark == nullptr) return false;
    const auto length = static_cast<size_t>(*end - mark);
    if (length == 5 && std::strncmp(mark, "?cemi", 5) == 0) {
        out->cemi = true;
    } else if (length > 6 && length <= 13 && std::strncmp(mark, "?baud=", 6) == 0) {
        uint32_t baud = 0;
        for (const char* c = mark + 6; c < *end; ++c) {
            if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
            baud = baud * 10 + static_cast<uint32_t>(*c - '0');
        }
        if (baud == 0 || baud > 0xFFFFu) return false;  // the host's line settings hold 16 bits
        out->baud = baud;
    } else {
        return false;
    }
    *end = mark;
    return true;
}

}  // namespace

bool ParseTunnelTarget(const char* target, size_t n, TunnelTarget* out) {
    constexpr char kScheme[] = "knxip://";
    constexpr size_t kSchemeLength = sizeof kScheme - 1;
    if (n <= kSchemeLength || std::strncmp(target, kScheme, kSchemeLength) != 0) return false;
    const char* host = target + kSchemeLength;
    const char* end = target + n;
    // One option at most: over TCP the server always answers on the connection.
    auto option = [&](const char* text, size_t length) {
        if (static_cast<size_t>(end - host) <= length || std::strncmp(end - length, text, length) != 0) return false;
        end -= length;
        return true;
    };
    constexpr char kNat[] = "?nat";
    constexpr char kTcp[] = "?tcp";
    constexpr char kSecure[] = "?secure=";
    // A path may hold anything but a line's end: it runs from the option to the end.
    out->secure[0] = '\0';
    for (const char* c = host; c + sizeof kSecure - 1 < end; ++c) {
        if (std::strncmp(c, kSecure, sizeof kSecure - 1) != 0) continue;
        const char* path = c + sizeof kSecure - 1;
        if (static_cast<size_t>(end - path) >= sizeof out->secure) return false;
        std::memcpy(out->secure, path, static_cast<size_t>(end - path));
        out->secure[end - path] = '\0';
        end = c;
        break;
    }
    const bool secure = out->secure[0] != '\0';
    out->nat = !secure && option(kNat, sizeof kNat - 1);
    out->tcp = secure || (!out->nat && option(kTcp, sizeof kTcp - 1));
    const char* colon = static_cast<const char*>(std::memchr(host, ':', static_cast<size_t>(end - host)));
    const char* hostEnd = colon != nullptr ? colon : end;
    if (hostEnd == host || static_cast<size_t>(hostEnd - host) >= sizeof out->host) return false;
    for (const char* c = host; c < hostEnd; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '.' && *c != '-' && *c != '_') return false;
    }
    unsigned long port = 3671;
    if (colon != nullptr) {
        if (colon + 1 == end || end - colon > 6) return false;
        port = 0;
        for (const char* c = colon + 1; c < end; ++c) {
            if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
            port = port * 10 + static_cast<unsigned long>(*c - '0');
        }
        if (port == 0 || port > 65535) return false;
    }
    std::memcpy(out->host, host, static_cast<size_t>(hostEnd - host));
    out->host[hostEnd - host] = '\0';
    out->port = static_cast<uint16_t>(port);
    return true;
}

bool ParseRoutingTarget(const char* target, size_t n, RoutingTarget* out) {
    constexpr char kScheme[] = "knxrouting://";
    constexpr size_t kSchemeLength = sizeof kScheme - 1;
    if (n < kSchemeLength || std::strncmp(target, kScheme, kSchemeLength) != 0) return false;
    const char* begin = target + kSchemeLength;
    const char* end = target + n;
    out->group = 0xE000170C;  // 224.0.23.12
    out->port = 3671;
    out->interface = 0;
    out->secure[0] = '\0';
    constexpr char kSecure[] = "secure=";
    constexpr size_t kSecureLength = sizeof kSecure - 1;
    bool secureAfterInterface = false;
    for (const char* c = begin; c + 1 + kSecureLength < end; ++c) {
        if ((*c != '?' && *c != '&') || std::strncmp(c + 1, kSecure, kSecureLength) != 0) continue;
        const char* path = c + 1 + kSecureLength;
        if (static_cast<size_t>(end - path) >= sizeof out->secure) return false;
        std::memcpy(out->secure, path, static_cast<size_t>(end - path));
        out->secure[end - path] = '\0';
        secureAfterInterface = *c == '&';
        end = c;
        break;
    }
    constexpr char kInterface[] = "?if=";
    constexpr size_t kInterfaceLength = sizeof kInterface - 1;
    const char* mark = static_cast<const char*>(std::memchr(begin, '?', static_cast<size_t>(end - begin)));
    if (mark != nullptr) {
        if (static_cast<size_t>(end - mark) <= kInterfaceLength || std::strncmp(mark, kInterface, kInterfaceLength) != 0 ||
            !ParseAddress(mark + kInterfaceLength, end, &out->interface))
            return false;
        end = mark;
    } else if (secureAfterInterface) {
        return false;
    }
    const char* colon = static_cast<const char*>(std::memchr(begin, ':', static_cast<size_t>(end - begin)));
    const char* groupEnd = colon != nullptr ? colon : end;
    if (groupEnd != begin) {
        if (!ParseAddress(begin, groupEnd, &out->group) || (out->group >> 28) != 0xE) return false;  // 224.0.0.0/4
    }
    if (colon != nullptr) {
        if (colon + 1 == end || end - colon > 6) return false;
        unsigned long port = 0;
        for (const char* c = colon + 1; c < end; ++c) {
            if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
            port = port * 10 + static_cast<unsigned long>(*c - '0');
        }
        if (port == 0 || port > 65535) return false;
        out->port = static_cast<uint16_t>(port);
    }
    return true;
}

bool ParseFt12Target(const char* target, size_t n, Ft12Target* out) {
    constexpr char kScheme[] = "ft12:";
    constexpr size_t kSchemeLength = sizeof kScheme - 1;
    if (n <= kSchemeLength || std::strncmp(target, kScheme, kSchemeLength) != 0) return false;
    const char* device = target + kSchemeLength;
    const char* end = target + n;
    out->cemi = false;
    out->baud = 19200;
    while (std::memchr(device, '?', static_cast<size_t>(end - device)) != nullptr) {
        if (!TakeFt12Option(device, &end, out)) return false;
    }
    if (end == device || static_cast<size_t>(end - device) >= sizeof out->device) return false;
    std::memcpy(out->device, device, static_cast<size_t>(end - device));
    out->device[end - device] = '\0';
    return true;
}

MapLookup LookUpInPortMap(const char* text, const char* name, char* target, size_t size, PortMapFault* fault) {
    MapLookup result = MapLookup::kNotMapped;
    // Names seen so far, to refuse one mapped twice: kept as offsets into text.
    struct Seen {
        size_t at, length;
    };
    Seen seen[256];
    size_t seenCount = 0;
    unsigned lineNumber = 0;
    for (const char* line = text; *line != '\0';) {
        ++lineNumber;
        const char* end = std::strchr(line, '\n');
        if (end == nullptr) end = line + std::strlen(line);
        const char* next = *end == '\n' ? end + 1 : end;
        const char* comment = static_cast<const char*>(std::memchr(line, '#', static_cast<size_t>(end - line)));
        if (comment != nullptr) end = comment;
        while (line < end && IsBlank(*line)) ++line;
        while (end > line && IsBlank(end[-1])) --end;
        if (line == end) {
            line = next;
            continue;
        }
        auto broken = [&](const char* why) {
            fault->line = lineNumber;
            fault->why = why;
            return MapLookup::kBroken;
        };
        const char* equals = static_cast<const char*>(std::memchr(line, '=', static_cast<size_t>(end - line)));
        if (equals == nullptr) return broken("not NAME = TARGET");
        const char* nameEnd = equals;
        while (nameEnd > line && IsBlank(nameEnd[-1])) --nameEnd;
        const char* value = equals + 1;
        while (value < end && IsBlank(*value)) ++value;
        const size_t nameLength = static_cast<size_t>(nameEnd - line);
        const size_t valueLength = static_cast<size_t>(end - value);
        if (nameLength == 0 || valueLength == 0) return broken("not NAME = TARGET");
        if (nameLength > kNameMax) return broken("name longer than 11 characters");
        for (const char* c = line; c < nameEnd; ++c) {
            if (IsBlank(*c) || *c == '=') return broken("not NAME = TARGET");
        }
        if (!TargetUnderstood(value, valueLength)) return broken("target not understood");
        for (size_t i = 0; i < seenCount; ++i) {
            if (seen[i].length != nameLength) continue;
            char earlier[kNameMax + 1];
            std::memcpy(earlier, text + seen[i].at, nameLength);
            earlier[nameLength] = '\0';
            if (SameName(line, nameLength, earlier)) return broken("name mapped twice");
        }
        if (seenCount == sizeof seen / sizeof seen[0]) return broken("too many names");
        seen[seenCount++] = {static_cast<size_t>(line - text), nameLength};
        if (result == MapLookup::kNotMapped && SameName(line, nameLength, name)) {
            if (valueLength >= size) return broken("target too long");
            std::memcpy(target, value, valueLength);
            target[valueLength] = '\0';
            result = MapLookup::kMapped;
        }
        line = next;
    }
    return result;
}

MapLookup LookUpPort(const char* name, char* target, size_t size) {
    char path[kPathSize];
    const char* named = std::getenv(kPortMapVariable);
    if (named != nullptr && named[0] != '\0') {
        if (std::strlen(named) >= sizeof path) {
            QEL_LOG(text::kPortMapUnreadable, named);
            return MapLookup::kBroken;
        }
        std::strcpy(path, named);
    } else {
        if (!platform::Sys().libraryPath(path, sizeof path)) return MapLookup::kNotMapped;
        char* slash = std::strrchr(path, '/');
        char* backslash = std::strrchr(path, '\\');
        if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
        const size_t dirLength = slash != nullptr ? static_cast<size_t>(slash - path + 1) : 0;
        if (dirLength + sizeof kPortMapFile > sizeof path) return MapLookup::kNotMapped;
        std::memcpy(path + dirLength, kPortMapFile, sizeof kPortMapFile);
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        // Beside the library the map is optional; a file named on purpose is not.
        if (named != nullptr && named[0] != '\0') {
            QEL_LOG(text::kPortMapUnreadable, path);
            return MapLookup::kBroken;
        }
        return MapLookup::kNotMapped;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kMapMax + 1]);
    char* text = buffer.get();
    if (text == nullptr) {
        std::fclose(file);
        QEL_LOG(text::kPortMapUnreadable, path);
        return MapLookup::kBroken;
    }
    const size_t length = std::fread(text, 1, kMapMax + 1, file);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed || length > kMapMax || std::memchr(text, '\0', length) != nullptr) {
        QEL_LOG(text::kPortMapUnreadable, path);
        return MapLookup::kBroken;
    }
    text[length] = '\0';
    PortMapFault fault;
    const MapLookup result = LookUpInPortMap(text, name, target, size, &fault);
    if (result == MapLookup::kBroken) QEL_LOG(text::kPortMapBroken, path, fault.line, fault.why);
    return result;
}

}  // namespace qel
