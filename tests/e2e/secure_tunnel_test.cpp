// What KNX IP Secure adds to the tunnel, against the emulated bus's secure
// server: credentials and sessions that cannot serve fail the start with one
// line each and no secret in the log; frames that do not open are dropped and
// counted while the tunnel goes on; a session that falls silent is replaced.
// The tunnel's own and the gate cases run inside a session as the
// knxipsecure.* runs.
#include "e2e/running_fixture.h"

#include "bcuemu/knxnet_faults.h"
#include "support/secure_credentials.h"

namespace qel::test {
namespace {

class SecureTunnel : public ::testing::Test {
protected:
    void SetUp() override {
        server.Secure(TestSecureSettings());
        std::string error;
        ASSERT_TRUE(server.Start("127.0.0.1:0", error)) << error;
        good = WriteTestFile("direct", std::string("user = 2\nuser-password = ") + kTestUserPassword +
                                           "\ndevice-authentication-code = " + kTestDeviceCode + "\n");
    }
    void TearDown() override {
        if (running) {
            EXPECT_EQ(instance.endQel(), 0);
        }
        server.Stop();
        for (const std::string& line : driver.LogTexts()) {
            for (const char* secret : {kTestKeyringPassword, kTestUserPassword, kTestDeviceCode, "wrong-one"})
                EXPECT_EQ(line.find(secret), std::string::npos) << line;
        }
    }
    std::string Port(const std::string& credentials) {
        return MapTestPort("knxip://" + server.LocalEndpoint() + "?secure=" + credentials);
    }
    void Start(const std::string& credentials) {
        ASSERT_EQ(instance.coldStart(Port(credentials)), 0);
        running = true;
        ASSERT_TRUE(WaitForLogLine(driver, "QelEIB01: CatchThread Started...", 10000));
    }
    // The start fails with result 2 and `line` its one secure line.
    void FailsWith(const std::string& credentials, const std::string& line) {
        SCOPED_TRACE(line);
        driver.logClear();
        const std::string port = Port(credentials);
        EXPECT_EQ(instance.coldStart(port), 2);
        EXPECT_EQ(LinesWith(driver, "KNX IP Secure"), Lines{line});
        EXPECT_EQ(LinesWith(driver, "Fail to open"), Lines{"QelEIB01: Fail to open " + port});
    }
    std::string Opened(int channel) const {
        return "QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint() + " open, channel " +
               std::to_string(channel) + ", address 1.1.241";
    }
    std::string Session() const { return "QelEIB01: KNX IP Secure session with " + server.LocalEndpoint(); }

