// qel_soak: the shipped driver, loaded as a host loads it, on a link to an
// emulated bus in real 9600-baud timing, kept at the link's capacity for a
// chosen time: group telegrams stream in from the bus, the host reads and
// writes gates in between, and the instance is stopped (EndQel) and started
// again (ColdStart) at random moments, between two requests or in the middle
// of a read. The link (--link) is the emulated BCU's virtual line (line), the
// same BCU on a pseudo terminal through the driver's tty backend (pty; the
// modem-lines preload library is loaded by a re-exec), or a KNXnet/IP tunnel
// to the emulated tunnelling server on loopback through a port map (knxip),
// which is also restarted and closes the tunnel at random moments. It
// reports what was offered, delivered, dropped before the driver and lost by
// the driver (see soak_ledger.h), the requests that failed, the longest
// request, and resident memory, open descriptors and threads at the start,
// at each quarter of the run and at the end.
//
//   qel_soak [--link line|pty|knxip] [--seconds N] [--seed N] [--cycle-min S] [--cycle-max S]
//            [--disrupt-min S] [--disrupt-max S] [--no-end-during-read] [--driver PATH] [--hostlib PATH]
//
// Exit status: 0 clean; 1 the driver lost telegrams, memory, descriptors or
// threads grew, a start or stop failed, or nothing was delivered; 2 the run
// could not be set up.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "bcuemu/bcu.h"
#include "bcuemu/bus.h"
#include "bcuemu/knxnet_server.h"
#include "knxnet/codec.h"
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
constexpr long kHeapMarginKiB = 1024;     // the soak's own books vary by less
constexpr char kTunnelPort[] = "SOAKIP";  // the tunnel's name in the soak's port map

enum class Link { kLine, kPty, kKnxip };

const char* LinkName(Link link) {
    switch (link) {
    case Link::kPty: return "pty";
    case Link::kKnxip: return "knxip";
    default: return "line";
    }
}

struct Options {
    Link link = Link::kLine;
    int seconds = 60;
    unsigned seed = 1;
    int cycleMinS = 8;
    int cycleMaxS = 20;
    // knxip: the server restarts or closes the tunnel every disruptMin..disruptMax s.
    int disruptMinS = 10;
    int disruptMaxS = 40;
    bool endDuringRead = true;
    bool echoLog = false;
    // Frames kept waiting at the BCU. 1: a new telegram as soon as the BCU has
    // handed the last one to the driver, the line's capacity with the gaps a
    // request needs (the BCU's frames come first, so more starves requests).
    size_t queue = 1;
    // After the BCU's queue has run dry, a pause of 0..gapMs before the next
    // telegram: room for the host's sends, which yield to every BCU frame.
    // -1: the link's own, 150 ms on a line, none on the tunnel (the bus takes
    // the host's telegrams in turn with the others).
    int gapMs = -1;
    bool requests = true;
    bool traceFailure = false;
    bool requestsWhileSettling = false;
    unsigned queueLimit = 0;  // the emulated BCU's buffer for frames to the driver, 0: none
    std::string driver = QEL_DRIVER_PATH;
    std::string hostlib = QEL_HOSTLIB_PATH;
    std::string portMap;  // knxip: the port map file (QELEIB_PORTS)
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

// Bytes handed out by malloc (arenas and mapped chunks): a leak of the
// driver's shows here whatever the resident memory does around it.
long HeapKiB() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

// Under qemu-user the resident memory is the emulator's, which grows by some
// 15 KiB for each thread the program creates and never gives it back; it
// shows the real executable through a /proc/self descriptor, where the path
// /proc/self/exe names the emulated program.
bool UnderEmulator() {
    char shown[PATH_MAX] = {}, real[PATH_MAX] = {};
    const int self = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (self < 0) return false;
    const ssize_t n = readlinkat(self, "exe", real, sizeof real - 1);
    close(self);
    return n > 0 && readlink("/proc/self/exe", shown, sizeof shown - 1) > 0 && std::strcmp(shown, real) != 0;
}

int Threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
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

struct Resources {
    long residentKiB = -1;
    long heapKiB = -1;
    int descriptors = -1;
    int threads = -1;
    int helpers = 0;  // of the threads, the soak's own that come and go (injector, cycler, ...)
    double atS = 0;   // seconds into the run
};

// The soak's own threads running now: they are gone at the end, the driver's must be too.
std::atomic<int> helperThreads{0};

Resources MeasureResources(Clock::time_point begin) {
    return {ResidentKiB(), HeapKiB(), OpenDescriptors(), Threads(), helperThreads.load(), MsSince(begin) / 1000};
}

std::string ResourceText(const Resources& r) {
    char text[192];
    std::snprintf(text, sizeof text,
                  "resident %ld KiB, heap %ld KiB, descriptors %d, threads %d (%d of them the soak's helpers) (at %.0f s)",
                  r.residentKiB, r.heapKiB, r.descriptors, r.threads, r.helpers, r.atS);
    return text;
}

template <typename Fn>
std::thread Helper(Fn fn) {
    ++helperThreads;
    return std::thread([fn] {
        fn();
        --helperThreads;
    });
}

class Soak {
public:
    Soak(Options& options, const Host& host) : options_(options), host_(host), bus_(true), random_(options.seed) {
        if (options.link == Link::kKnxip) server_ = std::make_unique<bcuemu::KnxnetServer>(bus_, [this](const std::string& note) { Noted(note); });
        else bcu_ = std::make_unique<bcuemu::Bcu>(&bus_, RealisticOptions(options));
    }

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
    void Disrupter();
    void Quarters(Clock::time_point end);
    void Noted(const std::string& note);
    // The link's side of the books: what it has handed to the driver so far,
    // and the period's books once the driver is off it.
    size_t CompletedCount() const;
    void BookPeriod(size_t completedBefore);
    bool WaitLinkFree();
    size_t Pending() const;
    bool LinkReady() const;
    std::string ServeLink();
    int Random(int lo, int hi) {
        std::lock_guard hold(randomLock_);
        return std::uniform_int_distribution<int>(lo, hi)(random_);
    }

