#include "link/line_trace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <map>
#include <string>

#include "host/log.h"

namespace qel {
namespace {

// VCD identifiers, in bcusim's order.
constexpr char kRtsId = '!';
constexpr char kCtsId = '"';
constexpr char kDtrId = '#';
constexpr char kTxId = '$';
constexpr char kRxId = '%';

struct TracePort {
    platform::Port base;
    platform::Port* inner;
    std::FILE* vcd;
    std::FILE* log;
    std::mutex lock;  // a port request and the listener may trace at once
    std::chrono::steady_clock::time_point start;
    long long lastUs = 0;
    int cts = -1;  // last CTS written, -1: none yet
};

TracePort* Self(platform::Port* p) { return reinterpret_cast<TracePort*>(p); }

// Microseconds since the trace began, strictly increasing so every change keeps its own time.
long long NowUs(TracePort* t) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t->start).count();
    t->lastUs = us > t->lastUs ? us : t->lastUs + 1;
    return t->lastUs;
}

void Bit(TracePort* t, char id, bool on) { std::fprintf(t->vcd, "#%lld\n%c%c\n", NowUs(t), on ? '1' : '0', id); }

void Bytes(TracePort* t, char id, const uint8_t* bytes, uint32_t n, const char* direction) {
    for (uint32_t i = 0; i < n; ++i) {
        std::fprintf(t->vcd, "#%lld\nb", NowUs(t));
        for (int bit = 7; bit >= 0; --bit) std::fputc((bytes[i] >> bit) & 1 ? '1' : '0', t->vcd);
        std::fprintf(t->vcd, " %c\n#%lld\nbz %c\n", id, NowUs(t), id);
        std::fprintf(t->log, "%lld %s %02X\n", t->lastUs, direction, bytes[i]);
    }
}

bool TraceClose(platform::Port* p) {
    TracePort* t = Self(p);
    if (!t->inner->methods->close(t->inner)) return false;
    std::fprintf(t->log, "%lld close\n", NowUs(t));
    std::fclose(t->vcd);
    std::fclose(t->log);
    delete t;
    return true;
}

bool TraceWrite(platform::Port* p, const uint8_t* bytes, uint32_t n, uint32_t* written) {
    TracePort* t = Self(p);
    const bool ok = t->inner->methods->write(t->inner, bytes, n, written);
    const std::lock_guard<std::mutex> hold(t->lock);
    Bytes(t, kTxId, bytes, ok ? *written : 0, "out");
    return ok;
}

bool TraceRead(platform::Port* p, uint8_t* bytes, uint32_t n, uint32_t* got) {
    TracePort* t = Self(p);
    const bool ok = t->inner->methods->read(t->inner, bytes, n, got);
    const std::lock_guard<std::mutex> hold(t->lock);
    Bytes(t, kRxId, bytes, ok ? *got : 0, "in");
    return ok;
}

bool TraceSetModemLine(platform::Port* p, platform::ModemLine line, bool on) {
    TracePort* t = Self(p);
    const bool ok = t->inner->methods->setModemLine(t->inner, line, on);
    const std::lock_guard<std::mutex> hold(t->lock);
    const bool rts = line == platform::ModemLine::kRts;
    Bit(t, rts ? kRtsId : kDtrId, on);
    std::fprintf(t->log, "%lld %s %d%s\n", t->lastUs, rts ? "rts" : "dtr", on ? 1 : 0, ok ? "" : " refused");
    return ok;
}

bool TraceGetCts(platform::Port* p, bool* on) {
    TracePort* t = Self(p);
    const bool ok = t->inner->methods->getCts(t->inner, on);
    const std::lock_guard<std::mutex> hold(t->lock);
    if (ok && static_cast<int>(*on) != t->cts) {
        t->cts = *on ? 1 : 0;
        Bit(t, kCtsId, *on);
        std::fprintf(t->log, "%lld cts %d\n", t->lastUs, t->cts);
    }
    return ok;
}

