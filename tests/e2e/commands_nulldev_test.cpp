// Reads and writes on the pseudo port: no device, no line, exact refusals.
#include <gtest/gtest.h>

#include "support/driver_session.h"

namespace qel::test {
namespace {

using Lines = std::vector<std::string>;

class CommandsOnNulldev : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(instance.coldStart("NULLDEV"), 0);
        driver.logClear();
    }
    void TearDown() override { EXPECT_EQ(instance.endQel(), 0); }

    LoadedDriver driver;
    DriverInstance instance{driver};
};

TEST_F(CommandsOnNulldev, EveryReadAnswersZeroAndAsksTheHostNothing) {
    const uint32_t gate = driver.addGate("A_01/0002");
    driver.setRaw(gate, 77);
    for (int32_t index = -1; index <= 12; ++index) {
        const ReadResult read = instance.read(index, 0x0802, gate);
        EXPECT_EQ(read.result, 0) << index;
        EXPECT_EQ(read.word0, 0) << index;
        EXPECT_EQ(read.value, 0) << index;
    }
    EXPECT_EQ(driver.callCount("HuxGetGateRawValue"), 0u);
    EXPECT_TRUE(driver.LogTexts().empty());
}

TEST_F(CommandsOnNulldev, WritesThatPassTheirCheckSucceedWithoutALine) {
    for (int32_t index : {0, 1, 2, 4, 5, 6, 8, 10, 11}) EXPECT_EQ(instance.write(index, 0x0801, 1), 0) << index;
    EXPECT_EQ(instance.write(6, 0x0801, 0xFFFF), 0);
    EXPECT_EQ(instance.write(4, 0x0801, 0x1234), 0);
    EXPECT_TRUE(driver.LogTexts().empty());
}

TEST_F(CommandsOnNulldev, WriteRefusalsAreLoggedExactly) {
    EXPECT_EQ(instance.write(5, 0x0801, 256), 1);
    EXPECT_EQ(instance.write(2, 0, 300), 1);
    EXPECT_EQ(instance.write(8, 0, 1000), 1);
    EXPECT_EQ(instance.write(3, 0, 1), 1);
    EXPECT_EQ(instance.write(7, 0, 1), 1);
    EXPECT_EQ(instance.write(9, 0, 1), 1);
    EXPECT_EQ(instance.write(12, 0, 1), 1);
    EXPECT_EQ(instance.write(-1, 0, 1), 1);
    EXPECT_EQ(driver.LogTexts(), (Lines{
                                     "QelEIB01: AnalogWrite() fail, Value > 255 (val = 256)",
                                     "QelEIB01: Put116Write() fail, Value > 255 (val = 300)",
                                     "QelEIB01: PutLayerWrite() fail, Value > 255 (val = 1000)",
                                     "QelEIB01: CmdWriteFunctionTable() fail, NULL fn (fn = 3)",
                                     "QelEIB01: CmdWriteFunctionTable() fail, NULL fn (fn = 7)",
                                     "QelEIB01: CmdWriteFunctionTable() fail, NULL fn (fn = 9)",
                                     "QelEIB01: CallCmdWriteFunction() fail, fn out of range (fn = 12)",
                                     "QelEIB01: CallCmdWriteFunction() fail, fn out of range (fn = -1)",
                                 }));
}

TEST_F(CommandsOnNulldev, ParsedGatesKeepTheirIndexAndAddress) {
    ParseBlock block{};
    EXPECT_EQ(instance.parse("a_01/0002", 0, &block), 0);
    EXPECT_EQ(block.commandIndex, 5u);
    EXPECT_EQ(block.groupAddress, 0x0802u);
}

}  // namespace
}  // namespace qel::test
