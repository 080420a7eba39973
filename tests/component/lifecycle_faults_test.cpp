// Platform refusals during an instance's life: each run ends cleanly, with a
// result, without a hang, and leaves nothing behind that a next start trips on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bcuemu/bcu.h"
#include "bcuemu/knxnet_server.h"
#include "support/test_line.h"
#include "host/host_functions.h"
#include "entry/qel_main.h"
#include "huxtor_control.h"
#include "instance/instance_numbers.h"
#include "link/poll_until.h"
#include "support/fault_system.h"

namespace qel {
namespace {

using test::FaultSystem;
using test::Op;

std::vector<std::string> Log() {
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < HuxCtlLogCount(); ++i) {
        char text[256];
        int level = 0;
        HuxCtlLogLine(i, &level, text, sizeof text);
        lines.emplace_back(text);
    }
    return lines;
}

bool Logged(const std::string& line) {
    for (const std::string& l : Log()) {
        if (l == line) return true;
    }
    return false;
}

int32_t Call(uint32_t code, InstanceData* instance, void* params) {
    RequestBlock request{};
    request.instance = instance;
    request.functionCode = code;
    request.params = params;
    return Dispatch(&request);
}

int32_t ColdStart(InstanceData* instance, const std::string& port) {
    ColdStartParams params{};
    std::memcpy(params.portName, port.c_str(), std::min(port.size() + 1, sizeof params.portName));
    params.portEnabled = 1;
    params.readTimeout = 100;
    params.line = LineSettings{9600, 8, 0, 0};
    return Call(1, instance, &params);
}

// Writes 7 to the one-byte gate A_01/0002.
int32_t WriteA_(InstanceData* instance) {
    RawValue value{0, 7};
    GateBlock block{};
    block.commandIndex = 5;
    block.groupAddress = 0x0802;
    block.valueArea = &value;
    return Call(7, instance, &block);
}

// An emulated BCU on a virtual line, with the host library bound and reset.
class OnAnEmulatedBcu : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
        port = test::ServeTestLine(bcu);
        ASSERT_FALSE(port.empty()) << bcu.LastError();
    }
    void TearDown() override { bcu.Stop(); }

    bcuemu::Bcu bcu;
    std::string port;
};

// A clean start and stop after a faulty run: number 1 again, the host's client list empty.
void ExpectCleanRestart(const std::string& port) {
    // A listener let go by EndQel frees its number as it ends.
    ASSERT_TRUE(PollUntil(10000, [] { return InstanceCount() == 0; }, SleepStep(10)));
    InstanceData fresh{};
    ASSERT_EQ(ColdStart(&fresh, port), 0);
    EXPECT_EQ(fresh.instanceNumber, 1);
    EXPECT_EQ(Call(11, &fresh, nullptr), 0);
    EXPECT_EQ(HuxCtlClientCount(), 0u);
}

class LifecycleFaults : public ::testing::TestWithParam<Op> {
protected:
    void SetUp() override {
        RequestBlock describe{};
        DriverDescription description{};
        describe.functionCode = 14;
        describe.params = &description;
        ASSERT_EQ(Dispatch(&describe), 0);
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
    }
};

TEST(ListenerStart, ListenerThatCannotSignalFailsTheStartInsteadOfHanging) {
    ASSERT_TRUE(host::Bind());
    HuxCtlReset();
    InstanceData instance{};
    {
        FaultSystem faults;
        faults.failNth(Op::kSetEvent, 1);
        EXPECT_EQ(ColdStart(&instance, "NULLDEV"), 2);
    }
    EXPECT_TRUE(Logged("QelEIB01: CatchThread fail on SetEvent() Sync (rc = 0)"));
    EXPECT_TRUE(Logged("QelEIB01: WaitSyncSem fail -1"));
    EXPECT_EQ(instance.portHandle, kNoPort);
    EXPECT_EQ(instance.listenerThread, nullptr);
    EXPECT_EQ(Call(11, &instance, nullptr), 0);
    ExpectCleanRestart("NULLDEV");
}

TEST_P(LifecycleFaults, FirstCallRefusedOnThePseudoPort) {
    InstanceData instance{};
    int32_t started = -1;
    int32_t ended = -1;
    {
        FaultSystem faults;
        faults.failNth(GetParam(), 1);
        started = ColdStart(&instance, "NULLDEV");
        ended = Call(11, &instance, nullptr);
    }
    EXPECT_TRUE(started == 0 || started == 2) << started;
    EXPECT_TRUE(ended == 0 || ended == 2) << ended;
    EXPECT_EQ(instance.instanceNumber, -1);
    ExpectCleanRestart("NULLDEV");
}

INSTANTIATE_TEST_SUITE_P(SystemOperations, LifecycleFaults,
                         ::testing::Values(Op::kStartThread, Op::kJoinThread, Op::kThreadEnded,
                                           Op::kSetThreadPriority, Op::kCreateEvent, Op::kWaitEvent,
                                           Op::kCloseEvent, Op::kCreateMutex, Op::kLockMutex, Op::kUnlockMutex,
                                           Op::kCloseMutex, Op::kSleepMs),
                         [](const ::testing::TestParamInfo<Op>& param) { return std::string(test::opName(param.param)); });

