#include "client_table.h"

namespace huxtor {

std::optional<uint8_t> ClientTable::add(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (uint32_t id = kFirstId; id <= kLastId; ++id) {
        if (!names_[id]) {
            names_[id] = name;
            return static_cast<uint8_t>(id);
        }
    }
    return std::nullopt;
}

bool ClientTable::remove(uint32_t id) {
    std::lock_guard lock(mutex_);
    if (id < kFirstId || id > kLastId || !names_[id]) return false;
    names_[id].reset();
    return true;
}

bool ClientTable::contains(uint32_t id) const {
    std::lock_guard lock(mutex_);
    return id >= kFirstId && id <= kLastId && names_[id].has_value();
}

uint32_t ClientTable::count() const {
    std::lock_guard lock(mutex_);
    uint32_t n = 0;
    for (const auto& name : names_) n += name ? 1 : 0;
    return n;
}

std::optional<std::string> ClientTable::name(uint32_t id) const {
    std::lock_guard lock(mutex_);
    if (id < kFirstId || id > kLastId) return std::nullopt;
    return names_[id];
}

void ClientTable::clear() {
    std::lock_guard lock(mutex_);
    for (auto& name : names_) name.reset();
}

}  // namespace huxtor
