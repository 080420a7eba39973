#include "bcuemu/bus.h"

#include <algorithm>

namespace bcuemu {

Bus::Bus(bool realisticTiming) : realistic_(realisticTiming), thread_([this] { Run(); }) {}

Bus::~Bus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Bus::Attach(BusPort* port) {
    std::lock_guard lock(mutex_);
    if (std::find(ports_.begin(), ports_.end(), port) == ports_.end()) ports_.push_back(port);
}

void Bus::Detach(BusPort* port) {
    std::lock_guard delivering(deliverMutex_);
    std::lock_guard lock(mutex_);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
    for (Pending& p : queue_) {
        if (p.from == port) p.from = nullptr;
    }
}

void Bus::Send(const Telegram& telegram, BusPort* from) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({telegram, from});
    }
    changed_.notify_all();
}

void Bus::Inject(uint16_t group, ValueSize size, uint16_t value, uint16_t source, Apci apci) {
    Send(Telegram::GroupValue(apci, group, size, value, source));
}

void Bus::InjectRead(uint16_t group, uint16_t source) { Send(Telegram::GroupRead(group, source)); }

void Bus::AddDevice(const Device& device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(device);
}

void Bus::AddDevice(uint16_t group, ValueSize size, uint16_t value, uint16_t address) {
    AddDevice(Device{group, size, value, address, true});
}

std::optional<uint16_t> Bus::DeviceValue(uint16_t group) const {
    std::lock_guard lock(mutex_);
    for (const Device& d : devices_) {
        if (d.group == group) return d.value;
    }
    return std::nullopt;
}

void Bus::SetDeviceValue(uint16_t group, uint16_t value, bool transmit) {
    std::optional<Telegram> write;
    {
        std::lock_guard lock(mutex_);
        for (Device& d : devices_) {
            if (d.group != group) continue;
            d.value = value;
            if (transmit && !write) write = Telegram::GroupValue(Apci::kWrite, group, d.size, value, d.address);
        }
    }
    if (write) Send(*write);
}

std::vector<Telegram> Bus::History() const {
    std::lock_guard lock(mutex_);
    return history_;
}

void Bus::ClearHistory() {
    std::lock_guard lock(mutex_);
    history_.clear();
}

bool Bus::WaitTelegrams(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return history_.size() >= count; });
}

bool Bus::WaitIdle(int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queue_.empty() && !busy_; });
}

void Bus::SetMonitor(std::function<void(const Telegram&)> monitor) {
    std::lock_guard delivering(deliverMutex_);
    std::lock_guard lock(mutex_);
    monitor_ = std::move(monitor);
}

int64_t Bus::DurationUs(const Telegram& telegram) {
    // Idle gap (53 bit times), 13 bit times per character (control, source 2,
    // destination 2, routing, TPDU, checksum), 15 to the acknowledgement and
    // its 13; 104.17 us per bit time.
    const int64_t characters = 7 + static_cast<int64_t>(telegram.tpdu.size());
    const int64_t bits = 53 + characters * 13 + 15 + 13;
    return bits * 10417 / 100;
}

void Bus::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Pending next = queue_.front();
        queue_.pop_front();
        busy_ = true;
        if (realistic_) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(DurationUs(next.telegram));
            changed_.wait_until(lock, until, [&] { return stopping_; });
            if (stopping_) return;
        }
        lock.unlock();
        Deliver(next);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void Bus::Deliver(const Pending& pending) {
    const Telegram& t = pending.telegram;
    std::lock_guard delivering(deliverMutex_);
    std::vector<BusPort*> ports;
    std::optional<Telegram> response;
    std::function<void(const Telegram&)> monitor;
    {
        std::lock_guard lock(mutex_);
        history_.push_back(t);
        ports = ports_;
        monitor = monitor_;
        if (t.group) {
            const Apci apci = t.Service();
            for (Device& d : devices_) {
                if (d.group != t.destination) continue;
                if (apci == Apci::kWrite || apci == Apci::kResponse) {
                    if (t.Size() == d.size) d.value = t.Value();
                } else if (apci == Apci::kRead && d.answersReads && !response) {
                    response = Telegram::GroupValue(Apci::kResponse, d.group, d.size, d.value, d.address);
                }
            }
        }
        if (response) queue_.push_back({*response, nullptr});
    }
    changed_.notify_all();
    if (monitor) monitor(t);
    for (BusPort* port : ports) {
        if (port != pending.from) port->BusTelegram(t);
    }
    if (pending.from && std::find(ports.begin(), ports.end(), pending.from) != ports.end()) {
        pending.from->BusTelegramSent(t);
    }
}

}  // namespace bcuemu