// A refused start releases all it took, so that the same record starts again
// on the same (exclusive) port.
TEST_P(LifecycleFaults, RetryAfterARefusedStartSucceedsOnTheSameRecordAndPort) {
    bcuemu::Bcu bcu;
    const std::string port = test::ServeTestLine(bcu);
    ASSERT_FALSE(port.empty()) << bcu.LastError();
    InstanceData instance{};
    int32_t started = -1;
    {
        FaultSystem faults;
        faults.failNth(GetParam(), 1);
        started = ColdStart(&instance, port);
    }
    if (started != 0) {
        EXPECT_EQ(HuxCtlClientCount(), 0u);
        EXPECT_EQ(instance.clientRegistered, 0);
        EXPECT_EQ(instance.lineLock, nullptr);
        EXPECT_EQ(instance.startEvent, nullptr);
        ASSERT_TRUE(bcu.WaitDisconnected(3000));
        EXPECT_EQ(ColdStart(&instance, port), 0);
    }
    EXPECT_EQ(Call(11, &instance, nullptr), 0);
    EXPECT_EQ(HuxCtlClientCount(), 0u);
    bcu.Stop();
}

TEST_F(OnAnEmulatedBcu, HostClientRefusedRegistrationClosesThePortAndARetrySucceeds) {
    InstanceData instance{};
    HuxCtlFail("HuxMkClient", 3, 0, 1);
    EXPECT_EQ(ColdStart(&instance, port), 2);
    EXPECT_EQ(instance.portHandle, kNoPort);
    ASSERT_TRUE(bcu.WaitDisconnected(3000));
    EXPECT_EQ(ColdStart(&instance, port), 0);
    EXPECT_EQ(Call(11, &instance, nullptr), 0);
    EXPECT_EQ(HuxCtlClientCount(), 0u);
}

// An EndQel removes only the client its own start registered: another
// instance may hold the same id now.
TEST(HostClient, EndQelOfAnUnregisteredStartLeavesAnotherInstancesClient) {
    ASSERT_TRUE(host::Bind());
    HuxCtlReset();
    InstanceData a{};
    InstanceData b{};
    ASSERT_EQ(ColdStart(&a, "NULLDEV"), 0);
    ASSERT_EQ(Call(11, &a, nullptr), 0);
    ASSERT_EQ(ColdStart(&b, "NULLDEV"), 0);
    HuxCtlFail("HuxMkClient", 3, 0, 1);
    EXPECT_EQ(ColdStart(&a, "NULLDEV"), 2);
    EXPECT_EQ(Call(11, &a, nullptr), 0);
    EXPECT_EQ(HuxCtlClientCount(), 1u);  // b's
    EXPECT_EQ(Call(11, &b, nullptr), 0);
    EXPECT_EQ(HuxCtlClientCount(), 0u);
}

// A BCU that holds CTS on: the listener gives the line up after three failed
// receptions in a row, says so once, and a write still gets its turn.
TEST_F(OnAnEmulatedBcu, StuckCtsListenerGivesUpTheLineAndAWriteStillReturns) {
    InstanceData instance{};
    ASSERT_EQ(ColdStart(&instance, port), 0);
    bcu.Faults().CtsStuckOn();
    bcu.QueueFrame({0xAA, 0x49, 0xBC, 0x12, 0x01, 0x08, 0x01, 0xE2, 0x00, 0x80, 0x37});
    const std::string stuck = "QelEIB01: CTS stays on without a frame, line given up for a while";
    ASSERT_TRUE(PollUntil(30000, [&] { return Logged(stuck); }, SleepStep(20)));

    const int32_t written = WriteA_(&instance);
    EXPECT_TRUE(written == 0 || written == 1) << written;
    int stuckLines = 0;
    for (const std::string& line : Log()) stuckLines += line == stuck;
    EXPECT_EQ(stuckLines, 1);
    EXPECT_EQ(Call(11, &instance, nullptr), 0);
}

