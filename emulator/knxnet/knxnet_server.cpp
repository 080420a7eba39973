#include "bcuemu/knxnet_server.h"

#include <algorithm>

#include "knxnet/tunnel_server.h"
#include "knxnet/udp_socket.h"

namespace bcuemu {

KnxnetServer::KnxnetServer(Bus& bus, Printer note) : bus_(bus), note_(std::move(note)) {}

KnxnetServer::~KnxnetServer() { Stop(); }

int64_t KnxnetServer::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

bool KnxnetServer::Start(const std::string& endpoint, std::string& error) {
    if (thread_.joinable()) {
        error = "the tunnelling server is already running";
        return false;
    }
    const std::optional<knxnet::Endpoint> at = knxnet::ParseListenEndpoint(endpoint, error);
    if (!at) return false;
    auto socket = detail::UdpSocket::Create(error);
    if (!socket) return false;
    knxnet::Endpoint bound;
    if (!socket->Bind(*at, bound, error)) return false;
    {
        std::lock_guard lock(mutex_);
        socket_ = std::move(socket);
        server_ = std::make_unique<knxnet::TunnelServer>(knxnet::TunnelSettings{}, bound);
        address_ = bound.address;
        port_ = bound.port;
        attached_ = true;
    }
    stopping_ = false;
    bus_.Attach(this);
    thread_ = std::thread([this] { Run(); });
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
    thread_.join();
    bus_.Detach(this);
    std::lock_guard lock(mutex_);
    server_.reset();
    socket_.reset();
    changed_.notify_all();
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

std::vector<std::string> KnxnetServer::FlushLocked() {
    for (const knxnet::Datagram& d : server_->TakeDatagrams()) socket_->SendTo(d.bytes, d.to);
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
