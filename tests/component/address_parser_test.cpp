// Parsing gate addresses (request code 3): which addresses name which command
// and group address, what the host finds in its ParseBlock afterwards, and the
// log lines of every kind of rejection.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands/command_table.h"
#include "host/host_functions.h"
#include "entry/qel_main.h"
#include "huxtor_control.h"
#include "abi/records.h"

namespace qel {
namespace {

using Lines = std::vector<std::string>;

// What the host put into the fields the parse must not touch, and into the
// outputs before the parse, so that "not written" is visible.
constexpr uint32_t kUntouched = 0xA5A5A5A5u;

// A ParseBlock with guard words after it.
struct GuardedBlock {
    ParseBlock block;
    uint32_t after[4];
};

struct Outcome {
    int32_t result;
    ParseBlock block;
    Lines log;
};

Lines takeLog() {
    Lines lines;
    const uint32_t count = HuxCtlLogCount();
    for (uint32_t i = 0; i < count; ++i) {
        int level = 0;
        char text[1024] = {};
        EXPECT_EQ(HuxCtlLogLine(i, &level, text, sizeof text), 0);
        EXPECT_EQ(level, 32) << text;
        lines.emplace_back(text);
    }
    HuxCtlLogClear();
    return lines;
}

class AddressParser : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlLogClear();
        std::memset(&instance_, 0x5A, sizeof instance_);
        std::memset(instance_.instanceName, 0, sizeof instance_.instanceName);
        std::strcpy(instance_.instanceName, "QelEIB01");
        std::memcpy(&instanceBefore_, &instance_, sizeof instance_);
    }

    void TearDown() override {
        EXPECT_EQ(std::memcmp(&instance_, &instanceBefore_, sizeof instance_), 0) << "the parse changed InstanceData";
    }

    Outcome parse(const char* address, uint32_t gateType) {
        GuardedBlock guarded;
        std::memset(&guarded, 0xA5, sizeof guarded);
        guarded.block.address = address;
        guarded.block.gateType = gateType;
        RequestBlock request{};
        request.instance = &instance_;
        request.functionCode = 3;
        request.params = &guarded.block;

        Outcome outcome{};
        outcome.result = Dispatch(&request);
        outcome.block = guarded.block;
        outcome.log = takeLog();

        EXPECT_EQ(guarded.block.address, address);
        EXPECT_EQ(guarded.block.reserved4, kUntouched);
        EXPECT_EQ(guarded.block.gateType, gateType);
        EXPECT_EQ(guarded.block.reserved12, kUntouched);
        for (uint32_t word : guarded.after) EXPECT_EQ(word, kUntouched) << "written past the ParseBlock";
        return outcome;
    }

    InstanceData instance_;
    InstanceData instanceBefore_;
};

std::string addressLabel(const char* text) {
    std::string label;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        label += std::isalnum(c) ? static_cast<char>(c) : '_';
    }
    return label;
}

// ---- Accepted addresses ------------------------------------------------------

struct Accepted {
    const char* address;
    uint32_t gateType;
    int index;
    uint32_t groupAddress;
};

void PrintTo(const Accepted& a, std::ostream* os) { *os << '"' << a.address << "\" type " << a.gateType; }

class AcceptedAddress : public AddressParser, public ::testing::WithParamInterface<Accepted> {};

TEST_P(AcceptedAddress, yields_its_command_index_and_group_address) {
    const Accepted& expected = GetParam();
    const Outcome outcome = parse(expected.address, expected.gateType);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.block.out16, 0u);
    EXPECT_EQ(outcome.block.commandIndex, static_cast<uint32_t>(expected.index));
    EXPECT_EQ(outcome.block.groupAddress, expected.groupAddress);
    EXPECT_EQ(outcome.block.out28, 255u);
    EXPECT_EQ(outcome.block.out32, expected.gateType == 6 ? 1u : 16u);
    EXPECT_EQ(outcome.log, Lines{});
}

