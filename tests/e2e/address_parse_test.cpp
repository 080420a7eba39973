// Gate addresses parsed through the shipped library's QelMain (code 3): the
// host gets the parse's own result and outputs, and the lines land in its log.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "abi/records.h"
#include "support/loaded_driver.h"

namespace qel {
namespace {

using Lines = std::vector<std::string>;

constexpr uint32_t kParse = 3;

class AddressParse : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&instance_, 0, sizeof instance_);
        std::strcpy(instance_.instanceName, "QelEIB01");
        std::memcpy(&instanceBefore_, &instance_, sizeof instance_);
    }

    void TearDown() override {
        EXPECT_EQ(std::memcmp(&instance_, &instanceBefore_, sizeof instance_), 0) << "a parse changed InstanceData";
    }

    int32_t parse(const char* address, uint32_t gateType) {
        std::memset(&block_, 0xA5, sizeof block_);
        block_.address = address;
        block_.gateType = gateType;
        return driver_.Call(kParse, &instance_, &block_);
    }

    // The log since the last call, every line at level 32.
    Lines takeLog() {
        Lines texts;
        for (const test::LogLine& line : driver_.Log()) {
            EXPECT_EQ(line.level, 32) << line.text;
            texts.push_back(line.text);
        }
        driver_.logClear();
        return texts;
    }

    test::LoadedDriver driver_;
    InstanceData instance_;
    InstanceData instanceBefore_;
    ParseBlock block_;
};

TEST_F(AddressParse, a_one_bit_group_address_comes_back_to_the_host) {
    EXPECT_EQ(parse("D_01/0001", 6), 0);
    EXPECT_EQ(block_.out16, 0u);
    EXPECT_EQ(block_.commandIndex, 4u);
    EXPECT_EQ(block_.groupAddress, 0x0801u);
    EXPECT_EQ(block_.out28, 255u);
    EXPECT_EQ(block_.out32, 1u);
    EXPECT_EQ(takeLog(), Lines{});
}

TEST_F(AddressParse, requests_without_their_records_answer_1) {
    EXPECT_EQ(driver_.Call(kParse, &instance_, nullptr), 1);
    EXPECT_EQ(takeLog(), Lines{"QelEIB01: SingleParser() fail, no parameter block"});

    std::memset(&block_, 0xA5, sizeof block_);
    block_.address = "LINKLAYER";
    ParseBlock before = block_;
    EXPECT_EQ(driver_.Call(kParse, nullptr, &block_), 1);
    EXPECT_EQ(std::memcmp(&block_, &before, sizeof block_), 0);
    EXPECT_EQ(takeLog(), Lines{});
}

TEST_F(AddressParse, parses_of_two_instances_log_under_their_own_names) {
    InstanceData second;
    std::memset(&second, 0, sizeof second);
    std::strcpy(second.instanceName, "QelEIB02");
    ParseBlock block{};
    block.address = "NOPE";
    EXPECT_EQ(driver_.Call(kParse, &second, &block), 1);
    EXPECT_EQ(parse("NOPE", 0), 1);
    EXPECT_EQ(takeLog(), (Lines{"QelEIB02: SingleParser() fail, command not found (addr = 'NOPE')",
                                "QelEIB01: SingleParser() fail, command not found (addr = 'NOPE')"}));
}

}  // namespace
}  // namespace qel
