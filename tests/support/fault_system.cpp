#include "support/fault_system.h"

#include <atomic>
#include <cstring>
#include <new>

namespace qel::test {
namespace {

using namespace qel::platform;

constexpr const char* kNames[] = {
    "openPort",    "tickMs",    "sleepMs",     "startThread", "joinThread",  "threadEnded",
    "setThreadPriority", "createEvent", "setEvent", "waitEvent", "closeEvent", "createMutex",
    "lockMutex",   "unlockMutex", "closeMutex", "hostSymbol", "createWake", "signalWake",
    "waitWake",    "closeWake",   "libraryPath", "resolveHost", "openDatagram", "sendDatagram",
    "receiveDatagram", "closeDatagram", "close",       "getState",
    "setState",    "getTimeouts", "setTimeouts", "setQueueSizes", "write",   "read",
    "queryInput",  "setModemLine", "getCts",    "setEventMask", "awaitLine", "awaitCts", "awaitInput",
};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Op::kCount));

constexpr size_t kOps = static_cast<size_t>(Op::kCount);
constexpr uint32_t kNever = 0;

// Plain globals: the table's slots carry no context, and the listener thread
// calls through them while a test arms faults.
struct Faults {
    std::atomic<uint32_t> calls[kOps];
    std::atomic<uint32_t> failAt[kOps];      // call number to fail, kNever: none
    std::atomic<bool> persistent[kOps];
    std::atomic<uint32_t> failures;
} g;

const System& real() { return NativeSystem(); }

// Counts the call; true when this one is to fail.
bool shouldFail(Op op) {
    const size_t i = static_cast<size_t>(op);
    const uint32_t number = g.calls[i].fetch_add(1) + 1;
    const uint32_t at = g.failAt[i].load();
    if (at == kNever || number < at) return false;
    if (number > at && !g.persistent[i].load()) return false;
    g.failures.fetch_add(1);
    return true;
}

struct FaultPort {
    Port base;
    Port* inner;
};

Port* inner(Port* p) { return reinterpret_cast<FaultPort*>(p)->inner; }

bool fpClose(Port* p) {
    if (shouldFail(Op::kClose)) return false;
    if (!inner(p)->methods->close(inner(p))) return false;
    delete reinterpret_cast<FaultPort*>(p);
    return true;
}
bool fpGetState(Port* p, LineState* s) {
    return !shouldFail(Op::kGetState) && inner(p)->methods->getState(inner(p), s);
}
bool fpSetState(Port* p, const LineState* s) {
    return !shouldFail(Op::kSetState) && inner(p)->methods->setState(inner(p), s);
}
bool fpGetTimeouts(Port* p, Timeouts* t) {
    return !shouldFail(Op::kGetTimeouts) && inner(p)->methods->getTimeouts(inner(p), t);
}
bool fpSetTimeouts(Port* p, const Timeouts* t) {
    return !shouldFail(Op::kSetTimeouts) && inner(p)->methods->setTimeouts(inner(p), t);
}
bool fpSetQueueSizes(Port* p, uint32_t in, uint32_t out) {
    return !shouldFail(Op::kSetQueueSizes) && inner(p)->methods->setQueueSizes(inner(p), in, out);
}
bool fpWrite(Port* p, const uint8_t* b, uint32_t n, uint32_t* written) {
    if (shouldFail(Op::kWrite)) {
        *written = 0;
        return false;
    }
    return inner(p)->methods->write(inner(p), b, n, written);
}
bool fpRead(Port* p, uint8_t* b, uint32_t n, uint32_t* got) {
    if (shouldFail(Op::kRead)) {
        *got = 0;
        return false;
    }
    return inner(p)->methods->read(inner(p), b, n, got);
}
bool fpQueryInput(Port* p, uint32_t* waiting, uint32_t* errors) {
    return !shouldFail(Op::kQueryInput) && inner(p)->methods->queryInput(inner(p), waiting, errors);
}
bool fpSetModemLine(Port* p, ModemLine line, bool on) {
    return !shouldFail(Op::kSetModemLine) && inner(p)->methods->setModemLine(inner(p), line, on);
}
bool fpGetCts(Port* p, bool* on) { return !shouldFail(Op::kGetCts) && inner(p)->methods->getCts(inner(p), on); }
bool fpSetEventMask(Port* p, uint32_t mask) {
    return !shouldFail(Op::kSetEventMask) && inner(p)->methods->setEventMask(inner(p), mask);
}
void fpAwaitLine(Port* p, uint32_t maxMs) {
    if (!shouldFail(Op::kAwaitLine)) inner(p)->methods->awaitLine(inner(p), maxMs);
}

bool fpAwaitCts(Port* p, Wake* wake, uint32_t maxMs) {
    return !shouldFail(Op::kAwaitCts) && inner(p)->methods->awaitCts(inner(p), wake, maxMs);
}

