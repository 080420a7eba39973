// The KNXnet/IP link's own behaviour against the emulated bus's tunnelling
// server misbehaving on demand: the BCU-only commands, lost acknowledgements
// and confirmations, a server that closes, forgets or refuses its tunnels,
// and EndQel leaving no tunnel open. The gate cases run over the tunnel as
// the knxip.* runs; the knxiptcp.* runs take these too, over TCP, where a
// withheld acknowledgement and a server that forgets its tunnels but keeps
// their connections have no meaning.
#include "e2e/running_fixture.h"

#include "bcuemu/knxnet_faults.h"

namespace qel::test {
namespace {

using bcuemu::ValueSize;

class Tunnel : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.Start("127.0.0.1:0", error)) << error;
        port = MapTestPort(TunnelTestTarget(server));
        ASSERT_FALSE(port.empty());
    }
    void TearDown() override {
        if (running) {
            EXPECT_EQ(instance.endQel(), 0);
        }
        server.Stop();
    }
    void Start() {
        ASSERT_EQ(instance.coldStart(port), 0);
        running = true;
        ASSERT_TRUE(WaitForLogLine(driver, "QelEIB01: CatchThread Started...", 10000));
    }
    std::string Opened(int channel) const {
        return "QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint() + " open, channel " +
               std::to_string(channel) + ", address 1.1.241";
    }
    Lines TunnelLines() const { return LinesWith(driver, "KNXnet/IP"); }
    void SetFaults(const bcuemu::knxnet::TunnelFaults& faults) { server.SetFaults(faults); }

    LoadedDriver driver;
    bcuemu::Bus bus;
    bcuemu::KnxnetServer server{bus};
    DriverInstance instance{driver};
    std::string port;
    bool running = false;
};

TEST_F(Tunnel, OneTunnelWhileRunningAndNoneLeftAfterEndQel) {
    Start();
    EXPECT_EQ(TunnelLines(), Lines{Opened(1)});
    EXPECT_EQ(server.TunnelCount(), 1u);
    EXPECT_EQ(instance.endQel(), 0);
    running = false;
    EXPECT_TRUE(server.WaitTunnelsBelow(1, 2000));
    EXPECT_EQ(LinesWith(driver, "left"), Lines{"QelEIB01: No. of Instances left: 0"});
}

TEST_F(Tunnel, BcuCommandsAreRefusedDoneOrRenewTheTunnel) {
    Start();
    EXPECT_EQ(instance.write(10, 0, 1), 1);  // SET_DTR
    EXPECT_EQ(instance.write(11, 0, 1), 1);  // SET_RTS
    EXPECT_EQ(instance.write(2, 0, 5), 1);   // PUT_0116
    EXPECT_EQ(instance.write(8, 0, 5), 1);   // PUT_LAYER
    EXPECT_EQ(instance.read(3).result, 1);   // GET_0116
    EXPECT_EQ(instance.read(7).result, 1);   // GET_LAYER
    EXPECT_EQ(LinesWith(driver, "BCU command"),
              (Lines{"QelEIB01: SET_DTR is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: SET_RTS is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: PUT_0116 is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: PUT_LAYER is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: GET_0116 is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: GET_LAYER is a BCU command, refused on a KNXnet/IP link"}));
    EXPECT_EQ(instance.write(0, 0, 0), 0);  // LINKLAYER: a link-layer tunnel already
    const ReadResult check = instance.read(9);  // CHK_COMM: a connection-state exchange
    EXPECT_EQ(check.result, 0);
    EXPECT_EQ(check.value, 1);
    EXPECT_EQ(instance.write(1, 0, 0), 0);  // RESETBCU: a new tunnel
    EXPECT_EQ(LinesWith(driver, " open, channel"), (Lines{Opened(1), Opened(2)}));
    EXPECT_EQ(server.TunnelCount(), 1u);
    EXPECT_TRUE(bus.History().empty());
    EXPECT_EQ(instance.write(5, 0x0802, 7), 0);
}