// Every row by its exact name: the command rows take gate type 0, "D_" type 6,
// and the bare group prefixes name their rows with group address 0.
INSTANTIATE_TEST_SUITE_P(EveryRowByName, AcceptedAddress,
                         ::testing::Values(Accepted{"LINKLAYER", 0, kLinkLayer, 0},
                                           Accepted{"RESETBCU", 0, kResetBcu, 0},
                                           Accepted{"PUT_0116", 0, kPut0116, 0},
                                           Accepted{"GET_0116", 0, kGet0116, 0},
                                           Accepted{"D_", 6, kGroupBit, 0},
                                           Accepted{"A_", 0, kGroupByte, 0},
                                           Accepted{"A2", 0, kGroupWord, 0},
                                           Accepted{"GET_LAYER", 0, kGetLayer, 0},
                                           Accepted{"PUT_LAYER", 0, kPutLayer, 0},
                                           Accepted{"CHK_COMM", 0, kChkComm, 0},
                                           Accepted{"SET_DTR", 0, kSetDtr, 0},
                                           Accepted{"SET_RTS", 0, kSetRts, 0}),
                         [](const auto& p) { return std::to_string(p.index) + "_" + addressLabel(p.param.address); });

// The image is upper-cased before matching.
INSTANTIATE_TEST_SUITE_P(EveryRowInLowerCase, AcceptedAddress,
                         ::testing::Values(Accepted{"linklayer", 0, kLinkLayer, 0},
                                           Accepted{"resetbcu", 0, kResetBcu, 0},
                                           Accepted{"put_0116", 0, kPut0116, 0},
                                           Accepted{"get_0116", 0, kGet0116, 0},
                                           Accepted{"d_", 6, kGroupBit, 0},
                                           Accepted{"a_", 0, kGroupByte, 0},
                                           Accepted{"a2", 0, kGroupWord, 0},
                                           Accepted{"get_layer", 0, kGetLayer, 0},
                                           Accepted{"put_layer", 0, kPutLayer, 0},
                                           Accepted{"chk_comm", 0, kChkComm, 0},
                                           Accepted{"set_dtr", 0, kSetDtr, 0},
                                           Accepted{"set_rts", 0, kSetRts, 0},
                                           Accepted{"LinkLayer", 0, kLinkLayer, 0},
                                           Accepted{"Get_Layer", 0, kGetLayer, 0}),
                         [](const auto& p) { return std::to_string(p.index) + "_" + addressLabel(p.param.address); });

INSTANTIATE_TEST_SUITE_P(
    GroupAddresses, AcceptedAddress,
    ::testing::Values(Accepted{"D_01/0001", 6, kGroupBit, 0x0801},
                      Accepted{"d_01/0001", 6, kGroupBit, 0x0801},
                      Accepted{"A_01/0002", 0, kGroupByte, 0x0802},
                      Accepted{"A200/0000", 0, kGroupWord, 0x0000},
                      Accepted{"a203/0100", 0, kGroupWord, 3 * 2048 + 100},
                      Accepted{"A_13/2047", 0, kGroupByte, 0x6FFF},          // largest main and sub group
                      Accepted{"D_13/2047", 6, kGroupBit, 0x6FFF},           // nine characters
                      Accepted{"A_0A/0001", 0, kGroupByte, 10 * 2048 + 1},   // letters count 10..35
                      Accepted{"a_00/00a0", 0, kGroupByte, 100},
                      Accepted{"A_01/000_", 0, kGroupByte, 2048 + 40},       // "_" counts 40
                      Accepted{"A_01/000/", 0, kGroupByte, 2048 + 255},      // "/" counts 255
                      Accepted{"A_00/_/40", 0, kGroupByte, 4},               // 65540 wraps to 4
                      Accepted{"D\x7F" "01/0001", 6, kGroupBit, 0x0801}),    // DEL becomes "_"
    [](const auto& p) { return std::to_string(p.index) + "_" + addressLabel(p.param.address); });

TEST_F(AddressParser, a_bare_prefix_clears_a_group_address_left_in_the_block) {
    // parse() fills +24 with a pattern first; "A_" must leave 0 there.
    const Outcome outcome = parse("A_", 0);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.block.groupAddress, 0u);
}

