// The tunnelling server's TCP side behind the emulator's OS seam
// (posix/tcp_sockets.cpp, win32/tcp_sockets.cpp): a listening socket and the
// connections it accepted, or made as a client (for tests), each known by a
// number from 1. Wait() is called by one thread; Send(), Close() and Wake()
// from any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "knxnet/codec.h"

namespace bcuemu::detail {

class TcpSockets {
public:
    struct Event {
        enum class Kind : uint8_t { kNothing, kAccepted, kData, kClosed } kind = Kind::kNothing;
        uint32_t connection = 0;
        size_t count = 0;       // kData: bytes placed in the buffer
        knxnet::Endpoint peer;  // kAccepted: the client
    };

    // nullptr with `error` set when the platform's sockets cannot start.
    static std::unique_ptr<TcpSockets> Create(std::string& error);
    virtual ~TcpSockets() = default;

    // Listens on `at`, which names a port (0 is refused: the UDP side picked it).
    virtual bool Listen(const knxnet::Endpoint& at, std::string& error) = 0;
    // A connection of a client to `to`; 0 with `error` set.
    virtual uint32_t Connect(const knxnet::Endpoint& to, std::string& error) = 0;
    // Waits up to timeoutMs for one connection, data, end or Wake().
    virtual Event Wait(int timeoutMs, uint8_t* buffer, size_t capacity) = 0;
    // Sends every byte without blocking; a connection that cannot take them
    // all is closed (false): its client reads no more.
    virtual bool Send(uint32_t connection, const std::vector<uint8_t>& bytes) = 0;
    // Ends a connection, unread bytes and all; Wait() reports it kClosed.
    virtual void Close(uint32_t connection) = 0;
    // Makes a Wait() in progress return.
    virtual void Wake() = 0;
};

}  // namespace bcuemu::detail
