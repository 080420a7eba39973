// The byte stream of a virtual line on Windows: a named-pipe client. Reads
// are overlapped so they can wait with a limit; a read still pending when the
// limit runs out stays pending into the next call, so no byte is lost.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

constexpr DWORD kBufferBytes = 4096;

struct PipeStream {
    ByteStream base;
    HANDLE pipe;
    HANDLE readDone;
    HANDLE writeDone;
    OVERLAPPED readOp;
    bool pending;
    DWORD have;  // bytes in buffer
    DWORD next;  // first byte not yet handed out
    uint8_t buffer[kBufferBytes];
};

PipeStream* self(ByteStream* s) { return reinterpret_cast<PipeStream*>(s); }

bool PipeWriteAll(ByteStream* s, const uint8_t* bytes, uint32_t n, uint32_t timeoutMs) {
    PipeStream* ps = self(s);
    uint32_t done = 0;
    while (done < n) {
        OVERLAPPED op{};
        op.hEvent = ps->writeDone;
        DWORD written = 0;
        if (!WriteFile(ps->pipe, bytes + done, n - done, nullptr, &op) && GetLastError() != ERROR_IO_PENDING)
            return false;
        // A far side that stops reading fails the write once `timeoutMs` has passed.
        if (WaitForSingleObject(ps->writeDone, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(ps->pipe);
            GetOverlappedResult(ps->pipe, &op, &written, TRUE);
            return false;
        }
        if (!GetOverlappedResult(ps->pipe, &op, &written, TRUE)) return false;
        done += written;
    }
    return true;
}

// Starts a read into the empty buffer unless one is pending; false: the pipe failed.
bool StartRead(PipeStream* ps) {
    if (ps->pending) return true;
    ps->readOp = OVERLAPPED{};
    ps->readOp.hEvent = ps->readDone;
    if (!ReadFile(ps->pipe, ps->buffer, kBufferBytes, nullptr, &ps->readOp) && GetLastError() != ERROR_IO_PENDING)
        return false;
    ps->pending = true;
    return true;
}

int32_t PipeRead(ByteStream* s, uint8_t* out, uint32_t n, uint32_t timeoutMs) {
    PipeStream* ps = self(s);
    if (ps->next == ps->have) {
        if (!StartRead(ps)) return -1;
        if (WaitForSingleObject(ps->readDone, timeoutMs) != WAIT_OBJECT_0) return 0;
        DWORD got = 0;
        ps->pending = false;
        if (!GetOverlappedResult(ps->pipe, &ps->readOp, &got, FALSE)) return -1;
        ps->have = got;
        ps->next = 0;
        if (got == 0) return 0;
    }
    const DWORD k = std::min<DWORD>(n, ps->have - ps->next);
    std::memcpy(out, ps->buffer + ps->next, k);
    ps->next += k;
    return static_cast<int32_t>(k);
}

StreamWait PipeAwaitInput(ByteStream* s, Wake* wake, uint32_t timeoutMs) {
    PipeStream* ps = self(s);
    if (ps->next < ps->have) return StreamWait::kInput;
    if (!StartRead(ps)) return StreamWait::kClosed;
    // The line first: what came is taken before a request gets the line.
    const HANDLE waits[2] = {ps->readDone, WakeHandle(wake)};
    switch (WaitForMultipleObjects(2, waits, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0: return StreamWait::kInput;
    case WAIT_OBJECT_0 + 1: return StreamWait::kWoken;
    case WAIT_TIMEOUT: return StreamWait::kTimedOut;
    default: return StreamWait::kClosed;
    }
}

void PipeClose(ByteStream* s) {
    PipeStream* ps = self(s);
    if (ps->pending) {
        DWORD ignored = 0;
        CancelIo(ps->pipe);
        GetOverlappedResult(ps->pipe, &ps->readOp, &ignored, TRUE);  // the buffer is ours again
    }
    CloseHandle(ps->pipe);
    CloseHandle(ps->readDone);
    CloseHandle(ps->writeDone);
    delete ps;
}

const StreamMethods kPipeMethods = {
    .writeAll = PipeWriteAll,
    .read = PipeRead,
    .close = PipeClose,
    .awaitInput = PipeAwaitInput,
};

}  // namespace

ByteStream* ConnectPipeStream(const char* name) {
    // A busy pipe (the server's one instance is taken) is a port in use: no waiting.
    HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return nullptr;
    auto* ps = new (std::nothrow) PipeStream{};
    HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ps == nullptr || readDone == nullptr || writeDone == nullptr) {
        if (readDone != nullptr) CloseHandle(readDone);
        if (writeDone != nullptr) CloseHandle(writeDone);
        CloseHandle(pipe);
        delete ps;
        return nullptr;
    }
    ps->base.methods = &kPipeMethods;
    ps->pipe = pipe;
    ps->readDone = readDone;
    ps->writeDone = writeDone;
    return &ps->base;
}

}  // namespace qel::platform::win32