TEST_F(AddressParser, reads_back_every_address_the_listener_spells) {
    const unsigned mains[] = {0, 1, 7, 13};
    const unsigned subs[] = {0, 1, 999, 1000, 2047};
    for (int index : {kGroupBit, kGroupByte, kGroupWord}) {
        const uint32_t gateType = index == kGroupBit ? 6 : 0;
        for (unsigned mainGroup : mains) {
            for (unsigned subGroup : subs) {
                char text[16];
                std::snprintf(text, sizeof text, GroupAddressFormat(index), static_cast<int>(mainGroup),
                              static_cast<int>(subGroup));
                const Outcome outcome = parse(text, gateType);
                EXPECT_EQ(outcome.result, 0) << text;
                EXPECT_EQ(outcome.block.commandIndex, static_cast<uint32_t>(index)) << text;
                EXPECT_EQ(outcome.block.groupAddress, MakeGroupAddress(mainGroup, subGroup)) << text;
            }
        }
    }
    EXPECT_EQ(GroupAddressFormat(kLinkLayer), nullptr);
    EXPECT_EQ(GroupAddressFormat(kSetRts), nullptr);
}

TEST(CommandTableRows, end_with_an_empty_name) {
    EXPECT_STREQ(CommandTable[kCommandCount].name, "");
    for (int index = 0; index < kCommandCount; ++index) {
        EXPECT_NE(CommandTable[index].name[0], '\0') << index;
        EXPECT_EQ(CommandTable[index].requiredGateType, index == kGroupBit ? 6 : 0) << index;
    }
}

// ---- Rejected by the character check ---------------------------------------

struct BadChars {
    const char* address;
    uint32_t gateType;
};

void PrintTo(const BadChars& b, std::ostream* os) { *os << '"' << b.address << "\" type " << b.gateType; }

class InvalidCharacters : public AddressParser, public ::testing::WithParamInterface<BadChars> {};

TEST_P(InvalidCharacters, are_logged_with_the_hosts_text_and_leave_the_outputs_unset) {
    const BadChars& bad = GetParam();
    const Outcome outcome = parse(bad.address, bad.gateType);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, Lines{"QelEIB01: SingleParser() invalid char found (addr = '" + std::string(bad.address) +
                                 "')"});
    EXPECT_EQ(outcome.block.out28, 255u);
    EXPECT_EQ(outcome.block.out32, bad.gateType == 6 ? 1u : 16u);
    EXPECT_EQ(outcome.block.out16, kUntouched);
    EXPECT_EQ(outcome.block.commandIndex, kUntouched);
    EXPECT_EQ(outcome.block.groupAddress, kUntouched);
}

INSTANTIATE_TEST_SUITE_P(
    NotInTheAllowedSet, InvalidCharacters,
    ::testing::Values(BadChars{"A-1", 0},
                      BadChars{"a-1", 6},              // logged as the host wrote it
                      BadChars{"A 1", 0},
                      BadChars{"A_01.0001", 0},
                      BadChars{"set{dtr", 0},          // 0x7B becomes "[" in the image
                      BadChars{"`", 0},                // 0x60 is left alone
                      BadChars{"~", 0},                // 0x7E becomes "^"
                      BadChars{"A_\x80", 0},
                      BadChars{"D_01/000\xFF", 6},
                      BadChars{"\xC4", 0}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

INSTANTIATE_TEST_SUITE_P(
    LongerThanNineCharacters, InvalidCharacters,
    ::testing::Values(BadChars{"LINKLAYERS", 0},
                      BadChars{"D_01/00012", 6},
                      BadChars{"GET_LAYER_", 0},
                      BadChars{"A_01/0001A_01/0001A_01/0001A_01/0001A_01/0001A_01/0001A_01/0001A_01/0001", 0}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

// ---- Rejected by the name search --------------------------------------------

TEST_F(AddressParser, an_empty_address_is_no_command) {
    const Outcome outcome = parse("", 0);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, Lines{"QelEIB01: SingleParser() fail, command not found (addr = '')"});
    EXPECT_EQ(outcome.block.out16, 0u);
    EXPECT_EQ(outcome.block.commandIndex, 0u);
    EXPECT_EQ(outcome.block.groupAddress, 0u);
    EXPECT_EQ(outcome.block.out28, 255u);
    EXPECT_EQ(outcome.block.out32, 16u);
}

TEST_F(AddressParser, a_missing_address_text_is_parsed_as_empty) {
    const Outcome outcome = parse(nullptr, 6);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, Lines{"QelEIB01: SingleParser() fail, command not found (addr = '')"});
    EXPECT_EQ(outcome.block.commandIndex, 0u);
    EXPECT_EQ(outcome.block.groupAddress, 0u);
    EXPECT_EQ(outcome.block.out32, 1u);
}

TEST_F(AddressParser, unknown_names_are_not_found) {
    for (const char* address : {"LINKLAYE", "linklaye", "GET_0117", "RESET", "D", "A", "A3", "_", "/", "GET_LAYE"}) {
        const Outcome outcome = parse(address, 0);
        EXPECT_EQ(outcome.result, 1) << address;
        EXPECT_EQ(outcome.log,
                  Lines{"QelEIB01: SingleParser() fail, command not found (addr = '" + std::string(address) + "')"});
        EXPECT_EQ(outcome.block.out16, 0u) << address;
        EXPECT_EQ(outcome.block.commandIndex, 0u) << address;
        EXPECT_EQ(outcome.block.groupAddress, 0u) << address;
    }
}

TEST_F(AddressParser, a_group_address_without_its_slash_is_logged_twice) {
    const Outcome outcome = parse("D_123/034", 6);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, (Lines{"QelEIB01: SearchCmdName() fail, '/' char not found (D_123/034)",
                                  "QelEIB01: SingleParser() fail, command not found (addr = 'D_123/034')"}));
    EXPECT_EQ(outcome.block.commandIndex, 0u);
    EXPECT_EQ(outcome.block.groupAddress, 0u);
    EXPECT_EQ(outcome.block.out32, 1u);
}

TEST_F(AddressParser, the_search_logs_the_upper_cased_copy_and_the_parser_the_hosts_text) {
    const Outcome outcome = parse("a_1", 0);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, (Lines{"QelEIB01: SearchCmdName() fail, '/' char not found (A_1)",
                                  "QelEIB01: SingleParser() fail, command not found (addr = 'a_1')"}));
}