// The rest pass through untraced.
bool TraceGetState(platform::Port* p, platform::LineState* s) { return Self(p)->inner->methods->getState(Self(p)->inner, s); }
bool TraceSetState(platform::Port* p, const platform::LineState* s) {
    return Self(p)->inner->methods->setState(Self(p)->inner, s);
}
bool TraceGetTimeouts(platform::Port* p, platform::Timeouts* out) {
    return Self(p)->inner->methods->getTimeouts(Self(p)->inner, out);
}
bool TraceSetTimeouts(platform::Port* p, const platform::Timeouts* in) {
    return Self(p)->inner->methods->setTimeouts(Self(p)->inner, in);
}
bool TraceSetQueueSizes(platform::Port* p, uint32_t in, uint32_t out) {
    return Self(p)->inner->methods->setQueueSizes(Self(p)->inner, in, out);
}
bool TraceQueryInput(platform::Port* p, uint32_t* waiting, uint32_t* errors) {
    return Self(p)->inner->methods->queryInput(Self(p)->inner, waiting, errors);
}
bool TraceSetEventMask(platform::Port* p, uint32_t mask) {
    return Self(p)->inner->methods->setEventMask(Self(p)->inner, mask);
}
void TraceAwaitLine(platform::Port* p, uint32_t maxMs) { Self(p)->inner->methods->awaitLine(Self(p)->inner, maxMs); }
bool TraceAwaitCts(platform::Port* p, platform::Wake* wake, uint32_t maxMs) {
    return Self(p)->inner->methods->awaitCts(Self(p)->inner, wake, maxMs);
}
bool TraceAwaitInput(platform::Port* p, platform::Wake* wake, uint32_t maxMs) {
    return Self(p)->inner->methods->awaitInput(Self(p)->inner, wake, maxMs);
}

const platform::PortMethods kTraceMethods = {
    .close = TraceClose,
    .getState = TraceGetState,
    .setState = TraceSetState,
    .getTimeouts = TraceGetTimeouts,
    .setTimeouts = TraceSetTimeouts,
    .setQueueSizes = TraceSetQueueSizes,
    .write = TraceWrite,
    .read = TraceRead,
    .queryInput = TraceQueryInput,
    .setModemLine = TraceSetModemLine,
    .getCts = TraceGetCts,
    .setEventMask = TraceSetEventMask,
    .awaitLine = TraceAwaitLine,
    .awaitCts = TraceAwaitCts,
    .awaitInput = TraceAwaitInput,
};

// "/path/trace.vcd" and "COM1" give "/path/trace.COM1"; the port name keeps its letters and digits.
std::string BaseFor(const char* path, const char* portName) {
    std::string base = path;
    const size_t slash = base.find_last_of("/\\");
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.erase(dot);
    base += '.';
    for (const char* c = portName; *c != '\0'; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        if (plain) base += *c;
    }
    return base;
}

// A port opened again in the same process (a restart, a port change) keeps
// the trace of its earlier opens, which often hold what prompted the restart:
// the second open writes "/path/trace.COM1.2.vcd", the third ".3", and so on.
std::string NumberedForOpen(const std::string& base) {
    static std::mutex lock;
    static std::map<std::string, int> opens;
    const std::lock_guard<std::mutex> hold(lock);
    const int n = ++opens[base];
    return n == 1 ? base : base + "." + std::to_string(n);
}

void WriteHeader(std::FILE* vcd) {
    std::fputs("$version qeleib line trace $end\n$timescale 1 us $end\n$scope module line $end\n", vcd);
    std::fprintf(vcd, "$var wire 1 %c rts $end\n$var wire 1 %c cts $end\n$var wire 1 %c dtr $end\n", kRtsId, kCtsId,
                 kDtrId);
    std::fprintf(vcd, "$var wire 8 %c tx $end\n$var wire 8 %c rx $end\n", kTxId, kRxId);
    std::fprintf(vcd, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\nbz %c\nbz %c\n$end\n", kTxId, kRxId);
}

}  // namespace

platform::Port* TraceIfAsked(platform::Port* port, const char* portName) {
    const char* path = std::getenv(kTraceVariable);
    if (port == nullptr || path == nullptr || path[0] == '\0') return port;
    const std::string base = NumberedForOpen(BaseFor(path, portName));
    std::FILE* vcd = std::fopen((base + ".vcd").c_str(), "w");
    std::FILE* log = vcd != nullptr ? std::fopen((base + ".log").c_str(), "w") : nullptr;
    auto* t = log != nullptr ? new (std::nothrow) TracePort{} : nullptr;
    if (t == nullptr) {
        if (vcd != nullptr) std::fclose(vcd);
        if (log != nullptr) std::fclose(log);
        QEL_LOG(text::kTraceUnwritable, portName, (base + ".vcd").c_str());
        return port;
    }
    t->base.methods = &kTraceMethods;
    t->inner = port;
    t->vcd = vcd;
    t->log = log;
    t->start = std::chrono::steady_clock::now();
    WriteHeader(vcd);
    std::fprintf(log, "0 open %s\n", portName);
    return &t->base;
}

void TraceNote(platform::Port* port, const char* note) {
    if (port == nullptr || port->methods != &kTraceMethods) return;
    TracePort* t = Self(port);
    const std::lock_guard<std::mutex> hold(t->lock);
    std::fprintf(t->log, "%lld %s\n", NowUs(t), note);
}

}  // namespace qel
