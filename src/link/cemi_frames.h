// cEMI L_Data frames, turned to and from the BCU's frame images, so that the
// commands and the decoder serve every link alike: the KNXnet/IP tunnel and
// the FT1.2 line to a cEMI module carry them. Pure byte work: every parser
// takes untrusted bytes and refuses what is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::cemi {

// cEMI message codes.
constexpr uint8_t kLDataReq = 0x11;
constexpr uint8_t kLDataCon = 0x2E;
constexpr uint8_t kLDataInd = 0x29;

// The cEMI L_Data.req for a BCU data request image (header, 0x11, control,
// source, destination, routing and length, transport control, data); 0 when
// the image is no data request. `cemi` holds 25 bytes or more.
size_t CemiFromBcuRequest(const uint8_t* image, uint8_t* cemi);

// A cEMI L_Data frame as it reads to the commands.
struct CemiData {
    uint8_t code;           // kLDataInd, kLDataCon, ...
    uint8_t control1;
    uint8_t control2;
    uint16_t source;
    uint16_t destination;
    uint8_t length;         // octets after the transport control
    const uint8_t* tpdu;    // transport control first, length + 1 octets
};
bool ParseCemi(const uint8_t* cemi, size_t n, CemiData* out);
// A negative L_Data.con: control field 1's confirm bit.
constexpr bool IsNegativeConfirm(const CemiData& frame) { return (frame.control1 & 0x01) != 0; }

// The BCU's indication image (header first, 0x49, ...) of an L_Data.ind of a
// standard frame; 0 when it has none (extended frame, too long). Returns the
// image's length field.
uint8_t BcuIndicationFromCemi(const CemiData& frame, uint8_t* image, size_t size);

// A BCU header byte of a frame image: length, bit 5 set, odd parity over the low seven bits in bit 7.
uint8_t HeaderByte(uint8_t length);

}  // namespace qel::cemi
