// line_bench: the shipped driver on the emulated BCU line in real 9600-baud
// timing, set beside the line's floor (floor_model.h). It measures, for each
// of the two CTS behaviours of a BCU:
//   - bus telegrams offered at rising rates: frames a second taken, where
//     the rest was lost (the BCU's full queue, or the driver), delivery
//     latency (bus to gate), and the line time of each frame;
//   - group read round trip, and group writes in a loop;
//   - writes in a loop while telegrams arrive;
// and, with the emulator in a separate bcusim process, the idle cost of one
// running instance (CPU share and wake-ups of the driver's threads).
// It writes results.csv, rates.csv, rates-*.dat (for the plot), summary.md and
// the line trace of every step (traces/) to the output directory, and prints
// the summary. Figures only: it checks no threshold.
#include <dirent.h>
#include <dlfcn.h>
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
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bcuemu/bcu.h"
#include "bcuemu/bus.h"
#include "bcuemu/frames.h"
#include "driver_host.h"
#include "floor_model.h"

extern char** environ;

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
using bcuemu::LineEvent;

constexpr int64_t kReactionUs = 1000;
constexpr int64_t kPauseUs = 3000;
constexpr unsigned kQueueLimit = 8;
constexpr int kStreamGates = 512;             // D_01/0000 ... D_01/0511, one per telegram in turn
constexpr uint16_t kStreamBase = 0x0800;      // group 1/0
constexpr uint16_t kReadGroup = 0x0A00;       // 1/512: a device that answers reads
constexpr uint16_t kWriteGroup = 0x0A01;      // 1/513: written in the loops
constexpr int kDrainMs = 15000;
constexpr double kQuietStepS = 0.031;

struct Settings {
    bool shortRun = false;
    std::string outDir = "build/bench";
    std::vector<bool> modes{false, true};  // ctsDropAfterRts
    std::string bcusim = QEL_BCUSIM_PATH;
    std::string hostLibrary = QEL_HOSTLIB_PATH;
    std::string driver = QEL_DRIVER_PATH;
    // Scenario sizes (full run; --short cuts them down).
    std::vector<double> rates{5, 10, 20, 30, 40, 49};
    double rateWindowS = 10;
    int reads = 40;
    int writes = 100;
    std::vector<double> trafficRates{15, 25, 30};
    double trafficWindowS = 10;
    double idleWindowS = 10;
    int quietFrames = 8;       // first frames after a quiet line, each after quietS and a step more
    double quietS = 5;         // past the tty's stretch to its longest CTS period
    bool announcementTimesOut = false;  // the emulated BCU gives up an unanswered announcement
    bool idleBothModes = true;
    bool pty = false;  // a pseudo terminal with modem lines (the tty backend), not the virtual line
};

const char* ModeName(bool ctsDropAfterRts) { return ctsDropAfterRts ? "after-rts" : "with-answer"; }
const char* ModeTitle(bool ctsDropAfterRts) {
    return ctsDropAfterRts ? "CTS drops after RTS" : "CTS drops with the answer";
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Short(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string Fixed(double v, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// ---- results -------------------------------------------------------------

struct Row {
    std::string mode, scenario, metric;
    double value = 0;
    double floor = 0;  // 0: none
    std::string unit;
};

struct RateRow {
    bool mode = false;
    double offered = 0;
    double busRate = 0;
    double taken = 0;
    double latencyMedian = 0, latencyP99 = 0;
    double lineTimeMedian = 0;
    int offeredCount = 0, delivered = 0, bcuDropped = 0, driverLost = 0, brokenReceptions = 0;
    FloorModel::Stream floor;
    double floorLineTime = 0;
};

struct WriteStats {
    int count = 0;
    int failed = 0;
    double median = 0, p99 = 0;
};

struct TrafficRow {
    bool mode = false;
    double rate = 0;
    WriteStats writes;
    int offered = 0, delivered = 0, bcuDropped = 0, driverLost = 0;
    double load = 0;          // share of the line the telegrams alone take, at the floor
    double floorMedian = 0;   // 0: the telegrams alone fill the line
};

struct ModeResult {
    bool mode = false;
    std::vector<RateRow> rates;
    WriteStats reads;
    double readFloor = 0;
    WriteStats writes;
    int writeLoopDropped = 0;
    double writeAloneFloor = 0, writeLoopFloor = 0;
    std::vector<TrafficRow> traffic;
    std::vector<double> quietLatencies;  // bus to gate, ms, of a frame after a quiet line
    double quietFloor = 0;
    bool idleMeasured = false;
    double idleCpu = 0, idleWakeups = 0, idleInvoluntary = 0;
    int idleThreads = 0;
};

WriteStats StatsOf(const std::vector<double>& times, int failed) {
    return WriteStats{static_cast<int>(times.size()), failed, Percentile(times, 50), Percentile(times, 99)};
}

// ---- the stream of telegrams and their deliveries --------------------------

class Tracker {
public:
    void MapGate(uint32_t gateId, int sub) { gateSub_[gateId] = sub; }

    void Reset() {
        std::lock_guard lock(mutex_);
        busOut_.assign(kStreamGates, Clock::time_point{});
        busOutTimes_.clear();
        puts_.clear();
        latencies_.clear();
    }
    void BusOut(int sub) {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        busOut_[sub] = now;
        busOutTimes_.push_back(now);
    }
    void Put(uint32_t gateId) {
        const auto now = Clock::now();
        const auto found = gateSub_.find(gateId);
        if (found == gateSub_.end()) return;
        std::lock_guard lock(mutex_);
        puts_.push_back(now);
        const Clock::time_point out = busOut_[found->second];
        if (out != Clock::time_point{}) latencies_.push_back(Ms(now - out));
    }

    int PutCount() const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(puts_.size());
    }
    int PutsBetween(Clock::time_point from, Clock::time_point to) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count_if(puts_.begin(), puts_.end(), [&](auto t) { return t >= from && t < to; }));
    }
    int BusOutsBetween(Clock::time_point from, Clock::time_point to) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(
            std::count_if(busOutTimes_.begin(), busOutTimes_.end(), [&](auto t) { return t >= from && t < to; }));
    }
    std::vector<double> Latencies() const {
        std::lock_guard lock(mutex_);
        return latencies_;
    }

