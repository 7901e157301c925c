#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using kvtest::AwaitSleepers;
using kvtest::EventOf;

struct Event {
    explicit Event(BOOL manualReset, BOOL initial = FALSE)
        : handle(OsUserCreateEvent(nullptr, manualReset, initial, nullptr)) {}
    ~Event() { OsUserCloseHandle(handle); }
    OS_USER_EVENT_HANDLE handle;
};

TEST(Events, ZeroTimeOutTestsWithoutBlockingAndTakesAnAutoResetFlag)
{
    struct {
        BOOL manualReset, initial;
        DWORD first, second;
    } const cases[] = {
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "manual " << c.manualReset << " initial " << c.initial);
        Event e(c.manualReset, c.initial);
        ASSERT_NE(nullptr, e.handle);
        EXPECT_EQ(c.first, OsUserWaitForEvent(e.handle, 0));
        EXPECT_EQ(c.second, OsUserWaitForSingleObject(e.handle, 0));
        EXPECT_TRUE(OsUserResetEvent(e.handle));
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(e.handle, 0));
    }
}

// One set releases every thread blocked at that moment, auto-reset events included, and
// leaves an auto-reset event clear; a manual-reset event stays set for later waiters.
TEST(Events, SetReleasesEveryBlockedWaiter)
{
    for (BOOL manualReset : {FALSE, TRUE}) {
        SCOPED_TRACE(manualReset);
        Event e(manualReset);
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                if (OsUserWaitForEvent(e.handle, INFINITE) == WAIT_OBJECT_0)
                    ++released;
            });
        }
        AwaitSleepers(EventOf(e.handle), 3);
        EXPECT_EQ(0, released.load());
        EXPECT_TRUE(OsUserSetEvent(e.handle));
        for (auto& t : waiters)
            t.join();
        EXPECT_EQ(3, released.load());
        EXPECT_EQ(manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT, OsUserWaitForEvent(e.handle, 0));
    }
}

// A wake-up of the condition that no set caused parks the waiter again; time-outs are
// unsigned, so the largest finite ones wait too, until the set.
TEST(Events, OnlyASetEndsTheWait)
{
    for (DWORD timeout : {INFINITE, 600000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu}) {
        SCOPED_TRACE(timeout);
        Event e(FALSE);
        COsUserEvent& event = EventOf(e.handle);
        std::atomic<DWORD> result{0xDEAD};
        std::thread waiter([&] { result = OsUserWaitForEvent(e.handle, timeout); });
        AwaitSleepers(event, 1);
        event.Lock();
        const uint64_t before = event.wakeups;
        pthread_cond_broadcast(&event.condition);
        event.Unlock();
        kvtest::Await([&] {
            uint32_t sleepers = 0;
            uint64_t wakeups = 0;
            kvtest::EventSleep(event, &sleepers, &wakeups);
            return wakeups > before && sleepers == 1;
        });
        EXPECT_EQ(0xDEADu, result.load());
        OsUserSetEvent(e.handle);
        waiter.join();
        EXPECT_EQ(WAIT_OBJECT_0, result.load());
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(e.handle, 0));
    }
}

TEST(Events, UnusableArgumentsFailWithoutCrashing)
{
    int fake = 0;
    EXPECT_EQ(nullptr, OsUserCreateEvent(nullptr, TRUE, FALSE, "named"));
    EXPECT_EQ(nullptr, OsUserCreateEvent(&fake, TRUE, FALSE, nullptr));
    EXPECT_FALSE(OsUserSetEvent(nullptr));
    EXPECT_FALSE(OsUserResetEvent(nullptr));
    EXPECT_FALSE(OsUserDeleteEvent(nullptr));
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForEvent(nullptr, 0));
    // Another kind of handle is refused by the event calls.
    OS_USER_MUTEX_HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
    errno = 0;
    EXPECT_FALSE(OsUserSetEvent(mutex));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForEvent(mutex, 0));
    EXPECT_TRUE(OsUserDeleteMutex(mutex));
}

TEST(Events, AlertableWaitIsReportedAndWaitsNormally)
{
    Event e(FALSE, TRUE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEventEx(e.handle, 0, TRUE));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEventEx(e.handle, 0, FALSE));
    EXPECT_EQ("DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE, DWORD, BOOL): bAlertable == TRUE not supported",
              testing::internal::GetCapturedStderr());
}

// An event built without its condition is inert until Create makes it; a second Create
// keeps the condition and changes the reset mode.
TEST(Events, InertEventFailsUntilCreated)
{
    COsUserEvent event(false, 0);
    EXPECT_EQ(WAIT_FAILED, event.Wait(0));
    EXPECT_FALSE(event.Signal());
    EXPECT_FALSE(event.Clear());
    ASSERT_TRUE(event.Create(1));
    EXPECT_TRUE(event.Signal());
    EXPECT_EQ(WAIT_OBJECT_0, event.Wait(0));
    EXPECT_EQ(WAIT_OBJECT_0, event.Wait(0));
    ASSERT_TRUE(event.Create(0));
    EXPECT_EQ(WAIT_OBJECT_0, event.Wait());
    EXPECT_EQ(WAIT_TIMEOUT, event.Wait(0));
}

}  // namespace
