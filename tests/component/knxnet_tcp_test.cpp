// The emulated KNXnet/IP server's TCP side and its search answers: the
// stream's framing, the search response's DIBs, and a TCP client in-process.
#include <gtest/gtest.h>

#include "bcuemu/bus.h"
#include "bcuemu/knxnet_server.h"
#include "knxnet/codec.h"
#include "knxnet/stream_framer.h"
#include "knxnet/tcp_sockets.h"
#include "knxnet/tunnel_server.h"

namespace {

using bcuemu::Apci;
using bcuemu::Telegram;
using bcuemu::ValueSize;
using namespace bcuemu::knxnet;
using Bytes = std::vector<uint8_t>;
using Kind = bcuemu::detail::TcpSockets::Event::Kind;

constexpr uint32_t kLoopback = 0x7F000001;
constexpr Endpoint kThisConnection{0, 0, true};

Frame Request(Service service, uint8_t channel = 0) {
    Frame f;
    f.service = service;
    f.channel = channel;
    f.control = kThisConnection;
    f.data = kThisConnection;
    return f;
}

TEST(KnxnetStream, FramesAreCutByTheirHeadersLengthWhateverTheReads) {
    const Bytes a = Encode(Request(Service::kConnectRequest));
    const Bytes b = Encode(Request(Service::kConnectionStateRequest, 3));
    StreamFramer framer;
    framer.Push(a.data(), 3);  // split inside the header
    EXPECT_FALSE(framer.Next());
    framer.Push(a.data() + 3, a.size() - 4);  // and inside the body
    EXPECT_FALSE(framer.Next());
    Bytes rest(a.end() - 1, a.end());
    rest.insert(rest.end(), b.begin(), b.end());  // the last byte and the next frame in one read
    framer.Push(rest.data(), rest.size());
    EXPECT_EQ(framer.Next(), a);
    EXPECT_EQ(framer.Next(), b);
    EXPECT_FALSE(framer.Next());
    EXPECT_FALSE(framer.Broken());
    for (const Bytes& bad : {Bytes{0x06, 0x10, 0x02, 0x07, 0x00, 0x05}, Bytes{0x07, 0x10, 0x02, 0x07, 0x00, 0x10}}) {
        StreamFramer broken;
        broken.Push(bad.data(), bad.size());
        broken.Push(b.data(), b.size());
        EXPECT_FALSE(broken.Next());
        EXPECT_TRUE(broken.Broken());
        EXPECT_FALSE(broken.Next());  // no way back into step
    }
}

TEST(KnxnetSearch, TheResponseDescribesTheServerToTheRequestersHpai) {
    const Endpoint server{kLoopback, 3671};
    TunnelServer tunnels(TunnelSettings{}, server);
    Frame search;
    search.service = Service::kSearchRequest;
    search.control = {kLoopback, 40001};
    Bytes bytes = Encode(search);
    tunnels.Receive(bytes.data(), bytes.size(), {kLoopback, 40999}, 0);
    search.control = {};  // 0.0.0.0:0: the datagram's source
    bytes = Encode(search);
    tunnels.Receive(bytes.data(), bytes.size(), {kLoopback, 40999}, 0);
    const auto answers = tunnels.TakeDatagrams();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].to, (Endpoint{kLoopback, 40001}));
    EXPECT_EQ(answers[1].to, (Endpoint{kLoopback, 40999}));
    const auto response = Decode(answers[0].bytes);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->service, Service::kSearchResponse);
    EXPECT_EQ(response->control, server);
    Bytes name(30, 0);
    std::copy_n("bcusim", 6, name.begin());
    Bytes device = {54, 0x01, 0x02, 0x00, 0x11, 0xF0, 0x00, 0x00,  // TP1, 1.1.240
                    0x00, 0xFA, 0x00, 0x00, 0x00, 0x01,              // serial
                    224, 0, 23, 12,                                  // multicast
                    0x02, 0x00, 0x00, 0x00, 0xB0, 0x51};             // MAC
    device.insert(device.end(), name.begin(), name.end());
    device.insert(device.end(), {8, 0x02, 0x02, 0x02, 0x03, 0x01, 0x04, 0x02});  // core 2, management 1, tunnelling 2
    EXPECT_EQ(response->body, device);

    // An extended search selecting by programming mode: not this server.
    search.service = Service::kSearchRequestExtended;
    search.body = {2, 0x82};
    bytes = Encode(search);
    tunnels.Receive(bytes.data(), bytes.size(), {kLoopback, 40999}, 0);
    EXPECT_TRUE(tunnels.TakeDatagrams().empty());
    search.body = {4, 0x04, 0x04, 0x02};  // by tunnelling version 2: this one
    bytes = Encode(search);
    tunnels.Receive(bytes.data(), bytes.size(), {kLoopback, 40999}, 0);
    const auto extended = tunnels.TakeDatagrams();
    ASSERT_EQ(extended.size(), 1u);
    EXPECT_EQ(Decode(extended[0].bytes)->service, Service::kSearchResponseExtended);
}