private:
    std::unordered_map<uint32_t, int> gateSub_;  // filled before the stream starts
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> busOut_ = std::vector<Clock::time_point>(kStreamGates);
    std::vector<Clock::time_point> busOutTimes_;
    std::vector<Clock::time_point> puts_;
    std::vector<double> latencies_;
};

// Sends one-bit telegrams at `perSecond` onto the bus, each to the next gate of the stream.
class Injector {
public:
    Injector(bcuemu::Bus& bus, double perSecond, double windowS)
        : thread_([this, &bus, perSecond, windowS] {
              const auto start = Clock::now();
              for (int i = 0;; ++i) {
                  const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(i / perSecond));
                  if (Seconds(at - start) >= windowS) break;
                  std::this_thread::sleep_until(at);
                  bus.Inject(static_cast<uint16_t>(kStreamBase + i % kStreamGates), bcuemu::ValueSize::kBit,
                             static_cast<uint16_t>(i & 1));
                  ++sent_;
              }
          }) {}
    ~Injector() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    int sent() const { return sent_; }

private:
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// Waits until the bus and the BCU's queue are empty and the last frame is in.
void Drain(bcuemu::Bus& bus, bcuemu::Bcu& bcu) {
    bus.WaitIdle(kDrainMs);
    const auto end = Clock::now() + std::chrono::milliseconds(kDrainMs);
    while (bcu.QueuedFrames() != 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the last frame's handshakes and its put
}

// Line time of each complete frame the BCU sent: from the CTS that announced
// it to its last octet. A frame is told by the driver's 0xFF (its answer to a
// header) in an exchange that the BCU's CTS opened with RTS low.
std::vector<double> FrameLineTimesMs(const std::vector<LineEvent>& events, int* broken) {
    std::vector<double> times;
    bool rts = false, slave = false, inFrame = false, awaitHeader = false;
    int64_t ctsUp = 0, frameStart = 0;
    int expected = 0, got = 0;
    for (const LineEvent& e : events) {
        switch (e.kind) {
        case LineEvent::Kind::kRts: rts = e.value != 0; break;
        case LineEvent::Kind::kCts:
            if (e.value != 0) {
                slave = !rts;
                ctsUp = e.us;
            }
            break;
        case LineEvent::Kind::kToBcu:
            if (slave && e.value == 0xFF) {
                if (inFrame) ++*broken;
                inFrame = awaitHeader = true;
                frameStart = ctsUp;
                got = 0;
            }
            break;
        case LineEvent::Kind::kFromBcu:
            if (!slave || !inFrame) break;
            if (awaitHeader) {
                awaitHeader = false;
                if (!bcuemu::IsHeaderByte(e.value)) {
                    inFrame = false;
                    ++*broken;
                    break;
                }
                expected = (e.value & 0x1F) + 1;
            }
            if (++got == expected) {
                times.push_back(static_cast<double>(e.us - frameStart) / 1000.0);
                inFrame = false;
            }
            break;
        default: break;
        }
    }
    return times;
}

// ---- one CTS behaviour, emulator in-process ---------------------------------

class ModeRun {
public:
    ModeRun(const Settings& settings, DriverHost& host, bool ctsDropAfterRts)
        : settings_(settings), host_(host), bus_(true), bcu_(&bus_, OptionsFor(ctsDropAfterRts, settings.announcementTimesOut)),
          model_(TimingFor(ctsDropAfterRts), ShortTelegramUs()) {
        result_.mode = ctsDropAfterRts;
    }

    static bcuemu::Options OptionsFor(bool ctsDropAfterRts, bool announcementTimesOut) {
        bcuemu::Options o;
        o.timing = bcuemu::Timing::kRealistic;
        o.ctsDropAfterRts = ctsDropAfterRts;
        o.reactionUs = static_cast<int>(kReactionUs);
        o.postMessagePauseUs = static_cast<int>(kPauseUs);
        o.queueLimit = kQueueLimit;
        o.announcementTimesOut = announcementTimesOut;
        return o;
    }
    static LineTiming TimingFor(bool ctsDropAfterRts) {
        LineTiming t;
        t.reactionUs = kReactionUs;
        t.pauseUs = kPauseUs;
        t.ctsDropAfterRts = ctsDropAfterRts;
        return t;
    }
    static int64_t ShortTelegramUs() {
        return bcuemu::Bus::DurationUs(
            bcuemu::Telegram::GroupValue(bcuemu::Apci::kWrite, kStreamBase, bcuemu::ValueSize::kBit, 1));
    }

    bool Run(std::string& error) {
        const std::string port = settings_.pty ? bcu_.ServePty() : bcu_.Serve();
        if (port.empty()) {
            error = "the emulated BCU cannot serve: " + bcu_.LastError();
            return false;
        }
        for (int sub = 0; sub < kStreamGates; ++sub) tracker_.MapGate(host_.AddGate(GateName(sub)), sub);
        host_.AddGate(GateName(kReadGroup - kStreamBase));
        bus_.AddDevice(kReadGroup, bcuemu::ValueSize::kBit, 1);
        bus_.SetMonitor([this](const bcuemu::Telegram& t) {
            if (t.group && t.Service() == bcuemu::Apci::kWrite && t.destination >= kStreamBase &&
                t.destination < kStreamBase + kStreamGates)
                tracker_.BusOut(t.destination - kStreamBase);
        });
        host_.OnPut([](void* self, uint32_t gateId) { static_cast<Tracker*>(self)->Put(gateId); }, &tracker_);

        Progress("start the driver on the emulated line");
        if (!host_.Start(port, error)) return false;
        if (!bcu_.LinkLayer()) std::fprintf(stderr, "line_bench: warning: the BCU is not in link-layer mode\n");

        for (double rate : settings_.rates) RateStep(rate);
        Reads();
        Writes();
        for (double rate : settings_.trafficRates) Traffic(rate);
        Quiet();

        host_.OnPut(nullptr, nullptr);
        const int stopped = host_.Stop();
        if (stopped != 0) std::fprintf(stderr, "line_bench: EndQel returned %d\n", stopped);
        bus_.SetMonitor(nullptr);
        bcu_.Stop();
        return true;
    }

    ModeResult& result() { return result_; }
    const FloorModel& model() const { return model_; }

private:
    static std::string GateName(int sub) {
        char name[16];
        std::snprintf(name, sizeof name, "D_01/%04d", sub);
        return name;
    }

    void Progress(const std::string& what) const {
        std::fprintf(stderr, "line_bench [%s] %s\n", ModeName(result_.mode), what.c_str());
    }

    void RateStep(double rate) {
        Progress("telegrams at " + Fixed(rate, 0) + "/s for " + Fixed(settings_.rateWindowS, 1) + " s");
        tracker_.Reset();
        bcu_.ClearEvents();
        const size_t dropped0 = bcu_.DroppedFrames();
        const auto start = Clock::now();
        Injector injector(bus_, rate, settings_.rateWindowS);
        injector.Join();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(settings_.rateWindowS));
        std::this_thread::sleep_until(end);
        Drain(bus_, bcu_);

        RateRow row;
        row.mode = result_.mode;
        row.offered = rate;
        row.offeredCount = injector.sent();
        row.busRate = tracker_.BusOutsBetween(start, end) / settings_.rateWindowS;
        row.taken = tracker_.PutsBetween(start, end) / settings_.rateWindowS;
        row.delivered = tracker_.PutCount();
        row.bcuDropped = static_cast<int>(bcu_.DroppedFrames() - dropped0);
        row.driverLost = row.offeredCount - row.delivered - row.bcuDropped;
        const std::vector<double> latencies = tracker_.Latencies();
        row.latencyMedian = Percentile(latencies, 50);
        row.latencyP99 = Percentile(latencies, 99);
        const std::vector<LineEvent> events = bcu_.Events();
        const std::vector<double> lineTimes = FrameLineTimesMs(events, &row.brokenReceptions);
        SaveTrace(events, "listener-" + Fixed(rate, 0));
        row.lineTimeMedian = Percentile(lineTimes, 50);
        row.floor = model_.IndicationStream(rate, static_cast<int64_t>(settings_.rateWindowS * 1e6), kQueueLimit);
        row.floorLineTime = static_cast<double>(model_.SlaveLineUs(kIndicationOctets)) / 1000.0;
        result_.rates.push_back(row);
        bcu_.ClearEvents();
    }

    // The step's line trace, one event a line, to look into a figure.
    void SaveTrace(const std::vector<LineEvent>& events, const std::string& step) const {
        std::ofstream trace(settings_.outDir + "/traces/" + ModeName(result_.mode) + "-" + step + ".txt");
        for (const LineEvent& e : events) trace << bcuemu::Describe(e) << '\n';
    }

    // One telegram after the line has been quiet: on a tty the listener then
    // reads CTS at its longest period, so the frame waits longer for it.
    void Quiet() {
        Progress(std::to_string(settings_.quietFrames) + " frames, each after " + Fixed(settings_.quietS, 1) +
                 " s of quiet");
        tracker_.Reset();
        for (int i = 0; i < settings_.quietFrames; ++i) {
            // Each a little later than the last, so that the frames meet the
            // listener's slow CTS reads at different points of their period.
            std::this_thread::sleep_for(std::chrono::duration<double>(settings_.quietS + i * kQuietStepS));
            bus_.Inject(kStreamBase, bcuemu::ValueSize::kBit, static_cast<uint16_t>(i & 1));
            Drain(bus_, bcu_);
        }
        result_.quietLatencies = tracker_.Latencies();
        result_.quietFloor = model_.IndicationStream(1, 1000000, kQueueLimit).latencyMedianMs;
        SaveTrace(bcu_.Events(), "quiet");
        bcu_.ClearEvents();
    }

    void Reads() {
        Progress("group reads, " + std::to_string(settings_.reads));
        std::vector<double> times;
        int failed = 0;
        for (int i = 0; i < settings_.reads; ++i) {
            uint16_t value = 0;
            const auto before = Clock::now();
            const int result = host_.ReadBit(kReadGroup, &value);
            times.push_back(Ms(Clock::now() - before));
            if (result != 0 || value != 1) ++failed;
        }
        result_.reads = StatsOf(times, failed);
        result_.readFloor = static_cast<double>(model_.GroupReadUs()) / 1000.0;
        Drain(bus_, bcu_);
        SaveTrace(bcu_.Events(), "reads");
        bcu_.ClearEvents();
    }

    void Writes() {
        Progress("group writes in a loop, " + std::to_string(settings_.writes));
        const size_t dropped0 = bcu_.DroppedFrames();
        std::vector<double> times;
        int failed = 0;
        for (int i = 0; i < settings_.writes; ++i) {
            const auto before = Clock::now();
            if (host_.WriteBit(kWriteGroup, static_cast<uint16_t>(i & 1)) != 0) ++failed;
            times.push_back(Ms(Clock::now() - before));
        }
        Drain(bus_, bcu_);
        result_.writes = StatsOf(times, failed);
        result_.writeLoopDropped = static_cast<int>(bcu_.DroppedFrames() - dropped0);
        result_.writeAloneFloor = static_cast<double>(model_.WriteAloneUs()) / 1000.0;
        result_.writeLoopFloor = static_cast<double>(model_.WriteLoopUs()) / 1000.0;
        SaveTrace(bcu_.Events(), "writes");
        bcu_.ClearEvents();
    }

    void Traffic(double rate) {
        Progress("group writes in a loop under " + Fixed(rate, 0) + " telegrams/s for " +
                 Fixed(settings_.trafficWindowS, 1) + " s");
        tracker_.Reset();
        const size_t dropped0 = bcu_.DroppedFrames();
        std::vector<double> times;
        int failed = 0;
        {
            const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(settings_.trafficWindowS));
            Injector injector(bus_, rate, settings_.trafficWindowS);
            for (int i = 0; Clock::now() < end; ++i) {
                const auto before = Clock::now();
                if (host_.WriteBit(kWriteGroup, static_cast<uint16_t>(i & 1)) != 0) ++failed;
                times.push_back(Ms(Clock::now() - before));
            }
            injector.Join();
            Drain(bus_, bcu_);
            TrafficRow row;
            row.mode = result_.mode;
            row.rate = rate;
            row.writes = StatsOf(times, failed);
            row.offered = injector.sent();
            row.delivered = tracker_.PutCount();
            // Dropped frames here may be confirmations as well as indications.
            row.bcuDropped = static_cast<int>(bcu_.DroppedFrames() - dropped0);
            row.driverLost = std::max(0, row.offered - row.delivered - row.bcuDropped);
            row.load = model_.IndicationLoad(rate);
            // The write alone, on the share of the line the telegrams leave.
            if (row.load < 1) row.floorMedian = static_cast<double>(model_.WriteAloneUs()) / 1000.0 / (1 - row.load);
            result_.traffic.push_back(row);
        }
        SaveTrace(bcu_.Events(), "writes-under-" + Fixed(rate, 0));
        bcu_.ClearEvents();
    }

    const Settings& settings_;
    DriverHost& host_;
    bcuemu::Bus bus_;
    bcuemu::Bcu bcu_;
    FloorModel model_;
    Tracker tracker_;
    ModeResult result_;
};