    LoadedDriver driver;
    bcuemu::Bus bus;
    bcuemu::KnxnetServer server{bus};
    DriverInstance instance{driver};
    std::string good;
    bool running = false;
};

TEST_F(SecureTunnel, CredentialsThatCannotServeFailTheStartWithOneLineEach) {
    const std::string keyring = "keyring = " + TestKeyring() + "\n";
    const std::string keyringPassword = std::string("keyring-password = ") + kTestKeyringPassword + "\n";
    struct Case {
        std::string text;
        std::string why;
    };
    const Case cases[] = {
        {keyring + "keyring-password = wrong-one\ntunnel = 1.1.241\n", "wrong keyring password (or an altered keyring)"},
        {keyring + keyringPassword + "tunnel = 1.1.250\n", "no such tunnelling interface in the keyring"},
        {"# a comment\n" + keyring + "password = wrong-one\n", "line 3: unknown key"},
        {"user = 2\nuser-password\n", "line 2: not KEY = VALUE"},
        {"user = 200\n", "line 1: user not 1 to 127"},
        {"user = 2\n", "neither keyring nor user and user-password"},
        {keyring + keyringPassword, "a keyring wants keyring-password and tunnel"},
    };
    for (const Case& c : cases) {
        const std::string path = WriteTestFile("case", c.text);
        FailsWith(path, "QelEIB01: KNX IP Secure credentials " + path + ": " + c.why);
    }
    FailsWith("/tmp/qel-no-such-file", "QelEIB01: KNX IP Secure credentials /tmp/qel-no-such-file: not readable");
    EXPECT_EQ(server.TunnelCount(), 0u);
    Start(TestCredentials());
    EXPECT_EQ(LinesWith(driver, "KNXnet/IP"), Lines{Opened(1)});
}

TEST_F(SecureTunnel, ASessionTheServerRefusesFailsTheStartWithOneLine) {
    const std::string user = "user = 2\nuser-password = ";
    FailsWith(WriteTestFile("case", user + "wrong-one\n"), Session() + " failed: authentication failed");
    FailsWith(WriteTestFile("case", user + kTestUserPassword + "\ndevice-authentication-code = wrong-one\n"),
              Session() + " failed: wrong device authentication code");
    server.SetFaults({.refuseAuthentication = true});
    FailsWith(good, Session() + " failed: authentication failed");
    server.SetFaults({});
    // Without the device's code the server goes unauthenticated.
    driver.logClear();
    Start(WriteTestFile("case", user + kTestUserPassword + "\n"));
    EXPECT_EQ(instance.write(5, 0x0802, 1), 0);
    EXPECT_EQ(LinesWith(driver, "KNX"), Lines{Opened(1)});
}

TEST_F(SecureTunnel, AServerWithoutSecurityFailsTheStartWhenItDoesNotAnswerIn10s) {
    server.Stop();
    bcuemu::KnxnetServer plain{bus};
    std::string error;
    ASSERT_TRUE(plain.Start("127.0.0.1:0", error)) << error;
    const std::string port = MapTestPort("knxip://" + plain.LocalEndpoint() + "?secure=" + good);
    EXPECT_EQ(instance.coldStart(port), 2);
    EXPECT_EQ(LinesWith(driver, "KNX"),
              Lines{"QelEIB01: KNX IP Secure session with " + plain.LocalEndpoint() + " failed: no SESSION_RESPONSE"});
    plain.Stop();
}

TEST_F(SecureTunnel, ABadMacOrAReplayedFrameIsDroppedAndCountedWhileTheTunnelGoesOn) {
    Start(good);
    server.SetFaults({.badMacs = 1});  // the write's L_Data.con
    EXPECT_EQ(instance.write(5, 0x0802, 1), 1);
    server.SetFaults({.replayedFrames = 1});  // the next L_Data.con comes twice
    EXPECT_EQ(instance.write(5, 0x0802, 2), 0);
    ASSERT_TRUE(WaitForLogLine(driver, "2 so far", 5000));
    EXPECT_EQ(instance.write(5, 0x0802, 3), 0);
    EXPECT_EQ(LinesWith(driver, "KNX"),
              (Lines{Opened(1), Session() + ": frame dropped (bad MAC, 1 so far)",
                     "QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint() +
                         ": telegram not confirmed (no L_Data.con)",
                     Session() + ": frame dropped (old sequence number, 2 so far)"}));
    EXPECT_EQ(bus.History().size(), 3u);
}

TEST_F(SecureTunnel, ASessionThatFallsSilentIsReplacedByANewOne) {
    Start(good);
    server.SetFaults({.muteSessions = true});
    const ReadResult check = instance.read(9);  // CHK_COMM: no answer in the session, a new one
    EXPECT_EQ(check.result, 0);
    EXPECT_EQ(check.value, 1);
    const std::string server_ = server.LocalEndpoint();
    EXPECT_EQ(LinesWith(driver, "KNX"),
              (Lines{Opened(1), "QelEIB01: KNXnet/IP server " + server_ + ": no answer to CONNECTIONSTATE_REQUEST",
                     "QelEIB01: KNXnet/IP tunnel to " + server_ + " lost (no heartbeat), connecting again",
                     Opened(2)}));
    EXPECT_EQ(instance.write(5, 0x0802, 1), 0);
    EXPECT_TRUE(server.WaitTunnelsBelow(2, 5000));
}

}  // namespace
}  // namespace qel::test
