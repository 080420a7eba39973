// The test peer's transport on Windows: a named pipe with one instance, so a
// second client finds it busy.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "support/virtual_line_peer.h"

namespace qel::test {
namespace {

class PipeEndpoint : public PeerEndpoint {
public:
    PipeEndpoint() {
        static std::atomic<int> serial{0};
        name_ = "\\\\.\\pipe\\qelvl" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(serial++);
        pipe_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
        connectDone_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        readDone_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeDone_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~PipeEndpoint() override {
        if (pipe_ != INVALID_HANDLE_VALUE) {
            CancelIo(pipe_);
            DWORD ignored = 0;
            if (connecting_) GetOverlappedResult(pipe_, &connectOp_, &ignored, TRUE);
            if (reading_) GetOverlappedResult(pipe_, &readOp_, &ignored, TRUE);
            CloseHandle(pipe_);
        }
        CloseHandle(connectDone_);
        CloseHandle(readDone_);
        CloseHandle(writeDone_);
    }

    const std::string& portName() const override { return name_; }

    bool acceptClient(uint32_t timeoutMs) override {
        if (pipe_ == INVALID_HANDLE_VALUE) return false;
        if (!connecting_) {
            connectOp_ = OVERLAPPED{};
            connectOp_.hEvent = connectDone_;
            if (ConnectNamedPipe(pipe_, &connectOp_)) return true;
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) return true;
            if (error != ERROR_IO_PENDING) return false;
            connecting_ = true;
        }
        if (WaitForSingleObject(connectDone_, timeoutMs) != WAIT_OBJECT_0) return false;
        connecting_ = false;
        DWORD ignored = 0;
        return GetOverlappedResult(pipe_, &connectOp_, &ignored, FALSE) != 0;
    }

    int32_t read(uint8_t* out, uint32_t n, uint32_t timeoutMs) override {
        if (next_ == have_) {
            if (!reading_) {
                readOp_ = OVERLAPPED{};
                readOp_.hEvent = readDone_;
                if (!ReadFile(pipe_, buffer_, sizeof buffer_, nullptr, &readOp_) && GetLastError() != ERROR_IO_PENDING)
                    return -1;
                reading_ = true;
            }
            if (WaitForSingleObject(readDone_, timeoutMs) != WAIT_OBJECT_0) return 0;
            reading_ = false;
            DWORD got = 0;
            if (!GetOverlappedResult(pipe_, &readOp_, &got, FALSE)) return -1;
            have_ = got;
            next_ = 0;
        }
        const DWORD k = std::min<DWORD>(n, have_ - next_);
        std::memcpy(out, buffer_ + next_, k);
        next_ += k;
        return static_cast<int32_t>(k);
    }

    bool write(const uint8_t* bytes, uint32_t n) override {
        uint32_t done = 0;
        while (done < n) {
            OVERLAPPED op{};
            op.hEvent = writeDone_;
            DWORD written = 0;
            if (!WriteFile(pipe_, bytes + done, n - done, nullptr, &op) && GetLastError() != ERROR_IO_PENDING)
                return false;
            if (!GetOverlappedResult(pipe_, &op, &written, TRUE)) return false;
            done += written;
        }
        return true;
    }

private:
    std::string name_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE connectDone_ = nullptr;
    HANDLE readDone_ = nullptr;
    HANDLE writeDone_ = nullptr;
    OVERLAPPED connectOp_{};
    OVERLAPPED readOp_{};
    bool connecting_ = false;
    bool reading_ = false;
    DWORD have_ = 0;
    DWORD next_ = 0;
    uint8_t buffer_[4096];
};

}  // namespace

std::unique_ptr<PeerEndpoint> makePeerEndpoint() { return std::make_unique<PipeEndpoint>(); }

}  // namespace qel::test
