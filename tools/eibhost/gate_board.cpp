#include "gate_board.h"

#include <cstdio>

namespace eibhost {
namespace {
constexpr size_t kJournalKept = 5000;
}

GateBoard::GateBoard() : begin_(std::chrono::steady_clock::now()) {}

double GateBoard::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

void GateBoard::addRow(const GateRow& row) {
    std::lock_guard lock(mutex_);
    rows_.push_back(row);
    gate(row.gateId);
    changed();
}

std::vector<GateRow> GateBoard::rows() const {
    std::lock_guard lock(mutex_);
    return rows_;
}

GateBoard::Gate& GateBoard::gate(uint32_t gateId) {
    for (Gate& each : gates_) {
        if (each.gateId == gateId) return each;
    }
    gates_.push_back({gateId, {}});
    return gates_.back();
}

void GateBoard::changed() {
    ++changes_;
    changedSignal_.notify_all();
}

void GateBoard::busPut(uint32_t gateId, const std::string& address, uint16_t raw) {
    char line[96];
    std::snprintf(line, sizeof line, "%s = %u (0x%04X)", address.c_str(), raw, raw);
    std::lock_guard lock(mutex_);
    GateState& state = gate(gateId).state;
    state.value = raw;
    state.source = "bus";
    ++state.busPuts;
    state.changedAt = elapsed();
    append("bus", line);
}

void GateBoard::readValue(uint32_t gateId, uint16_t value) {
    std::lock_guard lock(mutex_);
    GateState& state = gate(gateId).state;
    state.value = value;
    state.source = "read";
    state.changedAt = elapsed();
    changed();
}

void GateBoard::sentValue(uint32_t gateId, uint16_t value) {
    std::lock_guard lock(mutex_);
    GateState& state = gate(gateId).state;
    state.sent = value;
    state.changedAt = elapsed();
    changed();
}

GateState GateBoard::state(uint32_t gateId) const {
    std::lock_guard lock(mutex_);
    for (const Gate& each : gates_) {
        if (each.gateId == gateId) return each.state;
    }
    return {};
}

bool GateBoard::waitForValue(uint32_t gateId, uint16_t value, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changedSignal_.wait_for(lock, timeout, [&] { return gate(gateId).state.value == value; });
}

void GateBoard::journal(const std::string& kind, const std::string& text) {
    std::lock_guard lock(mutex_);
    append(kind, text);
}

void GateBoard::append(const std::string& kind, const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", elapsed());
    std::string padded = kind;
    padded.resize(6, ' ');
    if (kind == "log") logTexts_.push_back(text);
    journal_.push_back(stamp + padded + text);
    while (journal_.size() > kJournalKept) {
        journal_.pop_front();
        ++journalBase_;
    }
    changed();
}

bool GateBoard::logContains(const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const std::string& line : logTexts_) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

uint64_t GateBoard::waitForChange(uint64_t seen, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changedSignal_.wait_for(lock, timeout, [&] { return changes_ != seen; });
    return changes_;
}

void GateBoard::wake() {
    std::lock_guard lock(mutex_);
    changed();
}

std::vector<std::string> GateBoard::journalSince(uint64_t from, uint64_t& next) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    if (from < journalBase_) from = journalBase_;
    for (uint64_t i = from; i < journalBase_ + journal_.size(); ++i) lines.push_back(journal_[i - journalBase_]);
    next = journalBase_ + journal_.size();
    return lines;
}

std::vector<std::string> GateBoard::journalTail(size_t count) const {
    std::lock_guard lock(mutex_);
    size_t first = journal_.size() > count ? journal_.size() - count : 0;
    return {journal_.begin() + static_cast<std::ptrdiff_t>(first), journal_.end()};
}

std::vector<std::pair<GateRow, GateState>> GateBoard::snapshot() const {
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
