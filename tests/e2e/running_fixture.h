// One instance on one emulated BCU of an emulated bus, started and settled.
#pragma once

#include <gtest/gtest.h>

#include "support/running_instance.h"

namespace qel::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using bcuemu::LineEvent;
using Kind = bcuemu::LineEvent::Kind;

const Bytes kResetFrame{0xA5, 0x46, 0x01, 0x00, 0x60, 0xC0};
const Bytes kLinkLayerFrame{0xA5, 0x46, 0x01, 0x00, 0x60, 0x12};
const Bytes kClear0116Frame{0xA5, 0x46, 0x01, 0x01, 0x16, 0x00};

class OnEmulatedBus : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = TestLineMissing(); !missing.empty()) {
            stopped = true;
            GTEST_SKIP() << missing;
        }
        ASSERT_EQ(running.start(), 0);
        driver.logClear();
        bcu().ClearEvents();
        bus.ClearHistory();
    }
    void TearDown() override {
        if (!stopped) {
            EXPECT_EQ(running.stop(), 0);
        }
    }

    bcuemu::Bcu& bcu() { return running.bcu(); }
    DriverInstance& instance() { return running.instance(); }
    uint16_t GateValue(const char* address) {
        HuxCookedValue cooked{};
        driver.getCooked(driver.gateId(address), &cooked);
        return driver.uncook(cooked);
    }

    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance running{driver, &bus};
    bool stopped = false;
};

}  // namespace qel::test
