// The far end of a virtual line, played from fuzz bytes: a hostile RFC 2217
// server. It accepts the com-port option, answers every SET-CONTROL (after a
// reaction taken from the input, as a BCU reacts to RTS before the answer),
// and whenever the driver waits on the line it sends the next step of the
// input: modem-state notifications, data bytes, raw stream bytes, option
// offers. Steps are made only when the driver blocks on the stream, so a
// poll without waiting never eats the input; once the input is spent the
// stream reports itself closed, and every run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "platform/virtual_line/telnet_codec.h"
#include "platform/virtual_line/virtual_port.h"

namespace qel::fuzz {

// Reads the fuzz input front to back.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class FarSide {
public:
    explicit FarSide(FuzzInput& input);
    // The stream to open a virtual port on; the port closes it, this object keeps it.
    platform::ByteStream* Stream() { return &stream_.base; }
    bool Closed() const { return closed_; }
    uint32_t ControlsAnswered() const { return controlsAnswered_; }

private:
    struct Channel {
        platform::ByteStream base;
        FarSide* side;
    };
    static bool WriteAll(platform::ByteStream* stream, const uint8_t* bytes, uint32_t n, uint32_t timeoutMs);
    static int32_t Read(platform::ByteStream* stream, uint8_t* out, uint32_t n, uint32_t timeoutMs);
    static void Close(platform::ByteStream* stream);
    static platform::StreamWait AwaitInput(platform::ByteStream* stream, platform::Wake* wake, uint32_t timeoutMs);

    void FromDriver(const telnet::Item& item);
    void Step();
    void Notify(uint8_t modemState);
    void Data(uint8_t byte);
    void Command(const uint8_t* payload, size_t length);

    FuzzInput& input_;
    Channel stream_;
    telnet::Decoder decoder_;
    std::deque<uint8_t> toDriver_;
    bool closed_ = false;
    uint32_t controlsAnswered_ = 0;
};

}  // namespace qel::fuzz