// ---- idle: the driver's process alone, the emulator in bcusim --------------

struct Usage {
    double cpuS = 0;
    long voluntary = 0, involuntary = 0;  // the driver's threads: every thread but the main one
    int threads = 0;
};

Usage ReadUsage() {
    Usage u;
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    u.cpuS = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
             static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    const std::string self = std::to_string(getpid());
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return u;
    while (dirent* entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == "..") continue;
        ++u.threads;
        if (tid == self) continue;
        std::ifstream status("/proc/self/task/" + tid + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) u.voluntary += std::stol(line.substr(24));
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) u.involuntary += std::stol(line.substr(27));
        }
    }
    closedir(dir);
    return u;
}

bool MeasureIdle(const Settings& settings, DriverHost& host, ModeResult& result, std::string& error) {
    std::fprintf(stderr, "line_bench [%s] idle, emulator in bcusim, %.1f s\n", ModeName(result.mode),
                 settings.idleWindowS);
    const std::string endpoint = bcuemu::FreeEndpoint();
    const std::string ready = settings.outDir + "/bcusim-ready";
    const std::string logPath = settings.outDir + "/bcusim-" + ModeName(result.mode) + ".log";
    std::remove(ready.c_str());
    std::vector<std::string> args{settings.bcusim, "--realistic", "--reaction-us", std::to_string(kReactionUs),
                                  "--queue-limit", std::to_string(kQueueLimit), "--line", endpoint,
                                  "--ready-file", ready};
    if (result.mode) args.push_back("--cts-drop-after-rts");
    if (settings.announcementTimesOut) args.push_back("--announcement-times-out");
    if (settings.pty) args.push_back("--pty");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, settings.bcusim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = "cannot start " + settings.bcusim + ": " + std::strerror(spawned);
        return false;
    }
    auto stopSimulator = [pid] {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    };
    const auto readyBy = Clock::now() + std::chrono::seconds(10);
    struct stat st {};
    while (stat(ready.c_str(), &st) != 0) {  // bcusim writes it once its line listens
        if (Clock::now() >= readyBy) {
            stopSimulator();
            error = "bcusim did not get ready (see " + logPath + ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!host.Start(endpoint, error)) {
        stopSimulator();
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start's own work
    const Usage before = ReadUsage();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(settings.idleWindowS));
    const Usage after = ReadUsage();
    const double wall = Seconds(Clock::now() - t0);
    host.Stop();
    stopSimulator();
    std::remove(ready.c_str());
    result.idleMeasured = true;
    result.idleCpu = 100.0 * (after.cpuS - before.cpuS) / wall;
    result.idleWakeups = static_cast<double>(after.voluntary - before.voluntary) / wall;
    result.idleInvoluntary = static_cast<double>(after.involuntary - before.involuntary) / wall;
    result.idleThreads = after.threads - 1;
    return true;
}

