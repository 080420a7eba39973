// KNXnet/IP frames of a tunnelling client (the core services and tunnelling)
// and the cEMI L_Data frames inside them, turned to and from the BCU's frame
// images, so that the commands and the decoder serve both links alike. Pure
// byte work: every parser takes untrusted bytes and refuses what is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/cemi_frames.h"

namespace qel::knxnet {

constexpr uint16_t kDefaultPort = 3671;
constexpr size_t kMaxDatagram = 512;

enum class Service : uint16_t {
    kConnectRequest = 0x0205,
    kConnectResponse = 0x0206,
    kConnectionStateRequest = 0x0207,
    kConnectionStateResponse = 0x0208,
    kDisconnectRequest = 0x0209,
    kDisconnectResponse = 0x020A,
    kTunnellingRequest = 0x0420,
    kTunnellingAck = 0x0421,
};

constexpr uint8_t kNoError = 0x00;
constexpr uint8_t kConnectionIdError = 0x21;
constexpr uint8_t kNoMoreConnections = 0x24;

// An IPv4 endpoint (host order); 0.0.0.0:0 asks the server to answer where
// the datagram came from (route-back, for clients behind NAT). Over TCP it is
// always 0.0.0.0:0, marked as TCP: the answer takes the connection.
struct Hpai {
    uint32_t address;
    uint16_t port;
    bool tcp = false;
};

// Each writes one datagram into `out` (kMaxDatagram bytes) and returns its length.
size_t ConnectRequest(uint8_t* out, const Hpai& control, const Hpai& data);
size_t ConnectionStateRequest(uint8_t* out, uint8_t channel, const Hpai& control);
size_t DisconnectRequest(uint8_t* out, uint8_t channel, const Hpai& control);
size_t DisconnectResponse(uint8_t* out, uint8_t channel, uint8_t status);
size_t TunnellingRequest(uint8_t* out, uint8_t channel, uint8_t sequence, const uint8_t* cemi, size_t length);
size_t TunnellingAck(uint8_t* out, uint8_t channel, uint8_t sequence, uint8_t status);

// The total length of the frame whose header is at `header` (its first
// kHeaderSize bytes); 0 for a header that cannot start a frame, which leaves
// a stream no way back into step.
constexpr size_t kHeaderSize = 6;
size_t FrameLength(const uint8_t* header);

// A datagram from the server, as far as a client reads it.
struct Received {
    Service service;
    uint8_t channel = 0;
    uint8_t sequence = 0;
    uint8_t status = 0;
    Hpai endpoint{};              // CONNECT_RESPONSE: data endpoint; DISCONNECT_REQUEST: control endpoint
    uint16_t individualAddress = 0;  // CONNECT_RESPONSE
    const uint8_t* cemi = nullptr;   // TUNNELLING_REQUEST
    size_t cemiLength = 0;
};
// False for anything that is not a well-formed frame of the services above.
bool ParseDatagram(const uint8_t* bytes, size_t n, Received* out);

// "E_NO_MORE_CONNECTIONS", ...; "E_0x.." for codes without a name.
const char* StatusName(uint8_t status, char* scratch, size_t size);

// The cEMI frames inside the tunnelling requests (link/cemi_frames.h).
using cemi::BcuIndicationFromCemi;
using cemi::CemiData;
using cemi::CemiFromBcuRequest;
using cemi::IsNegativeConfirm;
using cemi::kLDataCon;
using cemi::kLDataInd;
using cemi::kLDataReq;
using cemi::ParseCemi;

}  // namespace qel::knxnet