    Options& options_;
    const Host& host_;
    bcuemu::Bus bus_;
    std::unique_ptr<bcuemu::Bcu> bcu_;             // line, pty
    std::unique_ptr<bcuemu::KnxnetServer> server_;  // knxip
    std::string serverEndpoint_;
    std::mutex serverLock_;                         // a start, or the server away
    std::string port_;
    Clock::time_point begin_ = Clock::now();
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
    Resources start_, end_;
    std::vector<std::pair<int, Resources>> quarters_;
    std::string fdsStartList_;
    uint64_t restarts_ = 0, disconnects_ = 0, failedRestarts_ = 0;
    std::atomic<uint64_t> tunnelsOpened_{0}, closedByClient_{0}, closedUnacknowledged_{0}, closedOther_{0};
    std::atomic<uint64_t> resets_{0}, failedStartResets_{0};
    uint64_t linkLayerSamples_ = 0, otherModeSamples_ = 0;
};

void Soak::Noted(const std::string& note) {
    if (note.find(" connected from ") != std::string::npos) ++tunnelsOpened_;
    else if (note.find("disconnected by the client") != std::string::npos) ++closedByClient_;
    else if (note.find("acknowledged neither send") != std::string::npos) ++closedUnacknowledged_;
    else if (note.find("the server stops") == std::string::npos) ++closedOther_;
}

size_t Soak::CompletedCount() const { return bcu_ ? bcu_->SentFrames().size() : server_->AcknowledgedCount(); }

// A frame completed before the last one in `completedBefore` was taken in whole
// before EndQel; the last one may be the listener's at that moment.
void Soak::BookPeriod(size_t completedBefore) {
    const size_t excusedFrom = completedBefore == 0 ? 0 : completedBefore - 1;
    if (bcu_) {
        ledger_.Completed(bcu_->SentFrames(), excusedFrom);
        bcu_->ClearEvents();
    } else {
        std::vector<Ledger::Key> telegrams;
        for (const std::vector<uint8_t>& f : server_->AcknowledgedFrames()) {
            const std::optional<bcuemu::knxnet::CemiFrame> cemi = bcuemu::knxnet::DecodeCemi(f);
            const bool word = cemi && cemi->messageCode == bcuemu::knxnet::kLDataInd && cemi->telegram.group &&
                              cemi->telegram.Size() == bcuemu::ValueSize::kWord;
            telegrams.push_back(word ? Ledger::Key{cemi->telegram.destination, cemi->telegram.Value()} : Ledger::Key{0, 0});
        }
        ledger_.Completed(telegrams, excusedFrom);
        server_->ClearAcknowledged();
    }
    bus_.ClearHistory();
    host_.logClear();
}

// The link with no driver on it: the BCU waiting for the next connection, or no tunnel open.
bool Soak::WaitLinkFree() { return bcu_ ? bcu_->WaitDisconnected(5000) : server_->WaitTunnelsBelow(1, 5000); }

// Telegrams on their way to the driver: at the BCU, or on the bus and at the server.
size_t Soak::Pending() const {
    if (bcu_) return bcu_->QueuedFrames();
    return server_->QueuedFrames() + (bus_.WaitIdle(0) ? 0 : 1);
}

bool Soak::LinkReady() const { return bcu_ ? bcu_->LinkLayer() : server_->TunnelCount() > 0; }

std::string Soak::ServeLink() {
    if (options_.link == Link::kLine) return bcu_->Serve();
    if (options_.link == Link::kPty) return bcu_->ServePty();
    std::string error;
    if (!server_->Start("127.0.0.1:0", error)) {
        std::fprintf(stderr, "soak: the tunnelling server cannot start (%s)\n", error.c_str());
        return "";
    }
    server_->RecordAcknowledged(true);
    serverEndpoint_ = server_->LocalEndpoint();
    std::ofstream(options_.portMap) << kTunnelPort << " = knxip://" << serverEndpoint_ << "\n";
    return kTunnelPort;
}

// knxip: the server restarts (closing its tunnels, away for a moment) or
// closes its tunnels with DISCONNECT_REQUESTs, at random moments. A restart
// never overlaps a ColdStart, which fails while no server answers.
void Soak::Disrupter() {
    for (;;) {
        {
            std::unique_lock hold(wakeLock_);
            const auto pause = std::chrono::seconds(Random(options_.disruptMinS, options_.disruptMaxS));
            if (wake_.wait_for(hold, pause, [&] { return stopping_.load(); })) return;
        }
        if (Random(0, 1) == 0) {
            server_->DisconnectTunnels();
            ++disconnects_;
            continue;
        }
        std::lock_guard hold(serverLock_);
        server_->Stop();
        {
            // Away for a while, as a restarting server is; the end of the run cuts it short.
            std::unique_lock away(wakeLock_);
            wake_.wait_for(away, Ms(Random(200, 3000)), [&] { return stopping_.load(); });
        }
        std::string error;
        if (!server_->Start(serverEndpoint_, error)) {
            ++failedRestarts_;
            std::fprintf(stderr, "soak: the tunnelling server did not restart (%s)\n", error.c_str());
            return;
        }
        ++restarts_;
    }
}

// Resources at each quarter of the run, printed as they are taken.
void Soak::Quarters(Clock::time_point end) {
    const auto length = end - begin_;
    for (int q = 1; q <= 3; ++q) {
        {
            std::unique_lock hold(wakeLock_);
            if (wake_.wait_until(hold, begin_ + length * q / 4, [&] { return stopping_.load(); })) return;
        }
        const Resources r = MeasureResources(begin_);
        const Figures f = ledger_.Settle();
        std::printf("soak: resources at %d/4: %s; offered %llu, delivered %llu so far\n", q, ResourceText(r).c_str(),
                    static_cast<unsigned long long>(f.offered), static_cast<unsigned long long>(f.delivered));
        std::lock_guard hold(wakeLock_);
        quarters_.push_back({q, r});
    }
}

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
    if (start_.residentKiB >= 0) return;
    WaitLinkFree();
    // The quarters' own code run once first: under qemu-user each first run
    // of code grows the translation cache, counted in the resident memory.
    (void)ledger_.Settle();
    (void)ResourceText(MeasureResources(begin_));
    start_ = MeasureResources(begin_);
    fdsStartList_ = DescriptorTargets();
    std::printf("soak: resources at start: %s (driver stopped)\n", ResourceText(start_).c_str());
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
    WaitLinkFree();
    std::lock_guard server(serverLock_);
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
    const size_t completedBefore = CompletedCount();
    const auto start = Clock::now();
    if (Call(kEndQel, nullptr) != 0) ++failedStops_;
    longestStopMs_ = std::max(longestStopMs_, MsSince(start));
    // The link is closed now: nothing more completes until the next start.
    BookPeriod(completedBefore);
}

