// Frames between the driver and an emulated BCU over the virtual line, checked
// against the line events the BCU recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "support/emulation.h"
#include "bcuemu/bcu.h"
#include "support/test_line.h"
#include "host/host_functions.h"
#include "huxtor_control.h"
#include "platform/platform.h"
#include "serial/comm.h"
#include "serial/frames.h"
#include "link/line_lock.h"

namespace qel {
namespace {

using bcuemu::LineEvent;
using Kind = bcuemu::LineEvent::Kind;
using Bytes = std::vector<uint8_t>;

const Bytes kLinkLayer{0xA5, 0x46, 0x01, 0x00, 0x60, 0x12};
const Bytes kIndication{0xAA, 0x49, 0xBC, 0x12, 0x01, 0x08, 0x01, 0xE2, 0x00, 0x80, 0x37};

void IgnoreBcuFrame(InstanceData*) {}

class FrameExchange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
        port = test::ServeTestLine(bcu);
        ASSERT_FALSE(port.empty()) << bcu.LastError();
        ASSERT_EQ(CommOpen(port.c_str(), LineSettings{9600, 8, 0, 0}, 0x0101, &instance.portHandle), OpenResult::kOpened);
        ASSERT_TRUE(bcu.WaitConnected(2000));
        // Kernel object names take no backslashes: keep the port name's letters and digits.
        std::string lockName = "COMMBUSYtest";
        for (char c : port) {
            if (std::isalnum(static_cast<unsigned char>(c))) lockName += c;
        }
        instance.lineLock = platform::Sys().createMutex(lockName.c_str());
        ASSERT_NE(instance.lineLock, nullptr);
        CommSetDtr(instance.portHandle, 1);
        CommSetRts(instance.portHandle, 0);
        bcu.ClearEvents();
    }
    void TearDown() override {
        if (instance.portHandle != kNoPort) {
            EXPECT_EQ(CommClose(instance.portHandle), CommResult::kOk);
        }
        platform::Sys().closeMutex(instance.lineLock);
        bcu.Stop();
    }

    int Send(const Bytes& frame) {
        return SendFrame(&instance, frame.data(), IgnoreBcuFrame) == SendResult::kSent ? 0 : 1;
    }

    size_t Count(Kind kind, int value) const {
        size_t n = 0;
        for (const LineEvent& e : bcu.Events()) n += e.kind == kind && e.value == value;
        return n;
    }

    std::vector<LineEvent> Only(std::initializer_list<Kind> kinds) const {
        std::vector<LineEvent> out;
        for (const LineEvent& e : bcu.Events()) {
            for (Kind k : kinds) {
                if (e.kind == k) out.push_back(e);
            }
        }
        return out;
    }

