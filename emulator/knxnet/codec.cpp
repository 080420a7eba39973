#include "knxnet/codec.h"

namespace bcuemu::knxnet {

namespace {

constexpr uint8_t kHpaiSize = 8;
constexpr uint8_t kHpaiUdp = 0x01;
constexpr uint8_t kHpaiTcp = 0x02;
constexpr uint8_t kCriSize = 4;
constexpr uint8_t kConnectionHeaderSize = 4;
constexpr uint8_t kDeviceInfoDib = 0x01;
constexpr uint8_t kDeviceInfoDibSize = 54;
constexpr uint8_t kFamiliesDib = 0x02;
constexpr uint8_t kMediumTp1 = 0x02;
constexpr uint8_t kNameSize = 30;
constexpr size_t kMaxTpdu = 16;  // a standard frame: length field up to 15

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutHpai(std::vector<uint8_t>& out, const Endpoint& endpoint) {
    out.push_back(kHpaiSize);
    out.push_back(endpoint.tcp ? kHpaiTcp : kHpaiUdp);
    Put16(out, static_cast<uint16_t>(endpoint.address >> 16));
    Put16(out, static_cast<uint16_t>(endpoint.address));
    Put16(out, endpoint.port);
}

// Reads fields off a datagram; every read checks the length.
class Reader {
public:
    Reader(const uint8_t* bytes, size_t count) : bytes_(bytes), count_(count) {}

