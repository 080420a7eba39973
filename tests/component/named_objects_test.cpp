// Named events and mutexes, and threads, as the driver's lifecycle and line
// lock use them.
#include <gtest/gtest.h>

#include <atomic>

#include "support/emulation.h"
#include "platform/platform.h"

namespace qel {
namespace {

using platform::Event;
using platform::Mutex;
using platform::WaitResult;

const platform::System& os() { return platform::NativeSystem(); }

// A unique name per test, so runs do not meet each other's objects.
std::string uniqueName(const char* base) {
    static std::atomic<int> serial{0};
    return std::string(base) + std::to_string(os().tickMs()) + "_" + std::to_string(serial++);
}

template <typename F>
platform::Thread* start(F* body, uint32_t* id = nullptr) {
    uint32_t ignored = 0;
    return os().startThread([](void* arg) { (*static_cast<F*>(arg))(); }, body, 16384, id != nullptr ? id : &ignored);
}

TEST(NamedEvent, TheSameNameGivesTheSameEvent) {
    const std::string name = uniqueName("SYNCTHREADtest");
    Event* a = os().createEvent(name.c_str());
    Event* b = os().createEvent(name.c_str());
    Event* other = os().createEvent(uniqueName("SYNCTHREADother").c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(os().waitEvent(b, 0), WaitResult::kTimedOut);  // created not signalled
    ASSERT_TRUE(os().setEvent(a));
    EXPECT_EQ(os().waitEvent(b, 0), WaitResult::kSignalled);
    EXPECT_EQ(os().waitEvent(b, 0), WaitResult::kSignalled);  // manual reset: stays signalled
    EXPECT_EQ(os().waitEvent(other, 0), WaitResult::kTimedOut);
    EXPECT_TRUE(os().closeEvent(a));
    EXPECT_EQ(os().waitEvent(b, 0), WaitResult::kSignalled);  // alive while a handle is open
    EXPECT_TRUE(os().closeEvent(b));
    EXPECT_TRUE(os().closeEvent(other));
}

TEST(NamedEvent, AWaitEndsWhenAnotherThreadSignals) {
    Event* event = os().createEvent(uniqueName("SYNCTHREADwake").c_str());
    ASSERT_NE(event, nullptr);
    auto body = [&] { os().setEvent(event); };
    platform::Thread* thread = start(&body);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(os().waitEvent(event, platform::kInfinite), WaitResult::kSignalled);
    EXPECT_TRUE(os().joinThread(thread, 5000));
    EXPECT_TRUE(os().closeEvent(event));
}

TEST(NamedEvent, AWaitWithNothingSignalledTimesOut) {
    Event* event = os().createEvent(uniqueName("SYNCTHREADidle").c_str());
    ASSERT_NE(event, nullptr);
    const uint32_t start = os().tickMs();
    EXPECT_EQ(os().waitEvent(event, 150), WaitResult::kTimedOut);
    const uint32_t elapsed = os().tickMs() - start;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_TRUE(os().closeEvent(event));
}

TEST(NamedMutex, TheSameNameGivesTheSameMutex) {
    const std::string name = uniqueName("COMMBUSYtest");
    Mutex* mine = os().createMutex(name.c_str());
    Mutex* theirs = os().createMutex(name.c_str());
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(theirs, nullptr);
    ASSERT_EQ(os().lockMutex(mine, platform::kInfinite), WaitResult::kSignalled);
    WaitResult seen = WaitResult::kFailed;
    auto body = [&] { seen = os().lockMutex(theirs, 100); };
    platform::Thread* thread = start(&body);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(os().joinThread(thread, 5000));
    EXPECT_EQ(seen, WaitResult::kTimedOut);
    EXPECT_TRUE(os().unlockMutex(mine));
    EXPECT_TRUE(os().closeMutex(mine));
    EXPECT_TRUE(os().closeMutex(theirs));
}

TEST(NamedMutex, AWaiterGetsTheMutexWhenTheOwnerReleasesIt) {
    Mutex* lock = os().createMutex(uniqueName("COMMBUSYhandover").c_str());
    Event* waiting = os().createEvent(uniqueName("SYNCTHREADwaiting").c_str());
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(os().lockMutex(lock, platform::kInfinite), WaitResult::kSignalled);
    WaitResult seen = WaitResult::kFailed;
    bool released = false;
    auto body = [&] {
        os().setEvent(waiting);
        seen = os().lockMutex(lock, platform::kInfinite);
        released = os().unlockMutex(lock);
    };
    platform::Thread* thread = start(&body);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(os().waitEvent(waiting, 5000), WaitResult::kSignalled);
    EXPECT_FALSE(os().joinThread(thread, 50));  // still waiting for the lock
    EXPECT_TRUE(os().unlockMutex(lock));
    ASSERT_TRUE(os().joinThread(thread, 5000));
    EXPECT_EQ(seen, WaitResult::kSignalled);
    EXPECT_TRUE(released);
    EXPECT_TRUE(os().closeEvent(waiting));
    EXPECT_TRUE(os().closeMutex(lock));
}

TEST(NamedMutex, IsRecursiveAndOnlyTheOwnerReleasesIt) {
    Mutex* lock = os().createMutex(uniqueName("COMMBUSYrecursive").c_str());
    ASSERT_NE(lock, nullptr);
    EXPECT_FALSE(os().unlockMutex(lock));  // nobody owns it
    ASSERT_EQ(os().lockMutex(lock, 0), WaitResult::kSignalled);
    ASSERT_EQ(os().lockMutex(lock, 0), WaitResult::kSignalled);
    bool strangerReleased = true;
    WaitResult strangerLock = WaitResult::kFailed;
    auto stranger = [&] {
        strangerReleased = os().unlockMutex(lock);
        strangerLock = os().lockMutex(lock, 0);
    };
    platform::Thread* thread = start(&stranger);
    ASSERT_TRUE(os().joinThread(thread, 5000));
    EXPECT_FALSE(strangerReleased);
    EXPECT_EQ(strangerLock, WaitResult::kTimedOut);

    EXPECT_TRUE(os().unlockMutex(lock));
    EXPECT_TRUE(os().unlockMutex(lock));
    EXPECT_FALSE(os().unlockMutex(lock));
    EXPECT_TRUE(os().closeMutex(lock));
}

TEST(NamedMutex, AMutexLeftByAnEndedThreadIsAbandonedAndThenOwned) {
    QEL_SKIP_UNDER_EMULATION_IF_OWNER_DEATH_NEEDED();
    Mutex* lock = os().createMutex(uniqueName("COMMBUSYabandoned").c_str());
    ASSERT_NE(lock, nullptr);
    WaitResult taken = WaitResult::kFailed;
    auto holder = [&] { taken = os().lockMutex(lock, platform::kInfinite); };  // ends holding it
    platform::Thread* thread = start(&holder);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(os().joinThread(thread, 5000));
    ASSERT_EQ(taken, WaitResult::kSignalled);

    EXPECT_EQ(os().lockMutex(lock, 1000), WaitResult::kAbandoned);
    EXPECT_TRUE(os().unlockMutex(lock));
    EXPECT_FALSE(os().unlockMutex(lock));
    EXPECT_EQ(os().lockMutex(lock, 1000), WaitResult::kSignalled);
    EXPECT_TRUE(os().unlockMutex(lock));
    EXPECT_TRUE(os().closeMutex(lock));
}

TEST(NamedMutex, AClosedNameCanBeCreatedAfresh) {
    const std::string name = uniqueName("SYNCTHREADfresh");
    Event* first = os().createEvent(name.c_str());
    ASSERT_TRUE(os().setEvent(first));
    ASSERT_TRUE(os().closeEvent(first));
    Event* second = os().createEvent(name.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(os().waitEvent(second, 0), WaitResult::kTimedOut);
    EXPECT_TRUE(os().closeEvent(second));
}

TEST(Threads, EndedAndJoinFollowTheProcedure) {
    Event* go = os().createEvent(uniqueName("SYNCTHREADgo").c_str());
    ASSERT_NE(go, nullptr);
    auto body = [&] { os().waitEvent(go, platform::kInfinite); };
    uint32_t id = 0;
    platform::Thread* thread = start(&body, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_FALSE(os().threadEnded(thread));
    EXPECT_FALSE(os().joinThread(thread, 50));
    ASSERT_TRUE(os().setEvent(go));
    EXPECT_TRUE(os().joinThread(thread, 5000));
    EXPECT_TRUE(os().closeEvent(go));
}

TEST(Threads, ThreadEndedTurnsTrueOnceTheProcedureReturns) {
    Event* done = os().createEvent(uniqueName("SYNCTHREADdone").c_str());
    auto body = [&] { os().setEvent(done); };
    platform::Thread* thread = start(&body);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(os().waitEvent(done, 5000), WaitResult::kSignalled);
    const uint32_t start = os().tickMs();
    while (!os().threadEnded(thread) && os().tickMs() - start < 5000) os().sleepMs(1);
    EXPECT_TRUE(os().threadEnded(thread));
    EXPECT_TRUE(os().joinThread(thread, 0));
    EXPECT_TRUE(os().closeEvent(done));
}

TEST(Threads, NormalPriorityIsAlwaysGranted) {
    bool normal = false;
    auto body = [&] {
        os().setThreadPriority(platform::Priority::kTimeCritical);  // may be refused without privileges
        normal = os().setThreadPriority(platform::Priority::kNormal);
    };
    platform::Thread* thread = start(&body);
    ASSERT_TRUE(os().joinThread(thread, 5000));
    EXPECT_TRUE(normal);
}

TEST(Clock, TickFollowsSleep) {
    const uint32_t start = os().tickMs();
    os().sleepMs(100);
    const uint32_t elapsed = os().tickMs() - start;
    EXPECT_GE(elapsed, 60u);  // GetTickCount moves in steps of up to 16 ms
    EXPECT_LT(elapsed, 3000u);
}

}  // namespace
}  // namespace qel
