// tunnel_bench: the shipped driver over its KNXnet/IP tunnel to the emulated
// bus's tunnelling server (bus in real 9600-baud timing), set beside a bare
// reference client on the same server: the floor is what the protocol and
// the bus take, without the driver. It measures group writes (to the
// L_Data.con), group reads (to the answer), writes while telegrams arrive,
// the listener at 49 telegrams/s offered, the time back after the server
// restarts, and, with the server in a bcusim process, one idle tunnel's cost.
// With --tcp the driver's tunnel goes over TCP (the bare client stays on UDP).
// Writes summary.md to the output directory and prints it. Figures only: it
// checks no threshold.
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
#include "bcuemu/knxnet_server.h"
#include "bench_support.h"
#include "driver_host.h"
#include "knxnet/codec.h"
#include "knxnet/udp_socket.h"

extern char** environ;

namespace bench {
namespace {

using namespace bcuemu::knxnet;
using bcuemu::Telegram;
using bcuemu::ValueSize;

constexpr uint16_t kWriteGroup = 0x2801;   // 5/0/1
constexpr uint16_t kReadGroup = 0x2802;    // 5/0/2, a device that answers
constexpr uint16_t kTrafficGroup = 0x2803;  // 5/0/3, the bus's own telegrams
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

int main(int argc, char** argv) {
    using namespace bench;
    bool shortRun = false;
    std::string over;  // the target's option: "?tcp" for the driver's tunnel over TCP
    std::string out = "build/bench-tunnel";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--short") shortRun = true;
        else if (a == "--tcp") over = "?tcp";
        else if (a == "--out" && i + 1 < argc) out = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--short] [--tcp] [--out DIR]\n", argv[0]);
            return 2;
        }
    }
    std::system(("mkdir -p '" + out + "'").c_str());
    const int samples = shortRun ? 10 : 60;
    const double windowS = shortRun ? 3 : 10;

    bcuemu::Bus bus(true);
    bus.AddDevice(kReadGroup, ValueSize::kBit, 1, 0x1130);
    bcuemu::KnxnetServer server(bus);
    std::string error;
    if (!server.Start("127.0.0.1:0", error)) {
        std::cerr << "tunnel_bench: " << error << "\n";
        return 1;
    }
    const Endpoint endpoint{kLoopback, server.Port()};
    ReferenceClient reference;
    DriverHost host(QEL_HOSTLIB_PATH, QEL_DRIVER_PATH);
    host.AddGate("D_05/0002");  // a read is answered through its gate, as on the line
    const uint32_t trafficGate = host.AddGate("A_05/0003");
    const std::string port = MapPort(out, "BENCHIP", "knxip://" + server.LocalEndpoint() + over);
    if (!host.ok() || !reference.Connect(endpoint, error) || !host.Start(port, error)) {
        std::cerr << "tunnel_bench: " << (host.ok() ? error : host.error()) << "\n";
        return 1;
    }
    std::vector<Row> rows;

    // Writes and reads, the driver's and the reference's in turn.
    std::vector<double> write, writeFloor, read, readFloor;
    int failedWrites = 0, failedReads = 0;
    for (int i = 0; i < samples; ++i) {
        const auto value = static_cast<uint16_t>(i & 1);
        writeFloor.push_back(reference.Exchange(Telegram::GroupValue(bcuemu::Apci::kWrite, kWriteGroup, ValueSize::kBit, value, 0)));
        auto t0 = Clock::now();
        failedWrites += host.WriteBit(kWriteGroup, value) != 0;
        write.push_back(Ms(Clock::now() - t0));
        readFloor.push_back(reference.Exchange(Telegram::GroupRead(kReadGroup, 0), kReadGroup));
        uint16_t got = 0;
        t0 = Clock::now();
        failedReads += host.ReadBit(kReadGroup, &got) != 0 || got != 1;
        read.push_back(Ms(Clock::now() - t0));
    }
    rows.push_back({"Group write to its L_Data.con, median", Median(write), Median(writeFloor), "ms"});
    rows.push_back({"Group read to its answer, median", Median(read), Median(readFloor), "ms"});
    std::ostringstream notes;
    notes << "Writes failed: " << failedWrites << " of " << samples << "; reads failed or wrong: " << failedReads
          << " of " << samples << ".\n";

    notes << WritesUnderTraffic(host, bus, kWriteGroup, kTrafficGroup, windowS);
    notes << ListenerAt49(host, bus, kTrafficGroup, trafficGate, windowS);

    // The server restarts: how long until the driver's tunnel is back.
    {
        server.Stop();
        const double awayCpu0 = CpuSeconds();
        // Away for half a retry period more than two: the driver's CONNECT_REQUESTs come once a second.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const double awayCpu = 100 * (CpuSeconds() - awayCpu0) / 2.5;
        const auto t0 = Clock::now();
        if (!server.Start(server.LocalEndpoint().empty() ? "127.0.0.1:0" : ("127.0.0.1:" + std::to_string(endpoint.port)), error)) {
            std::cerr << "tunnel_bench: restart: " << error << "\n";
            return 1;
        }
        const bool back = server.WaitTunnels(1, 10000);
        notes << "Server restarted after 2.5 s away: the driver's tunnel back " << (back ? "after " + Fixed(Ms(Clock::now() - t0) / 1000.0, 3) + " s" : "not within 10 s")
              << " (" << Fixed(awayCpu, 2) << " % of a core while it was away).\n";
    }
    host.Stop();
    server.Stop();

    // Idle: the driver alone in this process, the server in bcusim.
    {
        const std::string ready = out + "/bcusim-ready", log = out + "/bcusim-idle.log";
        std::remove(ready.c_str());
        std::vector<std::string> args{QEL_BCUSIM_PATH, "--line", bcuemu::FreeEndpoint(), "--knxnet", "127.0.0.1:0",
                                      "--ready-file", ready};
        std::vector<char*> argvSpawn;
        for (std::string& a : args) argvSpawn.push_back(a.data());
        argvSpawn.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        if (posix_spawn(&pid, QEL_BCUSIM_PATH, &actions, nullptr, argvSpawn.data(), environ) != 0) return 1;
        posix_spawn_file_actions_destroy(&actions);
        struct stat st {};
        for (int i = 0; i < 500 && stat(ready.c_str(), &st) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream bcusimLog(log);
        std::string line, target;
        while (std::getline(bcusimLog, line))
            if (line.rfind("knxnet: tunnelling server on ", 0) == 0) target = "knxip://" + line.substr(29) + over;
        const double idleS = shortRun ? 5 : 30;
        if (!target.empty() && host.Start(MapPort(out, "IDLEIP", target), error)) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const double cpu0 = CpuSeconds();
            const long switches0 = ContextSwitches();
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(idleS));
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            notes << "Idle, one tunnel for " << Fixed(idleS, 0) << " s: " << Fixed(100 * (CpuSeconds() - cpu0) / wall, 3)
                  << " % of a core, " << Fixed((ContextSwitches() - switches0) / wall, 2)
                  << " wake-ups/s (the heartbeat every 60 s; floor 0 / 0).\n";
            host.Stop();
        } else {
            notes << "Idle: not measured (" << error << ").\n";
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }

    std::ostringstream md;
    md << "# KNXnet/IP tunnel" << (over.empty() ? "" : " over TCP") << ": the driver beside a bare client on the same server\n\n"
       << "Bus in real 9600-baud timing; server and reference client on loopback. " << samples
       << " samples each, taken in turn.\n\n| | driver | floor (bare client) | ratio |\n|---|---|---|---|\n";
    for (const Row& r : rows)
        md << "| " << r.what << " | " << Fixed(r.driver, 2) << " " << r.unit << " | " << Fixed(r.floor, 2) << " "
           << r.unit << " | x" << Fixed(r.floor > 0 ? r.driver / r.floor : 0, 2) << " |\n";
    md << "\n" << notes.str();
    std::ofstream(out + "/summary.md") << md.str();
    std::cout << md.str();
    return 0;
}
