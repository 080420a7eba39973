// An emulated FT1.2 interface on a pseudo terminal: what a PC's serial port
// finds when a BCU2 in FT1.2 mode (EMI2) or a cEMI module is on the cable,
// on the emulated bus. Raw bytes only, no modem lines: FT1.2 uses none.
//
// The link (ft12/ft12_link.h) acknowledges the PC's frames and repeats its
// own until acknowledged. Above it, in link-layer mode (EMI2: after
// PEI_Switch.req A9 00 18 34 56 78 0A; cEMI: communication mode 0, the
// default), every telegram of the bus comes to the PC as L_Data.ind; an
// L_Data.req goes on the bus (a source of 0.0.0 becomes the interface's
// address) and is confirmed with L_Data.con once it has gone out. EMI2 also
// answers PC_GetValue.req and takes PC_SetValue.req (ft12/emi2_memory.h).
// Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bus.h"
#include "bcuemu/ft12_faults.h"

namespace bcuemu {

namespace detail {
class LineTransport;
}
namespace ft12 {
class Link;
class Emi2Memory;
}

enum class EmiFlavour : uint8_t { kEmi2, kCemi };

struct Ft12Options {
    EmiFlavour flavour = EmiFlavour::kEmi2;
    uint16_t individualAddress = 0x11FA;  // source of the telegrams it sends
};

// What the link did so far.
struct Ft12Counts {
    unsigned resets = 0;     // resets acknowledged
    unsigned taken = 0;      // new frames from the PC acted on
    unsigned repeats = 0;    // repeated frames acknowledged, not acted on
    unsigned dropped = 0;    // bad or cut frames from the PC
    unsigned abandoned = 0;  // frames to the PC never acknowledged
};

class Ft12Interface final : public BusPort {
public:
    using Printer = std::function<void(const std::string&)>;

    // The bus must outlive the interface. `note` gets a line for each reset
    // of the link and change of mode (may be empty).
    Ft12Interface(Bus& bus, Ft12Options options, Printer note = {});
    ~Ft12Interface() override;
    Ft12Interface(const Ft12Interface&) = delete;
    Ft12Interface& operator=(const Ft12Interface&) = delete;

    // Serves on a new pseudo terminal (Linux); with `linkPath`, a symlink
    // there names it. Returns the path a port opens, or "" (see LastError()).
    std::string ServePty(const std::string& linkPath = "");
    void Stop();
    std::string LastError() const;

    bool LinkLayer() const;
    Ft12Counts Counts() const;
    // Replaces the faults armed so far.
    void SetFaults(const Ft12Faults& faults);
    // Until Counts() satisfies `condition`; false after timeoutMs.
    bool WaitCounts(const std::function<bool(const Ft12Counts&)>& condition, int timeoutMs) const;

    // BusPort.
    void BusTelegram(const Telegram& telegram) override;
    void BusTelegramSent(const Telegram& telegram) override;

private:
    void Run();
    int64_t NowUs() const;
    // Acts on one message from the PC; called with mutex_ held. Returns notes to print.
    void HandleLocked(const std::vector<uint8_t>& message, std::vector<std::string>& notes);
    void HandleCemiLocked(const std::vector<uint8_t>& message, std::vector<std::string>& notes);
    void SetLinkLayerLocked(bool on, std::vector<std::string>& notes);
    void SendLocked(std::vector<uint8_t> message);
    void Print(const std::vector<std::string>& notes) const;

    Bus& bus_;
    const Ft12Options options_;
    Printer note_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;  // everything below
    mutable std::condition_variable changed_;
    std::unique_ptr<ft12::Link> link_;
    std::unique_ptr<ft12::Emi2Memory> memory_;
    bool linkLayer_ = false;
    std::deque<std::vector<uint8_t>> awaitingConfirm_;  // L_Data.con to send, in bus order
    std::unique_ptr<detail::LineTransport> transport_;
    std::string lastError_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace bcuemu
