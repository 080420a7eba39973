// The commands bcusim takes on stdin and in scenario scripts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bcuemu/telegram.h"

namespace bcusim {

struct Command {
    enum class Kind : uint8_t { kNothing, kHelp, kQuit, kStatus, kWrite, kResponse, kRead, kSet, kFrame, kCell, kBusy, kLost };
    Kind kind = Kind::kNothing;
    uint16_t group = 0;
    std::optional<bcuemu::ValueSize> size;  // given explicitly
    bcuemu::ValueSize guessedSize = bcuemu::ValueSize::kBit;  // from a gate prefix or the value
    std::string valueText;
    int line = 0;
    std::vector<uint8_t> bytes;   // kFrame
    uint16_t cell = 0;            // kCell
    std::optional<unsigned> cellValue;
    uint16_t count = 0;           // kBusy: its wait (ms); kLost: telegrams lost
};

// false with `error` set for a line that is not a command.
bool ParseCommand(const std::string& text, Command& command, std::string& error);

}  // namespace bcusim
