// The host library as drivers use it: many threads at once, planned failures,
// the log and its echo, cooked values. Linked directly; every test starts from
// an empty host.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "huxtor_control.h"

namespace {

std::string logText(uint32_t index, int* level = nullptr) {
    char buffer[512];
    if (HuxCtlLogLine(index, level, buffer, sizeof buffer) != 0) return "<no line>";
    return buffer;
}

uint8_t registerClient(const char* name) {
    uint8_t id = 0;
    EXPECT_EQ(0, HuxMkClient(name, 1, 0, &id));
    return id;
}

class HostLibrary : public ::testing::Test {
protected:
    void SetUp() override { HuxCtlReset(); }
    void TearDown() override { HuxCtlReset(); }
};

TEST_F(HostLibrary, ClientsGetDistinctIdsAndKeepTheirNames) {
    const uint8_t first = registerClient("QelEIB01");
    const uint8_t second = registerClient("QelEIB02");

    EXPECT_NE(0, first);
    EXPECT_NE(first, second);
    EXPECT_EQ(2u, HuxCtlClientCount());
    char name[32];
    EXPECT_EQ(1, HuxCtlClientName(second, name, sizeof name));
    EXPECT_STREQ("QelEIB02", name);

    EXPECT_EQ(0, HuxRmClient(first));
    EXPECT_EQ(0, HuxCtlClientName(first, name, sizeof name));
    EXPECT_NE(0, HuxRmClient(first));  // only once
    EXPECT_EQ(1u, HuxCtlClientCount());
}

TEST_F(HostLibrary, The256thClientIsRefused) {
    for (int i = 1; i <= 255; ++i) registerClient("C");
    uint8_t id = 77;
    EXPECT_NE(0, HuxMkClient("C", 1, 0, &id));
    EXPECT_EQ(77, id);  // untouched on failure
    EXPECT_EQ(255u, HuxCtlClientCount());
}

TEST_F(HostLibrary, UnknownAddressLookupFailsAndLeavesTheSlot) {
    const uint8_t client = registerClient("QelEIB01");
    HuxCtlAddGate("A_01/0002");
    uint32_t gate = 12345;

    EXPECT_NE(0, HuxGetGateIdByAddressStr(client, 0, "A_01/0003", &gate));
    EXPECT_EQ(12345u, gate);
    EXPECT_NE(0, HuxGetGateIdByAddressStr(client, 0, "a_01/0002", &gate));  // address text is exact

    EXPECT_EQ(0, HuxGetGateIdByAddressStr(client, 0, "A_01/0002", &gate));
    EXPECT_EQ(HuxCtlGateId("A_01/0002"), gate);
    EXPECT_NE(0u, gate);
}

TEST_F(HostLibrary, UnregisteredClientIsRefused) {
    const uint32_t gate = HuxCtlAddGate("D_00/0001");
    uint32_t found = 0;
    HuxRawValue raw{0, 0};
    EXPECT_NE(0, HuxGetGateIdByAddressStr(9, 0, "D_00/0001", &found));
    EXPECT_NE(0, HuxGetGateRawValue(9, gate, &raw, 0));
}

TEST_F(HostLibrary, ConstantsInTheWrongSlotsAreRefused) {
    const uint8_t client = registerClient("QelEIB01");
    const uint32_t gate = HuxCtlAddGate("A_01/0002");
    HuxCookedValue cooked{};
    ASSERT_EQ(0, HuxCook(client, gate, HuxRawValue{0, 5}, &cooked));

    EXPECT_NE(0, HuxPutGateVal(client, gate, 0, cooked, 2, 0));
    EXPECT_NE(0, HuxMkClient("X", 0, 1, nullptr));
    EXPECT_EQ(0u, HuxCtlPutCount(gate));
    EXPECT_EQ(0, HuxPutGateVal(client, gate, 2, cooked, 0, 0));
    EXPECT_EQ(1u, HuxCtlPutCount(gate));
}

TEST_F(HostLibrary, EveryRawValueSurvivesCookingAndPutting) {
    const uint8_t client = registerClient("QelEIB01");
    const uint32_t gate = HuxCtlAddGate("A201/0001");
    for (uint32_t value = 0; value <= 0xFFFF; ++value) {
        HuxCookedValue cooked{};
        ASSERT_EQ(0, HuxCook(client, gate, HuxRawValue{0xFFFF, static_cast<uint16_t>(value)}, &cooked));
        ASSERT_EQ(value, HuxCtlUncook(cooked));
    }
    HuxCookedValue cooked{};
    ASSERT_EQ(0, HuxCook(client, gate, HuxRawValue{0, 0x1234}, &cooked));
    ASSERT_EQ(0, HuxPutGateVal(client, gate, 2, cooked, 0, 0));

    uint16_t raw = 0;
    EXPECT_EQ(0, HuxCtlGetRaw(gate, &raw));
    EXPECT_EQ(0x1234, raw);
    HuxCookedValue stored{};
    EXPECT_EQ(0, HuxCtlGetCooked(gate, &stored));
    EXPECT_EQ(0, std::memcmp(cooked.bytes, stored.bytes, sizeof stored.bytes));
    HuxRawValue read{0, 0};
    EXPECT_EQ(0, HuxGetGateRawValue(client, gate, &read, 0));
    EXPECT_EQ(0x1234, read.value);
}

TEST_F(HostLibrary, ShortStatusFormatsAsTheWidenedValue) {
    const uint16_t status = 0xFFFF;
    err(32, "%s: Error while registering as a Huxtor client, rc = %hu", "QelEIB01", static_cast<uint32_t>(status));
    err(32, "rc = %hu", 0x00010007u);  // only the low 16 bits of the slot are the status

    int level = 0;
    EXPECT_EQ("QelEIB01: Error while registering as a Huxtor client, rc = 65535", logText(0, &level));
    EXPECT_EQ(32, level);
    EXPECT_EQ("rc = 7", logText(1));
}

TEST_F(HostLibrary, LongLinesAreKeptWhole) {
    const std::string word(3000, 'x');
    err(32, "%s|%s", word.c_str(), word.c_str());
    std::vector<char> buffer(7000);
    ASSERT_EQ(0, HuxCtlLogLine(0, nullptr, buffer.data(), buffer.size()));
    EXPECT_EQ(word + "|" + word, buffer.data());
}

TEST_F(HostLibrary, PlannedFailureSkipsThenFailsForItsCount) {
    HuxCtlFail("HuxMkClient", 9, 2, 3);
    std::vector<uint16_t> statuses;
    for (int i = 0; i < 7; ++i) {
        uint8_t id = 0;
        statuses.push_back(HuxMkClient("C", 1, 0, &id));
    }
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 9, 9, 9, 0, 0}), statuses);
    EXPECT_EQ(4u, HuxCtlClientCount());  // failed calls register nothing
    EXPECT_EQ(7u, HuxCtlCallCount("HuxMkClient"));
}

