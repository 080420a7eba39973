// qel_soak: the shipped driver, loaded as a host loads it, on an emulated BCU
// in real 9600-baud timing, kept at the line's capacity for a chosen time:
// group telegrams stream in from the bus, the host reads and writes gates in
// between, and the instance is stopped (EndQel) and started again (ColdStart)
// at random moments, between two requests or in the middle of a read. At the
// end it reports what was offered, delivered, dropped before the driver and
// lost by the driver (see soak_ledger.h), the requests that failed, the
// longest request, and resident memory and open descriptors at start and end.
//
//   qel_soak [--seconds N] [--seed N] [--cycle-min S] [--cycle-max S] [--no-end-during-read]
//            [--driver PATH] [--hostlib PATH]
//
// Exit status: 0 clean; 1 the driver lost telegrams, memory or descriptors
// grew, or a start or stop failed; 2 the run could not be set up.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "bcuemu/bcu.h"
#include "bcuemu/bus.h"
#include "huxtor_control.h"
#include "abi/records.h"
#include "soak_ledger.h"

namespace qel::soak {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint32_t kColdStart = 1, kRead = 5, kWrite = 7, kEndQel = 11;
constexpr int32_t kByteRow = 5;           // "A_": one-byte group value
constexpr uint16_t kReadGroup = 0x0A01;   // a device on the bus answers its reads
constexpr uint16_t kWriteGroup = 0x0B01;  // nobody listens; the BCU confirms
constexpr long kRssMarginKiB = 4096;      // allocator noise; a leak per cycle or telegram exceeds it

struct Options {
    int seconds = 60;
    unsigned seed = 1;
    int cycleMinS = 8;
    int cycleMaxS = 20;
    bool endDuringRead = true;
    bool echoLog = false;
    // Frames kept waiting at the BCU. 1: a new telegram as soon as the BCU has
    // handed the last one to the driver, the line's capacity with the gaps a
    // request needs (the BCU's frames come first, so more starves requests).
    size_t queue = 1;
    // After the BCU's queue has run dry, a pause of 0..gapMs before the next
    // telegram: room for the host's sends, which yield to every BCU frame.
    int gapMs = 150;
    bool requests = true;
    bool traceFailure = false;
    bool requestsWhileSettling = false;
    unsigned queueLimit = 0;  // the emulated BCU's buffer for frames to the driver, 0: none
    std::string driver = QEL_DRIVER_PATH;
    std::string hostlib = QEL_HOSTLIB_PATH;
};

struct Host {
    int32_t(__attribute__((stdcall)) * qelMain)(RequestBlock*) = nullptr;
    decltype(&HuxCtlReset) reset = nullptr;
    decltype(&HuxCtlAddGate) addGate = nullptr;
    decltype(&HuxCtlOnPut) onPut = nullptr;
    decltype(&HuxCtlLogClear) logClear = nullptr;
    decltype(&HuxCtlLogCount) logCount = nullptr;
    decltype(&HuxCtlLogLine) logLine = nullptr;
    decltype(&HuxCtlLogEcho) logEcho = nullptr;
    decltype(&HuxCtlOnLog) onLog = nullptr;
};

template <typename Fn>
bool Resolve(void* library, Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    if (slot == nullptr) std::fprintf(stderr, "soak: %s missing\n", name);
    return slot != nullptr;
}

// The host library first (privately), then the driver, which finds it as its dependency.
bool Load(const Options& options, Host* host) {
    void* hostlib = dlopen(options.hostlib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hostlib == nullptr) return std::fprintf(stderr, "soak: %s\n", dlerror()), false;
    void* driver = dlopen(options.driver.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (driver == nullptr) return std::fprintf(stderr, "soak: %s\n", dlerror()), false;
    return Resolve(driver, host->qelMain, "QelMain") && Resolve(hostlib, host->reset, "HuxCtlReset") &&
           Resolve(hostlib, host->addGate, "HuxCtlAddGate") && Resolve(hostlib, host->onPut, "HuxCtlOnPut") &&
           Resolve(hostlib, host->logClear, "HuxCtlLogClear") && Resolve(hostlib, host->logCount, "HuxCtlLogCount") &&
           Resolve(hostlib, host->logLine, "HuxCtlLogLine") && Resolve(hostlib, host->logEcho, "HuxCtlLogEcho") &&
           Resolve(hostlib, host->onLog, "HuxCtlOnLog");
}

long ResidentKiB() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string DescriptorTargets() {
    std::string all;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return all;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0) all += std::string("    ") + entry->d_name + " -> " + target + "\n";
    }
    closedir(dir);
    return all;
}