    bool Byte(uint8_t& value) {
        if (pos_ >= count_) return false;
        value = bytes_[pos_++];
        return true;
    }
    bool Word(uint16_t& value) {
        uint8_t high = 0, low = 0;
        if (!Byte(high) || !Byte(low)) return false;
        value = static_cast<uint16_t>((high << 8) | low);
        return true;
    }
    bool Hpai(Endpoint& endpoint) {
        uint8_t size = 0, protocol = 0;
        uint16_t high = 0, low = 0;
        if (!Byte(size) || size != kHpaiSize || !Byte(protocol)) return false;
        if (protocol != kHpaiUdp && protocol != kHpaiTcp) return false;
        if (!Word(high) || !Word(low) || !Word(endpoint.port)) return false;
        endpoint.tcp = protocol == kHpaiTcp;
        endpoint.address = (static_cast<uint32_t>(high) << 16) | low;
        return true;
    }
    std::vector<uint8_t> Rest() {
        std::vector<uint8_t> rest(bytes_ + pos_, bytes_ + count_);
        pos_ = count_;
        return rest;
    }
    bool AtEnd() const { return pos_ == count_; }

private:
    const uint8_t* bytes_;
    size_t count_;
    size_t pos_ = 0;
};

std::optional<unsigned> Number(const std::string& text, size_t& pos, unsigned max) {
    const size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 5) {
        value = value * 10 + static_cast<unsigned>(text[pos] - '0');
        ++pos;
    }
    if (pos == start || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::vector<uint8_t> Encode(const Frame& frame) {
    std::vector<uint8_t> out = {kHeaderSize, kProtocolVersion};
    Put16(out, static_cast<uint16_t>(frame.service));
    Put16(out, 0);  // total length, set below
    switch (frame.service) {
    case Service::kSearchRequest:
    case Service::kDescriptionRequest: PutHpai(out, frame.control); break;
    case Service::kSearchRequestExtended:
    case Service::kSearchResponse:
    case Service::kSearchResponseExtended:
        PutHpai(out, frame.control);
        out.insert(out.end(), frame.body.begin(), frame.body.end());
        break;
    case Service::kDescriptionResponse: out.insert(out.end(), frame.body.begin(), frame.body.end()); break;
    case Service::kConnectRequest:
        PutHpai(out, frame.control);
        PutHpai(out, frame.data);
        out.insert(out.end(), {kCriSize, frame.connectionType, frame.layer, 0x00});
        break;
    case Service::kConnectResponse:
        out.push_back(frame.channel);
        out.push_back(frame.status);
        if (frame.status == kNoError) {
            PutHpai(out, frame.data);
            out.insert(out.end(), {kCriSize, frame.connectionType});
            Put16(out, frame.individualAddress);
        }
        break;
    case Service::kConnectionStateRequest:
    case Service::kDisconnectRequest:
        out.push_back(frame.channel);
        out.push_back(0x00);
        PutHpai(out, frame.control);
        break;
    case Service::kConnectionStateResponse:
    case Service::kDisconnectResponse:
        out.push_back(frame.channel);
        out.push_back(frame.status);
        break;
    case Service::kTunnellingRequest:
        out.insert(out.end(), {kConnectionHeaderSize, frame.channel, frame.sequence, 0x00});
        out.insert(out.end(), frame.body.begin(), frame.body.end());
        break;
    case Service::kTunnellingAck:
        out.insert(out.end(), {kConnectionHeaderSize, frame.channel, frame.sequence, frame.status});
        break;
    }
    out[4] = static_cast<uint8_t>(out.size() >> 8);
    out[5] = static_cast<uint8_t>(out.size());
    return out;
}

std::optional<Frame> Decode(const uint8_t* bytes, size_t count) {
    Reader in(bytes, count);
    uint8_t headerSize = 0, version = 0;
    uint16_t service = 0, total = 0;
    if (!in.Byte(headerSize) || headerSize != kHeaderSize || !in.Byte(version) || version != kProtocolVersion ||
        !in.Word(service) || !in.Word(total) || total != count) {
        return std::nullopt;
    }
    Frame f;
    f.service = static_cast<Service>(service);
    uint8_t reserved = 0, size = 0;
    switch (f.service) {
    case Service::kSearchRequest:
    case Service::kDescriptionRequest:
        if (!in.Hpai(f.control)) return std::nullopt;
        break;
    case Service::kSearchRequestExtended:
    case Service::kSearchResponse:
    case Service::kSearchResponseExtended:
        if (!in.Hpai(f.control)) return std::nullopt;
        f.body = in.Rest();
        break;
    case Service::kDescriptionResponse: f.body = in.Rest(); break;
    case Service::kConnectRequest:
        if (!in.Hpai(f.control) || !in.Hpai(f.data) || !in.Byte(size) || size < 2 || !in.Byte(f.connectionType))
            return std::nullopt;
        // A tunnel's CRI has the layer and a reserved byte; other types may carry nothing more.
        f.layer = 0;
        if (size >= 3 && !in.Byte(f.layer)) return std::nullopt;
        for (uint8_t i = 3; i < size; ++i) {
            if (!in.Byte(reserved)) return std::nullopt;
        }
        break;
    case Service::kConnectResponse:
        if (!in.Byte(f.channel) || !in.Byte(f.status)) return std::nullopt;
        if (f.status == kNoError) {
            if (!in.Hpai(f.data) || !in.Byte(size) || size != kCriSize || !in.Byte(f.connectionType) ||
                !in.Word(f.individualAddress))
                return std::nullopt;
        } else {
            in.Rest();  // some servers send an HPAI and CRD with an error; they mean nothing
        }
        break;
    case Service::kConnectionStateRequest:
    case Service::kDisconnectRequest:
        if (!in.Byte(f.channel) || !in.Byte(reserved) || !in.Hpai(f.control)) return std::nullopt;
        break;
    case Service::kConnectionStateResponse:
    case Service::kDisconnectResponse:
        if (!in.Byte(f.channel) || !in.Byte(f.status)) return std::nullopt;
        break;
    case Service::kTunnellingRequest:
        if (!in.Byte(size) || size != kConnectionHeaderSize || !in.Byte(f.channel) || !in.Byte(f.sequence) ||
            !in.Byte(reserved))
            return std::nullopt;
        f.body = in.Rest();
        break;
    case Service::kTunnellingAck:
        if (!in.Byte(size) || size != kConnectionHeaderSize || !in.Byte(f.channel) || !in.Byte(f.sequence) ||
            !in.Byte(f.status))
            return std::nullopt;
        break;
    default: return std::nullopt;
    }
    if (!in.AtEnd()) return std::nullopt;
    return f;
}

std::vector<uint8_t> DescriptionDibs(const DeviceDescription& device) {
    std::vector<uint8_t> out = {kDeviceInfoDibSize, kDeviceInfoDib, kMediumTp1, 0x00};  // not in programming mode
    Put16(out, device.individualAddress);
    Put16(out, 0x0000);  // project installation
    out.insert(out.end(), device.serial.begin(), device.serial.end());
    Put16(out, static_cast<uint16_t>(device.multicast >> 16));
    Put16(out, static_cast<uint16_t>(device.multicast));
    out.insert(out.end(), device.mac.begin(), device.mac.end());
    for (size_t i = 0; i < kNameSize; ++i) {
        out.push_back(i < device.name.size() && i + 1 < kNameSize ? static_cast<uint8_t>(device.name[i]) : 0);
    }
    // Service families with their versions: core 2 (TCP), device management 1, tunnelling 2.
    std::vector<uint8_t> families = {0x02, 0x02, 0x03, 0x01, 0x04, 0x02};
    if (device.routing) families.insert(families.end(), {0x05, 0x01});
    out.push_back(static_cast<uint8_t>(families.size() + 2));
    out.push_back(kFamiliesDib);
    out.insert(out.end(), families.begin(), families.end());
    return out;
}

std::vector<uint8_t> EncodeCemi(const CemiFrame& frame) {
    const Telegram& t = frame.telegram;
    std::vector<uint8_t> out = {frame.messageCode, 0x00};
    out.push_back(static_cast<uint8_t>((t.control & 0xFC) | (frame.confirmError ? 0x01 : 0x00)));
    out.push_back(static_cast<uint8_t>((t.group ? 0x80 : 0x00) | 0x60));  // hop count 6
    Put16(out, t.source);
    Put16(out, t.destination);
    out.push_back(t.LengthField());
    out.insert(out.end(), t.tpdu.begin(), t.tpdu.end());
    return out;
}

std::optional<CemiFrame> DecodeCemi(const uint8_t* bytes, size_t count) {
    Reader in(bytes, count);
    CemiFrame f;
    uint8_t extra = 0, control1 = 0, control2 = 0, length = 0, skipped = 0;
    if (!in.Byte(f.messageCode) || !in.Byte(extra)) return std::nullopt;
    if (f.messageCode != kLDataReq && f.messageCode != kLDataCon && f.messageCode != kLDataInd) return std::nullopt;
    for (uint8_t i = 0; i < extra; ++i) {
        if (!in.Byte(skipped)) return std::nullopt;
    }
    Telegram& t = f.telegram;
    if (!in.Byte(control1) || !in.Byte(control2) || !in.Word(t.source) || !in.Word(t.destination) || !in.Byte(length))
        return std::nullopt;
    if ((control1 & 0x80) == 0 || (control2 & 0x0F) != 0) return std::nullopt;  // extended frames: not on this bus
    t.control = static_cast<uint8_t>(control1 & 0xFC);
    t.group = (control2 & 0x80) != 0;
    f.confirmError = f.messageCode == kLDataCon && (control1 & 0x01) != 0;
    t.tpdu = in.Rest();
    if (t.tpdu.empty() || t.tpdu.size() > kMaxTpdu || t.tpdu.size() != static_cast<size_t>(length) + 1)
        return std::nullopt;
    return f;
}

std::string EndpointText(const Endpoint& endpoint) {
    return std::to_string(endpoint.address >> 24) + "." + std::to_string((endpoint.address >> 16) & 0xFF) + "." +
           std::to_string((endpoint.address >> 8) & 0xFF) + "." + std::to_string(endpoint.address & 0xFF) + ":" +
           std::to_string(endpoint.port);
}

std::optional<Endpoint> ParseListenEndpoint(const std::string& text, std::string& error, bool anyAddress) {
    Endpoint e{0x7F000001, kDefaultPort};
    const size_t colon = text.rfind(':');
    const std::string host = text.substr(0, colon);
    if (colon != std::string::npos) {
        size_t pos = colon + 1;
        const auto port = Number(text, pos, 65535);
        if (!port || pos != text.size()) {
            error = "'" + text + "': the port must be a number from 0 to 65535";
            return std::nullopt;
        }
        e.port = static_cast<uint16_t>(*port);
    }
    if (!host.empty() && host != "localhost") {
        size_t pos = 0;
        uint32_t address = 0;
        for (int i = 0; i < 4; ++i) {
            if (i > 0 && (pos >= host.size() || host[pos++] != '.')) pos = std::string::npos;
            const auto part = pos == std::string::npos ? std::nullopt : Number(host, pos, 255);
            if (!part) {
                error = "'" + host + "' is not an IPv4 address (a.b.c.d) or localhost";
                return std::nullopt;
            }
            address = (address << 8) | *part;
        }
        if (pos != host.size()) {
            error = "'" + host + "' is not an IPv4 address (a.b.c.d) or localhost";
            return std::nullopt;
        }
        if (address >= 0xE0000000 && address < 0xF0000000) {
            error = host + " is a multicast address; the tunnelling server listens on loopback only (127.x.x.x)";
            return std::nullopt;
        }
        if (anyAddress && address != 0 && address != 0xFFFFFFFF && address < 0xE0000000) {
            e.address = address;
            return e;
        }
        if ((address >> 24) != 127) {
            error = host + " is not a loopback address; the tunnelling server listens on loopback only (127.x.x.x)";
            return std::nullopt;
        }
        e.address = address;
    }
    return e;
}

}  // namespace bcuemu::knxnet
