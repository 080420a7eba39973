// Serial devices through the Win32 comm functions, opened for overlapped I/O
// so that the CTS wait can end on a line change and on a wake at once.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "platform/virtual_line/tcp_target.h"
#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

// One OVERLAPPED and manual-reset event per kind of operation, kept with the
// port rather than on a caller's stack: no operation is left pending when a
// method returns, but Wine 8's WaitCommEvent worker may still write its
// results after the wait has been seen to end.
struct CommPort {
    Port base;
    HANDLE handle;
    HANDLE readEvent;   // ReadFile
    HANDLE writeEvent;  // WriteFile
    HANDLE waitEvent;   // WaitCommEvent
    DWORD eventMask;    // the driver's events and EV_CTS
    OVERLAPPED readOv;
    OVERLAPPED writeOv;
    OVERLAPPED waitOv;
    DWORD waitEvents;   // what WaitCommEvent found
};

CommPort* self(Port* p) { return reinterpret_cast<CommPort*>(p); }
HANDLE h(Port* p) { return self(p)->handle; }

// Until no timed read outlasts its call: a read returns at once with what is
// there. The driver sets its own time-outs after the open.
constexpr COMMTIMEOUTS kOpenTimeouts = {MAXDWORD, 0, 0, 0, 0};

void CloseEvents(CommPort* port) {
    for (HANDLE event : {port->readEvent, port->writeEvent, port->waitEvent})
        if (event != nullptr) CloseHandle(event);
}

// Waits for an overlapped transfer that `started` reports on. A read or write
// time-out is no failure: the bytes moved so far are the result, as a
// blocking call reports them (Wine ends the overlapped one with ERROR_TIMEOUT).
bool FinishTransfer(HANDLE handle, OVERLAPPED* ov, BOOL started, uint32_t* moved) {
    DWORD done = 0;
    BOOL ok = started;
    if (ok || GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle, ov, &done, TRUE);
    else done = static_cast<DWORD>(ov->InternalHigh);
    if (!ok && GetLastError() == ERROR_TIMEOUT) ok = TRUE;
    *moved = done;
    return ok != 0;
}

bool CommClose(Port* p) {
    if (!CloseHandle(h(p))) return false;
    CloseEvents(self(p));
    delete self(p);
    return true;
}

bool CommGetState(Port* p, LineState* out) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h(p), &dcb)) return false;
    out->baud = dcb.BaudRate;
    out->byteSize = dcb.ByteSize;
    out->parity = dcb.Parity;
    out->stopBits = dcb.StopBits;
    out->dtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    out->rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    out->binary = dcb.fBinary != 0;
    out->parityCheck = dcb.fParity != 0;
    out->outxCtsFlow = dcb.fOutxCtsFlow != 0;
    out->outxDsrFlow = dcb.fOutxDsrFlow != 0;
    out->dsrSensitivity = dcb.fDsrSensitivity != 0;
    out->txContinueOnXoff = dcb.fTXContinueOnXoff != 0;
    out->outX = dcb.fOutX != 0;
    out->inX = dcb.fInX != 0;
    out->errorCharReplace = dcb.fErrorChar != 0;
    out->discardNull = dcb.fNull != 0;
    out->abortOnError = dcb.fAbortOnError != 0;
    out->errorChar = static_cast<uint8_t>(dcb.ErrorChar);
    return true;
}

bool CommSetState(Port* p, const LineState* s) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h(p), &dcb)) return false;  // keeps the fields the driver does not set
    dcb.BaudRate = s->baud;
    dcb.ByteSize = s->byteSize;
    dcb.Parity = s->parity;
    dcb.StopBits = s->stopBits;
    dcb.fDtrControl = s->dtrControl;
    dcb.fRtsControl = s->rtsControl;
    dcb.fBinary = s->binary;
    dcb.fParity = s->parityCheck;
    dcb.fOutxCtsFlow = s->outxCtsFlow;
    dcb.fOutxDsrFlow = s->outxDsrFlow;
    dcb.fDsrSensitivity = s->dsrSensitivity;
    dcb.fTXContinueOnXoff = s->txContinueOnXoff;
    dcb.fOutX = s->outX;
    dcb.fInX = s->inX;
    dcb.fErrorChar = s->errorCharReplace;
    dcb.fNull = s->discardNull;
    dcb.fAbortOnError = s->abortOnError;
    dcb.ErrorChar = static_cast<char>(s->errorChar);
    return SetCommState(h(p), &dcb) != 0;
}