struct OutOfRange {
    const char* address;
    int mainGroup;
    int subGroup;
};

void PrintTo(const OutOfRange& o, std::ostream* os) { *os << '"' << o.address << '"'; }

class GroupOutOfRange : public AddressParser, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(GroupOutOfRange, is_logged_with_both_groups_then_as_not_found) {
    const OutOfRange& bad = GetParam();
    const Outcome outcome = parse(bad.address, 0);
    EXPECT_EQ(outcome.result, 1);
    const std::string copy = bad.address;  // already upper case
    EXPECT_EQ(outcome.log, (Lines{"QelEIB01: SearchCmdName() fail, Main (" + std::to_string(bad.mainGroup) +
                                      ") or Sub (" + std::to_string(bad.subGroup) + ") group out of range (" + copy +
                                      " )",
                                  "QelEIB01: SingleParser() fail, command not found (addr = '" + copy + "')"}));
    EXPECT_EQ(outcome.block.out16, 0u);
    EXPECT_EQ(outcome.block.commandIndex, 0u);
    EXPECT_EQ(outcome.block.groupAddress, 0u);
    EXPECT_EQ(outcome.block.out28, 255u);
    EXPECT_EQ(outcome.block.out32, 16u);
}

INSTANTIATE_TEST_SUITE_P(
    Groups, GroupOutOfRange,
    ::testing::Values(OutOfRange{"A_14/0000", 14, 0},
                      OutOfRange{"A_00/2048", 0, 2048},
                      OutOfRange{"A2ZZ/0000", 385, 0},
                      OutOfRange{"A_12/34", 12, 5688},        // the missing sub digits read as NUL, 208 each
                      OutOfRange{"A_01/", 1, 34480},          // a sub group of four NULs
                      OutOfRange{"A__0/0000", 400, 0},        // "_" counts 40
                      OutOfRange{"A_/1/0000", 2551, 0},       // "/" counts 255
                      OutOfRange{"A_00/////", 0, 21161}),     // 283305 kept to 16 bits
    [](const auto& p) { return "case" + std::to_string(p.index); });

// ---- Rejected by the gate-type check ----------------------------------------

