// The emulated bus as a KNXnet/IP tunnelling server: the frames, the
// protocol against a fake clock, and real UDP clients in-process.
#include <gtest/gtest.h>

#include <chrono>

#include "bcuemu/bus.h"
#include "bcuemu/knxnet_server.h"
#include "knxnet/codec.h"
#include "knxnet/tunnel_server.h"
#include "knxnet/udp_socket.h"

namespace {

using bcuemu::Apci;
using bcuemu::Telegram;
using bcuemu::ValueSize;
using namespace bcuemu::knxnet;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint16_t kDimmer = 0x0802;  // 1/0/2
constexpr uint16_t kStairLevel = 0x2801;  // 5/0/1

Frame ConnectRequest(const Endpoint& client) {
    Frame f;
    f.service = Service::kConnectRequest;
    f.control = client;
    f.data = client;
    return f;
}

Frame TunnellingRequest(uint8_t channel, uint8_t sequence, const CemiFrame& cemi) {
    Frame f;
    f.service = Service::kTunnellingRequest;
    f.channel = channel;
    f.sequence = sequence;
    f.body = EncodeCemi(cemi);
    return f;
}

Frame Ack(uint8_t channel, uint8_t sequence) {
    Frame f;
    f.service = Service::kTunnellingAck;
    f.channel = channel;
    f.sequence = sequence;
    return f;
}

TEST(KnxnetCodec, FramesSurviveTheRoundTripAndEveryTruncationIsRefused) {
    const Endpoint client{kLoopback, 40001};
    std::vector<Frame> frames;
    frames.push_back(ConnectRequest(client));
    Frame f;
    f.service = Service::kConnectResponse;
    f.channel = 7;
    f.data = {kLoopback, 3671};
    f.individualAddress = 0x11F1;
    frames.push_back(f);
    f = {};
    f.service = Service::kConnectResponse;
    f.channel = 0;
    f.status = kNoMoreConnections;
    frames.push_back(f);
    for (Service s : {Service::kConnectionStateRequest, Service::kDisconnectRequest}) {
        f = {};
        f.service = s;
        f.channel = 7;
        f.control = client;
        frames.push_back(f);
    }
    for (Service s : {Service::kConnectionStateResponse, Service::kDisconnectResponse}) {
        f = {};
        f.service = s;
        f.channel = 7;
        f.status = kConnectionIdError;
        frames.push_back(f);
    }
    frames.push_back(TunnellingRequest(7, 255, {kLDataInd, Telegram::GroupValue(Apci::kWrite, kDimmer, ValueSize::kByte, 200, 0x1114), false}));
    frames.push_back(Ack(7, 255));
    f = {};
    f.service = Service::kDescriptionResponse;
    f.body = DescriptionDibs(DeviceDescription{});
    frames.push_back(f);
    for (const Frame& frame : frames) {
        // Decode leaves the fields other services use at their defaults.
        Frame expected = frame;
        if (frame.service != Service::kConnectRequest && frame.service != Service::kConnectResponse) {
            expected.connectionType = Frame{}.connectionType;
        }
        const Bytes bytes = Encode(frame);
        const auto decoded = Decode(bytes);
        ASSERT_TRUE(decoded) << static_cast<int>(frame.service);
        EXPECT_EQ(*decoded, expected) << static_cast<int>(frame.service);
        if (frame.service == Service::kDescriptionResponse) continue;  // its body is opaque
        // A tunnelling request's cEMI frame is opaque here too (DecodeCemi judges it).
        const size_t whole = frame.service == Service::kTunnellingRequest ? 10 : bytes.size();
        for (size_t n = 0; n < whole; ++n) {
            Bytes cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
            if (n >= 6) cut[5] = static_cast<uint8_t>(n);  // a consistent length field, a short body
            EXPECT_FALSE(Decode(cut)) << static_cast<int>(frame.service) << " cut at " << n;
        }
    }
    // The bytes of a connect request as a client sends it (CRI: tunnel, link layer).
    EXPECT_EQ(Encode(ConnectRequest(client)),
              (Bytes{0x06, 0x10, 0x02, 0x05, 0x00, 0x1A, 0x08, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x9C, 0x41,
                     0x08, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x9C, 0x41, 0x04, 0x04, 0x02, 0x00}));
}

TEST(KnxnetCodec, CemiCarriesGroupTelegramsBothWays) {
    // 1.1.10 -> 1/0/2 write 200 (1 byte), as an L_Data.ind.
    const Telegram write = Telegram::GroupValue(Apci::kWrite, kDimmer, ValueSize::kByte, 200, 0x110A);
    EXPECT_EQ(EncodeCemi({kLDataInd, write, false}),
              (Bytes{0x29, 0x00, 0xBC, 0xE0, 0x11, 0x0A, 0x08, 0x02, 0x02, 0x00, 0x80, 0xC8}));
    for (const Telegram& t : {write, Telegram::GroupRead(kDimmer, 0x11F1),
                              Telegram::GroupValue(Apci::kResponse, kStairLevel, ValueSize::kBit, 1, 0x1132),
                              Telegram::GroupValue(Apci::kWrite, kStairLevel, ValueSize::kWord, 0x0C4D, 0x1132)}) {
        for (uint8_t code : {kLDataReq, kLDataCon, kLDataInd}) {
            const CemiFrame frame{code, t, false};
            EXPECT_EQ(DecodeCemi(EncodeCemi(frame)), frame) << t.Text();
        }
    }
    // A request with additional information (as some clients send) and a source of 0.0.0.
    const auto request = DecodeCemi(Bytes{0x11, 0x02, 0xFF, 0x00, 0xBC, 0xE0, 0x00, 0x00, 0x28, 0x01, 0x01, 0x00, 0x81});
    ASSERT_TRUE(request);
    EXPECT_EQ(request->telegram, Telegram::GroupValue(Apci::kWrite, kStairLevel, ValueSize::kBit, 1, 0x0000));
    EXPECT_FALSE(DecodeCemi(Bytes{0x11, 0x00, 0xBC, 0xE0, 0x00, 0x00, 0x28, 0x01, 0x02, 0x00, 0x81}));  // short
    EXPECT_FALSE(DecodeCemi(Bytes{0xFC, 0x00, 0x00, 0x01, 0x01, 0x00}));  // a property read: not L_Data
}

TEST(KnxnetCodec, OnlyLoopbackEndpointsAreServed) {
    std::string error;
    EXPECT_EQ(ParseListenEndpoint("127.0.0.1:3671", error), (Endpoint{kLoopback, 3671}));
    EXPECT_EQ(ParseListenEndpoint("127.0.0.2", error), (Endpoint{0x7F000002, 3671}));
    EXPECT_EQ(ParseListenEndpoint("localhost:0", error), (Endpoint{kLoopback, 0}));
    EXPECT_EQ(ParseListenEndpoint(":3700", error), (Endpoint{kLoopback, 3700}));
    EXPECT_FALSE(ParseListenEndpoint("192.168.1.20:3671", error));
    EXPECT_NE(error.find("192.168.1.20 is not a loopback address"), std::string::npos) << error;
    EXPECT_FALSE(ParseListenEndpoint("0.0.0.0", error));
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
    EXPECT_FALSE(ParseListenEndpoint("224.0.23.12:3671", error));
    EXPECT_NE(error.find("224.0.23.12 is a multicast address"), std::string::npos) << error;
    EXPECT_FALSE(ParseListenEndpoint("127.0.0.1:70000", error));
    EXPECT_FALSE(ParseListenEndpoint("knx.example", error));
    // In a test's own network namespace any unicast address, still no multicast.
    EXPECT_EQ(ParseListenEndpoint("10.231.0.1:0", error, true), (Endpoint{0x0AE70001, 0}));
    EXPECT_FALSE(ParseListenEndpoint("224.0.23.12:3671", error, true));
    EXPECT_FALSE(ParseListenEndpoint("0.0.0.0", error, true));
}

// The protocol alone, on a fake clock: one client's view.
class TunnelProtocol : public ::testing::Test {
protected:
    const Endpoint server_{kLoopback, 3671};
    const Endpoint client_{kLoopback, 40001};
    TunnelServer tunnels_{TunnelSettings{}, server_};