// The listener waits for the BCU instead of polling: idle, it reads no CTS; a
// frame the BCU announces ends the wait, and so do a write's claim on the line
// and EndQel. Under both CTS behaviours.
TEST(ListenerWait, IdleWithoutPollingAndWokenByTheBcuAWriteAndEndQel) {
    ASSERT_TRUE(host::Bind());
    for (const bool ctsDropAfterRts : {false, true}) {
        SCOPED_TRACE(ctsDropAfterRts ? "CTS drops after RTS" : "CTS drops with the answer");
        HuxCtlReset();
        bcuemu::Options options;
        options.ctsDropAfterRts = ctsDropAfterRts;
        bcuemu::Bcu bcu(nullptr, options);
        const std::string port = test::ServeTestLine(bcu);
        ASSERT_FALSE(port.empty()) << bcu.LastError();
        InstanceData instance{};
        FaultSystem counted;
        ASSERT_EQ(ColdStart(&instance, port), 0);
        ASSERT_TRUE(PollUntil(10000, [&] { return counted.calls(Op::kAwaitCts) > 0; }, SleepStep(10)));

        counted.resetCounts();
        platform::NativeSystem().sleepMs(300);  // an idle stretch to observe, not a synchronisation
        EXPECT_EQ(counted.calls(Op::kGetCts), 0u);
        EXPECT_LE(counted.calls(Op::kAwaitCts), 1u);

        const size_t sent = bcu.SentFrames().size();
        bcu.QueueFrame({0xAA, 0x49, 0xBC, 0x12, 0x01, 0x08, 0x01, 0xE2, 0x00, 0x80, 0x37});
        // Well inside the listener's 5 s wait: only CTS can have ended it.
        EXPECT_TRUE(bcu.WaitSentFrames(sent + 1, 2000));
        EXPECT_EQ(WriteA_(&instance), 0);
        EXPECT_EQ(Call(11, &instance, nullptr), 0);
        EXPECT_FALSE(Logged("QELEIB: WaitUntilCommNotBusy(): line busy for 5 s, request given up"));
        EXPECT_EQ(InstanceCount(), 0u);
        bcu.Stop();
    }
}

class LineFaults : public OnAnEmulatedBcu, public ::testing::WithParamInterface<std::tuple<Op, uint32_t>> {};

// A start, a write and EndQel with the nth call of `op` refused: each ends with one of its results.
void RunWithNthCallRefused(Op op, uint32_t n, const std::string& port) {
    InstanceData instance{};
    FaultSystem faults;
    faults.failNth(op, n);
    const int32_t started = ColdStart(&instance, port);
    EXPECT_TRUE(started == 0 || started == 2) << started;
    if (started == 0) {
        const int32_t written = WriteA_(&instance);
        EXPECT_TRUE(written == 0 || written == 1) << written;
    }
    const int32_t ended = Call(11, &instance, nullptr);
    EXPECT_TRUE(ended == 0 || ended == 2) << ended;
}

TEST_P(LineFaults, NthPortCallRefusedDuringStartAndWrite) {
    const auto [op, n] = GetParam();
    RunWithNthCallRefused(op, n, port);
    ASSERT_TRUE(bcu.WaitDisconnected(3000));
    ExpectCleanRestart(port);
}

INSTANTIATE_TEST_SUITE_P(
    PortOperations, LineFaults,
    ::testing::Combine(::testing::Values(Op::kOpenPort, Op::kGetState, Op::kSetState, Op::kSetTimeouts,
                                         Op::kGetTimeouts, Op::kWrite, Op::kRead, Op::kQueryInput,
                                         Op::kSetModemLine, Op::kGetCts, Op::kSetEventMask),
                       ::testing::Values(1u, 7u, 40u)),
    [](const ::testing::TestParamInfo<std::tuple<Op, uint32_t>>& param) {
        return std::string(test::opName(std::get<0>(param.param))) + "_" + std::to_string(std::get<1>(param.param));
    });

// The same over a KNXnet/IP tunnel to the emulated bus's server.
class TunnelFaults : public ::testing::TestWithParam<std::tuple<Op, uint32_t>> {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
        std::string error;
        ASSERT_TRUE(server.Start("127.0.0.1:0", error)) << error;
        port = test::MapTestPort("knxip://" + server.LocalEndpoint());
        ASSERT_FALSE(port.empty());
    }
    void TearDown() override { server.Stop(); }

    bcuemu::Bus bus;
    bcuemu::KnxnetServer server{bus};
    std::string port;
};

TEST_P(TunnelFaults, NthDatagramCallRefusedDuringStartWriteAndEnd) {
    const auto [op, n] = GetParam();
    RunWithNthCallRefused(op, n, port);
    ExpectCleanRestart(port);
}

INSTANTIATE_TEST_SUITE_P(
    DatagramOperations, TunnelFaults,
    // A start sends CONNECT_REQUEST, a write its TUNNELLING_REQUEST and the
    // ACK of its L_Data.con, EndQel DISCONNECT_REQUEST; the listener receives all along.
    ::testing::Values(std::make_tuple(Op::kResolveHost, 1u), std::make_tuple(Op::kOpenDatagram, 1u),
                      std::make_tuple(Op::kSendDatagram, 1u), std::make_tuple(Op::kSendDatagram, 2u),
                      std::make_tuple(Op::kSendDatagram, 4u), std::make_tuple(Op::kReceiveDatagram, 1u),
                      std::make_tuple(Op::kReceiveDatagram, 3u), std::make_tuple(Op::kReceiveDatagram, 9u)),
    [](const ::testing::TestParamInfo<std::tuple<Op, uint32_t>>& param) {
        return std::string(test::opName(std::get<0>(param.param))) + "_" + std::to_string(std::get<1>(param.param));
    });

}  // namespace
}  // namespace qel