TEST_F(Tunnel, AWithheldAcknowledgementIsSentForAgainTwoLoseTheTunnelUntilItIsBack) {
    Start();
    SetFaults({.withheldAcks = 1});
    EXPECT_EQ(instance.write(5, 0x0802, 1), 0);
    SetFaults({.withheldAcks = 2});
    EXPECT_EQ(instance.write(5, 0x0802, 2), 1);
    ASSERT_TRUE(WaitForLogLine(driver, Opened(2), 5000));
    EXPECT_EQ(TunnelLines(),
              (Lines{Opened(1), "QelEIB01: KNXnet/IP server " + server.LocalEndpoint() + ": no answer to TUNNELLING_REQUEST",
                     "QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint() + " lost (no acknowledgement), connecting again",
                     Opened(2)}));
    EXPECT_EQ(instance.write(5, 0x0802, 3), 0);
    ASSERT_TRUE(bus.WaitTelegrams(2, 2000));
    EXPECT_EQ(bus.History().back().Value(), 3);
    EXPECT_EQ(server.TunnelCount(), 1u);  // the lost one was disconnected
}

TEST_F(Tunnel, AMissingOrNegativeConfirmationFailsThatWriteOnly) {
    Start();
    SetFaults({.withheldConfirms = 1});
    EXPECT_EQ(instance.write(5, 0x0802, 1), 1);
    SetFaults({.negativeConfirms = 1});
    EXPECT_EQ(instance.write(5, 0x0802, 2), 1);
    EXPECT_EQ(instance.write(5, 0x0802, 3), 0);
    const std::string prefix = "QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint() + ": telegram not confirmed ";
    EXPECT_EQ(TunnelLines(), (Lines{Opened(1), prefix + "(no L_Data.con)", prefix + "(negative L_Data.con)"}));
}

TEST_F(Tunnel, AServerThatClosesForgetsOrRestartsGetsANewTunnel) {
    Start();
    const std::string endpoint = server.LocalEndpoint();
    server.DisconnectTunnels();
    ASSERT_TRUE(WaitForLogLine(driver, Opened(2), 5000));
    EXPECT_EQ(LinesWith(driver, "closed by the server"),
              Lines{"QelEIB01: KNXnet/IP tunnel to " + endpoint + " closed by the server, connecting again"});
    EXPECT_EQ(instance.write(5, 0x0802, 1), 0);

    server.ForgetTunnels();  // a restart without a word: the next send meets a stranger
    EXPECT_EQ(instance.write(5, 0x0802, 2), 1);
    ASSERT_TRUE(WaitForLogLine(driver, Opened(3), 5000));
    EXPECT_EQ(instance.write(5, 0x0802, 3), 0);

    server.Stop();
    std::string error;
    ASSERT_TRUE(server.Start(endpoint, error)) << error;
    ASSERT_TRUE(server.WaitTunnels(1, 5000));
    EXPECT_EQ(instance.write(5, 0x0802, 4), 0);
    EXPECT_EQ(bus.History().back().Value(), 4);
}

TEST_F(Tunnel, ARefusedTunnelFailsTheStartWithTheStatusByName) {
    SetFaults({.refuseConnections = true});
    EXPECT_EQ(instance.coldStart(port), 2);
    EXPECT_EQ(TunnelLines(),
              Lines{"QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint() + " refused: E_NO_MORE_CONNECTIONS"});
    EXPECT_EQ(LinesWith(driver, "Fail to open"), Lines{"QelEIB01: Fail to open " + port});
    SetFaults({});
    Start();
}

// Over TCP only (the knxiptcp runs): the connection's end is the tunnel's.
class TunnelTcp : public Tunnel {};

TEST_F(TunnelTcp, AConnectionTheServerEndsIsLostAndConnectedAgain) {
    Start();
    const std::string tunnel = "QelEIB01: KNXnet/IP tunnel to " + server.LocalEndpoint();
    server.DropConnections();
    ASSERT_TRUE(WaitForLogLine(driver, Opened(2), 5000));
    SetFaults({.droppedConnections = 1});  // the write's request ends the connection instead
    EXPECT_EQ(instance.write(5, 0x0802, 1), 1);
    ASSERT_TRUE(WaitForLogLine(driver, Opened(3), 5000));
    server.DisconnectTunnels();
    ASSERT_TRUE(WaitForLogLine(driver, Opened(4), 5000));
    EXPECT_EQ(instance.write(5, 0x0802, 2), 0);
    EXPECT_EQ(TunnelLines(), (Lines{Opened(1), tunnel + " lost (connection closed), connecting again", Opened(2),
                                    tunnel + " lost (connection closed), connecting again",
                                    tunnel + ": telegram not confirmed (tunnel closed)", Opened(3),
                                    tunnel + " closed by the server, connecting again", Opened(4)}));
    EXPECT_EQ(server.TunnelCount(), 1u);
}

}  // namespace
}  // namespace qel::test