// ---- output ----------------------------------------------------------------

std::string Ratio(double measured, double floor) {
    if (floor <= 0) return "";
    return Fixed(measured / floor, 2);
}

std::vector<Row> RowsOf(const ModeResult& m) {
    std::vector<Row> rows;
    const std::string mode = ModeName(m.mode);
    for (const RateRow& r : m.rates) {
        const std::string s = "listener@" + Fixed(r.offered, 0);
        rows.push_back({mode, s, "bus_per_s", r.busRate, r.floor.busPerSecond, "1/s"});
        rows.push_back({mode, s, "taken_per_s", r.taken, r.floor.takenPerSecond, "1/s"});
        rows.push_back({mode, s, "latency_median", r.latencyMedian, r.floor.latencyMedianMs, "ms"});
        rows.push_back({mode, s, "latency_p99", r.latencyP99, r.floor.latencyP99Ms, "ms"});
        rows.push_back({mode, s, "line_time_median", r.lineTimeMedian, r.floorLineTime, "ms"});
        rows.push_back({mode, s, "offered", static_cast<double>(r.offeredCount),
                        static_cast<double>(r.floor.offered), ""});
        rows.push_back({mode, s, "delivered", static_cast<double>(r.delivered), 0, ""});
        rows.push_back({mode, s, "bcu_dropped", static_cast<double>(r.bcuDropped),
                        static_cast<double>(r.floor.dropped), ""});
        rows.push_back({mode, s, "driver_lost", static_cast<double>(r.driverLost), 0, ""});
        rows.push_back({mode, s, "broken_receptions", static_cast<double>(r.brokenReceptions), 0, ""});
    }
    rows.push_back({mode, "group_read", "median", m.reads.median, m.readFloor, "ms"});
    rows.push_back({mode, "group_read", "p99", m.reads.p99, m.readFloor, "ms"});
    rows.push_back({mode, "group_read", "failed", static_cast<double>(m.reads.failed), 0, ""});
    rows.push_back({mode, "write_loop", "median", m.writes.median, m.writeAloneFloor, "ms"});
    rows.push_back({mode, "write_loop", "median_vs_confirmed", m.writes.median, m.writeLoopFloor, "ms"});
    rows.push_back({mode, "write_loop", "p99", m.writes.p99, m.writeAloneFloor, "ms"});
    rows.push_back({mode, "write_loop", "failed", static_cast<double>(m.writes.failed), 0, ""});
    rows.push_back({mode, "write_loop", "bcu_dropped", static_cast<double>(m.writeLoopDropped), 0, ""});
    for (const TrafficRow& t : m.traffic) {
        const std::string s = "writes_under@" + Fixed(t.rate, 0);
        rows.push_back({mode, s, "writes", static_cast<double>(t.writes.count), 0, ""});
        rows.push_back({mode, s, "failed", static_cast<double>(t.writes.failed), 0, ""});
        rows.push_back({mode, s, "median", t.writes.median, t.floorMedian, "ms"});
        rows.push_back({mode, s, "p99", t.writes.p99, t.floorMedian, "ms"});
        rows.push_back({mode, s, "telegrams_offered", static_cast<double>(t.offered), 0, ""});
        rows.push_back({mode, s, "telegrams_delivered", static_cast<double>(t.delivered), 0, ""});
        rows.push_back({mode, s, "bcu_dropped", static_cast<double>(t.bcuDropped), 0, ""});
        rows.push_back({mode, s, "driver_lost", static_cast<double>(t.driverLost), 0, ""});
        rows.push_back({mode, s, "line_load_floor", t.load * 100, 0, "%"});
    }
    if (m.idleMeasured) {
        rows.push_back({mode, "idle", "cpu", m.idleCpu, 0, "% of a core"});
        rows.push_back({mode, "idle", "wakeups_per_s", m.idleWakeups, 0, "1/s"});
        rows.push_back({mode, "idle", "involuntary_per_s", m.idleInvoluntary, 0, "1/s"});
        rows.push_back({mode, "idle", "driver_threads", static_cast<double>(m.idleThreads), 0, ""});
    }
    return rows;
}

