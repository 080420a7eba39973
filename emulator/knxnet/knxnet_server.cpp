#include "bcuemu/knxnet_server.h"

#include <algorithm>
#include <map>

#include "knxnet/secure_sessions.h"
#include "knxnet/stream_framer.h"
#include "knxnet/tcp_sockets.h"
#include "knxnet/tunnel_server.h"
#include "knxnet/udp_socket.h"

namespace bcuemu {

KnxnetServer::KnxnetServer(Bus& bus, Printer note) : bus_(bus), note_(std::move(note)) {}

KnxnetServer::~KnxnetServer() { Stop(); }

int64_t KnxnetServer::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

bool KnxnetServer::Listen(const knxnet::Endpoint& at, knxnet::Endpoint& bound, std::string& error) {
    // A free UDP port may be taken on TCP: with port 0, another one is tried.
    for (int attempt = 0; attempt < 16; ++attempt) {
        auto udp = detail::UdpSocket::Create(error);
        auto tcp = detail::TcpSockets::Create(error);
        if (!udp || !tcp || !udp->Bind(at, bound, error)) return false;
        if (tcp->Listen(bound, error)) {
            socket_ = std::move(udp);
            tcp_ = std::move(tcp);
            return true;
        }
        if (at.port != 0) return false;
    }
    return false;
}

bool KnxnetServer::Start(const std::string& endpoint, std::string& error, bool anyAddress) {
    if (thread_.joinable()) {
        error = "the tunnelling server is already running";
        return false;
    }
    const std::optional<knxnet::Endpoint> at = knxnet::ParseListenEndpoint(endpoint, error, anyAddress);
    if (!at) return false;
    {
        std::lock_guard lock(mutex_);
        knxnet::Endpoint bound;
        if (!Listen(*at, bound, error)) return false;
        server_ = std::make_unique<knxnet::TunnelServer>(knxnet::TunnelSettings{}, bound);
        if (secureSettings_) secure_ = std::make_unique<knxnet::SecureSessions>(*secureSettings_);
        address_ = bound.address;
        port_ = bound.port;
        attached_ = true;
    }
    stopping_ = false;
    bus_.Attach(this);
    thread_ = std::thread([this] { Run(); });
    tcpThread_ = std::thread([this] { RunTcp(); });
    return true;
}

void KnxnetServer::Stop() {
    if (!thread_.joinable()) return;
    std::vector<std::string> notes;
    {
        std::lock_guard lock(mutex_);
        server_->DisconnectAll(NowMs());
        notes = FlushLocked();
        attached_ = false;
    }
    Print(notes);
    stopping_ = true;
    socket_->SendTo({}, {address_, port_});  // an empty datagram wakes the receiver
    tcp_->Wake();
    thread_.join();
    tcpThread_.join();
    bus_.Detach(this);
    std::lock_guard lock(mutex_);
    server_.reset();
    secure_.reset();
    socket_.reset();
    tcp_.reset();
    connections_.clear();
    changed_.notify_all();
}

void KnxnetServer::Secure(const knxnet::SecureSettings& settings) {
    std::lock_guard lock(mutex_);
    secureSettings_ = std::make_unique<knxnet::SecureSettings>(settings);
    if (server_) secure_ = std::make_unique<knxnet::SecureSessions>(settings);
}

void KnxnetServer::SetFaults(const knxnet::TunnelFaults& faults) {
    std::lock_guard lock(mutex_);
    if (server_) server_->Faults() = faults;
}

void KnxnetServer::DisconnectTunnels() {
    std::vector<std::string> notes;
    {
        std::lock_guard lock(mutex_);
        if (!server_) return;
        server_->DisconnectAll(NowMs());
        notes = FlushLocked();
    }
    Print(notes);
}

void KnxnetServer::ForgetTunnels() {
    std::lock_guard lock(mutex_);
    if (server_) server_->ForgetAll();
    changed_.notify_all();
}

void KnxnetServer::DropConnections() {
    std::lock_guard lock(mutex_);
    for (uint32_t c : connections_) tcp_->Close(c);
}

size_t KnxnetServer::QueuedFrames() const {
    std::lock_guard lock(mutex_);
    return server_ ? server_->QueuedFrames() : 0;
}

void KnxnetServer::RecordAcknowledged(bool on) {
    std::lock_guard lock(mutex_);
    recordAcknowledged_ = on;
}

std::vector<std::vector<uint8_t>> KnxnetServer::AcknowledgedFrames() const {
    std::lock_guard lock(mutex_);
    return acknowledged_;
}

size_t KnxnetServer::AcknowledgedCount() const {
    std::lock_guard lock(mutex_);
    return acknowledged_.size();
}

void KnxnetServer::ClearAcknowledged() {
    std::lock_guard lock(mutex_);
    acknowledged_.clear();
}

bool KnxnetServer::WaitTunnelsBelow(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return !server_ || server_->TunnelCount() < count; });
}

std::string KnxnetServer::LocalEndpoint() const {
    std::lock_guard lock(mutex_);
    return knxnet::EndpointText({address_, port_});
}

uint16_t KnxnetServer::Port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

