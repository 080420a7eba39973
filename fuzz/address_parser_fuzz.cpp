// The gate-address parse through QelMain (code 3), as a host calls it.
// Input: one byte picks the gate type, the rest is the address text.
// Invariants: the result is 0 or 1; 0 means a command index 0..11, a group
// address only for the group rows, and for those the address spelled back
// ("D_%02d/%04d"...) parses to the same row and address.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "commands/command_table.h"
#include "entry/qel_main.h"
#include "fuzz/support/fake_host.h"

namespace {

using qel::ParseBlock;

constexpr uint32_t kParseCode = 3;

int32_t Parse(qel::InstanceData* instance, const char* text, uint32_t gateType, ParseBlock* block) {
    *block = ParseBlock{};
    block->address = text;
    block->gateType = gateType;
    block->reserved4 = 0xA5A5A5A5u;
    block->reserved12 = 0x5A5A5A5Au;
    qel::RequestBlock request{instance, kParseCode, 0, {}, block};
    return QelMain(&request);
}

// Main group in bits 11..15, sub group in bits 0..10.
unsigned MainOf(qel::GroupAddress address) { return address >> 11; }
unsigned SubOf(qel::GroupAddress address) { return address & 0x7FFu; }

void Require(bool condition, const char* what, const char* text) {
    if (condition) return;
    std::fprintf(stderr, "address parser invariant broken: %s (address '%s')\n", what, text);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    qel::fuzz::InstallFakeWorld();
    auto instance = std::make_unique<qel::InstanceData>();
    std::strcpy(instance->instanceName, "QelEIB01");

    // Mostly the two types the rows demand, sometimes any other.
    const uint8_t typeByte = data[0];
    const uint32_t gateType = typeByte < 0x80 ? 0 : typeByte < 0xF0 ? qel::kBitGateType : typeByte;
    // The text in a buffer of its own exact size, so any read past its NUL shows.
    const size_t length = size - 1;
    std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), data + 1, length);
    text[length] = '\0';
    const char* address = length == 1 && text[0] == '\x01' ? nullptr : text.get();  // a missing text too

    ParseBlock block;
    const int32_t result = Parse(instance.get(), address, gateType, &block);
    const char* shown = address != nullptr ? address : "(null)";
    Require(result == 0 || result == 1, "result is 0 or 1", shown);
    Require(block.reserved4 == 0xA5A5A5A5u && block.reserved12 == 0x5A5A5A5Au, "reserved words untouched", shown);
    Require(block.out28 == 255, "+28 is 255", shown);
    Require(block.out32 == (gateType == qel::kBitGateType ? 1u : 16u), "+32 follows the gate type", shown);
    if (result != 0) return 0;

    const int index = static_cast<int>(block.commandIndex);
    Require(qel::IsCommandIndex(index), "accepted address has a command index 0..11", shown);
    Require(block.out16 == 0, "+16 is 0", shown);
    if (!qel::TakesGroupAddress(index)) {
        Require(block.groupAddress == 0, "command rows carry no group address", shown);
        return 0;
    }
    const auto group = static_cast<qel::GroupAddress>(block.groupAddress);
    Require(block.groupAddress <= 0xFFFF, "group address fits 16 bits", shown);
    Require(MainOf(group) <= qel::kMaxMainGroup && SubOf(group) <= qel::kMaxSubGroup,
            "group in range", shown);

    char spelled[32];
    std::snprintf(spelled, sizeof spelled, qel::GroupAddressFormat(index), static_cast<int>(MainOf(group)),
                  static_cast<int>(SubOf(group)));
    ParseBlock again;
    const int32_t second = Parse(instance.get(), spelled, gateType, &again);
    Require(second == 0, "spelled-back address is accepted", spelled);
    Require(again.commandIndex == block.commandIndex, "spelled-back address names the same row", spelled);
    Require(again.groupAddress == block.groupAddress, "spelled-back address names the same group", spelled);
    return 0;
}
