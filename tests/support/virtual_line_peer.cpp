#include "support/virtual_line_peer.h"

#include <chrono>

namespace qel::test {
namespace tn = qel::telnet;

VirtualLinePeer::VirtualLinePeer(Behaviour behaviour)
    : behaviour_(behaviour), endpoint_(makePeerEndpoint()), thread_([this] { run(); }) {}

VirtualLinePeer::~VirtualLinePeer() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    thread_.join();
}

void VirtualLinePeer::run() {
    auto stopping = [this] {
        std::lock_guard<std::mutex> guard(lock_);
        return stop_;
    };
    while (!stopping())
        if (endpoint_->acceptClient(20)) break;
    tn::Decoder decoder;
    tn::Item item;
    uint8_t buffer[1024];
    while (!stopping()) {
        const int32_t got = endpoint_->read(buffer, sizeof buffer, 20);
        if (got < 0) break;
        for (int32_t i = 0; i < got; ++i)
            if (decoder.feed(buffer[i], item)) handle(item);
    }
}

void VirtualLinePeer::handle(const tn::Item& item) {
    std::unique_lock<std::mutex> guard(lock_);
    if (item.kind == tn::Item::Kind::kData) {
        data_.push_back(item.byte);
    } else if (item.kind == tn::Item::Kind::kOption && item.option == tn::kComPortOption && item.byte == tn::kWill) {
        negotiated_ = true;
        guard.unlock();
        uint8_t out[3];
        sendRaw(out, tn::EncodeOption(behaviour_.acceptComPort ? tn::kDo : tn::kDont, tn::kComPortOption, out));
        guard.lock();
    } else if (item.kind == tn::Item::Kind::kSubnegotiation && item.option == tn::kComPortOption && item.length > 0) {
        Command command{item.payload[0], std::vector<uint8_t>(item.payload + 1, item.payload + item.length)};
        commands_.push_back(command);
        const bool rtsChange = command.code == tn::kSetControl && !command.value.empty() &&
                               (command.value[0] == tn::kControlRtsOn || command.value[0] == tn::kControlRtsOff);
        guard.unlock();
        changed_.notify_all();
        // A modem reacts to RTS before the server gets round to answering.
        if (behaviour_.ctsFollowsRts && rtsChange) sendCts(command.value[0] == tn::kControlRtsOn);
        uint8_t answer[tn::kMaxSubnegotiation];
        answer[0] = static_cast<uint8_t>(command.code + tn::kServerOffset);
        size_t length = 1;
        for (uint8_t b : command.value)
            if (length < sizeof answer) answer[length++] = b;
        uint8_t out[5 + 2 * tn::kMaxSubnegotiation];
        sendRaw(out, tn::EncodeSubnegotiation(tn::kComPortOption, answer, length, out));
        return;
    }
    guard.unlock();
    changed_.notify_all();
}

void VirtualLinePeer::sendRaw(const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> guard(writeLock_);
    endpoint_->write(bytes, static_cast<uint32_t>(n));
}

void VirtualLinePeer::sendData(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out(bytes.size() * 2);
    size_t n = 0;
    for (uint8_t b : bytes) n += tn::EncodeData(b, out.data() + n);
    sendRaw(out.data(), n);
}

void VirtualLinePeer::sendCts(bool on) {
    const uint8_t payload[2] = {static_cast<uint8_t>(tn::kNotifyModemstate + tn::kServerOffset),
                                static_cast<uint8_t>((on ? tn::kModemCts : 0) | tn::kModemDeltaCts)};
    uint8_t out[16];
    sendRaw(out, tn::EncodeSubnegotiation(tn::kComPortOption, payload, sizeof payload, out));
}

std::vector<uint8_t> VirtualLinePeer::data() const {
    std::lock_guard<std::mutex> guard(lock_);
    return data_;
}

std::vector<VirtualLinePeer::Command> VirtualLinePeer::commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

bool VirtualLinePeer::waitForData(size_t n, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return data_.size() >= n; });
}

bool VirtualLinePeer::waitForCommands(size_t n, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return commands_.size() >= n; });
}

bool VirtualLinePeer::waitForNegotiation(uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return negotiated_; });
}

}  // namespace qel::test