int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++n;
    closedir(dir);
    return n - 1;  // the directory's own descriptor
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Soak {
public:
    Soak(Options& options, const Host& host)
        : options_(options), host_(host), bus_(true), bcu_(&bus_, RealisticOptions(options)), random_(options.seed) {}

    int Run();

private:
    static bcuemu::Options RealisticOptions(const Options& options) {
        bcuemu::Options o;
        o.timing = bcuemu::Timing::kRealistic;
        o.queueLimit = options.queueLimit;
        return o;
    }
    static void OnPut(void* context, uint32_t, uint32_t, const char* address, uint16_t raw);
    static void OnLog(void* context, int level, const char* text);

    int32_t Call(uint32_t code, void* params, uint8_t hostByte = 0) {
        RequestBlock request{&record_, code, hostByte, {}, params};
        return host_.qelMain(&request);
    }
    bool Start();
    void AwaitListener();
    void MeasureStart();
    void Stop(bool final);
    void Injector();
    void Cycler();
    void Requests(Clock::time_point end);
    int Random(int lo, int hi) {
        std::lock_guard hold(randomLock_);
        return std::uniform_int_distribution<int>(lo, hi)(random_);
    }

    Options& options_;
    const Host& host_;
    bcuemu::Bus bus_;
    bcuemu::Bcu bcu_;
    std::string port_;
    Ledger ledger_;
    InstanceData record_{};
    std::mutex requestLock_;             // one host request or one stop/start at a time
    std::atomic<bool> readInFlight_{false};
    std::atomic<bool> stopping_{false};
    std::mutex randomLock_;
    std::mt19937 random_;
    std::mutex wakeLock_;
    std::condition_variable wake_;

    // Figures.
    uint64_t requests_ = 0, failedRequests_ = 0, failedAtStop_ = 0, staleReads_ = 0, reads_ = 0;
    double longestRequestMs_ = 0;
    uint64_t cycles_ = 0, stopsDuringRead_ = 0, failedStarts_ = 0, failedStops_ = 0;
    double longestStopMs_ = 0;
    long rssStart_ = -1, rssEnd_ = -1;
    int fdsStart_ = -1, fdsEnd_ = -1;
    std::string fdsStartList_;
    std::atomic<uint64_t> resets_{0}, failedStartResets_{0};
    uint64_t linkLayerSamples_ = 0, otherModeSamples_ = 0;
};

void Soak::OnPut(void* context, uint32_t, uint32_t, const char* address, uint16_t raw) {
    unsigned main = 0, sub = 0;
    if (std::strncmp(address, "A2", 2) != 0 || std::sscanf(address + 2, "%u/%u", &main, &sub) != 2) return;
    static_cast<Soak*>(context)->ledger_.Delivered(static_cast<uint16_t>(main * 2048 + sub), raw);
}

// The listener stays off the line for its first seconds; a host that reads at
// once gets no answer (and the failed read's recovery drops DTR), so by
// default requests wait for "CatchThread Started...".
void Soak::AwaitListener() {
    const auto limit = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < limit) {
        const uint32_t n = host_.logCount();
        for (uint32_t i = 0; i < n; ++i) {
            char text[256];
            int level = 0;
            if (host_.logLine(i, &level, text, sizeof text) == 0 && std::strstr(text, "CatchThread Started..."))
                return;
        }
        std::this_thread::sleep_for(Ms(20));
    }
}

// Resident memory and descriptors with the driver stopped and the emulated
// BCU waiting for the next connection: the state the run also ends in.
void Soak::MeasureStart() {
    if (rssStart_ >= 0) return;
    bcu_.WaitDisconnected(5000);
    rssStart_ = ResidentKiB();
    fdsStart_ = OpenDescriptors();
    fdsStartList_ = DescriptorTargets();
}

void Soak::OnLog(void* context, int, const char* text) {
    auto* soak = static_cast<Soak*>(context);
    if (std::strstr(text, ": ResetBCU") != nullptr) ++soak->resets_;
    if (std::strstr(text, "ColdStart() ResetCommunication done (rc = 0)") == nullptr &&
        std::strstr(text, "ColdStart() ResetCommunication done") != nullptr)
        ++soak->failedStartResets_;
}

