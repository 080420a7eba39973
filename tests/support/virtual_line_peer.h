// The far end of a virtual serial line, for tests: an RFC 2217 server on a
// Unix-domain socket (posix) or a named pipe (win32), run on its own thread.
// It answers every com-port command as a server does, records what arrived,
// and sends data and modem-state changes on request.
//
// It stays apart from the emulator's server (emulator/line_session.cpp) on
// purpose: it is a plain far end that the port tests drive byte by byte,
// independent of the BCU emulator, so that a fault in either one cannot hide
// the same fault in the driver's virtual line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/virtual_line/telnet_codec.h"

namespace qel::test {

// The transport: one listening endpoint that takes a single client.
class PeerEndpoint {
public:
    virtual ~PeerEndpoint() = default;
    // The name to open the line by (openPort).
    virtual const std::string& portName() const = 0;
    // Waits for a client; true once one is connected. Refuses later clients.
    virtual bool acceptClient(uint32_t timeoutMs) = 0;
    // >0 bytes read, 0 nothing within timeoutMs, -1 the client is gone.
    virtual int32_t read(uint8_t* buffer, uint32_t n, uint32_t timeoutMs) = 0;
    virtual bool write(const uint8_t* bytes, uint32_t n) = 0;
};

// Made by the OS-specific half (support/posix, support/win32).
std::unique_ptr<PeerEndpoint> makePeerEndpoint();

class VirtualLinePeer {
public:
    struct Behaviour {
        bool acceptComPort = true;   // false: answer DONT to the com-port option
        bool ctsFollowsRts = false;  // report CTS = RTS before answering each SET-CONTROL
    };
    struct Command {
        uint8_t code;                // client command (SET-BAUDRATE...)
        std::vector<uint8_t> value;  // the bytes after the command
    };

    explicit VirtualLinePeer(Behaviour behaviour);
    VirtualLinePeer() : VirtualLinePeer(Behaviour{}) {}
    ~VirtualLinePeer();
    VirtualLinePeer(const VirtualLinePeer&) = delete;
    VirtualLinePeer& operator=(const VirtualLinePeer&) = delete;

    const std::string& portName() const { return endpoint_->portName(); }

    // What arrived so far.
    std::vector<uint8_t> data() const;
    std::vector<Command> commands() const;
    // Wait until at least n data bytes / commands arrived; false on time-out.
    bool waitForData(size_t n, uint32_t timeoutMs) const;
    bool waitForCommands(size_t n, uint32_t timeoutMs) const;
    // True once the client negotiated (or was refused).
    bool waitForNegotiation(uint32_t timeoutMs) const;

    // Sends data bytes, 0xFF doubled.
    void sendData(const std::vector<uint8_t>& bytes);
    // Sends NOTIFY-MODEMSTATE with CTS on or off.
    void sendCts(bool on);

private:
    void run();
    void handle(const telnet::Item& item);
    void sendRaw(const uint8_t* bytes, size_t n);

    Behaviour behaviour_;
    std::unique_ptr<PeerEndpoint> endpoint_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::mutex writeLock_;
    std::vector<uint8_t> data_;
    std::vector<Command> commands_;
    bool negotiated_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace qel::test
