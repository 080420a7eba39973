// ft12_bench: the shipped driver over its FT1.2 link to an emulated FT1.2
// interface of the emulated bus (bus in real 9600-baud timing), set beside a
// bare reference client on a second interface of the same bus: the floor is
// what the protocol, the interface and the bus take, without the driver. It
// measures group writes (to the L_Data.con), group reads (to the answer),
// writes while telegrams arrive, the listener at 49 telegrams/s offered, and
// an idle link's cost. The pty carries bytes without a baud rate, so both
// figures leave out the cable's time at 19200 baud, given beside them. Writes
// summary.md to the output directory and prints it. Figures only: it checks no
// threshold.
//
//   ft12_bench [--short] [--out DIR] [--cemi]
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bus.h"
#include "bcuemu/ft12_interface.h"
#include "bench_support.h"
#include "driver_host.h"

namespace bench {
namespace {

using bcuemu::ValueSize;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kWriteGroup = 0x2801;    // 5/0/1
constexpr uint16_t kReadGroup = 0x2802;     // 5/0/2, a device that answers
constexpr uint16_t kTrafficGroup = 0x2803;  // 5/0/3, the bus's own telegrams
constexpr uint8_t kAck = 0xE5;
// One character at 19200 baud, 8 data bits, even parity, one stop bit.
constexpr double kCharMs = 11.0 / 19.2;

// An FT1.2 client that does no more than the protocol asks: the floor.
class ReferenceClient {
public:
    ~ReferenceClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool Open(const std::string& path, bool cemi, std::string& error) {
        cemi_ = cemi;
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) {
            error = "cannot open " + path;
            return false;
        }
        termios raw{};
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
        Write({0x10, 0x40, 0x40, 0x16});
        if (!AwaitAck()) {
            error = "the reference client's reset was not acknowledged";
            return false;
        }
        fcb_ = true;
        // EMI2 starts in the BCU's normal mode; a cEMI module in link layer.
        if (!cemi_ && !SendData({0xA9, 0x00, 0x18, 0x34, 0x56, 0x78, 0x0A})) {
            error = "the reference client's switch to link layer was not acknowledged";
            return false;
        }
        return true;
    }
    // A group telegram to its L_Data.con; with `answerOf`, on to the answer of that group. Ms, or -1.
    double Exchange(bool read, uint16_t group, uint8_t value, int answerOf = -1) {
        const auto t0 = Clock::now();
        const uint8_t apci = read ? 0x00 : static_cast<uint8_t>(0x80 | (value & 1));
        Bytes request = cemi_ ? Bytes{0x11, 0x00, 0xBC, 0xE0, 0x00, 0x00, static_cast<uint8_t>(group >> 8),
                                      static_cast<uint8_t>(group), 0x01, 0x00, apci}
                              : Bytes{0x11, 0x0C, 0x00, 0x00, static_cast<uint8_t>(group >> 8),
                                      static_cast<uint8_t>(group), 0xE1, 0x00, apci};
        if (!SendData(request)) return -1;
        bool confirmed = false;
        while (Ms(Clock::now() - t0) < 3000) {
            Bytes message;
            if (!NextMessage(100, message) || message.empty()) continue;
            if (message[0] == 0x2E) confirmed = true;
            // The destination sits at 4..5 in EMI2, at 6..7 in cEMI (no additional information).
            const size_t at = cemi_ ? 6 : 4;
            const bool answered = message[0] == 0x29 && answerOf >= 0 && message.size() > at + 1 &&
                                  (message[at] << 8 | message[at + 1]) == answerOf;
            if (confirmed && (answerOf < 0 || answered)) return Ms(Clock::now() - t0);
        }
        return -1;
    }

private:
    void Write(const Bytes& bytes) { (void)!write(fd_, bytes.data(), bytes.size()); }

    bool ReadByte(int timeoutMs, uint8_t* byte) {
        pollfd pfd{fd_, POLLIN, 0};
        return poll(&pfd, 1, timeoutMs) > 0 && read(fd_, byte, 1) == 1;
    }

    // Until the interface's E5; its frames meanwhile are acknowledged and kept.
    bool AwaitAck() {
        const auto t0 = Clock::now();
        while (Ms(Clock::now() - t0) < 500) {
            Bytes message;
            switch (NextEvent(100, message)) {
            case Event::kAcknowledged: return true;
            case Event::kMessage: pending_.push_back(std::move(message)); break;
            case Event::kNone: break;
            }
        }
        return false;
    }

    bool SendData(const Bytes& data) {
        Bytes frame{0x68, static_cast<uint8_t>(data.size() + 1), static_cast<uint8_t>(data.size() + 1), 0x68};
        const uint8_t control = fcb_ ? 0x73 : 0x53;
        fcb_ = !fcb_;
        frame.push_back(control);
        uint8_t sum = control;
        for (uint8_t b : data) {
            frame.push_back(b);
            sum = static_cast<uint8_t>(sum + b);
        }
        frame.push_back(sum);
        frame.push_back(0x16);
        Write(frame);
        return AwaitAck();
    }

    enum class Event : uint8_t { kNone, kAcknowledged, kMessage };

    // The next E5 or variable frame of the interface (acknowledged; its data).
    Event NextEvent(int timeoutMs, Bytes& data) {
        uint8_t b = 0;
        while (ReadByte(timeoutMs, &b)) {
            if (b == kAck) return Event::kAcknowledged;
            if (b != 0x68) continue;
            uint8_t head[3];
            for (uint8_t& h : head)
                if (!ReadByte(timeoutMs, &h)) return Event::kNone;
            const uint8_t length = head[0];
            Bytes body(length + 2u);
            for (uint8_t& x : body)
                if (!ReadByte(timeoutMs, &x)) return Event::kNone;
            Write({kAck});
            data.assign(body.begin() + 1, body.begin() + length);
            return Event::kMessage;
        }
        return Event::kNone;
    }

