// A sustained stream of telegrams both ways on one instance while a second
// instance is started and stopped again and again: every telegram reaches its
// gate exactly once, nothing hangs, every EndQel returns.
#include "e2e/running_fixture.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

namespace qel::test {
namespace {

using bcuemu::ValueSize;

constexpr auto kStreamTime = std::chrono::seconds(20);
// A busy bus that still lets sends through: a send that collides pauses 50 ms
// before it retries, so the stream leaves gaps. Slower lines (a virtual line
// under Wine is some forty times slower than a socket) get a slower stream.
constexpr auto kShortestGap = std::chrono::milliseconds(150);
constexpr int kGapPerRead = 15;

TEST(Stress, TelegramsBothWaysWhileAnotherInstanceComesAndGoes) {
    LoadedDriver driver;
    bcuemu::Bus busA;
    bcuemu::Bus busB;
    RunningInstance a(driver, &busA);
    ASSERT_EQ(a.start(), 0);

    const char* texts[] = {"A_01/0001", "A_01/0002", "A201/0003", "D_01/0004"};
    const uint16_t groups[] = {0x0801, 0x0802, 0x0803, 0x0804};
    const ValueSize sizes[] = {ValueSize::kByte, ValueSize::kByte, ValueSize::kWord, ValueSize::kBit};
    uint32_t gates[4];
    for (int i = 0; i < 4; ++i) gates[i] = driver.addGate(texts[i]);
    busA.AddDevice(0x080A, ValueSize::kByte, 0x42);  // answers A's reads
    driver.addGate("A_01/0010");

    std::chrono::steady_clock::duration slowestRead{};
    for (int i = 0; i < 3; ++i) {
        const auto before = std::chrono::steady_clock::now();
        ASSERT_EQ(a.instance().read(5, 0x080A).value, 0x42);
        slowestRead = std::max(slowestRead, std::chrono::steady_clock::now() - before);
    }
    const auto gap = std::max<std::chrono::steady_clock::duration>(kShortestGap, kGapPerRead * slowestRead);

    std::atomic<bool> stop{false};
    std::map<int, uint32_t> sent;
    std::thread injector([&] {
        for (uint32_t n = 0; !stop; ++n) {
            const int i = static_cast<int>(n % 4);
            busA.Inject(groups[i], sizes[i], static_cast<uint16_t>(n & (i == 3 ? 1 : 0xFF)));
            ++sent[i];
            std::this_thread::sleep_for(gap);
        }
    });
    std::atomic<int> cycles{0};
    std::thread comings([&] {
        while (!stop) {
            RunningInstance b(driver, &busB);
            EXPECT_EQ(b.start(false), 0);
            busB.Inject(0x1001, ValueSize::kByte, 1);
            EXPECT_EQ(b.stop(), 0);
            ++cycles;
        }
    });

    const auto end = std::chrono::steady_clock::now() + kStreamTime;
    int reads = 0;
    while (std::chrono::steady_clock::now() < end) {
        const ReadResult read = a.instance().read(5, 0x080A);
        EXPECT_EQ(read.result, 0);
        EXPECT_EQ(read.value, 0x42);
        EXPECT_EQ(a.instance().write(5, 0x0811, static_cast<uint16_t>(reads & 0xFF)), 0);
        ++reads;
    }
    stop = true;
    injector.join();
    comings.join();
    ASSERT_TRUE(busA.WaitIdle(5000));

    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(WaitUntil([&] { return driver.putCount(gates[i]) >= sent[i]; }, 10000)) << texts[i];
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 4; ++i) {
        size_t indicated = 0;  // the BCU's completed 0x49 frames for this group
        for (const auto& frame : a.bcu().SentFrames()) {
            indicated += frame.size() > 6 && frame[1] == 0x49 && (frame[5] << 8 | frame[6]) == groups[i];
        }
        EXPECT_EQ(driver.putCount(gates[i]), sent[i]) << texts[i] << ": the BCU sent " << indicated;
    }
    EXPECT_GE(cycles.load(), 2);
    EXPECT_GT(reads, 10);
    EXPECT_EQ(busA.History().size() >= static_cast<size_t>(2 * reads), true);
    EXPECT_EQ(a.stop(), 0);
}

}  // namespace
}  // namespace qel::test
