// tunnel_bench: the shipped driver over its KNXnet/IP tunnel to the emulated
// bus's tunnelling server (bus in real 9600-baud timing), set beside a bare
// reference client on the same server: the floor is what the protocol and
// the bus take, without the driver. It measures group writes (to the
// L_Data.con), group reads (to the answer), writes while telegrams arrive,
// the listener at 49 telegrams/s offered, the time back after the server
// restarts, the link's set-up (ColdStart), and, with the server in a bcusim
// process, one idle link's cost.
// --tcp: the driver's tunnel over TCP; --secure: over TCP in a KNX IP Secure
// session (set up with a keyring and with credentials given directly); the
// bare client stays on UDP, on the same server. --routing: the driver routes
// on a multicast group to the emulated bus's router, beside a bare routing
// client; only inside a network namespace of its own (scripts/bench.sh runs
// it in one). Writes summary.md to the output directory and prints it.
// Figures only: it checks no threshold.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bcu.h"
#include "bcuemu/bus.h"
#include "bcuemu/knxnet_router.h"
#include "bcuemu/knxnet_server.h"
#include "bench_support.h"
#include "driver_host.h"
#include "knxnet/codec.h"
#include "knxnet/udp_socket.h"
#include "secure/secure_group.h"
#include "support/secure_credentials.h"

extern char** environ;

namespace bench {
namespace {

using namespace bcuemu::knxnet;
using bcuemu::Telegram;
using bcuemu::ValueSize;

constexpr uint16_t kWriteGroup = 0x2801;   // 5/0/1
constexpr uint16_t kReadGroup = 0x2802;    // 5/0/2, a device that answers
constexpr uint16_t kTrafficGroup = 0x2803;  // 5/0/3, the bus's own telegrams
// 5/0/4, the bare client's device: an answer to one's read that reaches the
// other late must not pass for the other's answer.
constexpr uint16_t kReferenceReadGroup = 0x2804;
constexpr uint32_t kLoopback = 0x7F000001;

// A tunnelling client that does no more than the protocol asks: the floor.
class ReferenceClient {
public:
    bool Connect(const Endpoint& server, std::string& error) {
        server_ = server;
        socket_ = bcuemu::detail::UdpSocket::Create(error);
        if (!socket_ || !socket_->Bind({kLoopback, 0}, own_, error)) return false;
        Frame request;
        request.service = Service::kConnectRequest;
        request.control = own_;
        request.data = own_;
        socket_->SendTo(Encode(request), server_);
        const std::optional<Frame> answer = Next(1000);
        if (!answer || answer->service != Service::kConnectResponse || answer->status != kNoError) {
            error = "the reference client got no tunnel";
            return false;
        }
        channel_ = answer->channel;
        return true;
    }
    // Send to L_Data.con; with `answerOf`, on to the group response of that group. Ms, or -1.
    double Exchange(const Telegram& telegram, int answerOf = -1) {
        const auto t0 = Clock::now();
        Frame request;
        request.service = Service::kTunnellingRequest;
        request.channel = channel_;
        request.sequence = sequence_++;
        request.body = EncodeCemi({kLDataReq, telegram, false});
        socket_->SendTo(Encode(request), server_);
        bool confirmed = false;
        while (Ms(Clock::now() - t0) < 3000) {
            const std::optional<Frame> f = Next(100);
            if (!f || f->service != Service::kTunnellingRequest) continue;
            const std::optional<CemiFrame> cemi = DecodeCemi(f->body);
            if (cemi && cemi->messageCode == kLDataCon) confirmed = true;
            const bool answered = cemi && cemi->messageCode == kLDataInd && answerOf >= 0 &&
                                  cemi->telegram.destination == answerOf;
            if (confirmed && (answerOf < 0 || answered)) return Ms(Clock::now() - t0);
        }
        return -1;
    }

private:
    // The next frame from the server; its requests are acknowledged.
    std::optional<Frame> Next(int timeoutMs) {
        uint8_t buffer[512];
        Endpoint from;
        const size_t n = socket_->Receive(timeoutMs, buffer, sizeof buffer, from);
        if (n == 0) return std::nullopt;
        std::optional<Frame> f = Decode(buffer, n);
        if (f && f->service == Service::kTunnellingRequest) {
            Frame ack;
            ack.service = Service::kTunnellingAck;
            ack.channel = channel_;
            ack.sequence = f->sequence;
            socket_->SendTo(Encode(ack), server_);
        }
        return f;
    }