    // The next message of the interface, those kept while awaiting an E5 first.
    bool NextMessage(int timeoutMs, Bytes& data) {
        if (!pending_.empty()) {
            data = std::move(pending_.front());
            pending_.pop_front();
            return true;
        }
        return NextEvent(timeoutMs, data) == Event::kMessage;
    }

    int fd_ = -1;
    std::deque<Bytes> pending_;
    bool cemi_ = false;
    bool fcb_ = true;
};

// The cable's characters of one exchange at 19200 baud: the request's frame
// and its acknowledgement, the confirmation's frame and ours (and the
// answer's for a read). A variable frame is 6 characters around its data.
double CableMs(bool cemi, bool read) {
    const double request = 6 + (cemi ? 11 : 9), indication = 6 + (cemi ? 11 : 9);
    return kCharMs * (2 * (request + 1) + (read ? indication + 1 : 0));
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    bool shortRun = false, cemi = false;
    std::string out = "build/bench-ft12";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--short") shortRun = true;
        else if (a == "--cemi") cemi = true;
        else if (a == "--out" && i + 1 < argc) out = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--short] [--out DIR] [--cemi]\n", argv[0]);
            return 2;
        }
    }
    std::system(("mkdir -p '" + out + "'").c_str());
    const int samples = shortRun ? 10 : 60;
    const double windowS = shortRun ? 3 : 10;

    bcuemu::Bus bus(true);
    bus.AddDevice(kReadGroup, ValueSize::kBit, 1, 0x1130);
    bcuemu::Ft12Options options;
    options.flavour = cemi ? bcuemu::EmiFlavour::kCemi : bcuemu::EmiFlavour::kEmi2;
    bcuemu::Ft12Interface driverSide(bus, options), referenceSide(bus, options);
    const std::string driverPath = driverSide.ServePty(), referencePath = referenceSide.ServePty();
    std::string error;
    ReferenceClient reference;
    DriverHost host(QEL_HOSTLIB_PATH, QEL_DRIVER_PATH);
    host.AddGate("D_05/0002");
    const uint32_t trafficGate = host.AddGate("A_05/0003");
    const std::string port = MapPort(out, "BENCHFT", "ft12:" + driverPath + (cemi ? "?cemi" : ""));
    if (driverPath.empty() || referencePath.empty() || !host.ok() || !reference.Open(referencePath, cemi, error) ||
        !host.Start(port, error)) {
        std::cerr << "ft12_bench: " << (host.ok() ? error + driverSide.LastError() : host.error()) << "\n";
        return 1;
    }

    std::vector<double> write, writeFloor, read, readFloor;
    int failedWrites = 0, failedReads = 0;
    for (int i = 0; i < samples; ++i) {
        const auto value = static_cast<uint16_t>(i & 1);
        writeFloor.push_back(reference.Exchange(false, kWriteGroup, static_cast<uint8_t>(value)));
        auto t0 = Clock::now();
        failedWrites += host.WriteBit(kWriteGroup, value) != 0;
        write.push_back(Ms(Clock::now() - t0));
        readFloor.push_back(reference.Exchange(true, kReadGroup, 0, kReadGroup));
        uint16_t got = 0;
        t0 = Clock::now();
        failedReads += host.ReadBit(kReadGroup, &got) != 0 || got != 1;
        read.push_back(Ms(Clock::now() - t0));
    }
    std::ostringstream md;
    md << "# FT1.2 (" << (cemi ? "cEMI" : "EMI2")
       << "): the driver beside a bare client on a second interface of the same bus\n\n"
       << "Bus in real 9600-baud timing; the interfaces on ptys, which carry bytes without a baud rate. " << samples
       << " samples each, taken in turn. The cable at 19200 baud 8E1 adds the same to both: "
       << Fixed(CableMs(cemi, false)) << " ms to a write, " << Fixed(CableMs(cemi, true)) << " ms to a read.\n\n"
       << "| | driver | floor (bare client) | ratio | with the cable, ratio |\n|---|---|---|---|---|\n";
    auto row = [&](const char* what, double driver, double floor, double cable) {
        md << "| " << what << " | " << Fixed(driver, 2) << " ms | " << Fixed(floor, 2) << " ms | x"
           << Fixed(floor > 0 ? driver / floor : 0, 2) << " | x" << Fixed((driver + cable) / (floor + cable), 2)
           << " |\n";
    };
    row("Group write to its L_Data.con, median", Median(write), Median(writeFloor), CableMs(cemi, false));
    row("Group read to its answer, median", Median(read), Median(readFloor), CableMs(cemi, true));
    md << "\nWrites failed: " << failedWrites << " of " << samples << "; reads failed or wrong: " << failedReads
       << " of " << samples << ".\n";

    md << WritesUnderTraffic(host, bus, kWriteGroup, kTrafficGroup, windowS);
    md << ListenerAt49(host, bus, kTrafficGroup, trafficGate, windowS);

    // Idle: this process holds the driver and both emulated interfaces, so
    // the figure is an upper bound of the driver's own cost.
    {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double idleS = shortRun ? 5 : 30;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleS));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        md << "Idle for " << Fixed(idleS, 0) << " s: " << Fixed(100 * (CpuSeconds() - cpu0) / wall, 3)
           << " % of a core, the driver and both emulated interfaces together (floor 0).\n";
    }
    host.Stop();
    driverSide.Stop();
    referenceSide.Stop();
    std::ofstream(out + "/summary.md") << md.str();
    std::cout << md.str();
    return 0;
}
