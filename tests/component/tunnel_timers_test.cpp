// The tunnel's timers without waiting: the datagrams, the TCP stream and the
// clock come from a System table of the test's own. A scripted server answers
// each request in the same call, and time moves only while the driver waits
// for a frame that is not there, by the whole wait. The heartbeat, its
// answer's wait and tries, the CONNECT retries and the L_Data.con wait show as
// the times of the requests the server saw, over UDP and over TCP, there with
// all that waits in one read or every frame cut into reads of five bytes, and
// inside a KNX IP Secure session (the emulator's sessions as the server's).
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "abi/records.h"
#include "host/host_functions.h"
#include "huxtor_control.h"
#include "knxnet/codec.h"
#include "knxnet/secure_sessions.h"
#include "platform/platform.h"
#include "support/secure_credentials.h"
#include "tunnel/tunnel.h"

namespace qel::test {
namespace {

namespace kn = bcuemu::knxnet;

constexpr uint32_t kServer = 0x7F000001;
constexpr uint16_t kServerPort = 3671;
constexpr uint32_t kStart = 5000;

enum class Carrier { kUdp, kTcpWhole, kTcpSplit, kSecure };
// What the server saw of a sealed frame that held nothing for the tunnel: a SESSION_STATUS.
constexpr auto kSessionStatus = static_cast<kn::Service>(0x0954);

struct Seen {
    uint32_t atMs;
    kn::Service service;
};

// The server and the clock; one at a time, installed by the fixture.
struct ScriptedServer {
    Carrier carrier = Carrier::kUdp;
    uint32_t now = kStart;
    bool answerConnect = true;
    bool answerState = true;
    bool ackTunnelling = true;
    bool confirm = true;
    uint8_t channel = 0;
    uint8_t serverSequence = 0;
    std::vector<Seen> seen;
    std::deque<std::vector<uint8_t>> toDriver;  // datagrams
    std::deque<uint8_t> stream;                 // the TCP connection's bytes
    bool connected = false;                     // TCP
    bool refuseTcp = false;
    std::vector<uint32_t> tcpAttempts;

    std::unique_ptr<kn::SecureSessions> secure;  // kSecure
    kn::TunnelFaults faults;
    bool answerSessions = true;