    std::unique_ptr<bcuemu::detail::UdpSocket> socket_;
    Endpoint server_, own_;
    uint8_t channel_ = 0, sequence_ = 0;
};

// A routing client that does no more than the protocol asks: the floor of
// routing. A write counts once the bus has carried it (routing confirms
// nothing); a read once the answer came back on the group. Made secure, a
// group member as the protocol's bytes (secure/secure_group.h), nothing more.
class RoutingReference {
public:
    bool Secure(const qel::secure::Key& backboneKey) {
        secure_ = true;
        uint8_t notify[qel::secure::kTimerNotifySize];
        return qel::secure::BeginGroup(group_, backboneKey, 0, 0, NowMs(), notify) &&
               sender_->SendTo({notify, notify + sizeof notify}, groupEndpoint_);
    }
    bool Join(const Endpoint& group, std::string& error) {
        groupEndpoint_ = group;
        receiver_ = bcuemu::detail::UdpSocket::Create(error);
        sender_ = bcuemu::detail::UdpSocket::Create(error);
        Endpoint bound;
        return receiver_ && sender_ && receiver_->JoinGroup(group, kLoopback, bound, error) &&
               sender_->Bind({kLoopback, 0}, own_, error) && sender_->SendToGroups(kLoopback, error);
    }
    double Exchange(bcuemu::Bus& bus, const Telegram& telegram, int answerOf = -1) {
        uint8_t buffer[512];
        Endpoint from;
        for (size_t n; (n = receiver_->Receive(0, buffer, sizeof buffer, from)) > 0;)
            Open(buffer, n);  // the answers to the driver's reads, also heard here
        bus.ClearHistory();
        const auto t0 = Clock::now();
        const std::vector<uint8_t> cemi = EncodeCemi({kLDataInd, telegram, false});
        std::vector<uint8_t> datagram(kHeaderSize + cemi.size());
        datagram[0] = kHeaderSize;
        datagram[1] = kProtocolVersion;
        datagram[2] = 0x05;  // ROUTING_INDICATION
        datagram[3] = 0x30;
        std::copy(cemi.begin(), cemi.end(), datagram.begin() + kHeaderSize);
        datagram[4] = static_cast<uint8_t>(datagram.size() >> 8);
        datagram[5] = static_cast<uint8_t>(datagram.size());
        if (secure_) {
            uint8_t sealed[256];
            datagram.assign(sealed, sealed + qel::secure::SealForGroup(group_, NowMs(), datagram.data(), datagram.size(),
                                                                        sealed, sizeof sealed));
        }
        sender_->SendTo(datagram, groupEndpoint_);
        if (answerOf < 0) return bus.WaitTelegrams(1, 3000) ? Ms(Clock::now() - t0) : -1;
        while (Ms(Clock::now() - t0) < 3000) {
            size_t n = receiver_->Receive(100, buffer, sizeof buffer, from);
            if (from.port == own_.port) continue;
            const uint8_t* frame = Open(buffer, n);
            if (frame == nullptr || n <= kHeaderSize || frame[2] != 0x05 || frame[3] != 0x30) continue;
            const std::optional<CemiFrame> got = DecodeCemi(frame + kHeaderSize, n - kHeaderSize);
            if (got && got->telegram.destination == answerOf && got->telegram.Service() == bcuemu::Apci::kResponse)
                return Ms(Clock::now() - t0);
        }
        return -1;
    }

private:
    static uint32_t NowMs() {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
    }
    // The routing frame in a datagram from the group (n becomes its length);
    // nullptr for none. A secure member answers timers as it must.
    const uint8_t* Open(const uint8_t* bytes, size_t& n) {
        if (!secure_) return bytes;
        uint8_t reply[qel::secure::kTimerNotifySize];
        size_t replyLength = 0, innerLength = 0;
        const qel::secure::GroupOpened opened = qel::secure::OpenFromGroup(
            group_, NowMs(), bytes, n, inner_, sizeof inner_, &innerLength, reply, &replyLength);
        if (replyLength != 0) sender_->SendTo({reply, reply + replyLength}, groupEndpoint_);
        n = innerLength;
        return opened == qel::secure::GroupOpened::kFrame ? inner_ : nullptr;
    }

    std::unique_ptr<bcuemu::detail::UdpSocket> receiver_, sender_;
    Endpoint groupEndpoint_, own_;
    bool secure_ = false;
    qel::secure::SecureGroup group_{};
    uint8_t inner_[512] = {};
};

// Telegrams of the bus's own at `rate` a second until stopped.

long ContextSwitches() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_nvcsw + r.ru_nivcsw;
}

struct Row {
    std::string what;
    double driver, floor;
    std::string unit;
};

}  // namespace
}  // namespace bench

