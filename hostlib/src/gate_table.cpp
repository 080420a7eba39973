#include "gate_table.h"

namespace huxtor {

const GateTable::Gate* GateTable::gate(uint32_t id) const {
    if (id == 0 || id > gates_.size()) return nullptr;
    return &gates_[id - 1];
}

GateTable::Gate* GateTable::gate(uint32_t id) {
    return const_cast<Gate*>(static_cast<const GateTable*>(this)->gate(id));
}

uint32_t GateTable::add(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto [it, inserted] = ids_.try_emplace(address, static_cast<uint32_t>(gates_.size() + 1));
    if (inserted) gates_.push_back(Gate{address});
    return it->second;
}

uint32_t GateTable::find(const std::string& address) const {
    std::lock_guard lock(mutex_);
    const auto it = ids_.find(address);
    return it == ids_.end() ? 0 : it->second;
}

bool GateTable::contains(uint32_t id) const {
    std::lock_guard lock(mutex_);
    return gate(id) != nullptr;
}

bool GateTable::setRaw(uint32_t id, uint16_t raw) {
    std::lock_guard lock(mutex_);
    Gate* g = gate(id);
    if (g == nullptr) return false;
    g->raw = raw;
    return true;
}

std::optional<uint16_t> GateTable::raw(uint32_t id) const {
    std::lock_guard lock(mutex_);
    const Gate* g = gate(id);
    if (g == nullptr) return std::nullopt;
    return g->raw;
}

std::optional<HuxCookedValue> GateTable::cooked(uint32_t id) const {
    std::lock_guard lock(mutex_);
    const Gate* g = gate(id);
    if (g == nullptr) return std::nullopt;
    return g->cooked;
}

uint32_t GateTable::putCount(uint32_t id) const {
    std::lock_guard lock(mutex_);
    const Gate* g = gate(id);
    return g == nullptr ? 0 : g->puts;
}

std::optional<std::string> GateTable::put(uint32_t id, const HuxCookedValue& cooked, uint16_t raw) {
    std::lock_guard lock(mutex_);
    Gate* g = gate(id);
    if (g == nullptr) return std::nullopt;
    g->cooked = cooked;
    g->raw = raw;
    ++g->puts;
    return g->address;
}

void GateTable::clear() {
    std::lock_guard lock(mutex_);
    gates_.clear();
    ids_.clear();
}

}  // namespace huxtor