bool Soak::Start() {
    // The emulated BCU serves one connection at a time: it must have seen the
    // last one go before the driver can open the line again.
    bcu_.WaitDisconnected(5000);
    for (int attempt = 0; attempt < 5; ++attempt) {
        record_ = InstanceData{};  // a fresh record, as a host allocates one per start
        ColdStartParams params{};
        std::snprintf(params.portName, sizeof params.portName, "%s", port_.c_str());
        params.portEnabled = 1;
        params.readTimeout = 100;
        params.line = LineSettings{9600, 8, 0, 0};
        if (Call(kColdStart, &params, 7) == 0) {
            if (!options_.requestsWhileSettling) AwaitListener();
            return true;
        }
        ++failedStarts_;
        Call(kEndQel, nullptr);
        std::this_thread::sleep_for(Ms(500));
    }
    return false;
}

// EndQel and the books of the period that ends. The caller holds requestLock_
// only when the stop is between requests; in the middle of a read the lock is
// taken after EndQel, once the read has come back.
void Soak::Stop(bool final) {
    (void)final;
    const size_t completedBefore = bcu_.SentFrames().size();
    const auto start = Clock::now();
    if (Call(kEndQel, nullptr) != 0) ++failedStops_;
    longestStopMs_ = std::max(longestStopMs_, MsSince(start));
    // The line is closed now: nothing more completes until the next start.
    const auto frames = bcu_.SentFrames();
    ledger_.Completed(frames, completedBefore == 0 ? 0 : completedBefore - 1);
    bcu_.ClearEvents();
    bus_.ClearHistory();
    host_.logClear();
}

void Soak::Injector() {
    uint16_t next[kGroups];
    std::fill(std::begin(next), std::end(next), 1);
    unsigned turn = 0;
    auto nextSample = Clock::now();
    while (!stopping_) {
        if (Clock::now() >= nextSample) {
            (bcu_.LinkLayer() ? linkLayerSamples_ : otherModeSamples_)++;
            nextSample += Ms(100);
        }
        if (bcu_.QueuedFrames() >= options_.queue) {
            std::this_thread::sleep_for(Ms(2));
            if (bcu_.QueuedFrames() == 0 && options_.gapMs > 0)
                std::this_thread::sleep_for(Ms(Random(0, options_.gapMs)));
            continue;
        }
        const unsigned g = turn++ % kGroups;
        if (next[g] == 0) break;  // 65535 telegrams on one group: the books are full
        const auto group = static_cast<uint16_t>(kFirstGroup + g);
        ledger_.Offered(group, next[g]);
        bus_.Inject(group, bcuemu::ValueSize::kWord, next[g]++);
        // Let the bus carry it to the BCU (a telegram takes ~20 ms there).
        std::this_thread::sleep_for(Ms(5));
    }
}

void Soak::Cycler() {
    for (;;) {
        {
            std::unique_lock hold(wakeLock_);
            const auto pause = std::chrono::seconds(Random(options_.cycleMinS, options_.cycleMaxS));
            if (wake_.wait_for(hold, pause, [&] { return stopping_.load(); })) return;
        }
        const bool duringRead = options_.endDuringRead && Random(0, 2) == 0;
        if (duringRead) {
            const auto limit = Clock::now() + std::chrono::seconds(5);
            while (!readInFlight_ && Clock::now() < limit) std::this_thread::sleep_for(Ms(1));
            std::this_thread::sleep_for(Ms(Random(0, 150)));
            const bool inRead = readInFlight_;
            // EndQel while the host's read may still be running on the request thread.
            const size_t completedBefore = bcu_.SentFrames().size();
            const auto start = Clock::now();
            if (Call(kEndQel, nullptr) != 0) ++failedStops_;
            longestStopMs_ = std::max(longestStopMs_, MsSince(start));
            std::lock_guard hold(requestLock_);
            if (inRead) ++stopsDuringRead_;
            ledger_.Completed(bcu_.SentFrames(), completedBefore == 0 ? 0 : completedBefore - 1);
            bcu_.ClearEvents();
            bus_.ClearHistory();
            host_.logClear();
            MeasureStart();
            ++cycles_;
            if (!Start()) return;
        } else {
            std::lock_guard hold(requestLock_);
            Stop(false);
            MeasureStart();
            ++cycles_;
            if (!Start()) return;
        }
    }
}