    bool Tcp() const { return carrier != Carrier::kUdp; }
    void Push(const kn::Frame& f) { PushBytes(kn::Encode(f)); }
    void PushBytes(const std::vector<uint8_t>& bytes) {
        if (!Tcp()) toDriver.push_back(bytes);
        else if (!secure) PushStream(bytes);
        else for (const std::vector<uint8_t>& sealed : secure->Seal(1, bytes, faults)) PushStream(sealed);
    }
    void PushStream(const std::vector<uint8_t>& bytes) {
        if (connected) stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    // The driver's bytes on the stream, opened first in a secure session.
    void Written(const uint8_t* bytes, uint32_t n) {
        if (!secure) {
            if (auto frame = kn::Decode(bytes, n)) Take(*frame);
            return;
        }
        if (!answerSessions) return;
        const kn::SecureSessions::Result r = secure->Receive(1, bytes, n, faults);
        for (const std::vector<uint8_t>& reply : r.replies) PushStream(reply);
        for (const std::vector<uint8_t>& inner : r.inner)
            if (auto frame = kn::Decode(inner.data(), inner.size())) Take(*frame);
        if (r.inner.empty() && r.replies.empty() && bytes[3] == 0x50) seen.push_back({now, kSessionStatus});
    }
    bool Drained() const { return toDriver.empty() && stream.empty(); }

    void Take(const kn::Frame& in) {
        seen.push_back({now, in.service});
        kn::Frame out;
        switch (in.service) {
        case kn::Service::kConnectRequest:
            if (!answerConnect) return;
            out.service = kn::Service::kConnectResponse;
            out.channel = ++channel;
            out.data = Tcp() ? kn::Endpoint{0, 0, true} : kn::Endpoint{kServer, kServerPort};
            out.individualAddress = 0x11F1;
            break;
        case kn::Service::kConnectionStateRequest:
            if (!answerState) return;
            out.service = kn::Service::kConnectionStateResponse;
            out.channel = in.channel;
            break;
        case kn::Service::kDisconnectRequest:
            out.service = kn::Service::kDisconnectResponse;
            out.channel = in.channel;
            break;
        case kn::Service::kTunnellingRequest: {
            if (!ackTunnelling) return;
            out.service = kn::Service::kTunnellingAck;
            out.channel = in.channel;
            out.sequence = in.sequence;
            if (!Tcp()) Push(out);
            if (!confirm) return;
            auto cemi = kn::DecodeCemi(in.body);
            if (!cemi) return;
            cemi->messageCode = kn::kLDataCon;
            out = {};
            out.service = kn::Service::kTunnellingRequest;
            out.channel = in.channel;
            out.sequence = serverSequence++;
            out.body = kn::EncodeCemi(*cemi);
            break;
        }
        default:
            return;
        }
        Push(out);
    }

    // When the server saw each request of one kind, from the start.
    std::vector<uint32_t> Times(kn::Service service) const {
        std::vector<uint32_t> times;
        for (const Seen& s : seen)
            if (s.service == service) times.push_back(s.atMs - kStart);
        return times;
    }
};

ScriptedServer* g_server = nullptr;
platform::Datagram* const kSocket = reinterpret_cast<platform::Datagram*>(0x1000);

uint32_t FakeTick() { return g_server->now; }

platform::Datagram* FakeOpen(uint32_t, platform::Endpoint* local) {
    *local = {kServer, 40000};
    return kSocket;
}

bool FakeSend(platform::Datagram*, const platform::Endpoint*, const uint8_t* bytes, uint32_t n) {
    if (auto frame = kn::Decode(bytes, n)) g_server->Take(*frame);
    return true;
}

platform::DatagramWait FakeReceive(platform::Datagram*, platform::Wake*, uint32_t timeoutMs, uint8_t* buffer,
                                   uint32_t size, uint32_t* n, platform::Endpoint* from) {
    if (g_server->toDriver.empty()) {
        g_server->now += timeoutMs;
        return platform::DatagramWait::kTimedOut;
    }
    const std::vector<uint8_t> bytes = std::move(g_server->toDriver.front());
    g_server->toDriver.pop_front();
    *n = static_cast<uint32_t>(bytes.size() < size ? bytes.size() : size);
    std::memcpy(buffer, bytes.data(), *n);
    *from = {kServer, kServerPort};
    return platform::DatagramWait::kReceived;
}

void FakeClose(platform::Datagram*) {}

void FakeSleep(uint32_t ms) { g_server->now += ms; }

bool StreamWrite(platform::ByteStream*, const uint8_t* bytes, uint32_t n, uint32_t) {
    if (!g_server->connected) return false;
    g_server->Written(bytes, n);
    return true;
}

int32_t StreamRead(platform::ByteStream*, uint8_t* buffer, uint32_t n, uint32_t) {
    const size_t most = g_server->carrier == Carrier::kTcpSplit ? 5 : n;
    uint32_t got = 0;
    for (; got < n && got < most && !g_server->stream.empty(); ++got) {
        buffer[got] = g_server->stream.front();
        g_server->stream.pop_front();
    }
    return static_cast<int32_t>(got);
}

platform::StreamWait StreamAwait(platform::ByteStream*, platform::Wake*, uint32_t timeoutMs) {
    if (!g_server->stream.empty()) return platform::StreamWait::kInput;
    g_server->now += timeoutMs;
    return platform::StreamWait::kTimedOut;
}

void StreamClose(platform::ByteStream*) {
    g_server->connected = false;
    g_server->stream.clear();
    if (g_server->secure) g_server->secure->Closed(1);
}

const platform::StreamMethods kStreamMethods = {StreamWrite, StreamRead, StreamClose, StreamAwait};
platform::ByteStream g_stream{&kStreamMethods};

platform::ByteStream* FakeConnect(const char*, uint16_t) {
    g_server->tcpAttempts.push_back(g_server->now - kStart);
    if (g_server->refuseTcp) return nullptr;
    g_server->connected = true;
    return &g_stream;
}

std::vector<std::string> Log() {
    std::vector<std::string> lines;
    char text[512];
    int level = 0;
    for (uint32_t i = 0; i < HuxCtlLogCount(); ++i)
        if (HuxCtlLogLine(i, &level, text, sizeof text) == 0) lines.emplace_back(text);
    return lines;
}

class TunnelTimers : public ::testing::TestWithParam<Carrier> {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
        server.carrier = GetParam();
        if (server.carrier == Carrier::kSecure) server.secure = std::make_unique<kn::SecureSessions>(TestSecureSettings());
        g_server = &server;
        table = platform::NativeSystem();
        table.tickMs = FakeTick;
        table.openDatagram = FakeOpen;
        table.sendDatagram = FakeSend;
        table.receiveDatagram = FakeReceive;
        table.closeDatagram = FakeClose;
        table.sleepMs = FakeSleep;
        table.connectTcp = FakeConnect;
        platform::SetSystem(&table);
    }
    void TearDown() override {
        if (instance.portHandle != kNoPort) CloseTunnel(instance.portHandle);
        platform::SetSystem(nullptr);
        g_server = nullptr;
    }
    std::string Target() const {
        if (server.secure) {
            static const std::string credentials = WriteTestFile(
                "timers", std::string("user = 2\nuser-password = ") + kTestUserPassword +
                              "\ndevice-authentication-code = " + kTestDeviceCode + "\n");
            return "knxip://127.0.0.1:3671?secure=" + credentials;
        }
        return server.Tcp() ? "knxip://127.0.0.1:3671?tcp" : "knxip://127.0.0.1:3671";
    }
    void Open() {
        instance.portHandle = OpenTunnel(Target().c_str(), "QelEIB01");
        ASSERT_NE(instance.portHandle, kNoPort);
        server.seen.clear();
        server.tcpAttempts.clear();
    }
    // The listener's turn for `ms` of the fake clock, from the start.
    void ServeUntil(uint32_t ms) {
        ASSERT_TRUE(ServeTunnel(&instance, nullptr, kStart + ms - server.now, nullptr));
    }

