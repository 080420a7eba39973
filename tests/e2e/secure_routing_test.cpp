// What KNX IP Secure adds to routing, against the emulated bus's router made
// secure: credentials that give no backbone key fail the start with one line
// each and no secret in the log; a datagram with a wrong MAC or an old timer
// is dropped and counted while the group goes on. Multicast: only in a network
// namespace of the run's own. Routing's own and the gate cases run in a secure
// group as the knxroutingsecure.* runs.
#include "e2e/running_fixture.h"

#include "bcuemu/knxnet_router.h"
#include "support/secure_credentials.h"

namespace qel::test {
namespace {

using bcuemu::ValueSize;

class SecureRouting : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InOwnNetworkNamespace()) GTEST_SKIP() << "multicast only in a network namespace of the run's own";
        router.Secure(TestBackboneKey());
        std::string error;
        ASSERT_TRUE(router.Start("224.0.23.12:0", "127.0.0.1", error)) << error;
    }
    void TearDown() override {
        if (running) {
            EXPECT_EQ(instance.endQel(), 0);
        }
        router.Stop();
        for (const std::string& line : driver.LogTexts()) {
            for (const char* secret : {kTestKeyringPassword, "wrong-one", "102132435465768798a9bacbdcedfe0f"})
                EXPECT_EQ(line.find(secret), std::string::npos) << line;
        }
    }
    std::string Port(const std::string& credentials) {
        return MapTestPort("knxrouting://" + router.GroupEndpoint() + "?if=127.0.0.1&secure=" + credentials);
    }
    std::string Group() const { return "QelEIB01: KNX IP Secure routing on " + router.GroupEndpoint(); }

    LoadedDriver driver;
    bcuemu::Bus bus;
    bcuemu::KnxnetRouter router{bus};
    DriverInstance instance{driver};
    bool running = false;
};

TEST_F(SecureRouting, CredentialsWithoutABackboneKeyFailTheStartWithOneLineEach) {
    const std::string keyring = "keyring = " + TestKeyring() + "\n";
    struct Case {
        std::string text;
        std::string why;
    };
    const Case cases[] = {
        {"backbone-key = 00112233\n", "line 1: backbone-key not 32 hex digits"},
        {keyring + "keyring-password = wrong-one\n", "wrong keyring password (or an altered keyring)"},
        {keyring, "a keyring wants keyring-password"},
        {"user = 2\nuser-password = wrong-one\n", "neither keyring nor backbone-key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        driver.logClear();
        const std::string path = WriteTestFile("case", c.text);
        const std::string port = Port(path);
        EXPECT_EQ(instance.coldStart(port), 2);
        EXPECT_EQ(LinesWith(driver, "KNX IP Secure"),
                  Lines{"QelEIB01: KNX IP Secure credentials " + path + ": " + c.why});
        EXPECT_EQ(LinesWith(driver, "Fail to open"), Lines{"QelEIB01: Fail to open " + port});
    }
    driver.logClear();
    ASSERT_EQ(instance.coldStart(Port(WriteTestFile("case", "backbone-key = 102132435465768798A9BACBDCEDFE0F\n"))), 0);
    running = true;
    EXPECT_EQ(instance.write(5, 0x0802, 7), 0);
    ASSERT_TRUE(bus.WaitTelegrams(1, 3000));
    EXPECT_EQ(bus.History().back().Value(), 7);
    EXPECT_EQ(router.Dropped(), 0u);
}

TEST_F(SecureRouting, AWrongMacOrAnOldTimerIsDroppedAndCountedWhileTheGroupGoesOn) {
    ASSERT_EQ(instance.coldStart(Port(TestRoutingCredentials())), 0);
    running = true;
    ASSERT_TRUE(WaitForLogLine(driver, "QelEIB01: CatchThread Started...", 10000));
    driver.addGate("A_01/0002");
    const auto gate = driver.gateId("A_01/0002");
    router.SetFaults({.badMacs = 1});
    bus.Inject(0x0802, ValueSize::kByte, 1);
    ASSERT_TRUE(WaitForLogLine(driver, "1 so far", 3000));
    router.SetFaults({.oldTimers = 1});
    bus.Inject(0x0802, ValueSize::kByte, 2);
    ASSERT_TRUE(WaitForLogLine(driver, "2 so far", 3000));
    bus.Inject(0x0802, ValueSize::kByte, 3);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) > 0; }, 3000));
    EXPECT_EQ(driver.putCount(gate), 1u);
    EXPECT_EQ(LinesWith(driver, "KNX IP Secure"),
              (Lines{Group() + ": frame dropped (bad MAC, 1 so far)", Group() + ": frame dropped (old timer, 2 so far)"}));
    EXPECT_EQ(instance.write(5, 0x0802, 4), 0);
    ASSERT_TRUE(WaitUntil([&] { return router.IndicationsTaken() == 1; }, 3000));
    EXPECT_EQ(router.Dropped(), 0u);
}

}  // namespace
}  // namespace qel::test
