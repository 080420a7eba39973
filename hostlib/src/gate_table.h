// Gates by address text: a GateId (1, 2, ... in order of definition), the raw
// value, the last cooked value put and the number of puts.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "huxtor.h"

namespace huxtor {

class GateTable {
public:
    // The id of `address`, defining the gate when it is new.
    uint32_t add(const std::string& address);
    // 0 when unknown.
    uint32_t find(const std::string& address) const;
    bool contains(uint32_t id) const;
    bool setRaw(uint32_t id, uint16_t raw);
    std::optional<uint16_t> raw(uint32_t id) const;
    std::optional<HuxCookedValue> cooked(uint32_t id) const;
    uint32_t putCount(uint32_t id) const;  // 0 for an unknown gate
    // Stores a put value and the raw value it carries; the gate's address, nothing when unknown.
    std::optional<std::string> put(uint32_t id, const HuxCookedValue& cooked, uint16_t raw);
    void clear();

private:
    struct Gate {
        std::string address;
        uint16_t raw = 0;
        HuxCookedValue cooked{};
        uint32_t puts = 0;
    };
    const Gate* gate(uint32_t id) const;  // caller holds the mutex
    Gate* gate(uint32_t id);

    mutable std::mutex mutex_;
    std::vector<Gate> gates_;  // id n at index n - 1
    std::unordered_map<std::string, uint32_t> ids_;
};

}  // namespace huxtor
