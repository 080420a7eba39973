#include "bcuemu/knxnet_router.h"

#include <optional>
#include <vector>

#include "knxnet/codec.h"
#include "knxnet/udp_socket.h"

namespace bcuemu {

namespace {

constexpr uint16_t kIndication = 0x0530;
constexpr uint16_t kLostMessage = 0x0531;
constexpr uint16_t kBusy = 0x0532;

std::vector<uint8_t> Datagram(uint16_t service, const std::vector<uint8_t>& body) {
    const size_t total = knxnet::kHeaderSize + body.size();
    std::vector<uint8_t> out(total);
    out[0] = knxnet::kHeaderSize;
    out[1] = knxnet::kProtocolVersion;
    out[2] = static_cast<uint8_t>(service >> 8);
    out[3] = static_cast<uint8_t>(service);
    out[4] = static_cast<uint8_t>(total >> 8);
    out[5] = static_cast<uint8_t>(total);
    for (size_t i = 0; i < body.size(); ++i) out[knxnet::kHeaderSize + i] = body[i];
    return out;
}

std::optional<uint32_t> Address(const std::string& text) {
    uint32_t address = 0;
    size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0 && (pos >= text.size() || text[pos++] != '.')) return std::nullopt;
        const size_t start = pos;
        uint32_t value = 0;
        while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9')
            value = value * 10 + static_cast<uint32_t>(text[pos++] - '0');
        if (pos == start || value > 255) return std::nullopt;
        address = address << 8 | value;
    }
    if (pos != text.size()) return std::nullopt;
    return address;
}

}  // namespace

KnxnetRouter::KnxnetRouter(Bus& bus) : bus_(bus) {}

KnxnetRouter::~KnxnetRouter() { Stop(); }

bool KnxnetRouter::Start(const std::string& group, const std::string& interface, std::string& error) {
    if (thread_.joinable()) {
        error = "the router is already running";
        return false;
    }
    const size_t colon = group.find(':');
    const std::optional<uint32_t> address = Address(group.substr(0, colon));
    if (!address || (*address >> 28) != 0xE) {
        error = "'" + group + "': the group must be a multicast address (224.0.0.0 to 239.255.255.255)";
        return false;
    }
    uint32_t port = knxnet::kDefaultPort;
    if (colon != std::string::npos) {
        const std::string digits = group.substr(colon + 1);
        port = 0;
        for (char c : digits) port = c >= '0' && c <= '9' && port <= 65535 ? port * 10 + static_cast<uint32_t>(c - '0') : 70000;
        if (digits.empty() || port > 65535) {
            error = "'" + group + "': the port must be a number from 0 to 65535";
            return false;
        }
    }
    const std::optional<uint32_t> local = interface.empty() ? std::optional<uint32_t>(0) : Address(interface);
    if (!local) {
        error = "'" + interface + "' is not an IPv4 address (a.b.c.d)";
        return false;
    }
    auto receiver = detail::UdpSocket::Create(error);
    auto sender = detail::UdpSocket::Create(error);
    knxnet::Endpoint bound, own;
    if (!receiver || !sender ||
        !receiver->JoinGroup({*address, static_cast<uint16_t>(port)}, *local, bound, error) ||
        !sender->Bind({*local, 0}, own, error) || !sender->SendToGroups(*local, error))
        return false;
    receiver_ = std::move(receiver);
    sender_ = std::move(sender);
    group_ = *address;
    port_ = bound.port;
    ownAddress_ = own.address;
    ownPort_ = own.port;
    stopping_ = false;
    bus_.Attach(this);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void KnxnetRouter::Stop() {
    if (!thread_.joinable()) return;
    bus_.Detach(this);
    stopping_ = true;
    Send({});  // an empty datagram wakes the receiver; every member drops it
    thread_.join();
    std::lock_guard lock(mutex_);
    receiver_.reset();
    sender_.reset();
}

std::string KnxnetRouter::GroupEndpoint() const { return knxnet::EndpointText({group_, port_}); }

void KnxnetRouter::Send(const std::vector<uint8_t>& datagram) {
    std::lock_guard lock(mutex_);
    if (sender_) sender_->SendTo(datagram, {group_, port_});
}

void KnxnetRouter::SendBusy(uint16_t waitMs, uint16_t control) {
    Send(Datagram(kBusy, {6, 0, static_cast<uint8_t>(waitMs >> 8), static_cast<uint8_t>(waitMs),
                          static_cast<uint8_t>(control >> 8), static_cast<uint8_t>(control)}));
}

void KnxnetRouter::SendLostMessage(uint16_t count) {
    Send(Datagram(kLostMessage, {4, 0, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)}));
}

void KnxnetRouter::BusTelegram(const Telegram& telegram) {
    Send(Datagram(kIndication, knxnet::EncodeCemi({knxnet::kLDataInd, telegram, false})));
}

void KnxnetRouter::BusTelegramSent(const Telegram&) {}  // it came from the group: the group has it

void KnxnetRouter::Run() {
    uint8_t buffer[1024];
    while (!stopping_) {
        knxnet::Endpoint from;
        const size_t n = receiver_->Receive(1000, buffer, sizeof buffer, from);
        if (stopping_) break;
        // Its own come back from its sender's port.
        if (n < knxnet::kHeaderSize || (from.port == ownPort_ && (ownAddress_ == 0 || from.address == ownAddress_)))
            continue;
        const auto service = static_cast<uint16_t>(buffer[2] << 8 | buffer[3]);
        if (buffer[0] != knxnet::kHeaderSize || buffer[1] != knxnet::kProtocolVersion || service != kIndication ||
            static_cast<size_t>(buffer[4] << 8 | buffer[5]) != n)
            continue;
        const auto cemi = knxnet::DecodeCemi(buffer + knxnet::kHeaderSize, n - knxnet::kHeaderSize);
        if (!cemi || cemi->messageCode != knxnet::kLDataInd) continue;
        ++taken_;
        bus_.Send(cemi->telegram, this);
    }
}

}  // namespace bcuemu
