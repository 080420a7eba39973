#include "bcuemu/bcu.h"

#include <chrono>

#include "bcuemu/vcd.h"
#include "line_session.h"
#include "line_transport.h"
#include "serial_side.h"

namespace bcuemu {

namespace {

constexpr int kIdlePollMs = 1000;        // nothing scheduled: wake now and then anyway
constexpr int64_t kEepromWriteUs = 20000;  // per changed EEPROM cell, realistic timing
constexpr int64_t kResetUs = 20000;        // the BCU restarts before it sends 0xA0, realistic timing

bool eepromCell(unsigned address) { return address >= 0x0100 && address < 0x0500; }

}  // namespace

Bcu::Bcu(Bus* bus, Options options) : bus_(bus), options_(options), cells_(0x10000, 0) {
    side_ = std::make_unique<detail::SerialSide>(
        options_, faults_, [this](const std::vector<uint8_t>& f, int64_t now) { frameAccepted(f, now); },
        [this](const std::vector<uint8_t>& f, int64_t) { recorder_.addSent(f); });
    if (bus_) bus_->attach(this);
}

Bcu::~Bcu() {
    if (bus_) bus_->detach(this);
    stop();
}

std::string Bcu::serve(const std::string& endpoint) {
    stop();
    std::lock_guard lock(mutex_);
    transport_ = detail::LineTransport::create();
    std::string name;
    std::string error;
    if (!transport_->listen(endpoint, name, error)) {
        lastError_ = error;
        transport_.reset();
        return "";
    }
    portName_ = name;
    session_ = std::make_unique<detail::LineSession>(*side_, recorder_, *transport_);
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return name;
}

void Bcu::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        transport_->wake();
    }
    thread_.join();
    std::lock_guard lock(mutex_);
    transport_->close();
    if (connected_) {
        connected_ = false;
        side_->disconnect(recorder_.nowUs());
        recorder_.add(LineEvent::Kind::kDisconnected, 0);
    }
    session_.reset();
    transport_.reset();
    stateChanged_.notify_all();
}

std::string Bcu::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::string Bcu::portName() const {
    std::lock_guard lock(mutex_);
    return portName_;
}

void Bcu::run() {
    uint8_t buffer[512];
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        // Whatever fell due while we were busy goes out first, so the wait
        // below is for something still ahead.
        int64_t now = recorder_.nowUs();
        side_->tick(now);
        session_->flush(now);
        const int64_t deadline = side_->nextDeadline(now);
        const int64_t timeoutUs = deadline == 0 ? kIdlePollMs * 1000 : deadline - now;
        detail::LineTransport* transport = transport_.get();
        lock.unlock();
        const auto event = transport->pump(timeoutUs, buffer, sizeof buffer);
        lock.lock();
        now = recorder_.nowUs();
        using Kind = detail::LineTransport::Event::Kind;
        switch (event.kind) {
        case Kind::kConnected:
            session_->reset();
            side_->connect(now);
            connected_ = true;
            recorder_.add(LineEvent::Kind::kConnected, 0);
            stateChanged_.notify_all();
            break;
        case Kind::kData: session_->feed(buffer, event.count, now); break;
        case Kind::kDisconnected:
            side_->disconnect(now);
            connected_ = false;
            recorder_.add(LineEvent::Kind::kDisconnected, 0);
            stateChanged_.notify_all();
            break;
        case Kind::kNothing: break;
        }
    }
}

bool Bcu::waitConnected(int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return connected_; });
}

bool Bcu::waitDisconnected(int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !connected_; });
}

LineState Bcu::lineState() const {
    std::lock_guard lock(mutex_);
    return {connected_, side_->rtsOn(), side_->dtrOn(), side_->cts()};
}

void Bcu::queueLocked(std::vector<uint8_t> frame, bool once, int64_t now) {
    if (options_.queueLimit != 0 && !once && side_->queued() >= options_.queueLimit) {
        ++droppedFrames_;
        return;
    }
    side_->queue(std::move(frame), once, now);
    if (transport_) transport_->wake();
}

void Bcu::queueFrame(std::vector<uint8_t> frame) {
    std::lock_guard lock(mutex_);
    queueLocked(std::move(frame), false, recorder_.nowUs());
}

size_t Bcu::queuedFrames() const {
    std::lock_guard lock(mutex_);
    return side_->queued();
}

size_t Bcu::droppedFrames() const {
    std::lock_guard lock(mutex_);
    return droppedFrames_;
}