    std::vector<Frame> Take() {
        std::vector<Frame> frames;
        for (const Datagram& d : tunnels_.TakeDatagrams()) {
            EXPECT_EQ(d.to, client_);
            auto f = Decode(d.bytes);
            EXPECT_TRUE(f);
            if (f) frames.push_back(*f);
        }
        return frames;
    }
    void Send(const Frame& f, int64_t now) {
        const Bytes bytes = Encode(f);
        tunnels_.Receive(bytes.data(), bytes.size(), client_, now);
    }
    uint8_t Connect() {
        Send(ConnectRequest(client_), 0);
        const auto frames = Take();
        EXPECT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames.at(0).status, kNoError);
        return frames.at(0).channel;
    }
};

TEST_F(TunnelProtocol, AnUnacknowledgedRequestIsSentOnceMoreAfterASecondThenTheTunnelIsDropped) {
    const uint8_t channel = Connect();
    const Telegram t = Telegram::GroupValue(Apci::kWrite, kDimmer, ValueSize::kByte, 9, 0x1114);
    tunnels_.BusTelegram(t, 0);
    auto frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].service, Service::kTunnellingRequest);
    EXPECT_EQ(frames[0].sequence, 0);
    EXPECT_EQ(DecodeCemi(frames[0].body), (CemiFrame{kLDataInd, t, false}));
    EXPECT_EQ(tunnels_.NextDeadline(), 1000);
    tunnels_.Tick(999);
    EXPECT_TRUE(Take().empty());
    tunnels_.Tick(1000);
    frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sequence, 0);  // the same request again
    // Acknowledged: the next goes out with the next sequence number.
    Send(Ack(channel, 0), 1500);
    tunnels_.BusTelegram(t, 1600);
    frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sequence, 1);
    tunnels_.Tick(2600);
    EXPECT_EQ(Take().size(), 1u);
    tunnels_.Tick(3600);
    frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].service, Service::kDisconnectRequest);
    EXPECT_EQ(tunnels_.TunnelCount(), 0u);
}

