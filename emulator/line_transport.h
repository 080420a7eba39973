// The stream under one line, server side: a listening Unix-domain socket
// (posix) or a named pipe (win32) carrying a virtual line, serving one
// connection at a time (a second client is refused while one is connected);
// or a pseudo terminal with modem lines (posix), whose bytes are raw and whose
// RTS and DTR edges come as kLines. Pump() is called by one thread; Wake() from any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bcuemu::detail {

class LineTransport {
public:
    struct Event {
        enum class Kind : uint8_t { kNothing, kConnected, kData, kLines, kDisconnected } kind = Kind::kNothing;
        size_t count = 0;  // kData, kLines: bytes placed in the buffer (kLines: QelModemChange records)
    };

    static std::unique_ptr<LineTransport> Create();
    // A pseudo terminal with modem lines; nullptr where there is none.
    static std::unique_ptr<LineTransport> CreatePty();
    virtual ~LineTransport() = default;

    // Starts listening on `endpoint`; empty picks a free short name. On success
    // portName is what the driver opens.
    virtual bool Listen(const std::string& endpoint, std::string& portName, std::string& error) = 0;
    // Waits up to timeoutUs for a connection, data, a disconnect or Wake().
    // Microseconds: the BCU's outputs fall due between whole milliseconds.
    virtual Event Pump(int64_t timeoutUs, uint8_t* buffer, size_t capacity) = 0;
    // Writes all bytes to the connected client; false when there is none or it went away.
    virtual bool Write(const uint8_t* bytes, size_t count) = 0;
    // Whether bytes travel raw, the modem lines beside them (a terminal), or in
    // RFC 2217 framing with the lines inside the stream (a virtual line).
    virtual bool Raw() const { return false; }
    // The BCU's CTS on a raw line.
    virtual void SetCts(bool) {}
    // Makes a Pump() in progress return.
    virtual void Wake() = 0;
    // Drops the client, if any, and stops listening.
    virtual void Close() = 0;
};

// A short endpoint name that no other emulated line of any process uses
// right now (posix: a socket path of at most 11 characters; win32: a pipe
// name with two characters after \\.\pipe\). Taken names are skipped, but a
// name can still be taken between this call and Listen(); Serve("") retries.
std::string FreeEndpointName();

}  // namespace bcuemu::detail

namespace bcuemu::detail {

// RFC 2217 on TCP, as a network serial server offers it, and for a relay
// that stands between the BCU and a port the test cannot hold itself (a
// pseudo terminal under Wine). Listens on
// 127.0.0.1 only: the endpoint is a port number, empty or "0" picks a free
// one; portName is "127.0.0.1:PORT". nullptr where there is none.
std::unique_ptr<LineTransport> CreateTcpTransport();

}  // namespace bcuemu::detail