size_t KnxnetServer::TunnelCount() const {
    std::lock_guard lock(mutex_);
    return server_ ? server_->TunnelCount() : 0;
}

bool KnxnetServer::WaitTunnels(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return server_ && server_->TunnelCount() >= count; });
}

void KnxnetServer::Run() {
    uint8_t buffer[1024];
    while (!stopping_) {
        int timeoutMs = 1000;
        {
            std::lock_guard lock(mutex_);
            const int64_t next = server_->NextDeadline();
            if (next >= 0) timeoutMs = static_cast<int>(std::clamp<int64_t>(next - NowMs() + 1, 0, 1000));
        }
        knxnet::Endpoint from;
        const size_t count = socket_->Receive(timeoutMs, buffer, sizeof buffer, from);
        if (stopping_) break;
        std::vector<std::string> notes;
        {
            std::lock_guard lock(mutex_);
            if (!attached_) continue;
            const int64_t now = NowMs();
            if (count > 0) server_->Receive(buffer, count, from, now);
            server_->Tick(now);
            notes = FlushLocked();
        }
        Print(notes);
    }
}

void KnxnetServer::RunTcp() {
    using Kind = detail::TcpSockets::Event::Kind;
    uint8_t buffer[2048];
    std::map<uint32_t, knxnet::StreamFramer> framers;
    std::map<uint32_t, knxnet::Endpoint> peers;
    while (!stopping_) {
        const detail::TcpSockets::Event e = tcp_->Wait(1000, buffer, sizeof buffer);
        if (stopping_) break;
        std::vector<std::string> notes;
        {
            std::lock_guard lock(mutex_);
            if (!attached_) continue;
            if (e.kind == Kind::kAccepted) {
                connections_.push_back(e.connection);
                peers[e.connection] = e.peer;
            } else if (e.kind == Kind::kClosed) {
                std::erase(connections_, e.connection);
                framers.erase(e.connection);
                peers.erase(e.connection);
                server_->ConnectionClosed(e.connection);
                if (secure_) secure_->Closed(e.connection);
            } else if (e.kind == Kind::kData) {
                knxnet::StreamFramer& framer = framers[e.connection];
                framer.Push(buffer, e.count);
                while (auto frame = framer.Next()) {
                    if (!secure_) {
                        server_->Receive(frame->data(), frame->size(), peers[e.connection], NowMs(), e.connection);
                        continue;
                    }
                    knxnet::SecureSessions::Result r =
                        secure_->Receive(e.connection, frame->data(), frame->size(), server_->Faults());
                    for (const std::vector<uint8_t>& bytes : r.replies) tcp_->Send(e.connection, bytes);
                    for (const std::vector<uint8_t>& inner : r.inner)
                        server_->Receive(inner.data(), inner.size(), peers[e.connection], NowMs(), e.connection);
                    notes.insert(notes.end(), r.notes.begin(), r.notes.end());
                    if (r.close) tcp_->Close(e.connection);
                }
                if (framer.Broken()) {
                    tcp_->Close(e.connection);
                    notes.push_back("TCP connection from " + knxnet::EndpointText(peers[e.connection]) +
                                    " closed: a frame header with a bad length");
                }
            }
            const std::vector<std::string> more = FlushLocked();
            notes.insert(notes.end(), more.begin(), more.end());
        }
        Print(notes);
    }
}

std::vector<std::string> KnxnetServer::FlushLocked() {
    for (const knxnet::Datagram& d : server_->TakeDatagrams()) {
        if (d.connection != 0 && secure_) {
            for (const std::vector<uint8_t>& sealed : secure_->Seal(d.connection, d.bytes, server_->Faults()))
                tcp_->Send(d.connection, sealed);
        } else if (d.connection != 0) {
            tcp_->Send(d.connection, d.bytes);
        } else {
            socket_->SendTo(d.bytes, d.to);
        }
    }
    for (uint32_t c : server_->TakeClosings()) tcp_->Close(c);
    // Sent under the lock, so the bus confirms them in the order the protocol queued them.
    for (const Telegram& t : server_->TakeTelegrams()) bus_.Send(t, this);
    for (std::vector<uint8_t>& f : server_->TakeAcknowledged())
        if (recordAcknowledged_) acknowledged_.push_back(std::move(f));
    std::vector<std::string> notes = server_->TakeNotes();
    if (!notes.empty()) changed_.notify_all();
    return notes;
}

void KnxnetServer::Print(const std::vector<std::string>& notes) {
    if (!note_) return;
    for (const std::string& n : notes) note_("knxnet: " + n);
}

void KnxnetServer::BusTelegram(const Telegram& telegram) {
    std::vector<std::string> notes;
    {
        std::lock_guard lock(mutex_);
        if (!attached_) return;
        server_->BusTelegram(telegram, NowMs());
        notes = FlushLocked();
    }
    Print(notes);
}

void KnxnetServer::BusTelegramSent(const Telegram& telegram) {
    std::vector<std::string> notes;
    {
        std::lock_guard lock(mutex_);
        if (!attached_) return;
        server_->BusTelegramSent(telegram, NowMs());
        notes = FlushLocked();
    }
    Print(notes);
}

}  // namespace bcuemu