void Soak::Requests(Clock::time_point end) {
    uint16_t written = 0;
    while (Clock::now() < end) {
        {
            std::lock_guard hold(requestLock_);
            RawValue area{0, 0};
            GateBlock block{};
            block.commandIndex = kByteRow;
            block.valueArea = &area;
            const bool read = Random(0, 4) < 3;
            block.groupAddress = read ? kReadGroup : kWriteGroup;
            if (!read) area.value = written++ & 0xFF;
            const size_t eventsBefore = options_.traceFailure ? bcu_.Events().size() : 0;
            const auto start = Clock::now();
            if (read) readInFlight_ = true;
            const int32_t result = Call(read ? kRead : kWrite, &block);
            const bool stoppedUnderIt = read && !readInFlight_.exchange(false);
            (void)stoppedUnderIt;
            const double ms = MsSince(start);
            ++requests_;
            reads_ += read;
            // A read that EndQel overtook may fail: that is the host's doing.
            if (options_.echoLog && (result != 0 || (read && area.value != 0x42)))
                std::fprintf(stderr, "soak: %s -> %d (value %u) in %.0f ms\n", read ? "read" : "write", result,
                             area.value, ms);
            if (result != 0 && options_.traceFailure) {
                options_.traceFailure = false;
                const auto events = bcu_.Events();
                std::fprintf(stderr, "soak: line events of the first failed request:\n");
                for (size_t i = eventsBefore; i < events.size(); ++i)
                    std::fprintf(stderr, "  %s\n", bcuemu::Describe(events[i]).c_str());
            }
            if (result != 0) {
                if (record_.instanceNumber == -1) ++failedAtStop_;
                else ++failedRequests_;
            } else {
                longestRequestMs_ = std::max(longestRequestMs_, ms);
            }
            // The driver takes any other frame as the sign of a live line when the
            // answer is not in within its wait: the read succeeds with the gate's old value.
            if (read && result == 0 && area.value != 0x42) ++staleReads_;
        }
        std::this_thread::sleep_for(Ms(Random(0, 40)));
    }
}

