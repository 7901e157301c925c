// Stress cases of strings and processes, run under ThreadSanitizer: copies of one text
// shared, separated and released across 8 threads, and launchers running while another
// thread removes zombies.
#include "KvPlatformHelper.h"
#include "LauncherTestSupport.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;

TEST(CStringStress, CopyBeforeWriteAcrossEightThreads)
{
    const std::string text(200, 'a');
    const CString source(text.c_str());
    // Copies pass from thread to thread through these slots, so a block is written by one
    // thread while others still hold, copy or release copies of it.
    std::mutex slotLock;
    std::vector<CString> slots(kThreads, source);
    std::atomic<int> wrongTexts{0};

    auto work = [&](int index) {
        for (int i = 0; i < 3000; ++i) {
            CString mine(source);
            if (mine.GetString() != source.GetString()) {
                ++wrongTexts;
            }
            CString taken;
            {
                std::lock_guard<std::mutex> hold(slotLock);
                taken = slots[static_cast<size_t>((index + i) % kThreads)];
                slots[static_cast<size_t>((index + i) % kThreads)] = mine;
            }
            // taken is a copy of source or of another thread's copy: both read text.
            if (text != taken.GetString()) {
                ++wrongTexts;
            }
            switch (i % 4) {
            case 0:
                taken.MakeUpper();
                wrongTexts += std::string(200, 'A') != taken.GetString();
                break;
            case 1:
                taken += 'b';
                wrongTexts += text + "b" != taken.GetString();
                break;
            case 2:
                wrongTexts += taken.Replace("aa", "c") != 100;
                break;
            default:
                taken.Delete(0, 199);
                wrongTexts += std::string("a") != taken.GetString();
                break;
            }
            mine.MakeLower();  // private or separated: never seen by the others
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(work, t);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrongTexts.load());
    EXPECT_EQ(text, source.GetString());
    slots.clear();
    EXPECT_EQ(1, source.GetData()->refCount);  // every copy released exactly once
}

using LauncherStress = kvtest::LauncherTest;

// Every waiting launcher gets its own child's exit code while another thread keeps asking
// for zombie removal and starting children that nobody waits for.
TEST_F(LauncherStress, ConcurrentLaunchersWhileZombiesAreRemoved)
{
    for (int code = 1; code <= 4; ++code) {
        Script("exit" + std::to_string(code), "exit " + std::to_string(code));
    }
    Script("quick", "exit 0");
    constexpr int kLaunchers = 4;
    constexpr int kLaunches = 8;
    std::atomic<int> wrongResults{0};
    std::atomic<int> launchersDone{0};
    std::vector<int> unwaited;

    std::vector<std::thread> launchers;
    for (int t = 1; t <= kLaunchers; ++t) {
        launchers.emplace_back([&, t] {
            const std::string program = dir_ + "/exit" + std::to_string(t);
            for (int i = 0; i < kLaunches; ++i) {
                int exitCode = -1;
                const int result = OsUserLaunchProcessInternal(program.c_str(), nullptr, 0, 20000,
                                                               &exitCode, nullptr);
                wrongResults += result != 0 || exitCode != t;
            }
            ++launchersDone;
        });
    }
    const std::string quick = dir_ + "/quick";
    while (launchersDone.load() < kLaunchers) {
        int pid = 0;
        ASSERT_EQ(0, OsUserLaunchProcessInternal(quick.c_str(), nullptr, 0, 0, nullptr, &pid));
        unwaited.push_back(pid);
        OsUserRemoveProcessZombies();
    }
    for (std::thread& launcher : launchers) {
        launcher.join();
    }
    EXPECT_EQ(0, wrongResults.load());

    // Once nothing blocks it, one removal collects every child left.
    for (int pid : unwaited) {
        AwaitEnded(pid);
    }
    OsUserRemoveProcessZombies();
    for (int pid : unwaited) {
        EXPECT_FALSE(IsZombie(pid)) << pid;
    }
    started_.assign(unwaited.begin(), unwaited.end());
}

}  // namespace
