#include "support/emulator_client.h"

#include <chrono>

#include "bcuemu/frames.h"

namespace qel::test {

namespace {

constexpr uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kDo = 253, kComPort = 44;
constexpr int kAnswerMs = 1000;
constexpr int kCtsMs = 10;

using Clock = std::chrono::steady_clock;

bool isHeader(uint8_t b) { return bcuemu::IsHeaderByte(b); }

}  // namespace

EmulatorClient::EmulatorClient(const std::string& portName) : stream_(EmulatorStream::open(portName)) {
    if (!stream_) return;
    const uint8_t will[] = {kIac, kWill, kComPort};
    if (!stream_->write(will, sizeof will)) return;
    waitFor(kAnswerMs, [](const EmulatorClient& c) { return c.negotiated_; });
    if (negotiated_) {
        const uint8_t mask[] = {kIac, kSb, kComPort, 11, 0x11, kIac, kSe};
        const int before = answers_;
        stream_->write(mask, sizeof mask);
        const auto until = Clock::now() + std::chrono::milliseconds(kAnswerMs);
        while (answers_ == before && Clock::now() < until) pump(5);
    }
}

bool EmulatorClient::configure() {
    const std::vector<std::vector<uint8_t>> settings = {
        {1, 0, 0, 0x25, 0x80}, {2, 8}, {3, 1}, {4, 1}};
    for (const auto& s : settings) {
        std::vector<uint8_t> out = {kIac, kSb, kComPort};
        for (uint8_t b : s) {
            out.push_back(b);
            if (b == kIac) out.push_back(kIac);
        }
        out.push_back(kIac);
        out.push_back(kSe);
        const int before = answers_;
        if (!stream_->write(out.data(), out.size())) return false;
        const auto until = Clock::now() + std::chrono::milliseconds(kAnswerMs);
        while (answers_ == before && Clock::now() < until) pump(5);
        if (answers_ == before) return false;
    }
    return true;
}

bool EmulatorClient::pump(int timeoutMs) {
    if (!stream_) return false;
    uint8_t buffer[256];
    const int got = stream_->read(buffer, sizeof buffer, timeoutMs);
    if (got < 0) return false;
    for (int i = 0; i < got; ++i) {
        const uint8_t b = buffer[i];
        switch (state_) {
        case 0:  // data
            if (b == kIac) state_ = 1;
            else data_.push_back(b);
            break;
        case 1:  // after IAC
            if (b == kIac) {
                data_.push_back(b);
                state_ = 0;
            } else if (b == kSb) {
                sub_.clear();
                state_ = 3;
            } else if (b >= kWill) {
                state_ = b == kDo ? 2 : 5;
            } else {
                state_ = 0;
            }
            break;
        case 2:  // DO <option>
            if (b == kComPort) negotiated_ = true;
            state_ = 0;
            break;
        case 5:  // other verb <option>
            state_ = 0;
            break;
        case 3:  // subnegotiation
            if (b == kIac) state_ = 4;
            else sub_.push_back(b);
            break;
        case 4:  // IAC inside subnegotiation
            if (b == kIac) {
                sub_.push_back(b);
                state_ = 3;
                break;
            }
            state_ = 0;
            if (b != kSe || sub_.size() < 2 || sub_[0] != kComPort) break;
            ++answers_;
            if (sub_[1] == 107 && sub_.size() >= 3) cts_ = (sub_[2] & 0x10) != 0;
            if (sub_[1] == 105) ++controlAnswers_;
            break;
        }
    }
    return true;
}

bool EmulatorClient::waitFor(int timeoutMs, bool (*done)(const EmulatorClient&)) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(*this)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        if (!pump(static_cast<int>(left < 5 ? left : 5))) return false;
    }
    return true;
}

bool EmulatorClient::control(uint8_t value) {
    if (!stream_) return false;
    const uint8_t out[] = {kIac, kSb, kComPort, 5, value, kIac, kSe};
    const int before = controlAnswers_;
    if (!stream_->write(out, sizeof out)) return false;
    const auto until = Clock::now() + std::chrono::milliseconds(kAnswerMs);
    while (controlAnswers_ == before) {
        if (Clock::now() >= until || !pump(5)) return false;
    }
    return true;
}

bool EmulatorClient::setRts(bool on) { return control(on ? 11 : 12); }
bool EmulatorClient::setDtr(bool on) { return control(on ? 8 : 9); }

bool EmulatorClient::waitCts(bool on, int timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (cts_ != on) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0 || !pump(static_cast<int>(left < 5 ? left : 5))) return cts_ == on;
    }
    return true;
}

bool EmulatorClient::writeByte(uint8_t b) {
    if (!stream_) return false;
    const uint8_t out[] = {b, kIac};
    return stream_->write(out, b == kIac ? 2 : 1);
}

std::optional<uint8_t> EmulatorClient::readByte(int timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0 || !pump(static_cast<int>(left < 5 ? left : 5))) break;
    }
    if (data_.empty()) return std::nullopt;
    const uint8_t b = data_.front();
    data_.pop_front();
    return b;
}

std::optional<uint8_t> EmulatorClient::masterByte(uint8_t b) {
    if (!setRts(true)) return std::nullopt;
    if (!waitCts(true, kCtsMs)) {
        setRts(false);
        return std::nullopt;
    }
    writeByte(b);
    auto answer = readByte(100);
    setRts(false);
    return answer;
}

int EmulatorClient::sendFrame(const std::vector<uint8_t>& frame) {
    pump(0);
    data_.clear();
    for (size_t i = 0; i < frame.size(); ++i) {
        if (i == 0 && cts_) return kBcuWantsToSend;
        auto answer = masterByte(frame[i]);
        if (!answer) return kFailed;
        if (i == 0) {
            if (*answer == 0xFF || *answer == 0x00) continue;
            return isHeader(*answer) ? kBcuWantsToSend : kFailed;
        }
        if (*answer != 0x00) return kFailed;
    }
    return kAccepted;
}

std::optional<uint8_t> EmulatorClient::slaveByte(uint8_t b) {
    if (!waitCts(true, kCtsMs)) return std::nullopt;
    if (!setRts(true)) return std::nullopt;
    if (!waitCts(true, kCtsMs)) {
        setRts(false);
        return std::nullopt;
    }
    writeByte(b);
    if (!waitCts(false, 30)) {
        setRts(false);
        return std::nullopt;
    }
    setRts(false);
    return readByte(30);
}

std::optional<std::vector<uint8_t>> EmulatorClient::receiveFrame() {
    data_.clear();
    auto header = slaveByte(0xFF);
    if (!header || !isHeader(*header)) return std::nullopt;
    std::vector<uint8_t> frame = {*header};
    for (unsigned i = 0; i < (*header & 0x1Fu); ++i) {
        auto b = slaveByte(0x00);
        if (!b || *b == *header) return std::nullopt;
        frame.push_back(*b);
    }
    return frame;
}

void EmulatorClient::close() {
    stream_.reset();
    negotiated_ = false;
}

}  // namespace qel::test