    ScriptedServer server;
    platform::System table{};
    InstanceData instance{};
};

using Times = std::vector<uint32_t>;

TEST_P(TunnelTimers, HeartbeatEveryMinuteThenThreeTriesTenSecondsApartThenANewTunnel) {
    Open();
    ServeUntil(150000);
    EXPECT_EQ(server.Times(kn::Service::kConnectionStateRequest), (Times{60000, 120000}));

    server.answerState = false;
    ServeUntil(211000);
    EXPECT_EQ(server.Times(kn::Service::kConnectionStateRequest), (Times{60000, 120000, 180000, 190000, 200000}));
    EXPECT_EQ(server.Times(kn::Service::kDisconnectRequest), (Times{210000}));
    EXPECT_EQ(server.Times(kn::Service::kConnectRequest), (Times{210000}));
    const auto log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
              (std::vector<std::string>{
                  "QelEIB01: KNXnet/IP server 127.0.0.1:3671: no answer to CONNECTIONSTATE_REQUEST",
                  "QelEIB01: KNXnet/IP tunnel to 127.0.0.1:3671 lost (no heartbeat), connecting again",
                  "QelEIB01: KNXnet/IP tunnel to 127.0.0.1:3671 open, channel 2, address 1.1.241"}));
}

TEST_P(TunnelTimers, StartTriesToConnectEverySecondForTenSeconds) {
    server.answerConnect = false;
    EXPECT_EQ(OpenTunnel(Target().c_str(), "QelEIB01"), kNoPort);
    EXPECT_EQ(server.Times(kn::Service::kConnectRequest),
              (Times{0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000}));
    EXPECT_EQ(Log(), std::vector<std::string>{"QelEIB01: KNXnet/IP server 127.0.0.1:3671: no answer to CONNECT_REQUEST"});
}

TEST_P(TunnelTimers, AfterTheServerClosesTheTunnelAConnectEverySecondUntilAnswered) {
    Open();
    kn::Frame close;
    close.service = kn::Service::kDisconnectRequest;
    close.channel = server.channel;
    close.control = server.Tcp() ? kn::Endpoint{0, 0, true} : kn::Endpoint{kServer, kServerPort};
    server.Push(close);
    server.answerConnect = false;
    ServeUntil(3500);
    server.answerConnect = true;
    ServeUntil(10000);
    EXPECT_EQ(server.Times(kn::Service::kConnectRequest), (Times{0, 1000, 2000, 3000, 4000}));
    EXPECT_EQ(server.Times(kn::Service::kConnectionStateRequest), Times{});
}

// A group write of 1/0/1 as the BCU's data request image.
constexpr uint8_t kImage[] = {0x09, 0x11, 0x0C, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x81};

TEST_P(TunnelTimers, AWriteWaitsThreeSecondsForTheConfirmation) {
    Open();
    server.confirm = false;
    EXPECT_EQ(TunnelSend(&instance, kImage, nullptr), TunnelResult::kNotConfirmed);
    EXPECT_EQ(server.now - kStart, 3000u);
    server.confirm = true;
    EXPECT_EQ(TunnelSend(&instance, kImage, nullptr), TunnelResult::kConfirmed);
    EXPECT_EQ(server.Times(kn::Service::kTunnellingRequest), (Times{0, 3000}));
}

const char* NameOf(Carrier carrier) {
    const char* names[] = {"Udp", "TcpWhole", "TcpSplit", "Secure"};
    return names[static_cast<int>(carrier)];
}
void PrintTo(Carrier carrier, std::ostream* out) { *out << NameOf(carrier); }
std::string CarrierName(const ::testing::TestParamInfo<Carrier>& carrier) { return NameOf(carrier.param); }

INSTANTIATE_TEST_SUITE_P(Carriers, TunnelTimers,
                         ::testing::Values(Carrier::kUdp, Carrier::kTcpWhole, Carrier::kTcpSplit, Carrier::kSecure),
                         CarrierName);

class TunnelTimersUdp : public TunnelTimers {};
INSTANTIATE_TEST_SUITE_P(Carriers, TunnelTimersUdp, ::testing::Values(Carrier::kUdp), CarrierName);
class TunnelTimersTcp : public TunnelTimers {};
INSTANTIATE_TEST_SUITE_P(Carriers, TunnelTimersTcp, ::testing::Values(Carrier::kTcpSplit), CarrierName);
class TunnelTimersSecure : public TunnelTimers {};
INSTANTIATE_TEST_SUITE_P(Carriers, TunnelTimersSecure, ::testing::Values(Carrier::kSecure), CarrierName);

TEST_P(TunnelTimersUdp, AWriteWaitsOneSecondForEachAcknowledgementThenTheTunnelIsLost) {
    Open();
    server.ackTunnelling = false;
    EXPECT_EQ(TunnelSend(&instance, kImage, nullptr), TunnelResult::kDown);
    EXPECT_EQ(server.Times(kn::Service::kTunnellingRequest), (Times{0, 1000}));
    EXPECT_EQ(server.Times(kn::Service::kDisconnectRequest), (Times{2000}));
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{
                  "QelEIB01: KNXnet/IP server 127.0.0.1:3671: no answer to TUNNELLING_REQUEST",
                  "QelEIB01: KNXnet/IP tunnel to 127.0.0.1:3671 lost (no acknowledgement), connecting again"}));
}

