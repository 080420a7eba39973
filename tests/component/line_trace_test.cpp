// The driver-side line trace: a write's handshakes read back from the VCD, and
// a path that cannot be written leaves the port working, untraced.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bcuemu/bcu.h"
#include "support/test_line.h"
#include "host/host_functions.h"
#include "huxtor_control.h"
#include "platform/platform.h"
#include "serial/comm.h"
#include "serial/frames.h"
#include "link/line_trace.h"

namespace qel {
namespace {

const std::vector<uint8_t> kLinkLayer{0xA5, 0x46, 0x01, 0x00, 0x60, 0x12};

void SetTrace(const std::string& path) {
#ifdef _WIN32
    _putenv_s(kTraceVariable, path.c_str());
#else
    setenv(kTraceVariable, path.c_str(), 1);
#endif
}

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TracedLine {
    bcuemu::Bcu bcu;
    std::string port;
    InstanceData instance{};

    // Opens the emulated BCU's line with the trace set to `tracePath`.
    bool Open(const std::string& tracePath) {
        port = test::ServeTestLine(bcu);
        SetTrace(tracePath);
        const bool opened = CommOpen(port.c_str(), LineSettings{9600, 8, 0, 0}, 0x0101, &instance.portHandle) ==
                            OpenResult::kOpened;
        SetTrace("");
        if (!opened || !bcu.WaitConnected(2000)) return false;
        instance.lineLock = platform::Sys().createMutex("COMMBUSYtestTrace");
        CommSetDtr(instance.portHandle, 1);
        CommSetRts(instance.portHandle, 0);
        return true;
    }
    ~TracedLine() {
        if (instance.portHandle != kNoPort) CommClose(instance.portHandle);
        if (instance.lineLock != nullptr) platform::Sys().closeMutex(instance.lineLock);
        bcu.Stop();
    }
};

void IgnoreBcuFrame(InstanceData*) {}

TEST(LineTrace, AWriteShowsEachHandshakeAndEveryByte) {
    ASSERT_TRUE(host::Bind());
    HuxCtlReset();
    const std::string base = ::testing::TempDir() + "qeltrace";
    std::string vcdPath;
    std::string logPath;
    {
        TracedLine line;
        ASSERT_TRUE(line.Open(base + ".vcd"));
        ASSERT_EQ(SendFrame(&line.instance, kLinkLayer.data(), IgnoreBcuFrame), SendResult::kSent);
        std::string name;
        for (char c : line.port) {
            if (std::isalnum(static_cast<unsigned char>(c))) name += c;
        }
        vcdPath = base + "." + name + ".vcd";
        logPath = base + "." + name + ".log";
        // Opened again (a restart): its own files, the first trace kept whole.
        CommClose(line.instance.portHandle);
        SetTrace(base + ".vcd");
        ASSERT_EQ(CommOpen(line.port.c_str(), LineSettings{9600, 8, 0, 0}, 0x0101, &line.instance.portHandle),
                  OpenResult::kOpened);
        SetTrace("");
    }
    EXPECT_NE(Read(logPath.substr(0, logPath.size() - 4) + ".2.log").find("0 open "), std::string::npos);
    const std::string vcd = Read(vcdPath);
    ASSERT_NE(vcd.find("$var wire 1 ! rts $end"), std::string::npos) << vcd.substr(0, 300);
    std::vector<uint8_t> sent;
    int rtsRaised = 0;
    std::istringstream lines(vcd);
    for (std::string l; std::getline(lines, l);) {
        if (l == "1!") ++rtsRaised;
        if (l.size() == 11 && l[0] == 'b' && l.substr(9) == " $") sent.push_back(std::stoi(l.substr(1, 8), nullptr, 2));
    }
    EXPECT_EQ(sent, kLinkLayer);  // the driver's bytes, in order
    EXPECT_EQ(rtsRaised, static_cast<int>(kLinkLayer.size()));  // one handshake per byte
    const std::string log = Read(logPath);
    EXPECT_NE(log.find(" send frame\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" send frame done\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" out A5\n"), std::string::npos) << log;
    EXPECT_EQ(HuxCtlLogCount(), 0u);
}

TEST(LineTrace, AnUnwritablePathIsLoggedOnceAndThePortRunsUntraced) {
    ASSERT_TRUE(host::Bind());
    HuxCtlReset();
    TracedLine line;
    ASSERT_TRUE(line.Open(::testing::TempDir() + "no_such_dir/deeper/trace.vcd"));
    EXPECT_EQ(SendFrame(&line.instance, kLinkLayer.data(), IgnoreBcuFrame), SendResult::kSent);
    ASSERT_EQ(HuxCtlLogCount(), 1u);
    char text[256];
    int level = 0;
    HuxCtlLogLine(0, &level, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("QELEIB: line trace of " + line.port + ": cannot write ", 0), 0u) << text;
}

}  // namespace
}  // namespace qel