    bool WaitCts() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end) {
            if (CommGetCts(instance.portHandle)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    bcuemu::Bcu bcu;
    std::string port;
    InstanceData instance{};
};

TEST(HeaderByte, ExactlyOneValidHeaderPerLength) {
    int valid = 0;
    for (int b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        int ones = 0;
        for (int bit = 0; bit < 8; ++bit) ones += (byte >> bit) & 1;
        const bool expected = byte != 0xA0 && (byte & 0x60) == 0x20 && ones % 2 == 0;
        EXPECT_EQ(IsHeaderByte(byte), expected) << b;
        valid += IsHeaderByte(byte);
    }
    EXPECT_EQ(valid, 31);
    for (uint8_t ok : {0xA5, 0xAA, 0x2B, 0x21, 0x3F}) EXPECT_TRUE(IsHeaderByte(ok));
    for (uint8_t bad : {0xA0, 0x25, 0x60, 0x81, 0xFF, 0x00}) EXPECT_FALSE(IsHeaderByte(bad));
}

TEST(LoadFrameTest, CopiesTheAnnouncedLengthAndForgetsTheLastReception) {
    InstanceData instance{};
    instance.receivedLength = 5;
    std::memset(instance.frameBytes, 0xEE, sizeof instance.frameBytes);
    uint8_t image[16];
    for (int i = 0; i < 16; ++i) image[i] = static_cast<uint8_t>(0x2B + i);
    LoadFrame(image, &instance);
    EXPECT_EQ(instance.frameLength, 12);
    EXPECT_EQ(instance.receivedLength, 0);
    EXPECT_EQ(std::memcmp(instance.frameBytes, image, 12), 0);
    EXPECT_EQ(instance.frameBytes[12], 0xEE);
}

TEST_F(FrameExchange, EachByteTravelsInItsOwnHandshake) {
    ASSERT_EQ(Send(kLinkLayer), 0);
    ASSERT_TRUE(bcu.WaitAcceptedFrames(1, 1000));
    EXPECT_EQ(bcu.AcceptedFrames().front(), kLinkLayer);
    EXPECT_EQ(bcu.Cell(0x0060), 0x12);
    // A real port's last RTS drop reaches the BCU after the send has returned.
    ASSERT_TRUE(bcu.Recorder().WaitUntil([](const bcuemu::Recording& r) {
        return std::count_if(r.events.begin(), r.events.end(), [](const LineEvent& e) {
                   return e.kind == Kind::kRts && e.value == 0;
               }) == static_cast<long>(kLinkLayer.size());
    }, 1000));

    // Per byte: RTS up, CTS up, the byte, the answer (0xFF for the header, then 0x00), RTS down.
    const auto events = Only({Kind::kRts, Kind::kCts, Kind::kToBcu, Kind::kFromBcu});
    std::vector<std::pair<Kind, int>> seen;
    for (const LineEvent& e : events) seen.emplace_back(e.kind, e.value);
    size_t at = 0;
    for (size_t i = 0; i < kLinkLayer.size(); ++i) {
        const std::vector<std::pair<Kind, int>> want{{Kind::kRts, 1},
                                                     {Kind::kCts, 1},
                                                     {Kind::kToBcu, kLinkLayer[i]},
                                                     {Kind::kFromBcu, i == 0 ? 0xFF : 0x00}};
        for (const auto& w : want) {
            while (at < seen.size() && seen[at] != w) ++at;
            ASSERT_LT(at, seen.size()) << "byte " << i << " misses " << bcuemu::KindName(w.first) << " " << w.second;
            ++at;
        }
    }
    EXPECT_EQ(Count(Kind::kRts, 1), kLinkLayer.size());
    EXPECT_EQ(Count(Kind::kRts, 0), kLinkLayer.size());
}

TEST_F(FrameExchange, HeaderAnsweredByZeroProceeds) {
    bcu.Faults().WrongAnswer(0x00, 0);
    EXPECT_EQ(Send(kLinkLayer), 0);
    // The driver went on with the next byte of the same attempt.
    const auto toBcu = Only({Kind::kToBcu});
    ASSERT_GE(toBcu.size(), 2u);
    EXPECT_EQ(toBcu[0].value, 0xA5);
    EXPECT_EQ(toBcu[1].value, 0x46);
}

TEST_F(FrameExchange, LaterByteAnsweredByFfFailsTheAttempt) {
    bcu.Faults().WrongAnswer(0xFF, 2);
    EXPECT_EQ(Send(kLinkLayer), 0);
    EXPECT_EQ(Count(Kind::kToBcu, 0xA5), 2u);  // the second attempt got through
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
}

TEST_F(FrameExchange, TwelveFailedAttemptsGiveUp) {
    bcu.Faults().NoCts(bcuemu::kForever);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(kLinkLayer), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(12 * 50));
    EXPECT_EQ(Count(Kind::kRts, 1), 12u);
    EXPECT_EQ(Count(Kind::kToBcu, 0xA5), 0u);
    EXPECT_TRUE(bcu.AcceptedFrames().empty());
}

TEST_F(FrameExchange, SuccessOnTheTwelfthAttempt) {
    bcu.Faults().NoCts(11);
    EXPECT_EQ(Send(kLinkLayer), 0);
    EXPECT_EQ(Count(Kind::kRts, 1), 11u + kLinkLayer.size());
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
}

