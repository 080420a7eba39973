// KNXnet/IP frames out of a TCP byte stream, where nothing but each frame's
// header (its total length) marks where the next begins. A header that
// cannot start a frame leaves no way back into step: the connection must end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace bcuemu::knxnet {

class StreamFramer {
public:
    void Push(const uint8_t* bytes, size_t count);
    // The next whole frame, header included; nullopt until its last byte
    // came, and for good once Broken().
    std::optional<std::vector<uint8_t>> Next();
    bool Broken() const { return broken_; }

private:
    std::vector<uint8_t> pending_;
    bool broken_ = false;
};

}  // namespace bcuemu::knxnet