std::vector<std::vector<uint8_t>> Bcu::acceptedFrames() const { return recorder_.accepted(); }
std::vector<std::vector<uint8_t>> Bcu::sentFrames() const { return recorder_.sent(); }

bool Bcu::waitAcceptedFrames(size_t count, int timeoutMs) const {
    return recorder_.waitUntil([count](const Recording& r) { return r.accepted.size() >= count; }, timeoutMs);
}

bool Bcu::waitSentFrames(size_t count, int timeoutMs) const {
    return recorder_.waitUntil([count](const Recording& r) { return r.sent.size() >= count; }, timeoutMs);
}

std::vector<LineEvent> Bcu::events() const { return recorder_.events(); }
void Bcu::clearEvents() { recorder_.clear(); }

uint8_t Bcu::cell(uint16_t address) const {
    std::lock_guard lock(mutex_);
    return cells_[address];
}

void Bcu::setCell(uint16_t address, uint8_t value) {
    std::lock_guard lock(mutex_);
    cells_[address] = value;
}

bool Bcu::writeVcd(const std::string& path) const { return bcuemu::writeVcd(path, recorder_.events()); }

void Bcu::frameAccepted(const std::vector<uint8_t>& frame, int64_t now) {
    // Called by the serial side with mutex_ held.
    recorder_.addAccepted(frame);
    if (frame.size() < 2) return;
    const bool realistic = options_.timing == Timing::kRealistic;
    switch (frame[1]) {
    case kMemoryWrite: {
        if (frame.size() < 5) return;
        const unsigned address = static_cast<unsigned>((frame[3] << 8) | frame[4]);
        const size_t count = std::min<size_t>(frame[2], frame.size() - 5);
        if (address == kSystemStateCell && count >= 1 && frame[5] == kResetCommand) {
            resetBcu(now);
            return;
        }
        int changed = 0;
        for (size_t i = 0; i < count; ++i) {
            const unsigned a = (address + i) & 0xFFFFu;
            if (eepromCell(a) && cells_[a] != frame[5 + i]) ++changed;
            cells_[a] = frame[5 + i];
        }
        if (realistic && changed) side_->busyUntil(now + changed * kEepromWriteUs);
        return;
    }
    case kMemoryRead: {
        if (frame.size() < 5) return;
        const unsigned address = static_cast<unsigned>((frame[3] << 8) | frame[4]);
        const unsigned count = std::min<unsigned>(frame[2], 27);
        std::vector<uint8_t> message = {kMemoryAnswer, static_cast<uint8_t>(count), frame[3], frame[4]};
        for (unsigned i = 0; i < count; ++i) message.push_back(cells_[(address + i) & 0xFFFFu]);
        queueLocked(frameOf(message), false, now);
        return;
    }
    case kDataRequest: {
        auto telegram = telegramOfDataRequest(frame, options_.individualAddress);
        if (!telegram) return;
        awaitingConfirm_.push_back(frame);
        if (bus_) {
            bus_->send(*telegram, this);
        } else {
            // No bus: the telegram is out at once.
            std::vector<uint8_t> confirm = awaitingConfirm_.front();
            awaitingConfirm_.pop_front();
            confirm[1] = kDataConfirm;
            if (cells_[kSystemStateCell] == kLinkLayerMode) queueLocked(std::move(confirm), false, now);
        }
        return;
    }
    default: return;  // not a service this BCU offers
    }
}

void Bcu::resetBcu(int64_t now) {
    cells_[kSystemStateCell] = 0;
    awaitingConfirm_.clear();
    side_->clearQueue();
    if (options_.timing == Timing::kRealistic) side_->busyUntil(now + kResetUs);
    queueLocked({kResetFrame}, true, now);
}

void Bcu::busTelegram(const Telegram& telegram) {
    std::lock_guard lock(mutex_);
    if (!telegram.group || cells_[kSystemStateCell] != kLinkLayerMode) return;
    queueLocked(indicationFrame(telegram), false, recorder_.nowUs());
}

void Bcu::busTelegramSent(const Telegram&) {
    std::lock_guard lock(mutex_);
    if (awaitingConfirm_.empty()) return;  // a reset came in between
    std::vector<uint8_t> confirm = std::move(awaitingConfirm_.front());
    awaitingConfirm_.pop_front();
    confirm[1] = kDataConfirm;
    if (cells_[kSystemStateCell] == kLinkLayerMode) queueLocked(std::move(confirm), false, recorder_.nowUs());
}

std::string freeEndpoint() { return detail::freeEndpointName(); }

}  // namespace bcuemu
