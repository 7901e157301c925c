#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

namespace {

struct CounterCase {
    const char* name;
    LONG initial;
    LONG (*operation)(LONG volatile*);
    LONG expected;  // both the result and the value left in the target
};

TEST(Interlocked, IncrementAndDecrementReturnTheNewValue)
{
    const CounterCase cases[] = {
        {"increment from 0", 0, InterlockedIncrement, 1},
        {"increment from -1", -1, InterlockedIncrement, 0},
        {"increment wraps", INT32_MAX, InterlockedIncrement, INT32_MIN},
        {"decrement from 1", 1, InterlockedDecrement, 0},
        {"decrement from 0", 0, InterlockedDecrement, -1},
        {"decrement wraps", INT32_MIN, InterlockedDecrement, INT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LONG volatile target = c.initial;
        EXPECT_EQ(c.expected, c.operation(&target));
        EXPECT_EQ(c.expected, target);
    }
}

TEST(Interlocked, ExchangeReturnsThePreviousValue)
{
    LONG volatile target = 1;
    EXPECT_EQ(1, InterlockedExchange(&target, 0));
    EXPECT_EQ(0, target);
    EXPECT_EQ(0, InterlockedExchange(&target, -7));
    EXPECT_EQ(-7, target);
}

TEST(Interlocked, CompareExchangeStoresOnlyOnMatch)
{
    struct {
        LONG initial, exchange, comparand, result, after;
    } const cases[] = {
        {5, 7, 5, 5, 7},
        {5, 7, 6, 5, 5},
        {0, -1, 0, 0, -1},
        {INT32_MIN, 0, INT32_MIN, INT32_MIN, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.initial << " cmp " << c.comparand);
        LONG volatile target = c.initial;
        EXPECT_EQ(c.result, InterlockedCompareExchange(&target, c.exchange, c.comparand));
        EXPECT_EQ(c.after, target);
    }
}

TEST(Interlocked, ExchangePointerReturnsThePreviousPointer)
{
    int a = 0, b = 0;
    PVOID volatile target = &a;
    EXPECT_EQ(&a, InterlockedExchangePointer(&target, &b));
    EXPECT_EQ(&b, target);
    EXPECT_EQ(&b, InterlockedExchangePointer(&target, nullptr));
    EXPECT_EQ(nullptr, target);
}

TEST(Interlocked, OrAndAndReturnTheNewValue)
{
    struct {
        const char* name;
        int (*operation)(int volatile*, int);
        int initial, mask, expected;
    } const cases[] = {
        {"or 1|2", InterlockedOr, 1, 2, 3},
        {"or with 0", InterlockedOr, 6, 0, 6},
        {"or sign bit", InterlockedOr, 1, INT_MIN, INT_MIN | 1},
        {"and 3&1", InterlockedAnd, 3, 1, 1},
        {"and with 0", InterlockedAnd, -1, 0, 0},
        {"and with -1", InterlockedAnd, 0x5A5A, -1, 0x5A5A},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int volatile target = c.initial;
        EXPECT_EQ(c.expected, c.operation(&target, c.mask));
        EXPECT_EQ(c.expected, target);
    }
}

// Several threads hammering one target must end at the exact sum; a lost update
// (a plain read-modify-write) shows up as a smaller total.
TEST(Interlocked, ConcurrentUpdatesAreNeverLost)
{
    constexpr int threadCount = 8;
    constexpr int iterations = 100000;
    LONG volatile counter = 0;
    LONG volatile balance = 0;
    int volatile bits = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < iterations; ++i) {
                InterlockedIncrement(&counter);
                InterlockedIncrement(&balance);
                InterlockedDecrement(&balance);
            }
            InterlockedOr(&bits, 1 << t);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(threadCount * iterations, counter);
    EXPECT_EQ(0, balance);
    EXPECT_EQ((1 << threadCount) - 1, bits);
}

// The open-once pattern: of many threads racing through increment / exchange,
// exactly one sees the counter go from 0 to 1.
TEST(Interlocked, ExactlyOneThreadWinsTheFirstIncrement)
{
    constexpr int threadCount = 16;
    LONG volatile gate = 0;
    LONG volatile winners = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&] {
            if (InterlockedCompareExchange(&gate, 1, 0) == 0)
                InterlockedIncrement(&winners);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(1, winners);
    EXPECT_EQ(1, gate);
}

}  // namespace