int Soak::Run() {
    port_ = bcu_.Serve();
    if (port_.empty() || port_.size() >= kPortNameSize) {
        std::fprintf(stderr, "soak: the emulated BCU cannot serve (%s)\n", bcu_.LastError().c_str());
        return 2;
    }
    host_.reset();
    if (options_.echoLog) host_.logEcho("-");
    for (uint16_t g = 0; g < kGroups; ++g) {
        char address[16];
        std::snprintf(address, sizeof address, "A202/%04u", static_cast<unsigned>(kFirstGroup + g - 0x1000));
        host_.addGate(address);
    }
    host_.addGate("A_01/0513");  // kReadGroup: the device's answers land there
    host_.onPut(OnPut, this);
    host_.onLog(OnLog, this);
    bus_.AddDevice(kReadGroup, bcuemu::ValueSize::kByte, 0x42);
    if (!Start()) {
        std::fprintf(stderr, "soak: the first ColdStart failed\n");
        return 2;
    }

    const auto begin = Clock::now();
    const auto end = begin + std::chrono::seconds(options_.seconds);
    std::thread injector([this] { Injector(); });
    std::thread cycler([this] { Cycler(); });
    if (options_.requests) Requests(end);
    else std::this_thread::sleep_until(end);
    {
        std::lock_guard hold(wakeLock_);
        stopping_ = true;
    }
    wake_.notify_all();
    cycler.join();
    injector.join();
    // Let the line drain what the bus still holds, then stop for good.
    bus_.WaitIdle(30000);
    for (int i = 0; i < 3000 && bcu_.QueuedFrames() > 0; ++i) std::this_thread::sleep_for(Ms(10));
    std::this_thread::sleep_for(Ms(500));
    {
        std::lock_guard hold(requestLock_);
        Stop(true);
    }
    bcu_.WaitDisconnected(5000);
    MeasureStart();
    rssEnd_ = ResidentKiB();
    fdsEnd_ = OpenDescriptors();
    const double seconds = MsSince(begin) / 1000;

    const Figures f = ledger_.Settle();
    std::printf("soak: %.0f s on a 9600-baud emulated line, seed %u\n", seconds, options_.seed);
    std::printf("  telegrams offered          %llu (%.1f/s)\n", static_cast<unsigned long long>(f.offered),
                f.offered / seconds);
    std::printf("  delivered to their gates   %llu\n", static_cast<unsigned long long>(f.delivered));
    std::printf("  duplicate deliveries       %llu\n", static_cast<unsigned long long>(f.duplicates));
    std::printf("  completed by the BCU       %llu\n", static_cast<unsigned long long>(f.sentComplete));
    std::printf("  never sent by the BCU      %llu (BCU reset at ColdStart, queue at the end)\n",
                static_cast<unsigned long long>(f.neverSent));
    std::printf("  dropped by the BCU queue   %llu (queue limit %u, 0: none)\n",
                static_cast<unsigned long long>(bcu_.DroppedFrames()), bcu_.Options().queueLimit);
    std::printf("  in flight at EndQel, lost  %llu (excused)\n", static_cast<unsigned long long>(f.inFlightAtEnd));
    std::printf("  LOST BY THE DRIVER         %llu\n", static_cast<unsigned long long>(f.lostByDriver));
    for (const Ledger::Key& key : ledger_.LostSample(5))
        std::printf("    lost: group %04x value %u\n", key.first, key.second);
    std::printf("  requests                   %llu, failed %llu (+%llu overtaken by EndQel), longest %.0f ms\n",
                static_cast<unsigned long long>(requests_), static_cast<unsigned long long>(failedRequests_),
                static_cast<unsigned long long>(failedAtStop_), longestRequestMs_);
    std::printf("  reads                      %llu, answered with an old value %llu (answer not in within the read's wait)\n",
                static_cast<unsigned long long>(reads_), static_cast<unsigned long long>(staleReads_));
    std::printf("  EndQel/ColdStart cycles    %llu (%llu during a read), failed starts %llu, failed stops %llu, "
                "longest EndQel %.0f ms\n",
                static_cast<unsigned long long>(cycles_), static_cast<unsigned long long>(stopsDuringRead_),
                static_cast<unsigned long long>(failedStarts_), static_cast<unsigned long long>(failedStops_),
                longestStopMs_);
    const uint64_t samples = linkLayerSamples_ + otherModeSamples_;
    std::printf("  BCU resets sent            %llu, ColdStarts whose reset failed %llu; BCU out of link-layer mode "
                "%.0f%% of the time\n",
                static_cast<unsigned long long>(resets_.load()),
                static_cast<unsigned long long>(failedStartResets_.load()),
                samples == 0 ? 0.0 : 100.0 * otherModeSamples_ / samples);
    std::printf("  resident memory            %ld KiB -> %ld KiB\n", rssStart_, rssEnd_);
    std::printf("  open descriptors           %d -> %d\n", fdsStart_, fdsEnd_);

    bool ok = true;
    if (f.lostByDriver > 0) ok = (std::printf("soak: FAIL the driver lost telegrams\n"), false);
    if (rssEnd_ - rssStart_ > kRssMarginKiB) ok = (std::printf("soak: FAIL resident memory grew\n"), false);
    if (fdsEnd_ > fdsStart_) {
        std::printf("soak: FAIL descriptors leaked\n  at start:\n%s  at end:\n%s", fdsStartList_.c_str(),
                    DescriptorTargets().c_str());
        ok = false;
    }
    if (failedStops_ > 0 || failedStarts_ > 0) ok = (std::printf("soak: FAIL a start or stop failed\n"), false);
    if (ok) std::printf("soak: ok\n");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace qel::soak

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qel::soak::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--seconds") options.seconds = std::atoi(value().c_str());
        else if (arg == "--seed") options.seed = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--cycle-min") options.cycleMinS = std::atoi(value().c_str());
        else if (arg == "--cycle-max") options.cycleMaxS = std::atoi(value().c_str());
        else if (arg == "--no-end-during-read") options.endDuringRead = false;
        else if (arg == "--log") options.echoLog = true;
        else if (arg == "--queue") options.queue = static_cast<size_t>(std::atoi(value().c_str()));
        else if (arg == "--no-requests") options.requests = false;
        else if (arg == "--gap-ms") options.gapMs = std::atoi(value().c_str());
        else if (arg == "--queue-limit") options.queueLimit = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--trace-failure") options.traceFailure = true;
        else if (arg == "--requests-while-settling") options.requestsWhileSettling = true;
        else if (arg == "--driver") options.driver = value();
        else if (arg == "--hostlib") options.hostlib = value();
        else {
            std::fprintf(stderr, "usage: qel_soak [--seconds N] [--seed N] [--cycle-min S] [--cycle-max S] "
                                 "[--no-end-during-read] [--queue N] [--gap-ms N] [--queue-limit N] [--no-requests] [--log] [--trace-failure] [--requests-while-settling] [--driver PATH] [--hostlib PATH]\n");
            return 2;
        }
    }
    qel::soak::Host host;
    if (!qel::soak::Load(options, &host)) return 2;
    qel::soak::Soak soak(options, host);
    return soak.Run();
}
