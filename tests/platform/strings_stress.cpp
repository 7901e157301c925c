// Stress case for ThreadSanitizer: copies of one text shared, written and released by 8 threads.
#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Copies pass between threads through the slots, so one thread writes a block while others
// still hold, copy or release copies of it.
TEST(CStringStress, CopyBeforeWriteAcrossEightThreads)
{
    const std::string text(200, 'a');
    const CString source(text.c_str());
    std::mutex slotLock;
    std::vector<CString> slots(8, source);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                CString mine(source), taken;
                CString& slot = slots[static_cast<size_t>((t + i) % 8)];
                std::unique_lock<std::mutex> hold(slotLock);
                taken = slot, slot = mine;
                hold.unlock();
                wrong += text != taken.GetString();
                if (i % 2 == 0)
                    wrong += (taken.MakeUpper(), std::string(200, 'A') != taken.GetString());
                else
                    wrong += taken.Replace("aa", "b") != 100 || std::string(100, 'b') != taken.GetString();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(text, source.GetString());
    slots.clear();
    EXPECT_EQ(1, source.GetData()->refCount);  // every copy released exactly once
}

// An empty program path fails (not found) without writing the shared empty block, which the
// empty strings of every other thread read meanwhile.
TEST(CStringStress, EmptyProgramPathLeavesTheSharedEmptyBlockAlone)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i)
                wrong += t % 2 == 0 ? OsUserLaunchProcessEx("", nullptr, nullptr, 0, 0, nullptr) != OS_USER_LAUNCH_NOT_FOUND
                                    : CString().GetString()[0] != '\0';
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
