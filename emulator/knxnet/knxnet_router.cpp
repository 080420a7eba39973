#include "bcuemu/knxnet_router.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "knxnet/codec.h"
#include "knxnet/udp_socket.h"
#include "secure/secure_group.h"

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

uint64_t SteadyMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

uint32_t Tick() { return static_cast<uint32_t>(SteadyMs()); }

}  // namespace

struct KnxnetRouter::SecureState {
    qel::secure::SecureGroup group{};
    qel::secure::Key key{};
    uint32_t toleranceMs = 0;
    RoutingFaults faults;
    ~SecureState() {
        qel::secure::EndGroup(group);
        qel::secure::Wipe(key.data(), key.size());
    }
};

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
    BeginSecure();
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

void KnxnetRouter::Secure(const std::array<uint8_t, 16>& backboneKey, uint32_t toleranceMs) {
    {
        std::lock_guard lock(mutex_);
        secure_ = std::make_unique<SecureState>();
        std::copy(backboneKey.begin(), backboneKey.end(), secure_->key.begin());
        secure_->toleranceMs = toleranceMs;
    }
    if (sender_) BeginSecure();
}

void KnxnetRouter::BeginSecure() {
    std::vector<uint8_t> request(qel::secure::kTimerNotifySize);
    {
        std::lock_guard lock(mutex_);
        if (!secure_ || !qel::secure::BeginGroup(secure_->group, secure_->key, secure_->toleranceMs, SteadyMs(),
                                                 Tick(), request.data()))
            return;
    }
    SendRaw(request);
}

void KnxnetRouter::SetFaults(const RoutingFaults& faults) {
    std::lock_guard lock(mutex_);
    if (secure_) secure_->faults = faults;
}

void KnxnetRouter::SendRaw(const std::vector<uint8_t>& datagram) {
    std::lock_guard lock(mutex_);
    if (sender_) sender_->SendTo(datagram, {group_, port_});
}

void KnxnetRouter::Send(const std::vector<uint8_t>& datagram) {
    std::vector<uint8_t> sealed;
    {
        std::lock_guard lock(mutex_);
        if (!secure_ || datagram.empty()) {
            if (sender_) sender_->SendTo(datagram, {group_, port_});
            return;
        }
        namespace sec = qel::secure;
        SecureState& s = *secure_;
        sec::WrapperFields f;
        f.sequence = sec::GroupTimer(s.group, Tick());
        if (s.faults.oldTimers > 0) {
            --s.faults.oldTimers;
            f.sequence -= 2 * static_cast<uint64_t>(s.group.toleranceMs);
        }
        std::copy(s.group.serial, s.group.serial + sec::kSerialSize, f.serial);
        f.messageTag = s.group.nextTag++;
        sealed.resize(datagram.size() + sec::kWrapperOverhead);
        if (sec::Wrap(s.group.backboneKey, f, datagram.data(), datagram.size(), sealed.data(), sealed.size()) == 0)
            return;
        if (s.faults.badMacs > 0) {
            --s.faults.badMacs;
            sealed.back() ^= 0x01;
        }
    }
    SendRaw(sealed);
}

int KnxnetRouter::KeepTimer() {
    std::vector<uint8_t> notify;
    int until = 1000;
    {
        std::lock_guard lock(mutex_);
        if (!secure_) return until;
        qel::secure::SecureGroup& g = secure_->group;
        if (qel::secure::UntilTimerNotify(g, Tick()) == 0) {
            notify.resize(qel::secure::kTimerNotifySize);
            if (!qel::secure::PeriodicTimerNotify(g, Tick(), notify.data())) notify.clear();
        }
        until = static_cast<int>(std::min<uint32_t>(1000, qel::secure::UntilTimerNotify(g, Tick())));
    }
    if (!notify.empty()) SendRaw(notify);
    return until;
}

std::vector<uint8_t> KnxnetRouter::Open(const uint8_t* bytes, size_t n) {
    std::vector<uint8_t> reply;
    std::vector<uint8_t> inner;
    {
        std::lock_guard lock(mutex_);
        if (!secure_) return std::vector<uint8_t>(bytes, bytes + n);
        namespace sec = qel::secure;
        inner.resize(n);
        reply.resize(sec::kTimerNotifySize);
        size_t innerLength = 0;
        size_t replyLength = 0;
        const sec::GroupOpened o = sec::OpenFromGroup(secure_->group, Tick(), bytes, n, inner.data(), inner.size(),
                                                      &innerLength, reply.data(), &replyLength);
        if (o != sec::GroupOpened::kFrame && o != sec::GroupOpened::kTimer) ++dropped_;
        inner.resize(o == sec::GroupOpened::kFrame ? innerLength : 0);
        reply.resize(replyLength);
    }
    if (!reply.empty()) SendRaw(reply);
    return inner;
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
    uint8_t received[1024];
    while (!stopping_) {
        knxnet::Endpoint from;
        const size_t length = receiver_->Receive(KeepTimer(), received, sizeof received, from);
        if (stopping_) break;
        // Its own come back from its sender's port.
        if (length < knxnet::kHeaderSize ||
            (from.port == ownPort_ && (ownAddress_ == 0 || from.address == ownAddress_)))
            continue;
        const std::vector<uint8_t> frame = Open(received, length);
        const uint8_t* buffer = frame.data();
        const size_t n = frame.size();
        if (n < knxnet::kHeaderSize) continue;
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