bool CommGetTimeouts(Port* p, Timeouts* out) {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(h(p), &t)) return false;
    *out = Timeouts{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                    t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
}

bool CommSetTimeouts(Port* p, const Timeouts* in) {
    COMMTIMEOUTS t{in->readInterval, in->readTotalMultiplier, in->readTotalConstant, in->writeTotalMultiplier,
                   in->writeTotalConstant};
    return SetCommTimeouts(h(p), &t) != 0;
}

bool CommSetQueueSizes(Port* p, uint32_t in, uint32_t out) { return SetupComm(h(p), in, out) != 0; }

bool CommWrite(Port* p, const uint8_t* bytes, uint32_t n, uint32_t* written) {
    OVERLAPPED* ov = &self(p)->writeOv;
    *ov = OVERLAPPED{};
    ov->hEvent = self(p)->writeEvent;
    return FinishTransfer(h(p), ov, WriteFile(h(p), bytes, n, nullptr, ov), written);
}

bool CommRead(Port* p, uint8_t* buffer, uint32_t n, uint32_t* got) {
    OVERLAPPED* ov = &self(p)->readOv;
    *ov = OVERLAPPED{};
    ov->hEvent = self(p)->readEvent;
    return FinishTransfer(h(p), ov, ReadFile(h(p), buffer, n, nullptr, ov), got);
}

bool CommQueryInput(Port* p, uint32_t* waiting, uint32_t* errors) {
    DWORD lineErrors = 0;
    COMSTAT stat{};
    const BOOL ok = ClearCommError(h(p), &lineErrors, &stat);
    *errors = lineErrors;
    *waiting = ok ? stat.cbInQue : 0;
    return ok != 0;
}

bool CommSetModemLine(Port* p, ModemLine line, bool on) {
    DWORD function;
    if (line == ModemLine::kRts) function = on ? SETRTS : CLRRTS;
    else function = on ? SETDTR : CLRDTR;
    return EscapeCommFunction(h(p), function) != 0;
}

bool CommGetCts(Port* p, bool* on) {
    DWORD status = 0;
    if (!GetCommModemStatus(h(p), &status)) return false;
    *on = (status & MS_CTS_ON) != 0;
    return true;
}

// EV_CTS stays in the mask beside the driver's events, so that the CTS wait
// need not change the mask (which would also cancel a wait in progress).
bool CommSetEventMask(Port* p, uint32_t mask) {
    if (!SetCommMask(h(p), mask | EV_CTS)) return false;
    self(p)->eventMask = mask | EV_CTS;
    return true;
}

// A real line is busy-polled, giving the processor to any thread ready on it
// between checks (under Wine the relay and the emulated BCU: the listener went
// from 12-17 to 17-19 frames/s, reads from 275-294 to 237-264 ms). A
// WaitCommEvent for EV_CTS or EV_RXCHAR with a 1 ms limit took the listener to
// 12 frames/s (Wine reads the lines about every 1.2 ms): not kept.
void CommAwaitLine(Port*, uint32_t) { SwitchToThread(); }

// Ends a WaitCommEvent that may still be pending and waits until it has ended.
// Windows ends it on CancelIoEx or any SetCommMask; Wine 8 polls the lines in
// a worker that ends only when it finds the mask changed, so the mask is
// cleared until the wait has ended, then put back.
bool EndCommWait(CommPort* port, OVERLAPPED* ov, bool cancel) {
    if (cancel) {
        CancelIoEx(port->handle, ov);
        SetCommMask(port->handle, 0);
    }
    DWORD ignored = 0;
    const bool ended = GetOverlappedResult(port->handle, ov, &ignored, TRUE) != 0 ||
                       GetLastError() == ERROR_OPERATION_ABORTED;
    if (cancel) SetCommMask(port->handle, port->eventMask);
    return ended;
}

bool InputWaiting(Port* p, bool* on) {
    uint32_t waiting = 0;
    uint32_t errors = 0;
    if (!CommQueryInput(p, &waiting, &errors)) return false;
    *on = waiting > 0;
    return true;
}