void WriteCsv(const std::string& path, const std::vector<ModeResult>& results) {
    std::ofstream out(path);
    out << "cts,scenario,metric,value,floor,ratio,unit\n";
    for (const ModeResult& m : results) {
        for (const Row& r : RowsOf(m)) {
            out << r.mode << ',' << r.scenario << ',' << r.metric << ',' << Fixed(r.value, 3) << ','
                << (r.floor > 0 ? Fixed(r.floor, 3) : "") << ',' << Ratio(r.value, r.floor) << ',' << r.unit << '\n';
        }
    }
}

void WriteRates(const std::string& outDir, const std::vector<ModeResult>& results) {
    std::ofstream csv(outDir + "/rates.csv");
    csv << "cts,offered,bus,taken,taken_floor,latency_median,latency_median_floor,latency_p99,latency_p99_floor,"
           "line_time_median,line_time_floor,bcu_dropped,bcu_dropped_floor,driver_lost\n";
    for (const ModeResult& m : results) {
        // For the plot: one file per CTS behaviour.
        std::ofstream dat(outDir + "/rates-" + ModeName(m.mode) + ".dat");
        dat << "# offered bus taken taken_floor latency_median latency_median_floor latency_p99 latency_p99_floor\n";
        for (const RateRow& r : m.rates) {
            csv << ModeName(m.mode) << ',' << Fixed(r.offered, 0) << ',' << Fixed(r.busRate, 2) << ','
                << Fixed(r.taken, 2) << ',' << Fixed(r.floor.takenPerSecond, 2) << ',' << Fixed(r.latencyMedian, 2)
                << ',' << Fixed(r.floor.latencyMedianMs, 2) << ',' << Fixed(r.latencyP99, 2) << ','
                << Fixed(r.floor.latencyP99Ms, 2) << ',' << Fixed(r.lineTimeMedian, 2) << ','
                << Fixed(r.floorLineTime, 2) << ',' << r.bcuDropped << ',' << r.floor.dropped << ','
                << r.driverLost << '\n';
            dat << Fixed(r.offered, 0) << ' ' << Fixed(r.busRate, 2) << ' ' << Fixed(r.taken, 2) << ' '
                << Fixed(r.floor.takenPerSecond, 2) << ' ' << Fixed(r.latencyMedian, 2) << ' '
                << Fixed(r.floor.latencyMedianMs, 2) << ' ' << Fixed(r.latencyP99, 2) << ' '
                << Fixed(r.floor.latencyP99Ms, 2) << '\n';
        }
    }
}

