// Named pipe under a virtual line. One pipe instance: while a driver is
// connected, a second CreateFile on the name fails with ERROR_PIPE_BUSY.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "line_transport.h"

namespace bcuemu::detail {

namespace {

constexpr DWORD kBufferBytes = 4096;
std::atomic<unsigned> nameCounter{0};

std::string CandidateName() {
    // Two characters after \\.\pipe\ keep the port name within 11 characters.
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    unsigned n = static_cast<unsigned>(GetCurrentProcessId()) * 37u + nameCounter.fetch_add(1) * 13u;
    n %= 36u * 36u;
    std::string name = "\\\\.\\pipe\\";
    name += digits[n / 36];
    name += digits[n % 36];
    return name;
}

class PipeTransport final : public LineTransport {
public:
    PipeTransport() {
        wakeEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        connectOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        readOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~PipeTransport() override {
        Close();
        CloseHandle(wakeEvent_);
        CloseHandle(connectOv_.hEvent);
        CloseHandle(readOv_.hEvent);
        CloseHandle(writeOv_.hEvent);
    }

    bool Listen(const std::string& endpoint, std::string& portName, std::string& error) override {
        if (endpoint.empty()) {
            for (int attempt = 0; attempt < 36 * 36; ++attempt) {
                const std::string name = CandidateName();
                if (OpenPipe(name)) {
                    portName = name;
                    return StartConnect(error);
                }
                const DWORD code = GetLastError();
                if (code != ERROR_ACCESS_DENIED && code != ERROR_PIPE_BUSY) break;
            }
            error = "no free pipe name";
            return false;
        }
        if (!OpenPipe(endpoint)) {
            error = "cannot create pipe " + endpoint + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        portName = endpoint;
        return StartConnect(error);
    }

    Event Pump(int64_t timeoutUs, uint8_t* buffer, size_t capacity) override {
        const DWORD timeoutMs = static_cast<DWORD>((timeoutUs + 999) / 1000);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            WaitForSingleObject(wakeEvent_, timeoutMs);
            return {};
        }
        HANDLE handles[2] = {wakeEvent_, connected_ ? readOv_.hEvent : connectOv_.hEvent};
        const DWORD which = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
        if (which != WAIT_OBJECT_0 + 1) return {};
        DWORD got = 0;
        if (!connected_) {
            const BOOL ok = GetOverlappedResult(pipe_, &connectOv_, &got, FALSE);
            ResetEvent(connectOv_.hEvent);
            if (!ok && GetLastError() != ERROR_PIPE_CONNECTED) {
                Restart();
                return {};
            }
            connected_ = true;
            StartRead();
            return {Event::Kind::kConnected, 0};
        }
        const BOOL ok = !readFailed_ && GetOverlappedResult(pipe_, &readOv_, &got, FALSE);
        ResetEvent(readOv_.hEvent);
        readFailed_ = false;
        if (!ok) {
            Restart();
            return {Event::Kind::kDisconnected, 0};
        }
        const size_t n = got < capacity ? got : capacity;
        std::memcpy(buffer, readBuffer_, n);
        StartRead();
        return {Event::Kind::kData, n};
    }

    bool Write(const uint8_t* bytes, size_t count) override {
        if (!connected_) return false;
        DWORD put = 0;
        ResetEvent(writeOv_.hEvent);
        if (!WriteFile(pipe_, bytes, static_cast<DWORD>(count), &put, &writeOv_)) {
            if (GetLastError() != ERROR_IO_PENDING) return false;
        }
        if (!GetOverlappedResult(pipe_, &writeOv_, &put, TRUE)) return false;
        return put == count;
    }

    void Wake() override { SetEvent(wakeEvent_); }

    void Close() override {
        if (pipe_ == INVALID_HANDLE_VALUE) return;
        CancelIo(pipe_);
        if (connected_) DisconnectNamedPipe(pipe_);
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        connected_ = false;
        readFailed_ = false;
    }

private:
    bool OpenPipe(const std::string& name) {
        pipe_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kBufferBytes, kBufferBytes, 0,
                                 nullptr);
        return pipe_ != INVALID_HANDLE_VALUE;
    }

    bool StartConnect(std::string& error) {
        connected_ = false;
        ResetEvent(connectOv_.hEvent);
        if (ConnectNamedPipe(pipe_, &connectOv_)) {
            SetEvent(connectOv_.hEvent);
            return true;
        }
        const DWORD code = GetLastError();
        if (code == ERROR_IO_PENDING) return true;
        if (code == ERROR_PIPE_CONNECTED) {  // the client came first
            SetEvent(connectOv_.hEvent);
            return true;
        }
        error = "ConnectNamedPipe failed (error " + std::to_string(code) + ")";
        return false;
    }

    void StartRead() {
        ResetEvent(readOv_.hEvent);
        readFailed_ = false;
        DWORD got = 0;
        if (!ReadFile(pipe_, readBuffer_, sizeof readBuffer_, &got, &readOv_) && GetLastError() != ERROR_IO_PENDING) {
            readFailed_ = true;  // the client is gone: the next pump reports it
            SetEvent(readOv_.hEvent);
        }
    }

    // The client went away: wait for the next one on the same instance.
    void Restart() {
        CancelIo(pipe_);
        DisconnectNamedPipe(pipe_);
        connected_ = false;
        readFailed_ = false;
        std::string ignored;
        StartConnect(ignored);
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE wakeEvent_ = nullptr;
    OVERLAPPED connectOv_{};
    OVERLAPPED readOv_{};
    OVERLAPPED writeOv_{};
    bool connected_ = false;
    bool readFailed_ = false;
    uint8_t readBuffer_[512];
};

}  // namespace

std::unique_ptr<LineTransport> LineTransport::Create() { return std::make_unique<PipeTransport>(); }

// Windows has no pseudo terminal.
std::unique_ptr<LineTransport> LineTransport::CreatePty() { return nullptr; }

std::string FreeEndpointName() {
    for (int attempt = 0; attempt < 36 * 36; ++attempt) {
        std::string name = CandidateName();
        if (!WaitNamedPipeA(name.c_str(), 0) && GetLastError() == ERROR_FILE_NOT_FOUND) return name;
    }
    return CandidateName();
}

}  // namespace bcuemu::detail