// A TCP client of the real server, on loopback.
class TcpClient {
public:
    explicit TcpClient(uint16_t port) {
        std::string error;
        sockets_ = bcuemu::detail::TcpSockets::Create(error);
        connection_ = sockets_ ? sockets_->Connect({kLoopback, port}, error) : 0;
        EXPECT_NE(connection_, 0u) << error;
    }
    void Send(const Frame& f) { EXPECT_TRUE(sockets_->Send(connection_, Encode(f))); }
    // Closed by the next Wait(), which reports it.
    void Close() {
        sockets_->Close(connection_);
        EXPECT_FALSE(Next());
    }
    // The next frame; nullopt when the server closed the connection (or nothing in 10 s).
    std::optional<Frame> Next() {
        for (int waits = 0; waits < 100;) {
            if (auto bytes = framer_.Next()) return Decode(*bytes);
            uint8_t buffer[512];
            const auto e = sockets_->Wait(100, buffer, sizeof buffer);
            if (e.kind == Kind::kClosed) return std::nullopt;
            if (e.kind == Kind::kData) framer_.Push(buffer, e.count);
            if (e.kind == Kind::kNothing) ++waits;
        }
        return std::nullopt;
    }
    std::optional<CemiFrame> NextCemi() {
        auto f = Next();
        EXPECT_TRUE(f && f->service == Service::kTunnellingRequest);
        return f ? DecodeCemi(f->body) : std::nullopt;
    }

private:
    std::unique_ptr<bcuemu::detail::TcpSockets> sockets_;
    uint32_t connection_ = 0;
    StreamFramer framer_;
};

class KnxnetTcp : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start("127.0.0.1:0", error)) << error;
    }
    // Connects a tunnel; its channel.
    uint8_t Connect(TcpClient& client) {
        client.Send(Request(Service::kConnectRequest));
        const auto answer = client.Next();
        EXPECT_TRUE(answer && answer->service == Service::kConnectResponse && answer->status == kNoError);
        if (!answer) return 0;
        EXPECT_EQ(answer->data, kThisConnection);
        return answer->channel;
    }
    Frame Write(uint8_t channel, uint8_t value) {
        Frame f = Request(Service::kTunnellingRequest, channel);
        f.body = EncodeCemi({kLDataReq, Telegram::GroupValue(Apci::kWrite, 0x2801, ValueSize::kByte, value, 0), false});
        return f;
    }

    bcuemu::Bus bus_;
    bcuemu::KnxnetServer server_{bus_};
};

TEST_F(KnxnetTcp, ATunnelPerConnectionWithoutAcknowledgementsThatEndsWithIt) {
    TcpClient client(server_.Port());
    const uint8_t channel = Connect(client);
    client.Send(Request(Service::kConnectRequest));  // a second tunnel on the same connection: refused
    EXPECT_EQ(client.Next()->status, kNoMoreConnections);

    // The write goes on the bus; the next frame is its L_Data.con, no TUNNELLING_ACK before it.
    client.Send(Write(channel, 77));
    const Telegram sent = Telegram::GroupValue(Apci::kWrite, 0x2801, ValueSize::kByte, 77, 0x11F1);
    EXPECT_EQ(client.NextCemi(), (CemiFrame{kLDataCon, sent, false}));
    Frame ack = Request(Service::kTunnellingAck, channel);  // acknowledged anyway: tolerated
    client.Send(ack);
    const Telegram door = Telegram::GroupValue(Apci::kWrite, 0x1001, ValueSize::kBit, 1, 0x1128);
    bus_.Send(door);
    EXPECT_EQ(client.NextCemi(), (CemiFrame{kLDataInd, door, false}));

    client.Send(Request(Service::kConnectionStateRequest, channel));
    const auto state = client.Next();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->service, Service::kConnectionStateResponse);
    EXPECT_EQ(state->status, kNoError);

    client.Close();
    EXPECT_TRUE(server_.WaitTunnelsBelow(1, 10000));
}

TEST_F(KnxnetTcp, FaultsConfirmNegativelyWithholdDropAndDisconnect) {
    TcpClient client(server_.Port());
    uint8_t channel = Connect(client);
    server_.SetFaults({.withheldConfirms = 1, .negativeConfirms = 1});
    client.Send(Write(channel, 1));  // its confirmation is withheld
    client.Send(Write(channel, 2));  // negative
    const auto negative = client.NextCemi();
    ASSERT_TRUE(negative);
    EXPECT_TRUE(negative->confirmError);
    EXPECT_EQ(negative->telegram.tpdu.back(), 2);

    server_.DisconnectTunnels();  // a DISCONNECT_REQUEST on the connection
    const auto bye = client.Next();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->service, Service::kDisconnectRequest);
    EXPECT_EQ(bye->control, kThisConnection);

    channel = Connect(client);  // the connection outlives its tunnel
    server_.SetFaults({.droppedConnections = 1});
    client.Send(Write(channel, 3));
    EXPECT_FALSE(client.Next());  // closed without a word
    EXPECT_EQ(server_.TunnelCount(), 0u);

    TcpClient other(server_.Port());
    Connect(other);
    server_.DropConnections();
    EXPECT_FALSE(other.Next());
    EXPECT_TRUE(server_.WaitTunnelsBelow(1, 10000));
}

TEST_F(KnxnetTcp, AHeaderWithABadLengthEndsTheConnection) {
    TcpClient client(server_.Port());
    Connect(client);
    Frame bad = Request(Service::kConnectionStateRequest, 1);
    Bytes bytes = Encode(bad);
    bytes[5] = 3;  // shorter than the header itself
    std::string error;
    auto raw = bcuemu::detail::TcpSockets::Create(error);
    const uint32_t c = raw->Connect({kLoopback, server_.Port()}, error);
    ASSERT_NE(c, 0u) << error;
    ASSERT_TRUE(raw->Send(c, bytes));
    uint8_t buffer[64];
    bcuemu::detail::TcpSockets::Event e;
    for (int i = 0; i < 100 && e.kind != Kind::kClosed; ++i) e = raw->Wait(100, buffer, sizeof buffer);
    EXPECT_EQ(e.kind, Kind::kClosed);
    EXPECT_EQ(server_.TunnelCount(), 1u);  // the other connection's tunnel stays
}

}  // namespace