// "measured (floor, ×ratio)"
std::string Cell(double measured, double floor, int decimals = 1) {
    std::string s = Fixed(measured, decimals);
    if (floor > 0) s += " (" + Fixed(floor, decimals) + ", ×" + Ratio(measured, floor) + ")";
    return s;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one;
}

std::string Summary(const std::vector<ModeResult>& results, const Settings& settings, const std::string& conditions) {
    std::ostringstream md;
    md << "Line: " << (settings.pty ? "a pseudo terminal with modem lines (the tty backend)" : "the virtual line")
       << ". Figures: measured (floor, ×measured/floor). " << conditions << '\n'
       << (settings.shortRun ? "SHORT run: the figures only show that it runs.\n\n" : "\n");
    md << "| |";
    for (const ModeResult& m : results) md << ' ' << ModeTitle(m.mode) << " |";
    md << "\n|---|";
    for (size_t i = 0; i < results.size(); ++i) md << "---|";
    md << '\n';
    auto line = [&](const std::string& label, auto cell) {
        md << "| " << label << " |";
        for (const ModeResult& m : results) md << ' ' << cell(m) << " |";
        md << '\n';
    };
    auto rateAt = [](const ModeResult& m, double rate) -> const RateRow* {
        for (const RateRow& r : m.rates)
            if (r.offered == rate) return &r;
        return nullptr;
    };
    const double lowRate = 10;
    const double topRate = settings.rates.back();
    line("Listener at " + Fixed(lowRate, 0) + "/s: line time per frame, median ms", [&](const ModeResult& m) {
        const RateRow* r = rateAt(m, lowRate);
        return r ? Cell(r->lineTimeMedian, r->floorLineTime) : std::string("—");
    });
    line("Listener at " + Fixed(lowRate, 0) + "/s: delivery latency median / p99 ms", [&](const ModeResult& m) {
        const RateRow* r = rateAt(m, lowRate);
        return r ? Cell(r->latencyMedian, r->floor.latencyMedianMs) + " / " + Cell(r->latencyP99, r->floor.latencyP99Ms)
                 : std::string("—");
    });
    line("Listener at " + Fixed(topRate, 0) + "/s offered: frames/s taken", [&](const ModeResult& m) {
        const RateRow* r = rateAt(m, topRate);
        return r ? Cell(r->taken, r->floor.takenPerSecond) + ", bus " + Fixed(r->busRate) + "/s" : std::string("—");
    });
    const std::string top = "Listener at " + Fixed(topRate, 0) + "/s offered: ";
    line(top + "lost in the BCU queue / by the driver", [&](const ModeResult& m) {
        const RateRow* r = rateAt(m, topRate);
        return r ? std::to_string(r->bcuDropped) + " (" + std::to_string(r->floor.dropped) + ") / " +
                       std::to_string(r->driverLost) + " of " + std::to_string(r->offeredCount)
                 : std::string("—");
    });
    line("Group read round trip, median ms", [&](const ModeResult& m) {
        return Cell(m.reads.median, m.readFloor) +
               (m.reads.failed ? ", " + std::to_string(m.reads.failed) + " failed" : "");
    });
    const std::string writeLoop =
        "Group write in a loop, median ms per write (floor: the write alone; with its confirmation)";
    line(writeLoop, [&](const ModeResult& m) {
        return Cell(m.writes.median, m.writeAloneFloor) + "; " + Fixed(m.writeLoopFloor) + ", ×" +
               Ratio(m.writes.median, m.writeLoopFloor) +
               (m.writes.failed ? "; " + std::to_string(m.writes.failed) + " failed" : "") +
               (m.writeLoopDropped ? "; BCU dropped " + std::to_string(m.writeLoopDropped) : "");
    });
    for (size_t i = 0; i < settings.trafficRates.size(); ++i) {
        line("Writes for " + Short(settings.trafficWindowS) + " s under " + Fixed(settings.trafficRates[i], 0) +
                 " telegrams/s: writes, failed, median / p99 ms, telegrams delivered",
             [&](const ModeResult& m) {
                 if (i >= m.traffic.size()) return std::string("—");
                 const TrafficRow& t = m.traffic[i];
                 return std::to_string(t.writes.count) + " writes, " + std::to_string(t.writes.failed) + " failed, " +
                        Cell(t.writes.median, t.floorMedian) + " / " + Fixed(t.writes.p99) + "; " +
                        std::to_string(t.delivered) + " of " + std::to_string(t.offered) + " delivered (BCU dropped " +
                        std::to_string(t.bcuDropped) + "); line load " + Fixed(t.load * 100, 0) + " %";
             });
    }
    line("A frame after a quiet line: delivery latency median / longest ms", [&](const ModeResult& m) {
        if (m.quietLatencies.empty()) return std::string("—");
        return Cell(Percentile(m.quietLatencies, 50), m.quietFloor) + " / " +
               Cell(*std::max_element(m.quietLatencies.begin(), m.quietLatencies.end()), m.quietFloor) + " (" +
               std::to_string(m.quietLatencies.size()) + " of " + std::to_string(settings.quietFrames) + ")";
    });
    line("Idle: CPU % of a core / wake-ups per s (floor 0 / 0)", [&](const ModeResult& m) {
        if (!m.idleMeasured) return std::string("—");
        return Fixed(m.idleCpu, 2) + " % / " + Fixed(m.idleWakeups, 0) + " (" + std::to_string(m.idleThreads) +
               " threads, " + Fixed(m.idleInvoluntary, 0) + " involuntary/s)";
    });
    md << "\nListener sweep (frames/s taken, latency median / p99 ms; floors in brackets):\n\n";
    md << "| offered/s | bus/s |";
    for (const ModeResult& m : results) md << ' ' << ModeTitle(m.mode) << ": taken | latency | lost BCU / driver |";
    md << "\n|---|---|";
    for (size_t i = 0; i < results.size(); ++i) md << "---|---|---|";
    md << '\n';
    for (size_t i = 0; i < settings.rates.size(); ++i) {
        md << "| " << Fixed(settings.rates[i], 0) << " | "
           << (results.empty() || i >= results[0].rates.size() ? "" : Fixed(results[0].rates[i].busRate)) << " |";
        for (const ModeResult& m : results) {
            if (i >= m.rates.size()) {
                md << " | | |";
                continue;
            }
            const RateRow& r = m.rates[i];
            md << ' ' << Cell(r.taken, r.floor.takenPerSecond) << " | " << Fixed(r.latencyMedian) << " / "
               << Fixed(r.latencyP99) << " (" << Fixed(r.floor.latencyMedianMs) << " / " << Fixed(r.floor.latencyP99Ms)
               << ") | " << r.bcuDropped << " (" << r.floor.dropped << ") / " << r.driverLost << " |";
        }
        md << '\n';
    }
    return md.str();
}

