// The driver over an emulated FT1.2 interface on a pty: the BCU commands each
// kind takes or refuses, and each fault the interface offers, every run
// ending cleanly (the next write done, the instance ended).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bcuemu/ft12_interface.h"
#include "entry/qel_main.h"
#include "host/host_functions.h"
#include "huxtor_control.h"
#include "support/test_line.h"

namespace qel {
namespace {

using bcuemu::EmiFlavour;

bool Logged(const std::string& line) {
    for (uint32_t i = 0; i < HuxCtlLogCount(); ++i) {
        char text[256];
        int level = 0;
        HuxCtlLogLine(i, &level, text, sizeof text);
        if (line == text) return true;
    }
    return false;
}

int32_t Call(uint32_t code, InstanceData* instance, void* params) {
    RequestBlock request{};
    request.instance = instance;
    request.functionCode = code;
    request.params = params;
    return Dispatch(&request);
}

class OverFt12 : public ::testing::Test {
protected:
    void Start(EmiFlavour flavour) {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
        bus.AddDevice(0x0802, bcuemu::ValueSize::kByte, 0);
        interface = std::make_unique<bcuemu::Ft12Interface>(bus, bcuemu::Ft12Options{flavour});
        path = interface->ServePty();
        ASSERT_FALSE(path.empty()) << interface->LastError();
        const std::string port = test::MapTestPort("ft12:" + path + (flavour == EmiFlavour::kCemi ? "?cemi" : ""));
        ColdStartParams params{};
        std::memcpy(params.portName, port.c_str(), port.size() + 1);
        params.portEnabled = 1;
        params.readTimeout = 100;
        ASSERT_EQ(Call(1, &instance, &params), 0);
        ASSERT_TRUE(Logged("QelEIB01: FT1.2 interface on " + path + ": link layer (" +
                           (flavour == EmiFlavour::kCemi ? "cEMI" : "EMI2") + ")"));
    }
    void TearDown() override {
        if (!ended) {
            EXPECT_EQ(Call(11, &instance, nullptr), 0);
        }
        EXPECT_EQ(HuxCtlClientCount(), 0u);
        if (interface) interface->Stop();
    }
    int32_t Write(int16_t command, uint16_t group, uint16_t value) {
        RawValue raw{0, value};
        GateBlock block{};
        block.commandIndex = command;
        block.groupAddress = group;
        block.valueArea = &raw;
        return Call(7, &instance, &block);
    }
    int32_t Read(int16_t command, uint16_t* value) {
        RawValue raw{0, 0};
        GateBlock block{};
        block.commandIndex = command;
        block.valueArea = &raw;
        const int32_t result = Call(5, &instance, &block);
        *value = raw.value;
        return result;
    }
    std::string Line(const std::string& what) const { return "QelEIB01: FT1.2 interface on " + path + ": " + what; }

