// A pseudo terminal whose device side the driver opens as a serial port,
// for tests; where the platform has none, open() gives nullptr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qel::test {

// The device side's line settings as the terminal driver holds them.
struct TerminalSettings {
    uint32_t baud = 0;
    int dataBits = 0;
    char parity = '?';          // N O E M S
    int stopBits = 0;           // 1 or 2
    bool parityCheck = false;   // INPCK
    bool ctsFlow = false;       // CRTSCTS
    bool xonOutput = false;     // IXON
    bool xoffInput = false;     // IXOFF
    bool raw = false;           // no line editing, echo or output processing
};

class PseudoTerminal {
public:
    static std::unique_ptr<PseudoTerminal> open();
    virtual ~PseudoTerminal() = default;

    // The path to open the device side by.
    virtual const std::string& devicePath() const = 0;
    virtual TerminalSettings settings() const = 0;
    // The far end: bytes the port wrote, bytes for the port to read.
    virtual std::vector<uint8_t> readFar(size_t n, uint32_t timeoutMs) = 0;
    virtual bool writeFar(const std::vector<uint8_t>& bytes) = 0;
    // Whether another process could open the device through the platform now.
    virtual bool openableFromOtherProcess() const = 0;
};

}  // namespace qel::test