std::string FloorNotes(const std::vector<ModeResult>& results) {
    std::ostringstream out;
    out << "Floor model (c = 1042 us, r = " << kReactionUs << " us, P = " << kPauseUs << " us, queue "
        << kQueueLimit << " frames):\n";
    for (const ModeResult& m : results) {
        const FloorModel model(ModeRun::TimingFor(m.mode), ModeRun::ShortTelegramUs());
        out << "  " << ModeTitle(m.mode) << ": indication (" << kIndicationOctets << " octets) "
            << Fixed(model.SlaveLineUs(kIndicationOctets) / 1000.0, 2) << " ms on the line, "
            << Fixed(model.SlaveCycleUs(kIndicationOctets) / 1000.0, 2) << " ms per frame back to back ("
            << Fixed(model.MaxIndicationsPerSecond(), 1) << "/s); request (" << kRequestOctets << " octets) "
            << Fixed(model.MasterFrameUs(kRequestOctets) / 1000.0, 2) << " ms; bus telegram "
            << Fixed(model.BusUs() / 1000.0, 2) << " ms; group read " << Fixed(model.GroupReadUs() / 1000.0, 2)
            << " ms; write alone " << Fixed(model.WriteAloneUs() / 1000.0, 2) << " ms, in a loop "
            << Fixed(model.WriteLoopUs() / 1000.0, 2) << " ms\n";
    }
    return out.str();
}