    bcuemu::Bus bus;
    std::unique_ptr<bcuemu::Ft12Interface> interface;
    std::string path;
    InstanceData instance{};
    bool ended = false;
};

TEST_F(OverFt12, Emi2TakesTheCellCommandsAsABcu) {
    Start(EmiFlavour::kEmi2);
    uint16_t value = 0;
    EXPECT_EQ(Write(2, 0, 0x33), 0);  // PUT_0116
    EXPECT_EQ(Read(3, &value), 0);    // GET_0116
    EXPECT_EQ(value, 0x33);
    EXPECT_EQ(Read(7, &value), 0);    // GET_LAYER: link layer
    EXPECT_EQ(value, 0x12);
    EXPECT_EQ(Write(0, 0, 0), 0);     // LINKLAYER: done already
    EXPECT_EQ(Write(1, 0, 0), 0);     // RESETBCU: a reset and the switch
    EXPECT_EQ(Write(10, 0, 1), 1);    // SET_DTR
    EXPECT_TRUE(Logged("QelEIB01: SET_DTR needs a modem line, refused on an FT1.2 link"));
}

TEST_F(OverFt12, CemiRefusesTheCellCommands) {
    Start(EmiFlavour::kCemi);
    uint16_t value = 0;
    EXPECT_EQ(Write(2, 0, 0x33), 1);
    EXPECT_TRUE(Logged("QelEIB01: PUT_0116 is a BCU command, refused on a cEMI interface"));
    EXPECT_EQ(Read(7, &value), 1);
    EXPECT_TRUE(Logged("QelEIB01: GET_LAYER is a BCU command, refused on a cEMI interface"));
    EXPECT_EQ(Write(11, 0, 1), 1);
    EXPECT_TRUE(Logged("QelEIB01: SET_RTS needs a modem line, refused on an FT1.2 link"));
    EXPECT_EQ(Read(9, &value), 0);  // CHK_COMM
}

// The field's line trace shows an FT1.2 line's octets: the reset first.
TEST_F(OverFt12, TheLineTraceShowsTheOctets) {
    const std::string base = ::testing::TempDir() + "ft12trace";
    setenv("QELEIB_TRACE", (base + ".vcd").c_str(), 1);
    Start(EmiFlavour::kEmi2);
    unsetenv("QELEIB_TRACE");
    EXPECT_EQ(Write(0, 0, 0), 0);
    EXPECT_EQ(Call(11, &instance, nullptr), 0);
    ended = true;
    std::string name;
    for (char c : path) {
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
    }
    std::ifstream log(base + "." + name + ".log");
    std::string lines((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    const size_t reset = lines.find(" out 10\n");
    ASSERT_NE(reset, std::string::npos) << lines.substr(0, 400);
    EXPECT_EQ(lines.substr(reset, 30).find(" out 10\n"), 0u);
    EXPECT_NE(lines.find(" in E5\n"), std::string::npos) << lines.substr(0, 400);
}

struct FaultCase {
    const char* name;
    bcuemu::Ft12Faults faults;
    bool check;          // CHK_COMM meets the fault, else a write of A_01/0002
    bool indication;     // a telegram of the bus comes first (A_01/0003)
    int32_t result;      // of the CHK_COMM or the write
    const char* logged;  // the line's end after "FT1.2 interface on PATH: ", or nullptr
};

class Ft12Faults : public OverFt12, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Ft12Faults, EachEndsCleanly) {
    const FaultCase& c = GetParam();
    Start(EmiFlavour::kEmi2);
    const uint32_t gate = HuxCtlAddGate("A_01/0003");
    interface->SetFaults(c.faults);
    if (c.indication) bus.Inject(0x0803, bcuemu::ValueSize::kByte, 0x80);
    uint16_t value = 0;
    EXPECT_EQ(c.check ? Read(9, &value) : Write(5, 0x0802, 7), c.result);
    if (c.logged != nullptr) {
        EXPECT_TRUE(Logged(Line(c.logged))) << c.logged;
    }
    // The L_Data.con of this write comes after every frame the interface had for the indication.
    EXPECT_EQ(Write(5, 0x0802, 8), 0);
    EXPECT_EQ(bus.DeviceValue(0x0802), 8);
    if (c.indication) {
        EXPECT_EQ(HuxCtlPutCount(gate), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Interface, Ft12Faults,
    ::testing::Values(FaultCase{"LostAck", {.lostAcks = 1}, false, false, 0, nullptr},
                      FaultCase{"LateAck", {.lateAcks = 1}, false, false, 0, nullptr},
                      FaultCase{"BadChecksum", {.badChecksums = 1}, false, true, 0, "bad frame dropped (1 so far)"},
                      FaultCase{"CutFrame", {.cutFrames = 1}, false, true, 0, "bad frame dropped (1 so far)"},
                      FaultCase{"RepeatedFrame", {.repeatedFrames = 1}, false, true, 0, nullptr},
                      FaultCase{"UnansweredReset", {.ignoredResets = 2}, true, false, 2, "no acknowledgement to reset"},
                      FaultCase{"NegativeConfirm", {.negativeConfirms = 1}, false, false, 1,
                                "telegram not confirmed (negative L_Data.con)"}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace qel
#endif
