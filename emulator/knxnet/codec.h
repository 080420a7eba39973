// KNXnet/IP frames of the tunnelling server (the core services and
// tunnelling), and cEMI L_Data frames to and from the emulator's telegrams.
// Pure byte work, no OS: every decoder takes untrusted bytes and answers
// nullopt for anything malformed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bcuemu/telegram.h"

namespace bcuemu::knxnet {

constexpr uint16_t kDefaultPort = 3671;
constexpr uint8_t kHeaderSize = 0x06;
constexpr uint8_t kProtocolVersion = 0x10;

enum class Service : uint16_t {
    kSearchRequest = 0x0201,
    kSearchResponse = 0x0202,
    kDescriptionRequest = 0x0203,
    kDescriptionResponse = 0x0204,
    kConnectRequest = 0x0205,
    kConnectResponse = 0x0206,
    kConnectionStateRequest = 0x0207,
    kConnectionStateResponse = 0x0208,
    kDisconnectRequest = 0x0209,
    kDisconnectResponse = 0x020A,
    kSearchRequestExtended = 0x020B,
    kSearchResponseExtended = 0x020C,
    kTunnellingRequest = 0x0420,
    kTunnellingAck = 0x0421,
};

// Status codes of responses and acknowledgements.
constexpr uint8_t kNoError = 0x00;
constexpr uint8_t kConnectionIdError = 0x21;
constexpr uint8_t kConnectionTypeError = 0x22;
constexpr uint8_t kNoMoreConnections = 0x24;
constexpr uint8_t kTunnellingLayerError = 0x29;

constexpr uint8_t kTunnelConnection = 0x04;  // CRI connection type
constexpr uint8_t kTunnelLinkLayer = 0x02;   // CRI tunnelling layer

// cEMI message codes.
constexpr uint8_t kLDataReq = 0x11;
constexpr uint8_t kLDataCon = 0x2E;
constexpr uint8_t kLDataInd = 0x29;

// An IPv4 endpoint, address in host order (127.0.0.1 is 0x7F000001). An
// HPAI marked TCP names the connection it travels on (0.0.0.0:0).
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
    bool tcp = false;
    bool operator==(const Endpoint&) const = default;
};

// One KNXnet/IP frame. Only the fields of its service are meaningful.
struct Frame {
    Service service = Service::kConnectRequest;
    Endpoint control;           // HPAI: search, description, connect, connection state, disconnect requests;
                                // the server's in a search response
    Endpoint data;              // HPAI: connect request and response (data endpoint)
    uint8_t channel = 0;        // communication channel
    uint8_t status = kNoError;  // responses, tunnelling ack
    uint8_t sequence = 0;       // tunnelling request and ack
    uint8_t connectionType = kTunnelConnection;  // CRI / CRD
    uint8_t layer = kTunnelLinkLayer;            // CRI
    uint16_t individualAddress = 0;              // CRD of a tunnel connection
    std::vector<uint8_t> body;  // tunnelling request: the cEMI frame; description/search response: the DIBs;
                                // extended search request: its parameters
    bool operator==(const Frame&) const = default;
};

// Whole datagrams: header, then the service's body.
std::vector<uint8_t> Encode(const Frame& frame);
std::optional<Frame> Decode(const uint8_t* bytes, size_t count);
inline std::optional<Frame> Decode(const std::vector<uint8_t>& bytes) { return Decode(bytes.data(), bytes.size()); }

// What a description or search response tells about the server.
struct DeviceDescription {
    std::string name = "bcusim";
    uint16_t individualAddress = 0x11F0;                        // 1.1.240
    std::array<uint8_t, 6> serial{0x00, 0xFA, 0x00, 0x00, 0x00, 0x01};  // 00FA:00000001
    std::array<uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0xB0, 0x51};     // locally administered
    uint32_t multicast = 0xE000170C;                            // 224.0.23.12
    bool routing = false;                                       // listed as a family only when served
};

// The device information DIB (medium TP1) and the supported service
// families DIB (core and tunnelling version 2, device management 1).
std::vector<uint8_t> DescriptionDibs(const DeviceDescription& device);

// A cEMI L_Data frame: message code, no additional information, the
// telegram. Control field 1 is the telegram's TP1 control byte; control
// field 2 carries the address type and hop count 6.
struct CemiFrame {
    uint8_t messageCode = kLDataInd;
    Telegram telegram;
    bool confirmError = false;  // L_Data.con: the telegram did not go out
    bool operator==(const CemiFrame&) const = default;
};

std::vector<uint8_t> EncodeCemi(const CemiFrame& frame);
std::optional<CemiFrame> DecodeCemi(const uint8_t* bytes, size_t count);
inline std::optional<CemiFrame> DecodeCemi(const std::vector<uint8_t>& bytes) {
    return DecodeCemi(bytes.data(), bytes.size());
}

// "127.0.0.1:3671"
std::string EndpointText(const Endpoint& endpoint);
// "ADDRESS[:PORT]", "localhost" or ":PORT" (the address defaults to
// 127.0.0.1, the port to 3671; port 0 asks for a free one). Only loopback
// addresses are accepted, or with `anyAddress` (a test's own network
// namespace) any unicast one: anything else fails with `error` set.
std::optional<Endpoint> ParseListenEndpoint(const std::string& text, std::string& error, bool anyAddress = false);

}  // namespace bcuemu::knxnet