TEST_F(TunnelProtocol, ATunnelWithoutHeartbeatForTwoMinutesIsDroppedAndRepeatsAreAcknowledgedOnce) {
    const uint8_t channel = Connect();
    const Telegram write = Telegram::GroupValue(Apci::kWrite, kStairLevel, ValueSize::kByte, 77, 0);
    Send(TunnellingRequest(channel, 0, {kLDataReq, write, false}), 10);
    Send(TunnellingRequest(channel, 0, {kLDataReq, write, false}), 20);  // our ack was lost
    Send(TunnellingRequest(channel, 5, {kLDataReq, write, false}), 30);  // out of order: ignored
    auto frames = Take();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].service, Service::kTunnellingAck);
    EXPECT_EQ(frames[1].service, Service::kTunnellingAck);
    const auto telegrams = tunnels_.TakeTelegrams();
    ASSERT_EQ(telegrams.size(), 1u);  // the repeat is not sent again
    EXPECT_EQ(telegrams[0].source, 0x11F1);  // the tunnel's own address
    Frame state;
    state.service = Service::kConnectionStateRequest;
    state.channel = channel;
    state.control = client_;
    Send(state, 60000);
    frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].service, Service::kConnectionStateResponse);
    EXPECT_EQ(frames[0].status, kNoError);
    tunnels_.Tick(179999);
    EXPECT_EQ(tunnels_.TunnelCount(), 1u);
    tunnels_.Tick(180000);
    EXPECT_EQ(tunnels_.TunnelCount(), 0u);
    frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].service, Service::kDisconnectRequest);
    EXPECT_EQ(tunnels_.TakeNotes().back(), "tunnel 1 (1.1.241) closed: no connection-state request for 120 s");
}

// A UDP client of the real server, on loopback.
class Client {
public:
    explicit Client(const Endpoint& server) : server_(server) {
        std::string error;
        socket_ = bcuemu::detail::UdpSocket::Create(error);
        EXPECT_TRUE(socket_ && socket_->Bind({kLoopback, 0}, local_, error)) << error;
    }
    void Send(const Frame& f) { EXPECT_TRUE(socket_->SendTo(Encode(f), server_)); }
    // The next frame of `service`, acknowledging tunnelling requests on the way.
    std::optional<Frame> Next(Service service) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        uint8_t buffer[512];
        while (std::chrono::steady_clock::now() < until) {
            Endpoint from;
            const size_t n = socket_->Receive(100, buffer, sizeof buffer, from);
            auto f = Decode(buffer, n);
            if (!f) continue;
            if (f->service == Service::kTunnellingRequest) Send(Ack(f->channel, f->sequence));
            if (f->service == service) return f;
        }
        return std::nullopt;
    }
    // The next L_Data frame of `code` the server sends.
    std::optional<CemiFrame> NextCemi(uint8_t code) {
        while (auto f = Next(Service::kTunnellingRequest)) {
            auto cemi = DecodeCemi(f->body);
            if (cemi && cemi->messageCode == code) return cemi;
        }
        return std::nullopt;
    }
    Frame Connect() {
        Send(ConnectRequest(local_));
        auto f = Next(Service::kConnectResponse);
        EXPECT_TRUE(f);
        return f.value_or(Frame{});
    }

    Endpoint local_;

