// The driver's only way to the operating system.
//
// Two tables of operations: System (process-wide: ports, time, threads,
// named synchronisation objects, the host library, wakes, UDP datagrams and
// TCP streams and multicast groups for KNXnet/IP) and PortMethods (one
// open port). The posix and win32 backends each fill them completely; the
// virtual line is a third kind of port behind the same PortMethods. Tests may
// install a wrapping System (setSystem) to fail chosen calls. A wake lets one
// thread end another's wait on a port: awaitCts waits for CTS and a wake at once,
// awaitInput for input bytes and a wake.
//
// Error contract: every bool operation returns false when the platform
// refused, and then has changed nothing the caller can see, except that a
// failed read or write may have moved bytes (count reported through the out
// parameter). No operation throws. All operations are thread-safe in the sense
// the Win32 equivalents are: distinct objects may be used from distinct
// threads at once; one port is used by one thread at a time (the line lock).
#pragma once

#include <cstdint>

namespace qel::platform {

// ---- Serial port ---------------------------------------------------------

enum DtrControl : uint8_t { kDtrDisable = 0, kDtrEnable = 1, kDtrHandshake = 2 };
enum RtsControl : uint8_t { kRtsDisable = 0, kRtsEnable = 1, kRtsHandshake = 2, kRtsToggle = 3 };

// A device's line state, the fields the driver reads and writes.
struct LineState {
    uint32_t baud;            // bits per second
    uint8_t byteSize;         // data bits
    uint8_t parity;           // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits;         // 0 one, 1 one and a half, 2 two
    uint8_t dtrControl;       // DtrControl
    uint8_t rtsControl;       // RtsControl
    bool binary;              // binary mode
    bool parityCheck;         // check parity of received bytes
    bool outxCtsFlow;         // CTS output flow control
    bool outxDsrFlow;         // DSR output flow control
    bool dsrSensitivity;      // drop input while DSR is off
    bool txContinueOnXoff;    // go on sending after XOFF
    bool outX;                // XON/XOFF output flow control
    bool inX;                 // XON/XOFF input flow control
    bool errorCharReplace;    // replace bytes with parity errors by errorChar
    bool discardNull;         // drop received NUL bytes
    bool abortOnError;        // abort reads and writes on an error
    uint8_t errorChar;        // replacement for bytes with parity errors
};

// Time-outs in milliseconds, as the Win32 COMMTIMEOUTS.
struct Timeouts {
    uint32_t readInterval;           // max gap between two bytes of one read, 0 unused
    uint32_t readTotalMultiplier;    // per requested byte
    uint32_t readTotalConstant;      // added once per read
    uint32_t writeTotalMultiplier;   // per byte written, 0 unused
    uint32_t writeTotalConstant;     // added once per write, 0 unused
};

enum class ModemLine : uint8_t { kRts, kDtr };

constexpr uint32_t kEventTxEmpty = 0x0004;  // event mask: transmit queue empty

struct Port;
struct Wake;

struct PortMethods {
    bool (*close)(Port*);                                          // close and free; false: still open
    bool (*getState)(Port*, LineState*);                           // read the line state
    bool (*setState)(Port*, const LineState*);                     // apply the line state
    bool (*getTimeouts)(Port*, Timeouts*);                         // read the time-outs
    bool (*setTimeouts)(Port*, const Timeouts*);                   // apply the time-outs
    bool (*setQueueSizes)(Port*, uint32_t in, uint32_t out);       // recommend queue sizes
    bool (*write)(Port*, const uint8_t*, uint32_t n, uint32_t* written);  // blocking write
    bool (*read)(Port*, uint8_t*, uint32_t n, uint32_t* got);      // until n bytes or read time-out
    bool (*queryInput)(Port*, uint32_t* waiting, uint32_t* errors);  // bytes waiting, clears line errors
    bool (*setModemLine)(Port*, ModemLine, bool on);               // raise or drop RTS or DTR
    bool (*getCts)(Port*, bool* on);                               // CTS input
    bool (*setEventMask)(Port*, uint32_t mask);                    // kEventTxEmpty...
    void (*awaitLine)(Port*, uint32_t maxMs);                      // let a busy poll wait for the line; may return at once
    bool (*awaitCts)(Port*, Wake* wake, uint32_t maxMs);           // until CTS is on, wake signalled or maxMs; false: port failed
    bool (*awaitInput)(Port*, Wake* wake, uint32_t maxMs);         // until input waits, wake (may be nullptr) signalled or maxMs; false: port failed
};

// Every backend's port begins with this.
struct Port {
    const PortMethods* methods;
};

// ---- Datagrams -----------------------------------------------------------

struct Datagram;  // one UDP socket

// An IPv4 endpoint; address and port in host order.
struct Endpoint {
    uint32_t address;
    uint16_t port;
};

enum class DatagramWait : uint8_t { kReceived, kWoken, kTimedOut, kFailed };

// ---- Byte streams ----------------------------------------------------------

// A connected stream: a virtual line's (Unix-domain socket, named pipe, TCP)
// or a KNXnet/IP tunnel's TCP connection.
struct ByteStream;

enum class StreamWait : uint8_t { kInput, kWoken, kTimedOut, kClosed };

struct StreamMethods {
    bool (*writeAll)(ByteStream*, const uint8_t*, uint32_t n, uint32_t timeoutMs);  // all n bytes in time, or false
    int32_t (*read)(ByteStream*, uint8_t*, uint32_t n, uint32_t timeoutMs);  // >0 count, 0 timed out, -1 closed
    void (*close)(ByteStream*);                                 // close and free
    StreamWait (*awaitInput)(ByteStream*, Wake* wake, uint32_t timeoutMs);  // input or its end, or the wake (may be nullptr; taken)
};

// Every backend's stream begins with this.
struct ByteStream {
    const StreamMethods* methods;
};

// ---- Threads and named objects ---------------------------------------------

struct Thread;
struct Event;
struct Mutex;

enum class Priority : uint8_t { kNormal, kTimeCritical };
enum class WaitResult : uint8_t { kSignalled, kAbandoned, kTimedOut, kFailed };

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

using ThreadProc = void (*)(void* arg);

struct System {
    Port* (*openPort)(const char* name);                  // exclusive open of an existing device; nullptr: cannot
    uint32_t (*tickMs)();                                 // millisecond tick, wraps at 2^32
    void (*sleepMs)(uint32_t ms);                         // pause the calling thread
    Thread* (*startThread)(ThreadProc, void* arg, uint32_t stackBytes, uint32_t* id);  // nullptr: not started
    bool (*joinThread)(Thread*, uint32_t timeoutMs);      // true: ended and released
    void (*detachThread)(Thread*);                        // released by itself when it ends (now, if it has)
    bool (*threadEnded)(Thread*);                         // true once the procedure has returned
    bool (*setThreadPriority)(Priority);                  // of the calling thread; false: refused
    Event* (*createEvent)(const char* name);              // manual reset, not signalled; a known name gives that event
    bool (*setEvent)(Event*);                             // signal
    WaitResult (*waitEvent)(Event*, uint32_t timeoutMs);  // kInfinite: no limit
    bool (*closeEvent)(Event*);                           // drop this handle
    Mutex* (*createMutex)(const char* name);              // not owned; a known name gives that mutex
    WaitResult (*lockMutex)(Mutex*, uint32_t timeoutMs);  // kAbandoned: owner ended holding it, Now ours
    bool (*unlockMutex)(Mutex*);                          // false: not the owner
    bool (*closeMutex)(Mutex*);                           // drop this handle
    void* (*hostSymbol)(const char* name);                // a function of the host library, nullptr: missing
    Wake* (*createWake)();                                // auto-reset, not signalled; nullptr: cannot
    void (*signalWake)(Wake*);                            // from any thread; a wait that starts later sees it too
    bool (*waitWake)(Wake*, uint32_t timeoutMs);          // true: was signalled, and is reset
    void (*closeWake)(Wake*);                             // free
    bool (*libraryPath)(char* out, uint32_t size);        // the driver library's own file; false: unknown or too long
    bool (*resolveHost)(const char* name, uint32_t* address);  // IPv4 literal or host name; false: unknown
    // A UDP socket bound to the local address that reaches `towards`, on a
    // free port (`local` says which); nullptr: cannot.
    Datagram* (*openDatagram)(uint32_t towards, Endpoint* local);
    bool (*sendDatagram)(Datagram*, const Endpoint* to, const uint8_t* bytes, uint32_t n);  // false: not sent
    // Until a datagram came (kReceived: *n bytes from *from, cut to size), the
    // wake was signalled (and is reset) or timeoutMs passed. A datagram that
    // came back undeliverable is no datagram.
    DatagramWait (*receiveDatagram)(Datagram*, Wake* wake, uint32_t timeoutMs, uint8_t* buffer, uint32_t size,
                                    uint32_t* n, Endpoint* from);
    void (*closeDatagram)(Datagram*);                     // close and free
    // A TCP connection to host:port (IPv4; a name is resolved; 3 s to
    // connect), nullptr: cannot.
    ByteStream* (*connectTcp)(const char* host, uint16_t port);
    // KNXnet/IP routing's multicast. A UDP socket that shares `port` with
    // other sockets of this host and receives what comes to `group` there
    // (on Windows, anything that comes to the port) once joined; nullptr:
    // cannot. It sends like any other.
    Datagram* (*openGroupDatagram)(uint32_t group, uint16_t port, Endpoint* local);
    // Membership of `group` on the interface with the local address
    // `interface` (0: the one the system picks).
    bool (*joinGroup)(Datagram*, uint32_t group, uint32_t interface);
    bool (*leaveGroup)(Datagram*, uint32_t group, uint32_t interface);
    // Where this socket's datagrams to a group go out (0: the system's choice).
    bool (*setMulticastInterface)(Datagram*, uint32_t interface);
    // Whether this host's own members get a group datagram this socket sends
    // (on Windows: whether this socket gets those this host sends).
    bool (*setMulticastLoop)(Datagram*, bool on);
};

// The table in use: the platform's own unless a test installed another.
const System& Sys();
// The platform's own table (for wrappers to delegate to).
const System& NativeSystem();
// Installs a table; nullptr restores the platform's own.
void SetSystem(const System* table);

}  // namespace qel::platform