bool fpAwaitInput(Port* p, Wake* wake, uint32_t maxMs) {
    return !shouldFail(Op::kAwaitInput) && inner(p)->methods->awaitInput(inner(p), wake, maxMs);
}

const PortMethods kFaultPortMethods = {
    .close = fpClose,
    .getState = fpGetState,
    .setState = fpSetState,
    .getTimeouts = fpGetTimeouts,
    .setTimeouts = fpSetTimeouts,
    .setQueueSizes = fpSetQueueSizes,
    .write = fpWrite,
    .read = fpRead,
    .queryInput = fpQueryInput,
    .setModemLine = fpSetModemLine,
    .getCts = fpGetCts,
    .setEventMask = fpSetEventMask,
    .awaitLine = fpAwaitLine,
    .awaitCts = fpAwaitCts,
    .awaitInput = fpAwaitInput,
};

Port* fsOpenPort(const char* name) {
    if (shouldFail(Op::kOpenPort)) return nullptr;
    Port* port = real().openPort(name);
    if (port == nullptr) return nullptr;
    auto* wrapped = new (std::nothrow) FaultPort{{&kFaultPortMethods}, port};
    if (wrapped == nullptr) port->methods->close(port);
    return wrapped != nullptr ? &wrapped->base : nullptr;
}
uint32_t fsTickMs() {
    shouldFail(Op::kTickMs);  // counted only: a clock cannot refuse
    return real().tickMs();
}
void fsSleepMs(uint32_t ms) {
    if (!shouldFail(Op::kSleepMs)) real().sleepMs(ms);
}
Thread* fsStartThread(ThreadProc proc, void* arg, uint32_t stack, uint32_t* id) {
    return shouldFail(Op::kStartThread) ? nullptr : real().startThread(proc, arg, stack, id);
}
bool fsJoinThread(Thread* t, uint32_t ms) { return !shouldFail(Op::kJoinThread) && real().joinThread(t, ms); }
void fsDetachThread(Thread* t) { real().detachThread(t); }
bool fsThreadEnded(Thread* t) { return !shouldFail(Op::kThreadEnded) && real().threadEnded(t); }
bool fsSetThreadPriority(Priority p) { return !shouldFail(Op::kSetThreadPriority) && real().setThreadPriority(p); }
Event* fsCreateEvent(const char* name) { return shouldFail(Op::kCreateEvent) ? nullptr : real().createEvent(name); }
bool fsSetEvent(Event* e) { return !shouldFail(Op::kSetEvent) && real().setEvent(e); }
WaitResult fsWaitEvent(Event* e, uint32_t ms) {
    return shouldFail(Op::kWaitEvent) ? WaitResult::kFailed : real().waitEvent(e, ms);
}
bool fsCloseEvent(Event* e) { return !shouldFail(Op::kCloseEvent) && real().closeEvent(e); }
Mutex* fsCreateMutex(const char* name) { return shouldFail(Op::kCreateMutex) ? nullptr : real().createMutex(name); }
WaitResult fsLockMutex(Mutex* m, uint32_t ms) {
    return shouldFail(Op::kLockMutex) ? WaitResult::kFailed : real().lockMutex(m, ms);
}
bool fsUnlockMutex(Mutex* m) { return !shouldFail(Op::kUnlockMutex) && real().unlockMutex(m); }
bool fsCloseMutex(Mutex* m) { return !shouldFail(Op::kCloseMutex) && real().closeMutex(m); }
void* fsHostSymbol(const char* name) { return shouldFail(Op::kHostSymbol) ? nullptr : real().hostSymbol(name); }
bool fsLibraryPath(char* out, uint32_t size) { return !shouldFail(Op::kLibraryPath) && real().libraryPath(out, size); }
Wake* fsCreateWake() { return shouldFail(Op::kCreateWake) ? nullptr : real().createWake(); }
void fsSignalWake(Wake* w) {
    if (!shouldFail(Op::kSignalWake)) real().signalWake(w);
}
bool fsWaitWake(Wake* w, uint32_t ms) { return !shouldFail(Op::kWaitWake) && real().waitWake(w, ms); }
void fsCloseWake(Wake* w) {
    if (!shouldFail(Op::kCloseWake)) real().closeWake(w);
}
bool fsResolveHost(const char* name, uint32_t* address) {
    return !shouldFail(Op::kResolveHost) && real().resolveHost(name, address);
}
Datagram* fsOpenDatagram(uint32_t towards, Endpoint* local) {
    return shouldFail(Op::kOpenDatagram) ? nullptr : real().openDatagram(towards, local);
}
bool fsSendDatagram(Datagram* d, const Endpoint* to, const uint8_t* bytes, uint32_t n) {
    return !shouldFail(Op::kSendDatagram) && real().sendDatagram(d, to, bytes, n);
}
DatagramWait fsReceiveDatagram(Datagram* d, Wake* w, uint32_t ms, uint8_t* buffer, uint32_t size, uint32_t* n,
                               Endpoint* from) {
    return shouldFail(Op::kReceiveDatagram) ? DatagramWait::kFailed : real().receiveDatagram(d, w, ms, buffer, size, n, from);
}
void fsCloseDatagram(Datagram* d) {
    if (!shouldFail(Op::kCloseDatagram)) real().closeDatagram(d);
}
// Not failed: a refused TCP connection is the server's, not the platform's.
ByteStream* fsConnectTcp(const char* host, uint16_t port) { return real().connectTcp(host, port); }

