// A raw RFC 2217 client for an emulated BCU's line, standing in for the
// driver in the emulator's own tests: it negotiates the com-port option,
// drives RTS and DTR (waiting for each answer, as the driver does), tracks
// CTS from the BCU's notifications, and plays the two byte handshakes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/emulator_stream.h"

namespace qel::test {

class EmulatorClient {
public:
    // Results of sendFrame, as the driver's attempt reports them.
    static constexpr int kFailed = 0, kAccepted = 1, kBcuWantsToSend = 9;

    // Connects and negotiates; ok() tells whether that worked.
    explicit EmulatorClient(const std::string& portName);
    bool ok() const { return negotiated_; }

    bool setRts(bool on);
    bool setDtr(bool on);
    bool cts() const { return cts_; }
    // Waits up to timeoutMs for CTS to read `on`.
    bool waitCts(bool on, int timeoutMs);
    bool writeByte(uint8_t b);
    std::optional<uint8_t> readByte(int timeoutMs);
    // Line settings as the driver sends them; true when each was answered.
    bool configure();

    // The driver's side of one byte as master: RTS up, CTS, byte, answer, RTS down.
    std::optional<uint8_t> masterByte(uint8_t b);
    // One attempt to send a frame: 1 accepted, 9 the BCU wants to send, 0 failed.
    int sendFrame(const std::vector<uint8_t>& frame);
    // The driver's side of one byte as slave: CTS, RTS up, byte, CTS down, RTS down, answer.
    std::optional<uint8_t> slaveByte(uint8_t b);
    // Receives one frame the BCU announces with CTS: header, then N bytes.
    std::optional<std::vector<uint8_t>> receiveFrame();

    // Closes the line.
    void close();

private:
    // Reads and decodes for up to timeoutMs; false when the line closed.
    bool pump(int timeoutMs);
    bool control(uint8_t value);
    bool waitFor(int timeoutMs, bool (*done)(const EmulatorClient&));

    std::unique_ptr<EmulatorStream> stream_;
    std::vector<uint8_t> undecoded_;
    bool negotiated_ = false;
    bool cts_ = false;
    int answers_ = 0;         // com-port answers seen
    int controlAnswers_ = 0;  // SET-CONTROL answers seen
    std::deque<uint8_t> data_;
    // Telnet decoding state.
    int state_ = 0;
    std::vector<uint8_t> sub_;
};

}  // namespace qel::test
