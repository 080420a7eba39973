// One UDP socket of the tunnelling server or the router, behind the emulator's OS seam
// (posix/udp_socket.cpp, win32/udp_socket.cpp). Receive() is called by one
// thread; SendTo() from any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "knxnet/codec.h"

namespace bcuemu::detail {

class UdpSocket {
public:
    // nullptr with `error` set when the platform's sockets cannot start.
    static std::unique_ptr<UdpSocket> Create(std::string& error);
    virtual ~UdpSocket() = default;

    // Binds to `at` (port 0: a free one); `bound` is the endpoint taken.
    virtual bool Bind(const knxnet::Endpoint& at, knxnet::Endpoint& bound, std::string& error) = 0;
    // Routing: binds to a multicast group's port, shared with other sockets
    // of this host, and joins the group on the interface with the local
    // address `interface` (0: the system's choice).
    virtual bool JoinGroup(const knxnet::Endpoint& group, uint32_t interface, knxnet::Endpoint& bound,
                           std::string& error) = 0;
    // Routing: sends to groups on `interface` (0: the system's choice),
    // looped back to this host's members.
    virtual bool SendToGroups(uint32_t interface, std::string& error) = 0;
    // Waits up to timeoutMs for a datagram; returns its size (0: none, or an
    // empty one, which is how the owner wakes the receiver).
    virtual size_t Receive(int timeoutMs, uint8_t* buffer, size_t capacity, knxnet::Endpoint& from) = 0;
    virtual bool SendTo(const std::vector<uint8_t>& bytes, const knxnet::Endpoint& to) = 0;
};

}  // namespace bcuemu::detail