TEST_F(HostLibrary, PlannedFailureForeverUntilRemoved) {
    const uint8_t client = registerClient("QelEIB01");
    const uint32_t gate = HuxCtlAddGate("D_01/0001");
    HuxCookedValue cooked{};
    HuxCtlFail("HuxCook", 0x8001, 1, -1);

    EXPECT_EQ(0, HuxCook(client, gate, HuxRawValue{0, 1}, &cooked));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(0x8001, HuxCook(client, gate, HuxRawValue{0, 1}, &cooked));
    HuxCtlFail("HuxCook", 0, 0, 0);
    EXPECT_EQ(0, HuxCook(client, gate, HuxRawValue{0, 1}, &cooked));
    EXPECT_EQ(102u, HuxCtlCallCount("HuxCook"));
    EXPECT_EQ(0u, HuxCtlCallCount("HuxPutGateVal"));
}

TEST_F(HostLibrary, FailedErrDropsItsLineAndUnknownNamesAreIgnored) {
    HuxCtlFail("err", 1, 1, 1);
    HuxCtlFail("HuxNoSuchThing", 1, 0, -1);
    err(32, "one");
    err(32, "two");
    err(32, "three");
    ASSERT_EQ(2u, HuxCtlLogCount());
    EXPECT_EQ("one", logText(0));
    EXPECT_EQ("three", logText(1));
    EXPECT_EQ(3u, HuxCtlCallCount("err"));
    EXPECT_EQ(0u, HuxCtlCallCount("HuxNoSuchThing"));
}

TEST_F(HostLibrary, ResetForgetsPlansCountsAndGates) {
    HuxCtlFail("HuxRmClient", 5, 0, -1);
    HuxRmClient(1);
    HuxCtlAddGate("A_01/0001");
    err(32, "x");
    HuxCtlReset();
    EXPECT_EQ(0u, HuxCtlCallCount("HuxRmClient"));
    EXPECT_EQ(0u, HuxCtlGateId("A_01/0001"));
    EXPECT_EQ(0u, HuxCtlLogCount());
    const uint8_t client = registerClient("C");
    EXPECT_EQ(0, HuxRmClient(client));
}