// The multicast ones pass through: no case fails them.
Datagram* fsOpenGroupDatagram(uint32_t group, uint16_t port, Endpoint* local) {
    return real().openGroupDatagram(group, port, local);
}
bool fsJoinGroup(Datagram* d, uint32_t group, uint32_t interface) { return real().joinGroup(d, group, interface); }
bool fsLeaveGroup(Datagram* d, uint32_t group, uint32_t interface) { return real().leaveGroup(d, group, interface); }
bool fsSetMulticastInterface(Datagram* d, uint32_t interface) { return real().setMulticastInterface(d, interface); }
bool fsSetMulticastLoop(Datagram* d, bool on) { return real().setMulticastLoop(d, on); }

const System kFaultSystem = {
    .openPort = fsOpenPort,
    .tickMs = fsTickMs,
    .sleepMs = fsSleepMs,
    .startThread = fsStartThread,
    .joinThread = fsJoinThread,
    .detachThread = fsDetachThread,
    .threadEnded = fsThreadEnded,
    .setThreadPriority = fsSetThreadPriority,
    .createEvent = fsCreateEvent,
    .setEvent = fsSetEvent,
    .waitEvent = fsWaitEvent,
    .closeEvent = fsCloseEvent,
    .createMutex = fsCreateMutex,
    .lockMutex = fsLockMutex,
    .unlockMutex = fsUnlockMutex,
    .closeMutex = fsCloseMutex,
    .hostSymbol = fsHostSymbol,
    .createWake = fsCreateWake,
    .signalWake = fsSignalWake,
    .waitWake = fsWaitWake,
    .closeWake = fsCloseWake,
    .libraryPath = fsLibraryPath,
    .resolveHost = fsResolveHost,
    .openDatagram = fsOpenDatagram,
    .sendDatagram = fsSendDatagram,
    .receiveDatagram = fsReceiveDatagram,
    .closeDatagram = fsCloseDatagram,
    .connectTcp = fsConnectTcp,
    .openGroupDatagram = fsOpenGroupDatagram,
    .joinGroup = fsJoinGroup,
    .leaveGroup = fsLeaveGroup,
    .setMulticastInterface = fsSetMulticastInterface,
    .setMulticastLoop = fsSetMulticastLoop,
};

}  // namespace

const char* opName(Op op) { return op < Op::kCount ? kNames[static_cast<size_t>(op)] : "?"; }

Op opByName(const char* name) {
    for (size_t i = 0; i < kOps; ++i)
        if (name != nullptr && std::strcmp(kNames[i], name) == 0) return static_cast<Op>(i);
    return Op::kCount;
}

FaultSystem::FaultSystem() {
    clearFaults();
    resetCounts();
    SetSystem(&kFaultSystem);
}

FaultSystem::~FaultSystem() {
    SetSystem(nullptr);
    clearFaults();
}

void FaultSystem::failNth(Op op, uint32_t n, Mode mode) {
    if (op >= Op::kCount || n == 0) return;
    const size_t i = static_cast<size_t>(op);
    g.persistent[i].store(mode == Mode::kFromThenOn);
    g.failAt[i].store(g.calls[i].load() + n);
}

void FaultSystem::failNth(const char* name, uint32_t n, Mode mode) { failNth(opByName(name), n, mode); }

void FaultSystem::clearFaults() {
    for (size_t i = 0; i < kOps; ++i) {
        g.failAt[i].store(kNever);
        g.persistent[i].store(false);
    }
}

uint32_t FaultSystem::calls(Op op) const { return op < Op::kCount ? g.calls[static_cast<size_t>(op)].load() : 0; }

uint32_t FaultSystem::calls(const char* name) const { return calls(opByName(name)); }

uint32_t FaultSystem::failures() const { return g.failures.load(); }

void FaultSystem::resetCounts() {
    for (size_t i = 0; i < kOps; ++i) {
        // Keep an armed fault at the same distance ahead.
        const uint32_t at = g.failAt[i].load();
        const uint32_t done = g.calls[i].load();
        if (at != kNever) g.failAt[i].store(at > done ? at - done : (g.persistent[i].load() ? 1 : kNever));
        g.calls[i].store(0);
    }
    g.failures.store(0);
}

}  // namespace qel::test
