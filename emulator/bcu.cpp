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

bool EepromCell(unsigned address) { return address >= 0x0100 && address < 0x0500; }

}  // namespace

Bcu::Bcu(Bus* bus, bcuemu::Options options) : bus_(bus), options_(options), cells_(0x10000, 0) {
    side_ = std::make_unique<detail::SerialSide>(
        options_, faults_, [this](const std::vector<uint8_t>& f, int64_t now) { FrameAccepted(f, now); },
        [this](const std::vector<uint8_t>& f, int64_t) { recorder_.AddSent(f); });
    if (bus_) bus_->Attach(this);
}

Bcu::~Bcu() {
    if (bus_) bus_->Detach(this);
    Stop();
}

std::string Bcu::Serve(const std::string& endpoint) { return StartServing(detail::LineTransport::Create(), endpoint); }

std::string Bcu::ServePty(const std::string& linkPath) {
    auto transport = detail::LineTransport::CreatePty();
    if (!transport) {
        std::lock_guard lock(mutex_);
        lastError_ = "no pseudo terminals on this platform";
        return "";
    }
    return StartServing(std::move(transport), linkPath);
}

std::string Bcu::StartServing(std::unique_ptr<detail::LineTransport> transport, const std::string& endpoint) {
    Stop();
    std::lock_guard lock(mutex_);
    transport_ = std::move(transport);
    std::string name;
    std::string error;
    if (!transport_->Listen(endpoint, name, error)) {
        lastError_ = error;
        transport_.reset();
        return "";
    }
    portName_ = name;
    session_ = std::make_unique<detail::LineSession>(*side_, recorder_, *transport_);
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
    return name;
}

void Bcu::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        transport_->Wake();
    }
    thread_.join();
    std::lock_guard lock(mutex_);
    transport_->Close();
    if (connected_) {
        connected_ = false;
        side_->Disconnect(recorder_.NowUs());
        recorder_.Add(LineEvent::Kind::kDisconnected, 0);
    }
    session_.reset();
    transport_.reset();
    stateChanged_.notify_all();
}

std::string Bcu::LastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::string Bcu::PortName() const {
    std::lock_guard lock(mutex_);
    return portName_;
}

void Bcu::Run() {
    uint8_t buffer[512];
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        // Whatever fell due while we were busy goes out first, so the wait
        // below is for something still ahead.
        int64_t now = recorder_.NowUs();
        side_->Tick(now);
        session_->Flush(now);
        const int64_t deadline = side_->NextDeadline(now);
        const int64_t timeoutUs = deadline == 0 ? kIdlePollMs * 1000 : deadline - now;
        detail::LineTransport* transport = transport_.get();
        lock.unlock();
        const auto event = transport->Pump(timeoutUs, buffer, sizeof buffer);
        lock.lock();
        now = recorder_.NowUs();
        using Kind = detail::LineTransport::Event::Kind;
        switch (event.kind) {
        case Kind::kConnected:
            session_->Reset();
            side_->Connect(now);
            connected_ = true;
            recorder_.Add(LineEvent::Kind::kConnected, 0);
            stateChanged_.notify_all();
            break;
        case Kind::kData: session_->Feed(buffer, event.count, now); break;
        case Kind::kLines: session_->Lines(buffer, event.count, now); break;
        case Kind::kDisconnected:
            side_->Disconnect(now);
            connected_ = false;
            recorder_.Add(LineEvent::Kind::kDisconnected, 0);
            stateChanged_.notify_all();
            break;
        case Kind::kNothing: break;
        }
    }
}

bool Bcu::WaitConnected(int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return connected_; });
}

bool Bcu::WaitDisconnected(int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !connected_; });
}

LineState Bcu::LineState() const {
    std::lock_guard lock(mutex_);
    return {connected_, side_->RtsOn(), side_->DtrOn(), side_->Cts()};
}

void Bcu::QueueLocked(std::vector<uint8_t> frame, bool once, int64_t now) {
    if (options_.queueLimit != 0 && !once && side_->Queued() >= options_.queueLimit) {
        ++droppedFrames_;
        return;
    }
    side_->Queue(std::move(frame), once, now);
    if (transport_) transport_->Wake();
}

void Bcu::QueueFrame(std::vector<uint8_t> frame) {
    std::lock_guard lock(mutex_);
    QueueLocked(std::move(frame), false, recorder_.NowUs());
}

size_t Bcu::QueuedFrames() const {
    std::lock_guard lock(mutex_);
    return side_->Queued();
}

size_t Bcu::DroppedFrames() const {
    std::lock_guard lock(mutex_);
    return droppedFrames_;
}

std::vector<std::vector<uint8_t>> Bcu::AcceptedFrames() const { return recorder_.Accepted(); }
std::vector<std::vector<uint8_t>> Bcu::SentFrames() const { return recorder_.Sent(); }

