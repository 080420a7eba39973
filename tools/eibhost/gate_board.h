// What the session shows: the gates of every instance with their values, and a
// journal of the driver's log, bus deliveries and step results. Written from
// the driver's listener threads and the request thread; read by the display.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace eibhost {

struct GateRow {
    int instance = 1;
    std::string address;   // as the driver builds it: "A_01/0002", or a command name
    uint32_t gateType = 0;
    uint32_t commandIndex = 0;
    uint16_t groupAddress = 0;
    uint32_t gateId = 0;   // the host library's id, shared by rows of the same address
};

struct GateState {
    std::optional<uint16_t> value;  // last value from the bus or a read
    std::string source;             // "bus" or "read"
    uint32_t busPuts = 0;
    std::optional<uint16_t> sent;   // last value written
    double changedAt = 0;           // seconds since the session began
};

class GateBoard {
public:
    GateBoard();

    void AddRow(const GateRow& row);
    std::vector<GateRow> Rows() const;

    // Value updates. busPut is called on a listener thread.
    void BusPut(uint32_t gateId, const std::string& address, uint16_t raw);
    void ReadValue(uint32_t gateId, uint16_t value);
    void SentValue(uint32_t gateId, uint16_t value);
    GateState State(uint32_t gateId) const;

    // Waits until the gate holds `value`; false on time-out.
    bool WaitForValue(uint32_t gateId, uint16_t value, std::chrono::milliseconds timeout);

    // Journal entries. kind: "log", "bus", "step", "note", "error".
    void Journal(const std::string& kind, const std::string& text);
    bool LogContains(const std::string& text) const;

    // Display side: waits for a change (or the time-out), returns the change counter.
    uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const;
    // Journal lines from index `from` on (index counts every line ever added).
    std::vector<std::string> JournalSince(uint64_t from, uint64_t& next) const;
    std::vector<std::string> JournalTail(size_t count) const;
    std::vector<std::pair<GateRow, GateState>> Snapshot() const;
    void Wake();  // ends a display wait at once
    double Elapsed() const;

private:
    struct Gate {
        uint32_t gateId;
        GateState state;
    };
    Gate& GateOf(uint32_t gateId);  // locked by caller
    void Changed();               // locked by caller
    void Append(const std::string& kind, const std::string& text);  // locked by caller

    mutable std::mutex mutex_;
    mutable std::condition_variable changedSignal_;
    std::chrono::steady_clock::time_point begin_;
    std::vector<GateRow> rows_;
    std::vector<Gate> gates_;
    std::deque<std::string> journal_;
    uint64_t journalBase_ = 0;  // index of journal_.front()
    std::vector<std::string> logTexts_;
    uint64_t changes_ = 0;
};

}  // namespace eibhost
