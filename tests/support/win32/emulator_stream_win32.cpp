#include <windows.h>

#include "support/emulator_stream.h"

namespace qel::test {

namespace {

class PipeStream final : public EmulatorStream {
public:
    explicit PipeStream(HANDLE pipe) : pipe_(pipe) {
        readOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~PipeStream() override {
        CancelIo(pipe_);
        CloseHandle(pipe_);
        CloseHandle(readOv_.hEvent);
        CloseHandle(writeOv_.hEvent);
    }

    bool write(const uint8_t* bytes, size_t count) override {
        DWORD put = 0;
        ResetEvent(writeOv_.hEvent);
        if (!WriteFile(pipe_, bytes, static_cast<DWORD>(count), &put, &writeOv_) && GetLastError() != ERROR_IO_PENDING)
            return false;
        return GetOverlappedResult(pipe_, &writeOv_, &put, TRUE) && put == count;
    }

    int read(uint8_t* buffer, size_t capacity, int timeoutMs) override {
        if (!pending_) {
            ResetEvent(readOv_.hEvent);
            if (!ReadFile(pipe_, chunk_, sizeof chunk_, nullptr, &readOv_) && GetLastError() != ERROR_IO_PENDING)
                return -1;
            pending_ = true;
        }
        if (WaitForSingleObject(readOv_.hEvent, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return 0;
        pending_ = false;
        DWORD got = 0;
        if (!GetOverlappedResult(pipe_, &readOv_, &got, FALSE)) return -1;
        const DWORD n = got < capacity ? got : static_cast<DWORD>(capacity);
        CopyMemory(buffer, chunk_, n);
        return static_cast<int>(n);
    }

private:
    HANDLE pipe_;
    OVERLAPPED readOv_{};
    OVERLAPPED writeOv_{};
    bool pending_ = false;
    uint8_t chunk_[256];
};

}  // namespace

std::unique_ptr<EmulatorStream> EmulatorStream::open(const std::string& portName) {
    HANDLE pipe = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<PipeStream>(pipe);
}

}  // namespace qel::test