bool Bcu::WaitAcceptedFrames(size_t count, int timeoutMs) const {
    return recorder_.WaitUntil([count](const Recording& r) { return r.accepted.size() >= count; }, timeoutMs);
}

bool Bcu::WaitSentFrames(size_t count, int timeoutMs) const {
    return recorder_.WaitUntil([count](const Recording& r) { return r.sent.size() >= count; }, timeoutMs);
}

std::vector<LineEvent> Bcu::Events() const { return recorder_.Events(); }
void Bcu::ClearEvents() { recorder_.Clear(); }

uint8_t Bcu::Cell(uint16_t address) const {
    std::lock_guard lock(mutex_);
    return cells_[address];
}

void Bcu::SetCell(uint16_t address, uint8_t value) {
    std::lock_guard lock(mutex_);
    cells_[address] = value;
}

bool Bcu::WriteVcd(const std::string& path) const { return bcuemu::WriteVcd(path, recorder_.Events()); }

void Bcu::FrameAccepted(const std::vector<uint8_t>& frame, int64_t now) {
    // Called by the serial side with mutex_ held.
    recorder_.AddAccepted(frame);
    if (frame.size() < 2) return;
    const bool realistic = options_.timing == Timing::kRealistic;
    switch (frame[1]) {
    case kMemoryWrite: {
        if (frame.size() < 5) return;
        const unsigned address = static_cast<unsigned>((frame[3] << 8) | frame[4]);
        const size_t count = std::min<size_t>(frame[2], frame.size() - 5);
        if (address == kSystemStateCell && count >= 1 && frame[5] == kResetCommand) {
            ResetBcu(now);
            return;
        }
        int changed = 0;
        for (size_t i = 0; i < count; ++i) {
            const unsigned a = (address + i) & 0xFFFFu;
            if (EepromCell(a) && cells_[a] != frame[5 + i]) ++changed;
            cells_[a] = frame[5 + i];
        }
        if (realistic && changed) side_->BusyUntil(now + changed * kEepromWriteUs);
        return;
    }
    case kMemoryRead: {
        if (frame.size() < 5) return;
        const unsigned address = static_cast<unsigned>((frame[3] << 8) | frame[4]);
        const unsigned count = std::min<unsigned>(frame[2], 27);
        std::vector<uint8_t> message = {kMemoryAnswer, static_cast<uint8_t>(count), frame[3], frame[4]};
        for (unsigned i = 0; i < count; ++i) message.push_back(cells_[(address + i) & 0xFFFFu]);
        QueueLocked(FrameOf(message), false, now);
        return;
    }
    case kDataRequest: {
        auto telegram = TelegramOfDataRequest(frame, options_.individualAddress);
        if (!telegram) return;
        awaitingConfirm_.push_back(frame);
        if (bus_) {
            bus_->Send(*telegram, this);
        } else {
            // No bus: the telegram is out at once.
            std::vector<uint8_t> confirm = awaitingConfirm_.front();
            awaitingConfirm_.pop_front();
            confirm[1] = kDataConfirm;
            if (cells_[kSystemStateCell] == kLinkLayerMode) QueueLocked(std::move(confirm), false, now);
        }
        return;
    }
    default: return;  // not a service this BCU offers
    }
}

void Bcu::ResetBcu(int64_t now) {
    cells_[kSystemStateCell] = 0;
    awaitingConfirm_.clear();
    side_->ClearQueue();
    if (options_.timing == Timing::kRealistic) side_->BusyUntil(now + kResetUs);
    QueueLocked({kResetFrame}, true, now);
}

void Bcu::BusTelegram(const Telegram& telegram) {
    std::lock_guard lock(mutex_);
    if (!telegram.group || cells_[kSystemStateCell] != kLinkLayerMode) return;
    QueueLocked(IndicationFrame(telegram), false, recorder_.NowUs());
}

void Bcu::BusTelegramSent(const Telegram&) {
    std::lock_guard lock(mutex_);
    if (awaitingConfirm_.empty()) return;  // a reset came in between
    std::vector<uint8_t> confirm = std::move(awaitingConfirm_.front());
    awaitingConfirm_.pop_front();
    confirm[1] = kDataConfirm;
    if (cells_[kSystemStateCell] == kLinkLayerMode) QueueLocked(std::move(confirm), false, recorder_.NowUs());
}

std::string FreeEndpoint() { return detail::FreeEndpointName(); }

std::string Bcu::ServeTcp(const std::string& port) {
    auto transport = detail::CreateTcpTransport();
    if (!transport) {
        std::lock_guard lock(mutex_);
        lastError_ = "no TCP line on this platform";
        return "";
    }
    return StartServing(std::move(transport), port);
}

}  // namespace bcuemu
