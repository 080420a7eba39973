#include "gate_board.h"

#include <cstdio>

#include "group_address.h"

namespace eibhost {
namespace {
constexpr size_t kJournalKept = 5000;
}

GateBoard::GateBoard() : begin_(std::chrono::steady_clock::now()) {}

double GateBoard::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

void GateBoard::AddRow(const GateRow& row) {
    std::lock_guard lock(mutex_);
    rows_.push_back(row);
    GateOf(row.gateId);
    Changed();
}

std::vector<GateRow> GateBoard::Rows() const {
    std::lock_guard lock(mutex_);
    return rows_;
}

GateBoard::Gate& GateBoard::GateOf(uint32_t gateId) {
    for (Gate& each : gates_) {
        if (each.gateId == gateId) return each;
    }
    gates_.push_back({gateId, {}});
    return gates_.back();
}

void GateBoard::Changed() {
    ++changes_;
    changedSignal_.notify_all();
}

void GateBoard::BusPut(uint32_t gateId, const std::string& address, uint16_t raw) {
    char line[96];
    const std::string group = GroupTextOfGate(address);
    std::snprintf(line, sizeof line, "%s%s%s = %u (0x%04X)", address.c_str(), group.empty() ? "" : "  ", group.c_str(),
                  raw, raw);
    std::lock_guard lock(mutex_);
    GateState& state = GateOf(gateId).state;
    state.value = raw;
    state.source = "bus";
    ++state.busPuts;
    state.changedAt = Elapsed();
    Append("bus", line);
}

void GateBoard::ReadValue(uint32_t gateId, uint16_t value) {
    std::lock_guard lock(mutex_);
    GateState& state = GateOf(gateId).state;
    state.value = value;
    state.source = "read";
    state.changedAt = Elapsed();
    Changed();
}

void GateBoard::SentValue(uint32_t gateId, uint16_t value) {
    std::lock_guard lock(mutex_);
    GateState& state = GateOf(gateId).state;
    state.sent = value;
    state.changedAt = Elapsed();
    Changed();
}

GateState GateBoard::State(uint32_t gateId) const {
    std::lock_guard lock(mutex_);
    for (const Gate& each : gates_) {
        if (each.gateId == gateId) return each.state;
    }
    return {};
}

bool GateBoard::WaitForValue(uint32_t gateId, uint16_t value, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changedSignal_.wait_for(lock, timeout, [&] { return GateOf(gateId).state.value == value; });
}

void GateBoard::Journal(const std::string& kind, const std::string& text) {
    std::lock_guard lock(mutex_);
    Append(kind, text);
}

void GateBoard::Append(const std::string& kind, const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", Elapsed());
    std::string padded = kind;
    padded.resize(6, ' ');
    if (kind == "log") logTexts_.push_back(text);
    journal_.push_back(stamp + padded + text);
    while (journal_.size() > kJournalKept) {
        journal_.pop_front();
        ++journalBase_;
    }
    Changed();
}

bool GateBoard::LogContains(const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const std::string& line : logTexts_) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

uint64_t GateBoard::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changedSignal_.wait_for(lock, timeout, [&] { return changes_ != seen; });
    return changes_;
}

void GateBoard::Wake() {
    std::lock_guard lock(mutex_);
    Changed();
}

std::vector<std::string> GateBoard::JournalSince(uint64_t from, uint64_t& next) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    if (from < journalBase_) from = journalBase_;
    for (uint64_t i = from; i < journalBase_ + journal_.size(); ++i) lines.push_back(journal_[i - journalBase_]);
    next = journalBase_ + journal_.size();
    return lines;
}

std::vector<std::string> GateBoard::JournalTail(size_t count) const {
    std::lock_guard lock(mutex_);
    size_t first = journal_.size() > count ? journal_.size() - count : 0;
    return {journal_.begin() + static_cast<std::ptrdiff_t>(first), journal_.end()};
}

std::vector<std::pair<GateRow, GateState>> GateBoard::Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<GateRow, GateState>> out;
    for (const GateRow& row : rows_) {
        GateState state;
        for (const Gate& each : gates_) {
            if (each.gateId == row.gateId) state = each.state;
        }
        out.emplace_back(row, state);
    }
    return out;
}

}  // namespace eibhost