void Soak::Injector() {
    uint16_t next[kGroups];
    std::fill(std::begin(next), std::end(next), 1);
    unsigned turn = 0;
    auto nextSample = Clock::now();
    while (!stopping_) {
        if (Clock::now() >= nextSample) {
            (LinkReady() ? linkLayerSamples_ : otherModeSamples_)++;
            nextSample += Ms(100);
        }
        if (Pending() >= options_.queue) {
            std::this_thread::sleep_for(Ms(2));
            if (Pending() == 0 && options_.gapMs > 0)
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
            const size_t completedBefore = CompletedCount();
            const auto start = Clock::now();
            if (Call(kEndQel, nullptr) != 0) ++failedStops_;
            longestStopMs_ = std::max(longestStopMs_, MsSince(start));
            std::lock_guard hold(requestLock_);
            if (inRead) ++stopsDuringRead_;
            BookPeriod(completedBefore);
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
            const size_t eventsBefore = options_.traceFailure && bcu_ ? bcu_->Events().size() : 0;
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
            if (result != 0 && options_.traceFailure && bcu_) {
                options_.traceFailure = false;
                const auto events = bcu_->Events();
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
    port_ = ServeLink();
    if (port_.empty() || port_.size() >= kPortNameSize) {
        std::fprintf(stderr, "soak: the emulated link cannot serve (%s)\n", bcu_ ? bcu_->LastError().c_str() : port_.c_str());
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

    begin_ = Clock::now();  // the run's time counts from the first start
    const auto begin = begin_;
    const auto end = begin + std::chrono::seconds(options_.seconds);
    std::thread injector = Helper([this] { Injector(); });
    std::thread cycler = Helper([this] { Cycler(); });
    std::thread quarters = Helper([this, end] { Quarters(end); });
    std::thread disrupter;
    if (server_) disrupter = Helper([this] { Disrupter(); });
    if (options_.requests) Requests(end);
    else std::this_thread::sleep_until(end);
    {
        std::lock_guard hold(wakeLock_);
        stopping_ = true;
    }
    wake_.notify_all();
    cycler.join();
    injector.join();
    quarters.join();
    if (disrupter.joinable()) disrupter.join();
    // Let the link drain what the bus still holds, then stop for good.
    bus_.WaitIdle(30000);
    for (int i = 0; i < 3000 && Pending() > 0; ++i) std::this_thread::sleep_for(Ms(10));
    std::this_thread::sleep_for(Ms(500));
    {
        std::lock_guard hold(requestLock_);
        Stop(true);
    }
    WaitLinkFree();
    MeasureStart();
    end_ = MeasureResources(begin);
    std::printf("soak: resources at end: %s (driver stopped)\n", ResourceText(end_).c_str());
    const double seconds = MsSince(begin) / 1000;

    const Figures f = ledger_.Settle();
    static const char* const kLinkText[] = {"a 9600-baud emulated line (virtual line)",
                                            "a 9600-baud emulated line on a pty (tty backend)",
                                            "a KNXnet/IP tunnel to the emulated bus (9600-baud timing)"};
    std::printf("soak: %.0f s on %s, link %s, seed %u\n", seconds, kLinkText[static_cast<int>(options_.link)],
                LinkName(options_.link), options_.seed);
    std::printf("  telegrams offered          %llu (%.1f/s)\n", static_cast<unsigned long long>(f.offered),
                f.offered / seconds);
    std::printf("  delivered to their gates   %llu\n", static_cast<unsigned long long>(f.delivered));
    std::printf("  duplicate deliveries       %llu\n", static_cast<unsigned long long>(f.duplicates));
    if (bcu_) {
        std::printf("  completed by the BCU       %llu\n", static_cast<unsigned long long>(f.sentComplete));
        std::printf("  never sent by the BCU      %llu (dropped before the driver: BCU reset at ColdStart, queue at the end)\n",
                    static_cast<unsigned long long>(f.neverSent));
        std::printf("  dropped by the BCU queue   %llu (queue limit %u, 0: none)\n",
                    static_cast<unsigned long long>(bcu_->DroppedFrames()), bcu_->Options().queueLimit);
    } else {
        std::printf("  acknowledged by the driver %llu (L_Data.ind the driver's tunnel acknowledged)\n",
                    static_cast<unsigned long long>(f.sentComplete));
        std::printf("  not taken by the driver    %llu (dropped before the driver: no tunnel up, or queued at the "
                    "server when its tunnel closed)\n",
                    static_cast<unsigned long long>(f.neverSent));
    }
    std::printf("  in flight at EndQel, lost  %llu (excused)\n", static_cast<unsigned long long>(f.inFlightAtEnd));
    std::printf("  LOST BY THE DRIVER         %llu\n", static_cast<unsigned long long>(f.lostByDriver));
    for (const Ledger::Key& key : ledger_.LostSample(5)) {
        const Ledger::Place p = ledger_.PlaceOf(key);
        std::printf("    lost: group %04x value %u: period %u, frame %u of %u completed (excused from %u)\n", key.first,
                    key.second, p.period, p.index + 1u, static_cast<unsigned>(p.frames), p.excusedFrom + 1u);
    }
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
    if (bcu_) {
        std::printf("  BCU resets sent            %llu, ColdStarts whose reset failed %llu; BCU out of link-layer mode "
                    "%.0f%% of the time\n",
                    static_cast<unsigned long long>(resets_.load()),
                    static_cast<unsigned long long>(failedStartResets_.load()),
                    samples == 0 ? 0.0 : 100.0 * otherModeSamples_ / samples);
    } else {
        std::printf("  server restarts            %llu (failed %llu), DISCONNECT_REQUESTs to the tunnel %llu; no tunnel "
                    "up %.0f%% of the time\n",
                    static_cast<unsigned long long>(restarts_), static_cast<unsigned long long>(failedRestarts_),
                    static_cast<unsigned long long>(disconnects_),
                    samples == 0 ? 0.0 : 100.0 * otherModeSamples_ / samples);
        std::printf("  tunnels                    %llu opened; closed by the driver %llu, by the server for no "
                    "acknowledgement %llu, otherwise %llu\n",
                    static_cast<unsigned long long>(tunnelsOpened_.load()),
                    static_cast<unsigned long long>(closedByClient_.load()),
                    static_cast<unsigned long long>(closedUnacknowledged_.load()),
                    static_cast<unsigned long long>(closedOther_.load()));
    }
    std::printf("  resources at start         %s\n", ResourceText(start_).c_str());
    for (const auto& [q, r] : quarters_) std::printf("  resources at %d/4           %s\n", q, ResourceText(r).c_str());
    std::printf("  resources at end           %s\n", ResourceText(end_).c_str());
    const bool emulated = UnderEmulator();
    std::printf("  resident memory            %ld KiB -> %ld KiB%s\n", start_.residentKiB, end_.residentKiB,
                emulated ? " (not judged: under qemu-user, whose own memory grows with every thread created)" : "");
    std::printf("  heap in use                %ld KiB -> %ld KiB\n", start_.heapKiB, end_.heapKiB);
    std::printf("  open descriptors           %d -> %d\n", start_.descriptors, end_.descriptors);
    std::printf("  threads                    %d -> %d (without the soak's helpers %d -> %d)\n", start_.threads,
                end_.threads, start_.threads - start_.helpers, end_.threads - end_.helpers);

    bool ok = true;
    if (f.lostByDriver > 0) ok = (std::printf("soak: FAIL the driver lost telegrams\n"), false);
    if (f.delivered == 0) ok = (std::printf("soak: FAIL nothing was delivered\n"), false);
    if (end_.heapKiB - start_.heapKiB > kHeapMarginKiB) ok = (std::printf("soak: FAIL the heap grew\n"), false);
    if (!emulated && end_.residentKiB - start_.residentKiB > kRssMarginKiB) ok = (std::printf("soak: FAIL resident memory grew\n"), false);
    if (end_.threads - end_.helpers > start_.threads - start_.helpers) ok = (std::printf("soak: FAIL threads grew\n"), false);
    if (failedRestarts_ > 0) ok = (std::printf("soak: FAIL the tunnelling server did not restart\n"), false);
    if (end_.descriptors > start_.descriptors) {
        std::printf("soak: FAIL descriptors leaked\n  at start:\n%s  at end:\n%s", fdsStartList_.c_str(),
                    DescriptorTargets().c_str());
        ok = false;
    }
    if (failedStops_ > 0 || failedStarts_ > 0) ok = (std::printf("soak: FAIL a start or stop failed\n"), false);
    // Its last notes go to this object's counters: not after they are gone.
    if (server_) server_->Stop();
    if (ok) std::printf("soak: ok\n");
    return ok ? 0 : 1;
}

}  // namespace

// The pty's modem lines come from the test preload library, which must be in
// the process from its start: the program runs itself again with it. False
// when it cannot; does not return otherwise.
bool WithModemLines(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    const std::string library = QEL_MODEM_LINES_PATH;
    if (preload != nullptr && std::strstr(preload, library.c_str()) != nullptr) return true;
    const std::string value = preload != nullptr && *preload != '\0' ? library + " " + preload : library;
    setenv("LD_PRELOAD", value.c_str(), 1);
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    execv(n > 0 ? self : argv[0], argv);
    std::fprintf(stderr, "soak: cannot run again with %s: %s\n", library.c_str(), std::strerror(errno));
    return false;
}

// The port map the driver finds the tunnel in, in a folder of this run's own;
// the server's endpoint is written once it listens.
bool PreparePortMap(Options* options) {
    char folder[] = "/tmp/qel-soak-XXXXXX";
    if (mkdtemp(folder) == nullptr) return std::fprintf(stderr, "soak: no folder for the port map\n"), false;
    options->portMap = std::string(folder) + "/qeleib.ports";
    std::ofstream(options->portMap) << "";
    setenv("QELEIB_PORTS", options->portMap.c_str(), 1);
    return true;
}

}  // namespace qel::soak

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qel::soak::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--link") {
            const std::string link = value();
            if (link == "pty") options.link = qel::soak::Link::kPty;
            else if (link == "knxip") options.link = qel::soak::Link::kKnxip;
            else if (link == "line") options.link = qel::soak::Link::kLine;
            else return std::fprintf(stderr, "soak: unknown link %s (line, pty or knxip)\n", link.c_str()), 2;
        } else if (arg == "--seconds") options.seconds = std::atoi(value().c_str());
        else if (arg == "--seed") options.seed = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--cycle-min") options.cycleMinS = std::atoi(value().c_str());
        else if (arg == "--cycle-max") options.cycleMaxS = std::atoi(value().c_str());
        else if (arg == "--disrupt-min") options.disruptMinS = std::atoi(value().c_str());
        else if (arg == "--disrupt-max") options.disruptMaxS = std::atoi(value().c_str());
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
            std::fprintf(stderr, "usage: qel_soak [--link line|pty|knxip] [--seconds N] [--seed N] [--cycle-min S] [--cycle-max S] "
                                 "[--disrupt-min S] [--disrupt-max S] [--no-end-during-read] [--queue N] [--gap-ms N] [--queue-limit N] [--no-requests] [--log] [--trace-failure] [--requests-while-settling] [--driver PATH] [--hostlib PATH]\n");
            return 2;
        }
    }
    if (options.gapMs < 0) options.gapMs = options.link == qel::soak::Link::kKnxip ? 0 : 150;
    if (options.link == qel::soak::Link::kPty && !qel::soak::WithModemLines(argv)) return 2;
    if (options.link == qel::soak::Link::kKnxip && !qel::soak::PreparePortMap(&options)) return 2;
    qel::soak::Host host;
    if (!qel::soak::Load(options, &host)) return 2;
    qel::soak::Soak soak(options, host);
    const int status = soak.Run();
    if (!options.portMap.empty()) {
        std::remove(options.portMap.c_str());
        rmdir(options.portMap.substr(0, options.portMap.rfind('/')).c_str());
    }
    return status;
}