TEST_F(AddressParser, a_one_bit_group_on_another_gate_type_keeps_its_index_and_address) {
    const Outcome outcome = parse("D_01/0001", 0);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, (Lines{"EIB: CheckGateType fail, memType = 4, gateType = 0, gateAddr 0801",
                                  "QelEIB01: SingleParser() fail, on CheckGateType (addr = 'D_01/0001')"}));
    EXPECT_EQ(outcome.block.out16, 0u);
    EXPECT_EQ(outcome.block.commandIndex, 4u);
    EXPECT_EQ(outcome.block.groupAddress, 2049u);
    EXPECT_EQ(outcome.block.out28, 255u);
    EXPECT_EQ(outcome.block.out32, 16u);
}

TEST_F(AddressParser, a_command_on_a_one_bit_gate_fails_the_type_check) {
    const Outcome outcome = parse("get_0116", 6);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, (Lines{"EIB: CheckGateType fail, memType = 3, gateType = 6, gateAddr 0000",
                                  "QelEIB01: SingleParser() fail, on CheckGateType (addr = 'get_0116')"}));
    EXPECT_EQ(outcome.block.commandIndex, 3u);
    EXPECT_EQ(outcome.block.groupAddress, 0u);
    EXPECT_EQ(outcome.block.out32, 1u);
}

TEST_F(AddressParser, a_byte_group_on_a_one_bit_gate_fails_the_type_check) {
    const Outcome outcome = parse("A_13/2047", 6);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, (Lines{"EIB: CheckGateType fail, memType = 5, gateType = 6, gateAddr 6fff",
                                  "QelEIB01: SingleParser() fail, on CheckGateType (addr = 'A_13/2047')"}));
    EXPECT_EQ(outcome.block.commandIndex, 5u);
    EXPECT_EQ(outcome.block.groupAddress, 0x6FFFu);
}

TEST_F(AddressParser, the_gate_type_is_compared_in_full) {
    // 0x106 is not 6: neither the type check nor the +32 output take it for a one-bit gate.
    const Outcome outcome = parse("D_00/0001", 0x106);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.log, (Lines{"EIB: CheckGateType fail, memType = 4, gateType = 262, gateAddr 0001",
                                  "QelEIB01: SingleParser() fail, on CheckGateType (addr = 'D_00/0001')"}));
    EXPECT_EQ(outcome.block.out32, 16u);
}

// ---- Requests without their records -----------------------------------------

TEST_F(AddressParser, a_request_without_a_parameter_block_is_refused_with_a_line) {
    RequestBlock request{};
    request.instance = &instance_;
    request.functionCode = 3;
    EXPECT_EQ(Dispatch(&request), 1);
    EXPECT_EQ(takeLog(), Lines{"QelEIB01: SingleParser() fail, no parameter block"});
}

TEST_F(AddressParser, a_request_without_an_instance_is_refused_untouched_and_silently) {
    GuardedBlock guarded;
    std::memset(&guarded, 0xA5, sizeof guarded);
    guarded.block.address = "LINKLAYER";
    guarded.block.gateType = 0;
    GuardedBlock before = guarded;
    RequestBlock request{};
    request.functionCode = 3;
    request.params = &guarded.block;
    EXPECT_EQ(Dispatch(&request), 1);
    EXPECT_EQ(std::memcmp(&guarded, &before, sizeof guarded), 0);
    EXPECT_EQ(takeLog(), Lines{});
    EXPECT_EQ(Dispatch(nullptr), 2);  // no request at all: a code out of range
}

TEST_F(AddressParser, reads_the_hosts_text_no_further_than_its_terminator) {
    // Each text in a heap block of its exact size, so that a memory checker sees any overread.
    for (const char* address : {"", "A_", "A_12/34", "D_01/0001", "LINKLAYERS", "GET_LAYER_AND_MORE"}) {
        const size_t size = std::strlen(address) + 1;
        auto exact = std::make_unique<char[]>(size);
        std::memcpy(exact.get(), address, size);
        const Outcome outcome = parse(exact.get(), 6);
        EXPECT_EQ(outcome.result, std::strcmp(address, "D_01/0001") == 0 ? 0 : 1) << address;
    }
}

TEST_F(AddressParser, log_lines_carry_the_instances_own_name) {
    std::strcpy(instance_.instanceName, "QelEIB02");
    std::memcpy(&instanceBefore_, &instance_, sizeof instance_);
    EXPECT_EQ(parse("X", 0).log, Lines{"QelEIB02: SingleParser() fail, command not found (addr = 'X')"});
}

}  // namespace
}  // namespace qel
