// A raw byte stream to an emulated BCU's line, client side: the Unix-domain
// socket or named pipe that a driver would open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qel::test {

class EmulatorStream {
public:
    // nullptr when the line cannot be opened (nobody listens, or busy).
    static std::unique_ptr<EmulatorStream> open(const std::string& portName);
    virtual ~EmulatorStream() = default;
    virtual bool write(const uint8_t* bytes, size_t count) = 0;
    // >0 bytes read, 0 timed out, -1 closed by the other side.
    virtual int read(uint8_t* buffer, size_t capacity, int timeoutMs) = 0;
};

}  // namespace qel::test