int PrintUsage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--short] [--out DIR] [--cts with-answer|after-rts|both] [--line virtual|pty]\n"
                 "          [--rates R,R,...] [--traffic R,R,...] [--window SECONDS]\n"
                 "          [--announcement-times-out] [--bcusim PATH] [--host-library PATH] [--driver PATH]\n",
                 program);
    return 2;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    Settings settings;
    std::vector<double> rates, traffic;
    double window = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--short") {
            settings.shortRun = true;
        } else if (a == "--out") {
            settings.outDir = value();
        } else if (a == "--cts") {
            const std::string v = value();
            if (v == "with-answer") settings.modes = {false};
            else if (v == "after-rts") settings.modes = {true};
            else if (v == "both") settings.modes = {false, true};
            else return PrintUsage(argv[0]);
        } else if (a == "--rates" || a == "--traffic") {
            std::vector<double>& list = a == "--rates" ? rates : traffic;
            std::stringstream items(value());
            for (std::string item; std::getline(items, item, ',');) list.push_back(std::atof(item.c_str()));
        } else if (a == "--window") {
            window = std::atof(value().c_str());
        } else if (a == "--line") {
            const std::string v = value();
            if (v != "virtual" && v != "pty") return PrintUsage(argv[0]);
            settings.pty = v == "pty";
        } else if (a == "--bcusim") {
            settings.bcusim = value();
        } else if (a == "--host-library") {
            settings.hostLibrary = value();
        } else if (a == "--driver") {
            settings.driver = value();
        } else if (a == "--announcement-times-out") {
            settings.announcementTimesOut = true;
        } else {
            return PrintUsage(argv[0]);
        }
    }
    if (settings.shortRun) {
        settings.rates = {10, 49};
        settings.rateWindowS = 0.5;
        settings.reads = 3;
        settings.writes = 5;
        settings.trafficRates = {15};
        settings.trafficWindowS = 0.5;
        settings.idleWindowS = 1;
        settings.quietFrames = 1;
        settings.quietS = 1;
        settings.idleBothModes = false;
    }
    if (!rates.empty()) settings.rates = rates;
    if (!traffic.empty()) settings.trafficRates = traffic;
    if (window > 0) settings.rateWindowS = settings.trafficWindowS = window;
    // The emulator keeps real time only if other load on the machine cannot
    // delay its threads: they, and bcusim, inherit the strongest nice value
    // this process may take (the driver raises its own threads the same way).
    int nice = 0;
    for (nice = -20; nice < 0; ++nice) {
        if (setpriority(PRIO_PROCESS, 0, nice) == 0) break;
    }
    std::fprintf(stderr, "line_bench: emulator and host at nice %d\n", nice);
    // The driver's tty backend meets the pty's modem lines through the test
    // preload library, which must be in this process (scripts/bench.sh sets it).
    if (settings.pty && dlsym(RTLD_DEFAULT, "qel_modem_lines_loaded") == nullptr) {
        std::fprintf(stderr, "line_bench: --line pty needs LD_PRELOAD=libqel_modem_lines.so (scripts/bench.sh sets it)\n");
        return 2;
    }
    mkdir(settings.outDir.c_str(), 0755);
    mkdir((settings.outDir + "/traces").c_str(), 0755);

    DriverHost host(settings.hostLibrary, settings.driver);
    if (!host.ok()) {
        std::fprintf(stderr, "line_bench: %s\n", host.error().c_str());
        return 1;
    }
    const auto started = Clock::now();
    const std::string loadBefore = LoadAverage();
    std::vector<ModeResult> results;
    for (bool mode : settings.modes) {
        ModeRun run(settings, host, mode);
        std::string error;
        if (!run.Run(error)) {
            std::fprintf(stderr, "line_bench [%s]: %s\n", ModeName(mode), error.c_str());
            return 1;
        }
        results.push_back(run.result());
    }
    // With every in-process emulator gone, the process holds the driver alone.
    for (size_t i = 0; i < results.size(); ++i) {
        if (i > 0 && !settings.idleBothModes) break;
        std::string error;
        if (!MeasureIdle(settings, host, results[i], error)) {
            std::fprintf(stderr, "line_bench [%s] idle: %s\n", ModeName(results[i].mode), error.c_str());
            return 1;
        }
    }

    WriteCsv(settings.outDir + "/results.csv", results);
    WriteRates(settings.outDir, results);
    const std::string conditions = "Emulator and host at nice " + std::to_string(nice) + "; load average " +
                                   loadBefore + " before, " + LoadAverage() + " after.";
    const std::string summary = Summary(results, settings, conditions) + "\n" + FloorNotes(results);
    std::ofstream(settings.outDir + "/summary.md") << summary;
    std::cout << summary;
    std::fprintf(stderr, "line_bench: %.0f s, results in %s\n", Seconds(Clock::now() - started),
                 settings.outDir.c_str());
    return 0;
}