TEST_F(FrameExchange, CollisionIsReceivedBeforeTheRetry) {
    bcu.QueueFrame(kIndication);
    ASSERT_TRUE(WaitCts());
    EXPECT_EQ(Send(kLinkLayer), 0);
    EXPECT_EQ(bcu.SentFrames(), std::vector<Bytes>{kIndication});
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
    // Nothing of the driver's frame went out before the BCU's frame: the first
    // byte to the BCU is the slave's 0xFF, and the retry follows the reception.
    const auto toBcu = Only({Kind::kToBcu});
    ASSERT_FALSE(toBcu.empty());
    EXPECT_EQ(toBcu.front().value, 0xFF);
    int64_t lastReceived = 0;
    int64_t header = -1;
    for (const LineEvent& e : bcu.Events()) {
        if (e.kind == Kind::kFromBcu && header < 0) lastReceived = e.us;
        if (e.kind == Kind::kToBcu && e.value == 0xA5) header = e.us;
    }
    EXPECT_GT(header, lastReceived);
}

// The BCU's frames are no failed attempts: a send behind more of them than
// there are attempts still gets through, and each is taken whole.
TEST_F(FrameExchange, SendBehindAStreamOfBcuFramesGetsThrough) {
    const size_t frames = 2 * kSendFrameAttempts;
    for (size_t i = 0; i < frames; ++i) bcu.QueueFrame(kIndication);
    ASSERT_TRUE(WaitCts());
    EXPECT_EQ(Send(kLinkLayer), 0);
    EXPECT_EQ(bcu.SentFrames().size(), frames);
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
}

TEST_F(FrameExchange, AnswerWithAHeaderOfItsOwnYieldsToTheBcu) {
    bcu.Faults().OwnHeaderAnswer(kIndication);
    EXPECT_EQ(Send(kLinkLayer), 0);
    EXPECT_EQ(bcu.SentFrames(), std::vector<Bytes>{kIndication});
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
}

TEST_F(FrameExchange, AnnouncedFrameIsReceived) {
    bcu.QueueFrame(kIndication);
    ASSERT_TRUE(WaitCts());
    ASSERT_EQ(ReceiveFrame(&instance), ReceiveResult::kReceived);
    ASSERT_EQ(instance.receivedLength, 11);
    EXPECT_EQ(Bytes(instance.receivedBytes, instance.receivedBytes + 11), kIndication);
}