// `Ready` first (CTS, or input waiting); then a WaitCommEvent for the line's
// events beside the wake (if any). `Ready` is read again once the wait is
// posted, since it may have come true just before.
template <bool (*Ready)(Port*, bool*)>
bool AwaitCommEvent(Port* p, Wake* wake, uint32_t maxMs) {
    CommPort* port = self(p);
    bool on = false;
    if (!Ready(p, &on)) return false;
    if (on || maxMs == 0) return true;
    const DWORD start = GetTickCount();
    for (;;) {
        OVERLAPPED& ov = port->waitOv;
        ov = OVERLAPPED{};
        ov.hEvent = port->waitEvent;
        ResetEvent(ov.hEvent);
        if (!WaitCommEvent(port->handle, &port->waitEvents, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
        const bool readable = Ready(p, &on);
        DWORD which = WAIT_OBJECT_0;
        if (readable && !on) {
            const DWORD elapsed = GetTickCount() - start;
            const HANDLE handles[2] = {ov.hEvent, wake != nullptr ? WakeHandle(wake) : nullptr};
            which = WaitForMultipleObjects(wake != nullptr ? 2 : 1, handles, FALSE, elapsed >= maxMs ? 0 : maxMs - elapsed);
        }
        const bool lineEvent = which == WAIT_OBJECT_0 && readable && !on;
        const bool ended = EndCommWait(port, &ov, !lineEvent);
        if (!readable || which == WAIT_FAILED) return false;
        if (on || which != WAIT_OBJECT_0) return true;  // ready, the wake or the limit
        if (!ended || !Ready(p, &on)) return false;
        if (on || GetTickCount() - start >= maxMs) return true;
    }
}

bool CommAwaitCts(Port* p, Wake* wake, uint32_t maxMs) { return AwaitCommEvent<CommGetCts>(p, wake, maxMs); }

// EV_RXCHAR joins the mask at the first wait for input (an FT1.2 line), so
// that the handshake line's CTS waits see the events they always saw.
bool CommAwaitInput(Port* p, Wake* wake, uint32_t maxMs) {
    CommPort* port = self(p);
    if ((port->eventMask & EV_RXCHAR) == 0) {
        if (!SetCommMask(port->handle, port->eventMask | EV_RXCHAR)) return false;
        port->eventMask |= EV_RXCHAR;
    }
    return AwaitCommEvent<InputWaiting>(p, wake, maxMs);
}

const PortMethods kCommMethods = {
    .close = CommClose,
    .getState = CommGetState,
    .setState = CommSetState,
    .getTimeouts = CommGetTimeouts,
    .setTimeouts = CommSetTimeouts,
    .setQueueSizes = CommSetQueueSizes,
    .write = CommWrite,
    .read = CommRead,
    .queryInput = CommQueryInput,
    .setModemLine = CommSetModemLine,
    .getCts = CommGetCts,
    .setEventMask = CommSetEventMask,
    .awaitLine = CommAwaitLine,
    .awaitCts = CommAwaitCts,
    .awaitInput = CommAwaitInput,
};

bool IsComName(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return false;
    for (const char* c = name + 4; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

}  // namespace

Port* OpenPort(const char* name) {
    if (name == nullptr || name[0] == '\0') return nullptr;
    if (IsRfc2217Target(name)) return OpenRfc2217Port(name, ConnectTcpStream);
    if (_strnicmp(name, "\\\\.\\pipe\\", 9) == 0) {
        ByteStream* stream = ConnectPipeStream(name);
        return stream != nullptr ? OpenVirtualPort(stream) : nullptr;
    }
    // The device name space reaches COM10 and above too.
    char path[MAX_PATH];
    const int n = IsComName(name) ? std::snprintf(path, sizeof path, "\\\\.\\%s", name)
                                  : std::snprintf(path, sizeof path, "%s", name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* port = new (std::nothrow) CommPort{{&kCommMethods}, handle, nullptr, nullptr, nullptr, EV_CTS, {}, {}, {}, 0};
    if (port == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    port->readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (port->readEvent == nullptr || port->writeEvent == nullptr || port->waitEvent == nullptr) {
        CloseEvents(port);
        CloseHandle(handle);
        delete port;
        return nullptr;
    }
    // Time-outs and the event mask belong to the handle under Wine: a new one
    // starts from defined ones. A device without them (NUL) refuses, and
    // needs none.
    COMMTIMEOUTS timeouts = kOpenTimeouts;
    SetCommTimeouts(handle, &timeouts);
    SetCommMask(handle, EV_CTS);
    return &port->base;
}

}  // namespace qel::platform::win32