namespace bench {
namespace {

enum class Kind { kUdp, kTcp, kSecure, kRouting, kSecureRouting };

bool Routed(Kind kind) { return kind == Kind::kRouting || kind == Kind::kSecureRouting; }

const char* Title(Kind kind) {
    switch (kind) {
        case Kind::kTcp: return "KNXnet/IP tunnel over TCP";
        case Kind::kSecure: return "KNXnet/IP tunnel in a KNX IP Secure session";
        case Kind::kRouting: return "KNXnet/IP routing";
        case Kind::kSecureRouting: return "KNX IP Secure routing";
        default: return "KNXnet/IP tunnel";
    }
}

// The driver's target for the server or router at `endpoint`, with the credentials file `credentials`.
std::string Target(Kind kind, const std::string& endpoint, const std::string& credentials) {
    switch (kind) {
        case Kind::kTcp: return "knxip://" + endpoint + "?tcp";
        case Kind::kSecure: return "knxip://" + endpoint + "?secure=" + credentials;
        case Kind::kRouting: return "knxrouting://" + endpoint + "?if=127.0.0.1";
        case Kind::kSecureRouting: return "knxrouting://" + endpoint + "?if=127.0.0.1&secure=" + credentials;
        default: return "knxip://" + endpoint;
    }
}

// Starts and ends the driver `count` times on `port`: the ColdStarts' median, ms, or -1.
double SetUpMs(DriverHost& host, const std::string& port, int count, std::string& error) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        if (!host.Start(port, error)) return -1;
        times.push_back(host.ColdStartMs());
        host.Stop();
    }
    return Median(times);
}

