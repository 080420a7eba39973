// The BCU's end of one connection. On a virtual line (RFC 2217 server side):
// turns the driver's telnet stream into line events for the BCU's serial side
// and writes the BCU's outputs back in the same framing; answers each
// SET-CONTROL only after the BCU's reaction to it is on the way, so the driver
// reads the new CTS at once. On a raw line (a terminal): bytes as they are,
// RTS and DTR edges from Lines(), CTS through the transport.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/virtual_line/telnet_codec.h"

namespace bcuemu {
class Recorder;
}

namespace bcuemu::detail {

class SerialSide;
class LineTransport;

class LineSession {
public:
    LineSession(SerialSide& side, Recorder& recorder, LineTransport& transport);

    void Reset();  // a new connection
    void Feed(const uint8_t* data, size_t count, int64_t now);
    // RTS and DTR edges of a raw line (QelModemChange records).
    void Lines(const uint8_t* changes, size_t count, int64_t now);
    // Writes the outputs due by `now`.
    void Flush(int64_t now);

private:
    void ByteFromDriver(uint8_t b, int64_t now);
    void Option(const qel::telnet::Item& item);
    void Subnegotiation(const qel::telnet::Item& item, int64_t now);
    void Control(uint8_t value, int64_t now);
    void Answer(uint8_t command, const uint8_t* values, size_t count);
    void SendCts(bool on, bool record = true);
    void Write(const uint8_t* bytes, size_t count);

    SerialSide& side_;
    Recorder& recorder_;
    LineTransport& transport_;
    qel::telnet::Decoder decoder_;
};

}  // namespace bcuemu::detail