TEST_P(TunnelTimers, ARequestOfTheServerDuringTheGoodbyeIsNotAcknowledged) {
    Open();
    kn::Frame ind;
    ind.service = kn::Service::kTunnellingRequest;
    ind.channel = server.channel;
    ind.body = kn::EncodeCemi({kn::kLDataInd, bcuemu::Telegram::GroupValue(bcuemu::Apci::kWrite, 0x0801,
                                                                            bcuemu::ValueSize::kByte, 1, 0x1101),
                               false});
    server.Push(ind);
    HangUpTunnel(instance.portHandle);
    EXPECT_EQ(server.Times(kn::Service::kDisconnectRequest), Times{0});
    EXPECT_EQ(server.Times(kn::Service::kTunnellingAck), Times{});
    EXPECT_TRUE(server.Drained());
}

TEST_P(TunnelTimersTcp, ABadFrameLengthEndsTheConnectionThenOneIsTriedEverySecond) {
    Open();
    server.PushBytes({0x06, 0x10, 0x04, 0x20, 0x00, 0x05});  // shorter than its own header
    server.refuseTcp = true;
    ServeUntil(3500);
    server.refuseTcp = false;
    ServeUntil(10000);
    EXPECT_EQ(server.tcpAttempts, (Times{0, 1000, 2000, 3000, 4000}));
    EXPECT_EQ(server.Times(kn::Service::kConnectRequest), Times{4000});
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{
                  "QelEIB01: KNXnet/IP tunnel to 127.0.0.1:3671 lost (bad frame length), connecting again",
                  "QelEIB01: KNXnet/IP tunnel to 127.0.0.1:3671 open, channel 2, address 1.1.241"}));
}

TEST_P(TunnelTimersSecure, AQuietSessionGetsAKeepAliveAfter30sWithoutAFrameSent) {
    Open();
    ServeUntil(100000);
    EXPECT_EQ(server.Times(kSessionStatus), (Times{30000, 90000}));
    EXPECT_EQ(server.Times(kn::Service::kConnectionStateRequest), Times{60000});
}

TEST_P(TunnelTimersSecure, EachAnswerOfTheSessionIsAwaitedTenSeconds) {
    server.answerSessions = false;
    EXPECT_EQ(OpenTunnel(Target().c_str(), "QelEIB01"), kNoPort);
    EXPECT_EQ(server.now - kStart, 10000u);
    EXPECT_EQ(Log(), std::vector<std::string>{"QelEIB01: KNX IP Secure session with 127.0.0.1:3671 failed: no SESSION_RESPONSE"});
}

}  // namespace
}  // namespace qel::test