// One idle link for idleS, the server or router in a bcusim process: a line of text.
std::string Idle(DriverHost& host, Kind kind, const std::string& out, double idleS) {
    const std::string ready = out + "/bcusim-ready", log = out + "/bcusim-idle.log";
    std::remove(ready.c_str());
    std::vector<std::string> args{QEL_BCUSIM_PATH, "--line", bcuemu::FreeEndpoint(), "--ready-file", ready};
    if (Routed(kind)) {
        for (const char* a : {"--knxnet-routing", "224.0.23.12:0", "--knxnet-if", "127.0.0.1"}) args.push_back(a);
    } else {
        args.push_back("--knxnet");
        args.push_back("127.0.0.1:0");
    }
    if (kind == Kind::kSecure || kind == Kind::kSecureRouting) {
        args.push_back("--knxnet-secure");
        args.push_back(out);
    }
    std::vector<char*> argvSpawn;
    for (std::string& a : args) argvSpawn.push_back(a.data());
    argvSpawn.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, QEL_BCUSIM_PATH, &actions, nullptr, argvSpawn.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) return "Idle: not measured (bcusim did not start).\n";
    struct stat st {};
    for (int i = 0; i < 500 && stat(ready.c_str(), &st) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream bcusimLog(log);
    std::string line, endpoint;
    const std::string announced = Routed(kind) ? "knxnet: routing on " : "knxnet: tunnelling server on ";
    while (std::getline(bcusimLog, line))
        if (line.rfind(announced, 0) == 0) endpoint = line.substr(announced.size());
    std::ostringstream text;
    std::string error;
    if (!endpoint.empty() && host.Start(MapPort(out, "IDLEIP", Target(kind, endpoint, out + "/bcusim.secure")), error)) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpu0 = CpuSeconds();
        const long switches0 = ContextSwitches();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleS));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        text << "Idle, one link for " << Fixed(idleS, 0) << " s: " << Fixed(100 * (CpuSeconds() - cpu0) / wall, 3)
             << " % of a core, " << Fixed((ContextSwitches() - switches0) / wall, 2) << " wake-ups/s ("
             << (kind == Kind::kRouting         ? "routing keeps nothing alive"
                 : kind == Kind::kSecureRouting ? "a TIMER_NOTIFY every 10 s"
                                                : "the heartbeat every 60 s")
             << "; floor 0 / 0).\n";
        host.Stop();
    } else {
        text << "Idle: not measured (" << (endpoint.empty() ? "bcusim named no endpoint" : error) << ").\n";
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return text.str();
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    bool shortRun = false, secure = false, routing = false;
    Kind kind = Kind::kUdp;
    std::string out = "build/bench-tunnel";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--short") shortRun = true;
        else if (a == "--tcp") kind = Kind::kTcp;
        else if (a == "--secure") secure = true;
        else if (a == "--routing") routing = true;
        else if (a == "--out" && i + 1 < argc) out = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--short] [--tcp|--secure|--routing|--routing --secure] [--out DIR]\n", argv[0]);
            return 2;
        }
    }
    if (routing) kind = secure ? Kind::kSecureRouting : Kind::kRouting;
    else if (secure) kind = Kind::kSecure;
    if (Routed(kind) && std::getenv("QEL_TEST_NAMESPACE") == nullptr) {
        std::fprintf(stderr, "tunnel_bench: --routing sends multicast: only in a network namespace of its own "
                             "(tests/routing_namespace.sh %s ...)\n", argv[0]);
        return 2;
    }
    std::system(("mkdir -p '" + out + "'").c_str());
    const int samples = shortRun ? 10 : 60;
    const int setUps = shortRun ? 1 : 3;
    const double windowS = shortRun ? 3 : 10;

    bcuemu::Bus bus(true);
    bus.AddDevice(kReadGroup, ValueSize::kBit, 1, 0x1130);
    bus.AddDevice(kReferenceReadGroup, ValueSize::kBit, 1, 0x1131);
    bcuemu::KnxnetServer server(bus);
    bcuemu::KnxnetRouter router(bus);
    ReferenceClient reference;
    RoutingReference routingReference;
    std::string error, endpoint, credentials;
    if (kind == Kind::kSecure) {
        server.Secure(qel::test::TestSecureSettings());
        credentials = qel::test::TestCredentials();
    } else if (kind == Kind::kSecureRouting) {
        router.Secure(qel::test::TestBackboneKey());
        credentials = qel::test::TestRoutingCredentials();
    }
    bool ready = false;
    auto referenceSetUp0 = Clock::now();
    double referenceSetUpMs = 0;
    if (Routed(kind)) {
        ready = router.Start("224.0.23.12:0", "127.0.0.1", error);
        if (ready) {
            endpoint = router.GroupEndpoint();
            referenceSetUp0 = Clock::now();
            ready = routingReference.Join({0xE000170C, static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.find(':') + 1)))}, error) &&
                    (kind != Kind::kSecureRouting || routingReference.Secure(qel::test::TestBackboneKey()));
        }
    } else {
        ready = server.Start("127.0.0.1:0", error);
        if (ready) {
            endpoint = server.LocalEndpoint();
            referenceSetUp0 = Clock::now();
            ready = reference.Connect({kLoopback, server.Port()}, error);
        }
    }
    referenceSetUpMs = Ms(Clock::now() - referenceSetUp0);
    DriverHost host(QEL_HOSTLIB_PATH, QEL_DRIVER_PATH);
    host.AddGate("D_05/0002");  // a read is answered through its gate, as on the line
    const uint32_t trafficGate = host.AddGate("A_05/0003");
    const std::string port = MapPort(out, "BENCHIP", Target(kind, endpoint, credentials));
    if (!ready || !host.ok() || !host.Start(port, error)) {
        std::cerr << "tunnel_bench: " << (host.ok() ? error : host.error()) << "\n";
        return 1;
    }
    std::vector<double> setUp{host.ColdStartMs()};
    std::vector<Row> rows;

    // Writes and reads, the driver's and the reference's in turn. Routing
    // confirms nothing: there a write counts once the bus carried it.
    auto referenceExchange = [&](const Telegram& telegram, int answerOf) {
        return Routed(kind) ? routingReference.Exchange(bus, telegram, answerOf)
                                      : reference.Exchange(telegram, answerOf);
    };
    std::vector<double> write, writeFloor, read, readFloor;
    int failedWrites = 0, failedReads = 0;
    for (int i = 0; i < samples; ++i) {
        const auto value = static_cast<uint16_t>(i & 1);
        writeFloor.push_back(referenceExchange(Telegram::GroupValue(bcuemu::Apci::kWrite, kWriteGroup, ValueSize::kBit, value, 0), -1));
        bus.ClearHistory();
        auto t0 = Clock::now();
        failedWrites += host.WriteBit(kWriteGroup, value) != 0 || (Routed(kind) && !bus.WaitTelegrams(1, 3000));
        write.push_back(Ms(Clock::now() - t0));
        readFloor.push_back(referenceExchange(Telegram::GroupRead(kReferenceReadGroup, 0), kReferenceReadGroup));
        uint16_t got = 0;
        t0 = Clock::now();
        failedReads += host.ReadBit(kReadGroup, &got) != 0 || got != 1;
        read.push_back(Ms(Clock::now() - t0));
    }
    rows.push_back({Routed(kind) ? "Group write until the bus carried it, median" : "Group write to its L_Data.con, median",
                    Median(write), Median(writeFloor), "ms"});
    rows.push_back({"Group read to its answer, median", Median(read), Median(readFloor), "ms"});
    std::ostringstream notes;
    notes << "Writes failed: " << failedWrites << " of " << samples << "; reads failed or wrong: " << failedReads
          << " of " << samples << ".\n";

    notes << WritesUnderTraffic(host, bus, kWriteGroup, kTrafficGroup, windowS);
    notes << ListenerAt49(host, bus, kTrafficGroup, trafficGate, windowS);

    // The server restarts: how long until the driver's tunnel is back.
    if (!Routed(kind)) {
        const uint16_t serverPort = server.Port();
        server.Stop();
        const double awayCpu0 = CpuSeconds();
        // Away for half a retry period more than two: the driver's CONNECT_REQUESTs come once a second.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const double awayCpu = 100 * (CpuSeconds() - awayCpu0) / 2.5;
        const auto t0 = Clock::now();
        if (!server.Start("127.0.0.1:" + std::to_string(serverPort), error)) {
            std::cerr << "tunnel_bench: restart: " << error << "\n";
            return 1;
        }
        const bool back = server.WaitTunnels(1, 10000);
        notes << "Server restarted after 2.5 s away: the driver's tunnel back " << (back ? "after " + Fixed(Ms(Clock::now() - t0) / 1000.0, 3) + " s" : "not within 10 s")
              << " (" << Fixed(awayCpu, 2) << " % of a core while it was away).\n";
    }
    host.Stop();

    // The link's set-up: ColdStart to its end, beside the bare client's CONNECT (routing: joining the group).
    for (int i = 1; i < setUps; ++i) {
        const double ms = SetUpMs(host, port, 1, error);
        if (ms >= 0) setUp.push_back(ms);
    }
    notes << "Set-up, ColdStart to its end: " << Fixed(Median(setUp), 1) << " ms, median of " << setUp.size()
          << (kind == Kind::kSecure ? " (keyring: three PBKDF2 derivations of 65 536 rounds)" : "")
          << (kind == Kind::kSecureRouting ? " (keyring: one PBKDF2 derivation; the group's timer asked for)" : "")
          << "; the bare client's " << (Routed(kind) ? "joining the group" : "UDP CONNECT") << ": "
          << Fixed(referenceSetUpMs, 2) << " ms.\n";
    if (kind == Kind::kSecure) {
        const std::string direct = qel::test::WriteTestFile(
            "direct", std::string("user = 2\nuser-password = ") + qel::test::kTestUserPassword +
                          "\ndevice-authentication-code = " + qel::test::kTestDeviceCode + "\n");
        const double ms = SetUpMs(host, MapPort(out, "DIRECTIP", Target(kind, endpoint, direct)), setUps, error);
        notes << "Set-up with the user password and device authentication code given directly (two derivations): "
              << (ms >= 0 ? Fixed(ms, 1) + " ms, median of " + std::to_string(setUps) : "failed: " + error) << ".\n";
        const double plain = SetUpMs(host, MapPort(out, "PLAINIP", Target(Kind::kUdp, endpoint, "")), setUps, error);
        notes << "Set-up of the driver's plain UDP tunnel on the same server: "
              << (plain >= 0 ? Fixed(plain, 1) + " ms" : "failed: " + error) << ".\n";
    }
    server.Stop();
    router.Stop();

    notes << Idle(host, kind, out, shortRun ? 5 : 30);

    std::ostringstream md;
    md << "# " << Title(kind) << ": the driver beside a bare " << (Routed(kind) ? "routing" : "UDP tunnelling")
       << " client on the same " << (Routed(kind) ? "group" : "server") << "\n\n"
       << "Bus in real 9600-baud timing; " << (Routed(kind) ? "router, group and reference client on loopback in a network namespace of the benchmark's own. " : "server and reference client on loopback. ")
       << samples << " samples each, taken in turn.\n\n| | driver | floor (bare client) | ratio |\n|---|---|---|---|\n";
    for (const Row& r : rows)
        md << "| " << r.what << " | " << Fixed(r.driver, 2) << " " << r.unit << " | " << Fixed(r.floor, 2) << " "
           << r.unit << " | x" << Fixed(r.floor > 0 ? r.driver / r.floor : 0, 2) << " |\n";
    md << "\n" << notes.str();
    std::ofstream(out + "/summary.md") << md.str();
    std::cout << md.str();
    return 0;
}
