// Serial devices through the Win32 comm functions.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/cts_poll.h"
#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

struct CommPort {
    Port base;
    HANDLE handle;
};

HANDLE h(Port* p) { return reinterpret_cast<CommPort*>(p)->handle; }

bool CommClose(Port* p) {
    if (!CloseHandle(h(p))) return false;
    delete reinterpret_cast<CommPort*>(p);
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
    DWORD done = 0;
    const BOOL ok = WriteFile(h(p), bytes, n, &done, nullptr);
    *written = done;
    return ok != 0;
}

bool CommRead(Port* p, uint8_t* buffer, uint32_t n, uint32_t* got) {
    DWORD done = 0;
    const BOOL ok = ReadFile(h(p), buffer, n, &done, nullptr);
    *got = done;
    return ok != 0;
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

bool CommSetEventMask(Port* p, uint32_t mask) { return SetCommMask(h(p), mask) != 0; }

void CommAwaitLine(Port*, uint32_t) {}  // a real line is busy-polled

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
    .awaitCts = PollCtsUntilWoken,
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
    if (_strnicmp(name, "\\\\.\\pipe\\", 9) == 0) {
        ByteStream* stream = ConnectPipeStream(name);
        return stream != nullptr ? OpenVirtualPort(stream) : nullptr;
    }
    // The device name space reaches COM10 and above too.
    char path[MAX_PATH];
    const int n = IsComName(name) ? std::snprintf(path, sizeof path, "\\\\.\\%s", name)
                                  : std::snprintf(path, sizeof path, "%s", name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* port = new (std::nothrow) CommPort{{&kCommMethods}, handle};
    if (port == nullptr) CloseHandle(handle);
    return port != nullptr ? &port->base : nullptr;
}

}  // namespace qel::platform::win32
