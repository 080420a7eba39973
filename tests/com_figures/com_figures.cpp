// Figures of the driver's COM backend under Wine, over a pseudo terminal with
// modem lines (the test preload library in this process, the relay, the
// emulated BCU in real 9600-baud timing in this process): frames a second the
// listener takes, the read and write round trips, and what one idle instance
// costs. Wine's serial layer is in between; these are not a site's figures.
// Without the preload library: the same over the virtual line, for comparison.
//   com_figures [--frames N] [--requests N] [--idle-seconds S]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "floor_model.h"
#include "support/running_instance.h"
#include "support/test_line.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kReactionUs = 1000;
constexpr int64_t kPauseUs = 3000;
constexpr unsigned kQueueLimit = 8;
constexpr uint16_t kStreamBase = 0x0800;  // 1/0: D_01/0000 ...
constexpr uint16_t kReadGroup = 0x0A00;   // a device that answers reads
constexpr uint16_t kWriteGroup = 0x0A01;
constexpr int32_t kGroupBitCommand = 4;   // "D_"

struct Settings {
    int frames = 200;
    int requests = 30;
    int idleSeconds = 10;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// CPU time (ticks) and context switches of all threads of this (the wine)
// process, from the Linux side through Wine's Z: drive. Z:\proc\self would
// be the wineserver, which opens the files: the script passes the process's
// own Linux pid (QEL_UNIX_PID).
struct ProcessCost {
    double cpuSeconds = 0;
    long long switches = 0;
};

ProcessCost ReadCost() {
    ProcessCost cost;
    const char* pid = std::getenv("QEL_UNIX_PID");
    if (pid == nullptr) return cost;
    const std::string tasks = std::string("Z:\\proc\\") + pid + "\\task\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((tasks + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return cost;
    const double tick = 100.0;  // USER_HZ
    do {
        const std::string tid = found.cFileName;
        if (tid == "." || tid == "..") continue;
        const std::string dir = tasks + tid + "\\";
        std::ifstream stat(dir + "stat");
        std::string line;
        if (std::getline(stat, line)) {
            // Fields after the name in parentheses: state is the 3rd; utime, stime the 14th, 15th.
            std::string rest = line.substr(line.rfind(')') + 2);
            std::vector<std::string> fields;
            size_t at = 0;
            while (at < rest.size()) {
                const size_t next = rest.find(' ', at);
                fields.push_back(rest.substr(at, next - at));
                if (next == std::string::npos) break;
                at = next + 1;
            }
            if (fields.size() > 12) cost.cpuSeconds += (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / tick;
        }
        std::ifstream status(dir + "status");
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                cost.switches += std::atoll(line.substr(line.find(':') + 1).c_str());
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return cost;
}

struct Idle {
    double cpuPercent = 0;
    double switchesPerSecond = 0;
};

Idle MeasureIdle(int seconds) {
    const ProcessCost before = ReadCost();
    const auto start = Clock::now();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const ProcessCost after = ReadCost();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return {100.0 * (after.cpuSeconds - before.cpuSeconds) / wall, (after.switches - before.switches) / wall};
}

std::string GateName(int sub) {
    char name[16];
    std::snprintf(name, sizeof name, "D_01/%04d", sub);
    return name;
}

bool RunMode(const Settings& settings, bool ctsDropAfterRts) {
    using namespace qel::test;
    bcuemu::Options options;
    options.timing = bcuemu::Timing::kRealistic;
    options.ctsDropAfterRts = ctsDropAfterRts;
    options.reactionUs = static_cast<int>(kReactionUs);
    options.postMessagePauseUs = static_cast<int>(kPauseUs);
    options.queueLimit = kQueueLimit;
    bench::LineTiming timing;
    timing.reactionUs = kReactionUs;
    timing.pauseUs = kPauseUs;
    timing.ctsDropAfterRts = ctsDropAfterRts;
    const bench::FloorModel floor(timing, bcuemu::Bus::DurationUs(bcuemu::Telegram::GroupValue(
                                              bcuemu::Apci::kWrite, kStreamBase, bcuemu::ValueSize::kBit, 1)));

    LoadedDriver driver;
    bcuemu::Bus bus(true);
    bus.AddDevice(kReadGroup, bcuemu::ValueSize::kBit, 1);
    std::vector<uint32_t> gates;
    for (int i = 0; i < settings.frames; ++i) gates.push_back(driver.addGate(GateName(i).c_str()));
    driver.addGate(GateName(kReadGroup - kStreamBase).c_str());
    RunningInstance running(driver, &bus, options);
    if (running.port().empty() || running.start() != 0) {
        std::printf("cannot start an instance on %s\n", running.port().c_str());
        return false;
    }
    std::printf("\n## CTS %s (port %s)\n\n", ctsDropAfterRts ? "drops after RTS" : "drops with the answer",
                running.port().c_str());
    std::printf("| figure | under Wine | floor | ratio |\n|---|---|---|---|\n");

    // Listener: telegrams back to back, as fast as the bus carries them.
    std::atomic<int> delivered{0};
    Clock::time_point first{}, last{};
    driver.onPut(
        [](void* context, uint32_t, uint32_t, const char*, uint16_t) {
            auto* count = static_cast<std::atomic<int>*>(context);
            ++*count;
        },
        &delivered);
    for (int i = 0; i < settings.frames; ++i)
        bus.Inject(static_cast<uint16_t>(kStreamBase + i), bcuemu::ValueSize::kBit, 1);
    int seen = 0;
    while (WaitUntil([&] { return delivered.load() > seen; }, 3000)) {
        if (seen == 0) first = Clock::now();
        seen = delivered.load();
        last = Clock::now();
        if (seen >= settings.frames) break;
    }
    const double takenPerSecond = seen > 1 ? (seen - 1) / std::chrono::duration<double>(last - first).count() : 0;
    std::printf("| listener, frames/s taken (%d offered back to back, %d taken, %zu dropped by the BCU's queue) | %.1f | %.1f | %.2f |\n",
                settings.frames, seen, running.bcu().DroppedFrames(), takenPerSecond,
                floor.MaxIndicationsPerSecond(), takenPerSecond / floor.MaxIndicationsPerSecond());

    // Reads and writes, one at a time on a quiet bus.
    std::vector<double> reads, writes;
    int failedReads = 0, failedWrites = 0;
    for (int i = 0; i < settings.requests; ++i) {
        auto start = Clock::now();
        const ReadResult read = running.instance().read(kGroupBitCommand, kReadGroup);
        reads.push_back(Ms(Clock::now() - start));
        failedReads += read.result != 0;
        start = Clock::now();
        failedWrites += running.instance().write(kGroupBitCommand, kWriteGroup, i & 1) != 0;
        writes.push_back(Ms(Clock::now() - start));
    }
    std::printf("| read, median ms (%d, %d failed) | %.1f | %.1f | %.2f |\n", settings.requests, failedReads,
                Median(reads), floor.GroupReadUs() / 1000.0, Median(reads) * 1000.0 / floor.GroupReadUs());
    std::printf("| write, median ms (%d, %d failed) | %.1f | %.1f | %.2f |\n", settings.requests, failedWrites,
                Median(writes), floor.WriteAloneUs() / 1000.0, Median(writes) * 1000.0 / floor.WriteAloneUs());

    // Idle: the process with the instance, then without it (the emulated BCU
    // and the bus stay, so the difference is the instance and Wine's serial layer).
    const Idle withInstance = MeasureIdle(settings.idleSeconds);
    running.stop();
    driver.onPut(nullptr, nullptr);  // only once the listener has ended
    const Idle without = MeasureIdle(settings.idleSeconds);
    std::printf("| idle, %% of a core (wine process; without the instance) | %.2f (%.2f) | | |\n",
                withInstance.cpuPercent, without.cpuPercent);
    std::printf("| idle, context switches/s (wine process; without the instance) | %.0f (%.0f) | | |\n",
                withInstance.switchesPerSecond, without.switchesPerSecond);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--frames") settings.frames = v;
        else if (a == "--requests") settings.requests = v;
        else if (a == "--idle-seconds") settings.idleSeconds = v;
    }
    // Without the preload library the same figures come from the virtual line,
    // under Wine too, for comparison.
    const bool com = qel::test::OverPseudoTerminal();
    std::printf("# %s under Wine (emulated BCU in real 9600-baud timing)\n",
                com ? "COM backend, over a modem-line pty," : "Virtual line (named pipe)");
    bool ok = true;
    for (bool mode : {false, true}) ok = RunMode(settings, mode) && ok;
    return ok ? 0 : 1;
}