private:
    Endpoint server_;
    std::unique_ptr<bcuemu::detail::UdpSocket> socket_;
};

TEST(KnxnetServer, TunnelsSendOnTheBusAndSeeEveryTelegramOnIt) {
    bcuemu::Bus bus;
    bus.AddDevice(kDimmer, ValueSize::kByte, 128, 0x1114);
    bcuemu::KnxnetServer server(bus);
    std::string error;
    ASSERT_TRUE(server.Start("127.0.0.1:0", error)) << error;
    Client a({kLoopback, server.Port()});
    Client b({kLoopback, server.Port()});
    const Frame tunnelA = a.Connect();
    const Frame tunnelB = b.Connect();
    EXPECT_EQ(tunnelA.status, kNoError);
    EXPECT_EQ(tunnelA.individualAddress, 0x11F1);
    EXPECT_EQ(tunnelB.individualAddress, 0x11F2);
    EXPECT_EQ(server.TunnelCount(), 2u);

    // A's group write goes on the bus from A's address, is confirmed to A and indicated to B.
    const Telegram write = Telegram::GroupValue(Apci::kWrite, kStairLevel, ValueSize::kByte, 77, 0);
    a.Send(TunnellingRequest(tunnelA.channel, 0, {kLDataReq, write, false}));
    auto ack = a.Next(Service::kTunnellingAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->sequence, 0);
    ASSERT_TRUE(bus.WaitTelegrams(1, 10000));
    const Telegram sent = Telegram::GroupValue(Apci::kWrite, kStairLevel, ValueSize::kByte, 77, 0x11F1);
    EXPECT_EQ(bus.History().at(0), sent);
    EXPECT_EQ(a.NextCemi(kLDataCon), (CemiFrame{kLDataCon, sent, false}));
    EXPECT_EQ(b.NextCemi(kLDataInd), (CemiFrame{kLDataInd, sent, false}));

    // A telegram from elsewhere on the bus reaches both.
    const Telegram door = Telegram::GroupValue(Apci::kWrite, 0x1001, ValueSize::kBit, 1, 0x1128);
    bus.Send(door);
    EXPECT_EQ(a.NextCemi(kLDataInd), (CemiFrame{kLDataInd, door, false}));
    EXPECT_EQ(b.NextCemi(kLDataInd), (CemiFrame{kLDataInd, door, false}));

    // B's group read is answered by the device.
    b.Send(TunnellingRequest(tunnelB.channel, 0, {kLDataReq, Telegram::GroupRead(kDimmer, 0), false}));
    const Telegram response = Telegram::GroupValue(Apci::kResponse, kDimmer, ValueSize::kByte, 128, 0x1114);
    EXPECT_EQ(b.NextCemi(kLDataInd), (CemiFrame{kLDataInd, response, false}));
    // A sees the read and the answer.
    EXPECT_EQ(a.NextCemi(kLDataInd), (CemiFrame{kLDataInd, Telegram::GroupRead(kDimmer, 0x11F2), false}));
    EXPECT_EQ(a.NextCemi(kLDataInd), (CemiFrame{kLDataInd, response, false}));

    Frame bye;
    bye.service = Service::kDisconnectRequest;
    bye.channel = tunnelA.channel;
    bye.control = a.local_;
    a.Send(bye);
    const auto done = a.Next(Service::kDisconnectResponse);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, kNoError);
    EXPECT_EQ(server.TunnelCount(), 1u);
    // Stopping the server disconnects the tunnel left.
    server.Stop();
    EXPECT_TRUE(b.Next(Service::kDisconnectRequest));
}

}  // namespace