// What four listener threads and a request thread do at once: look up, cook,
// put and log. Nothing may be lost, and each thread's lines stay in its order.
TEST_F(HostLibrary, ConcurrentCallersLoseNoLineAndNoPut) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<uint32_t> gates;
    for (int t = 0; t < kThreads; ++t) {
        char address[32];
        std::snprintf(address, sizeof address, "A_%02d/%04d", t, t);
        gates.push_back(HuxCtlAddGate(address));
    }
    // A start gate on a mutex and condition variable: std::latch's atomic wait
    // has lost wake-ups with the MinGW runtime under Wine.
    std::mutex gateLock;
    std::condition_variable gateOpen;
    int arrived = 0;
    const auto arriveAndWait = [&] {
        std::unique_lock<std::mutex> hold(gateLock);
        if (++arrived == kThreads) gateOpen.notify_all();
        gateOpen.wait(hold, [&] { return arrived == kThreads; });
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &arriveAndWait] {
            char name[32];
            std::snprintf(name, sizeof name, "QelEIB%02d", t + 1);
            uint8_t client = 0;
            const bool registered = HuxMkClient(name, 1, 0, &client) == 0;
            arriveAndWait();  // every thread arrives, so none waits for ever
            if (!registered) return;
            char address[32];
            std::snprintf(address, sizeof address, "A_%02d/%04d", t, t);
            for (int i = 0; i < kRounds; ++i) {
                uint32_t gate = 0;
                HuxCookedValue cooked{};
                if (HuxGetGateIdByAddressStr(client, 0, address, &gate) != 0) return;
                if (HuxCook(client, gate, HuxRawValue{0, static_cast<uint16_t>(i)}, &cooked) != 0) return;
                if (HuxPutGateVal(client, gate, 2, cooked, 0, 0) != 0) return;
                err(32, "%s: %d", name, i);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    ASSERT_EQ(static_cast<uint32_t>(kThreads * kRounds), HuxCtlLogCount());
    std::vector<int> next(kThreads, 0);
    for (uint32_t i = 0; i < HuxCtlLogCount(); ++i) {
        int t = 0;
        int n = 0;
        ASSERT_EQ(2, std::sscanf(logText(i).c_str(), "QelEIB%d: %d", &t, &n));
        ASSERT_EQ(next[t - 1], n) << "thread " << t << " out of order at line " << i;
        ++next[t - 1];
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(static_cast<uint32_t>(kRounds), HuxCtlPutCount(gates[t]));
        uint16_t raw = 0;
        EXPECT_EQ(0, HuxCtlGetRaw(gates[t], &raw));
        EXPECT_EQ(kRounds - 1, raw);
    }
    EXPECT_EQ(static_cast<uint32_t>(kThreads * kRounds), HuxCtlCallCount("HuxPutGateVal"));
    EXPECT_EQ(static_cast<uint32_t>(kThreads), HuxCtlClientCount());
}

struct Seen {
    std::vector<std::string> puts;
    std::vector<std::string> lines;
};

// The callbacks run without the library's locks: they may call back in.
TEST_F(HostLibrary, CallbacksMayCallBackIntoTheLibrary) {
    Seen seen;
    HuxCtlOnPut(
        [](void* context, uint32_t /*client*/, uint32_t gate, const char* address, uint16_t raw) {
            uint16_t stored = 0;
            HuxCtlGetRaw(gate, &stored);
            static_cast<Seen*>(context)->puts.push_back(std::string(address) + "=" + std::to_string(raw) + "/" +
                                                        std::to_string(stored));
            err(16, "put %s", address);
        },
        &seen);
    HuxCtlOnLog(
        [](void* context, int level, const char* text) {
            static_cast<Seen*>(context)->lines.push_back(std::to_string(level) + " " + text + " #" +
                                                         std::to_string(HuxCtlLogCount()));
        },
        &seen);
    const uint8_t client = registerClient("QelEIB01");
    const uint32_t gate = HuxCtlAddGate("D_02/0003");
    HuxCookedValue cooked{};
    ASSERT_EQ(0, HuxCook(client, gate, HuxRawValue{0, 1}, &cooked));
    ASSERT_EQ(0, HuxPutGateVal(client, gate, 2, cooked, 0, 0));
    HuxCtlOnPut(nullptr, nullptr);
    HuxCtlOnLog(nullptr, nullptr);
    ASSERT_EQ(0, HuxPutGateVal(client, gate, 2, cooked, 0, 0));

    EXPECT_EQ(std::vector<std::string>{"D_02/0003=1/1"}, seen.puts);
    EXPECT_EQ(std::vector<std::string>{"16 put D_02/0003 #1"}, seen.lines);
}

TEST_F(HostLibrary, EchoCopiesEachLineToAFileAsWritten) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("huxtor_echo_" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log");
    std::filesystem::remove(path);
    err(32, "before");
    ASSERT_EQ(0, HuxCtlLogEcho(path.string().c_str()));
    err(32, "%s: ColdStart() end OK", "QelEIB01");
    err(16, "second\n");
    {
        // Already on disk while echoing goes on.
        std::ifstream partial(path);
        std::string first;
        std::getline(partial, first);
        EXPECT_EQ("[32] QelEIB01: ColdStart() end OK", first);
    }
    ASSERT_EQ(0, HuxCtlLogEcho(nullptr));
    err(32, "after");

    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"[32] QelEIB01: ColdStart() end OK", "[16] second"}), lines);
    EXPECT_NE(0, HuxCtlLogEcho((path.parent_path() / "no_such_dir" / "x.log").string().c_str()));
    file.close();
    std::filesystem::remove(path);
    HuxCtlLogEcho(std::getenv("HUXTOR_LOG_ECHO"));  // back to the process's own setting
}

}  // namespace
