// Registered clients: ids 1..255, each with the name it registered under.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace huxtor {

class ClientTable {
public:
    static constexpr uint32_t kFirstId = 1;
    static constexpr uint32_t kLastId = 255;

    // The lowest free id, or nothing when all are taken.
    std::optional<uint8_t> add(const std::string& name);
    bool remove(uint32_t id);
    bool contains(uint32_t id) const;
    uint32_t count() const;
    std::optional<std::string> name(uint32_t id) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::array<std::optional<std::string>, kLastId + 1> names_;  // slot 0 never used
};

}  // namespace huxtor