TEST_F(FrameExchange, BrokenReceptionsFail) {
    struct Case {
        const char* name;
        std::function<void(bcuemu::Faults&)> arm;
    };
    const Case cases[] = {
        {"bad parity", [](bcuemu::Faults& f) { f.BadHeader(0x25); }},
        {"length zero", [](bcuemu::Faults& f) { f.BadHeader(0xA0); }},
        {"break-off", [](bcuemu::Faults& f) { f.BreakOff(4); }},
    };
    for (const Case& c : cases) {
        bcu.Faults().Clear();
        c.arm(bcu.Faults());
        bcu.QueueFrame(kIndication);
        ASSERT_TRUE(WaitCts()) << c.name;
        EXPECT_EQ(ReceiveFrame(&instance), ReceiveResult::kFailed) << c.name;
        EXPECT_EQ(instance.receivedLength, 0) << c.name;
        // Recovery as the listener does it: a DTR pulse, then the line settles.
        CommSetDtr(instance.portHandle, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CommSetDtr(instance.portHandle, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        while (CommGetCts(instance.portHandle)) ReceiveFrame(&instance);
    }
}

TEST_F(FrameExchange, MessageBytesEqualToTheHeaderAreData) {
    // A one-byte value of 0xAA in a frame whose header is 0xAA.
    const Bytes frame{0xAA, 0x49, 0xBC, 0x12, 0x01, 0x08, 0xAA, 0xE2, 0x00, 0x80, 0xAA};
    bcu.QueueFrame(frame);
    ASSERT_TRUE(WaitCts());
    ASSERT_EQ(ReceiveFrame(&instance), ReceiveResult::kReceived);
    EXPECT_EQ(Bytes(instance.receivedBytes, instance.receivedBytes + 11), frame);
}

TEST_F(FrameExchange, FailedCollisionReceptionMakesTheBcuOfferItsFrameAgain) {
    // The BCU's header is clocked out by the driver's header; its next byte is
    // no header, so the reception fails. The DTR pulse makes the BCU start its
    // frame over, and the next attempt receives it whole before sending.
    bcu.Faults().BadHeader(0x49);
    bcu.QueueFrame(kIndication);
    ASSERT_TRUE(WaitCts());
    EXPECT_EQ(Send(kLinkLayer), 0);
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
    EXPECT_GE(Count(Kind::kDtr, 0), 1u);
    EXPECT_EQ(bcu.SentFrames().back(), kIndication);
}

TEST_F(FrameExchange, SenderWaitsForTheLockHolder) {
    WaitUntilCommNotBusy(&instance);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        EXPECT_EQ(SendFrame(&instance, kLinkLayer.data(), IgnoreBcuFrame), SendResult::kSent);
        sent = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(sent.load());
    EXPECT_EQ(Count(Kind::kRts, 1), 0u);
    ReleaseComm(instance.lineLock);
    sender.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(bcu.AcceptedFrames(), std::vector<Bytes>{kLinkLayer});
}

// A BCU that drops CTS only when it sees RTS drop, 3 ms later: the driver
// waits for that after its own bytes, so a send ends with CTS off and the
// BCU never gets a receiver's 0xFF for a frame it did not announce.
TEST(OwnCts, SendEndsWithCtsOffWhenTheBcuDropsItAfterRts) {
    ASSERT_TRUE(host::Bind());
    bcuemu::Options options;
    options.ctsDropAfterRts = true;
    options.reactionUs = 3000;
    bcuemu::Bcu bcu(nullptr, options);
    const std::string port = test::ServeTestLine(bcu);
    ASSERT_FALSE(port.empty()) << bcu.LastError();
    InstanceData instance{};
    ASSERT_EQ(CommOpen(port.c_str(), LineSettings{9600, 8, 0, 0}, 0x0101, &instance.portHandle), OpenResult::kOpened);
    ASSERT_TRUE(bcu.WaitConnected(2000));
    instance.lineLock = platform::Sys().createMutex("COMMBUSYtestOwnCts");
    CommSetDtr(instance.portHandle, 1);
    CommSetRts(instance.portHandle, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SendFrame(&instance, kLinkLayer.data(), IgnoreBcuFrame), SendResult::kSent);
        EXPECT_FALSE(CommGetCts(instance.portHandle)) << i;
    }
    for (const LineEvent& e : bcu.Events()) EXPECT_FALSE(e.kind == Kind::kToBcu && e.value == 0xFF);
    EXPECT_EQ(bcu.AcceptedFrames().size(), 3u);
    EXPECT_EQ(CommClose(instance.portHandle), CommResult::kOk);
    platform::Sys().closeMutex(instance.lineLock);
    bcu.Stop();
}

TEST(LineLock, AbandonedLockIsTakenSilentlyAndLocksAreIndependent) {
    QEL_SKIP_UNDER_EMULATION_IF_OWNER_DEATH_NEEDED();
    ASSERT_TRUE(host::Bind());
    HuxCtlReset();
    platform::Mutex* first = platform::Sys().createMutex("COMMBUSYQelEIBT1");
    platform::Mutex* second = platform::Sys().createMutex("COMMBUSYQelEIBT2");
    std::thread holder([&] { TakeLineForListening(first); });  // ends still holding it
    holder.join();
    TakeLineForListening(second);  // another instance's lock: free
    TakeLineForListening(first);   // abandoned: owned now
    ReleaseComm(first);
    ReleaseComm(second);
    EXPECT_EQ(HuxCtlLogCount(), 0u);
    platform::Sys().closeMutex(first);
    platform::Sys().closeMutex(second);
}

}  // namespace
}  // namespace qel
