// Kernel-object benchmark: the layer's events, mutexes, semaphores, critical sections, waits
// and threads against the raw POSIX / C++ anchor of each, on this machine.
// Every round runs ours and the anchor back to back (alternating who goes first); a line shows
// the median over 5 rounds of the per-round ratio ours / anchor, and the target. Built with
// PEVENTS_DIR (see bench/README.md), the event lines also run pevents in the same rounds and
// show ours / pevents.
//   kernel_objects_bench [scale]   (scale multiplies the repetitions; default 1)
#include "KvPlatformHelper.h"
#include "BenchLoad.h"
#if KV_WITH_PEVENTS
#include "pevents.h"
#endif

#include <errno.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kRounds = 5;
long g_scale = 1;

double Seconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "kernel_objects_bench: %s failed\n", what);
        exit(1);
    }
}

// The anchor of an event: a flag under a mutex with a condition variable.
struct RawEvent {
    std::mutex mutex;
    std::condition_variable condition;
    bool set = false;
    void Set()
    {
        std::lock_guard<std::mutex> hold(mutex);
        set = true;
        condition.notify_one();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> hold(mutex);
        condition.wait(hold, [this] { return set; });
        set = false;
    }
};

// A competitor of ours in the same rounds besides the anchor (pevents), with its own target.
struct Rival {
    const char* name;
    std::function<void()> work;
    double target;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Report(const char* name, long repetitions, const std::function<void()>& ours,
            const std::function<void()>& anchor, double target, const Rival* rival = nullptr)
{
    std::vector<double> ratios, rivalRatios, oursUs, anchorUs, rivalUs;
    const auto us = [repetitions](double seconds) { return seconds * 1e6 / static_cast<double>(repetitions); };
    for (int round = 0; round < kRounds; ++round) {
        double a = 0, o = 0, r = 0;
        // Each of the runners goes first in turn.
        for (int step = 0; step < 3; ++step) {
            switch ((round + step) % 3) {
            case 0:
                o = Seconds(ours);
                break;
            case 1:
                a = Seconds(anchor);
                break;
            default:
                if (rival != nullptr)
                    r = Seconds(rival->work);
                break;
            }
        }
        ratios.push_back(o / a);
        oursUs.push_back(us(o));
        anchorUs.push_back(us(a));
        if (rival != nullptr) {
            rivalRatios.push_back(o / r);
            rivalUs.push_back(us(r));
        }
    }
    const double ratio = Median(ratios);
    printf("%-44s ours %9.3f us  anchor %9.3f us  ratio %5.2f  (target <= %.1f)%s\n", name,
           Median(oursUs), anchorUs.empty() ? 0.0 : Median(anchorUs), ratio, target,
           ratio <= target ? "" : "  MISSED");
    if (rival != nullptr) {
        const double rivalRatio = Median(rivalRatios);
        printf("%-44s ours / %s: %s %9.3f us  ratio %5.2f  (target <= %.1f)%s\n", "", rival->name,
               rival->name, Median(rivalUs), rivalRatio, rival->target,
               rivalRatio <= rival->target ? "" : "  MISSED");
    }
    fflush(stdout);
}

void PingPong()
{
    const long n = 20000 * g_scale;
    OS_USER_EVENT_HANDLE ping = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    OS_USER_EVENT_HANDLE pong = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    const auto ours = [&] {
        std::thread other([&] {
            for (long i = 0; i < n; ++i) {
                OsUserWaitForEvent(ping, INFINITE);
                OsUserSetEvent(pong);
            }
        });
        for (long i = 0; i < n; ++i) {
            OsUserSetEvent(ping);
            OsUserWaitForEvent(pong, INFINITE);
        }
        other.join();
    };
    RawEvent rawPing, rawPong;
    const auto anchor = [&] {
        std::thread other([&] {
            for (long i = 0; i < n; ++i) {
                rawPing.Wait();
                rawPong.Set();
            }
        });
        for (long i = 0; i < n; ++i) {
            rawPing.Set();
            rawPong.Wait();
        }
        other.join();
    };
#if KV_WITH_PEVENTS
    neosmart::neosmart_event_t pingP = neosmart::CreateEvent(false, false);
    neosmart::neosmart_event_t pongP = neosmart::CreateEvent(false, false);
    const Rival rival{"pevents", [&] {
        std::thread other([&] {
            for (long i = 0; i < n; ++i) {
                neosmart::WaitForEvent(pingP);
                neosmart::SetEvent(pongP);
            }
        });
        for (long i = 0; i < n; ++i) {
            neosmart::SetEvent(pingP);
            neosmart::WaitForEvent(pongP);
        }
        other.join();
    }, 1.0};
    Report("event ping-pong (round trip)", n, ours, anchor, 1.1, &rival);
    neosmart::DestroyEvent(pingP);
    neosmart::DestroyEvent(pongP);
#else
    Report("event ping-pong (round trip)", n, ours, anchor, 1.1);
#endif
    OsUserCloseHandle(ping);
    OsUserCloseHandle(pong);
}

void Uncontended()
{
    const long n = 2000000 * g_scale;
    OS_USER_MUTEX_HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
    pthread_mutexattr_t attributes;
    pthread_mutex_t raw;
    Check(pthread_mutexattr_init(&attributes) == 0 &&
              pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
              pthread_mutex_init(&raw, &attributes) == 0,
          "error-checking mutex");
    Report("mutex handle wait+release, uncontended", n,
           [&] {
               for (long i = 0; i < n; ++i) {
                   OsUserWaitForSingleObject(mutex, INFINITE);
                   OsUserReleaseMutex(mutex);
               }
           },
           [&] {
               for (long i = 0; i < n; ++i) {
                   pthread_mutex_lock(&raw);
                   pthread_mutex_unlock(&raw);
               }
           },
           1.1);
    OsUserCloseHandle(mutex);
    pthread_mutex_destroy(&raw);
    pthread_mutexattr_destroy(&attributes);

    CRITICAL_SECTION section;
    Check(OsUserInitializeCriticalSection(&section) == TRUE, "critical section");
    std::recursive_mutex recursive;
    Report("critical section enter+leave", n,
           [&] {
               for (long i = 0; i < n; ++i) {
                   OsUserEnterCriticalSection(&section);
                   OsUserLeaveCriticalSection(&section);
               }
           },
           [&] {
               for (long i = 0; i < n; ++i) {
                   recursive.lock();
                   recursive.unlock();
               }
           },
           1.1);
    OsUserDeleteCriticalSection(&section);

    OS_USER_SEMA_HANDLE sema = OsUserCreateSema(nullptr, 0, 1, nullptr);
    sem_t rawSema;
    Check(sem_init(&rawSema, 0, 0) == 0, "sem_init");
    Report("semaphore release+wait, uncontended", n,
           [&] {
               for (long i = 0; i < n; ++i) {
                   OsUserReleaseSema(sema, 1, nullptr);
                   OsUserWaitForSema(sema, INFINITE);
               }
           },
           [&] {
               for (long i = 0; i < n; ++i) {
                   sem_post(&rawSema);
                   sem_wait(&rawSema);
               }
           },
           1.1);
    OsUserCloseHandle(sema);
    sem_destroy(&rawSema);
}

void WaitAny64()
{
    constexpr int kEvents = 64;
    const long n = 20000 * g_scale;
    std::vector<OS_USER_HANDLE> events;
    for (int i = 0; i < kEvents; ++i)
        events.push_back(OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr));
    // One side wakes the other through the measured path; the reply is a raw event in both.
    RawEvent reply, rawWake;
    const auto ours = [&] {
        std::thread other([&] {
            for (long i = 0; i < n; ++i) {
                OsUserSetEvent(events[static_cast<size_t>((i * 37) % kEvents)]);
                reply.Wait();
            }
        });
        for (long i = 0; i < n; ++i) {
            Check(OsUserWaitForMultipleObjects(kEvents, events.data(), FALSE, INFINITE) ==
                      WAIT_OBJECT_0 + static_cast<DWORD>((i * 37) % kEvents),
                  "wait-any index");
            reply.Set();
        }
        other.join();
    };
    const auto anchor = [&] {
        std::thread other([&] {
            for (long i = 0; i < n; ++i) {
                rawWake.Set();
                reply.Wait();
            }
        });
        for (long i = 0; i < n; ++i) {
            rawWake.Wait();
            reply.Set();
        }
        other.join();
    };
#if KV_WITH_PEVENTS
    std::vector<neosmart::neosmart_event_t> eventsP;
    for (int i = 0; i < kEvents; ++i)
        eventsP.push_back(neosmart::CreateEvent(false, false));
    const Rival rival{"pevents", [&] {
        std::thread other([&] {
            for (long i = 0; i < n; ++i) {
                neosmart::SetEvent(eventsP[static_cast<size_t>((i * 37) % kEvents)]);
                reply.Wait();
            }
        });
        for (long i = 0; i < n; ++i) {
            int index = -1;
            Check(neosmart::WaitForMultipleEvents(eventsP.data(), kEvents, false, neosmart::WAIT_INFINITE, index) == 0 &&
                      index == static_cast<int>((i * 37) % kEvents),
                  "pevents wait-any index");
            reply.Set();
        }
        other.join();
    }, 1.0};
    Report("wait-any over 64 events, one set elsewhere", n, ours, anchor, 1.3, &rival);
    for (auto e : eventsP)
        neosmart::DestroyEvent(e);
#else
    Report("wait-any over 64 events, one set elsewhere", n, ours, anchor, 1.3);
#endif

    const long probes = 200000 * g_scale;
    std::vector<pthread_mutex_t> held(kEvents);
    for (auto& m : held) {
        Check(pthread_mutex_init(&m, nullptr) == 0 && pthread_mutex_lock(&m) == 0, "held mutex");
    }
    Report("wait-any over 64, zero time-out, none set", probes,
           [&] {
               for (long i = 0; i < probes; ++i)
                   Check(OsUserWaitForMultipleObjects(kEvents, events.data(), FALSE, 0) == WAIT_TIMEOUT, "probe");
           },
           [&] {
               for (long i = 0; i < probes; ++i) {
                   int busy = 0;
                   for (auto& m : held)
                       busy += pthread_mutex_trylock(&m) == EBUSY;
                   Check(busy == kEvents, "try-lock");
               }
           },
           3.0);
    for (auto& m : held) {
        pthread_mutex_unlock(&m);
        pthread_mutex_destroy(&m);
    }
    for (auto e : events)
        OsUserCloseHandle(e);
}

unsigned int Nothing(void*) { return 0; }

void CreateJoin()
{
    const long n = 3000 * g_scale;
    Report("thread create+wait+close", n,
           [&] {
               for (long i = 0; i < n; ++i) {
                   OS_USER_THREAD_HANDLE thread = OsUserCreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
                   Check(thread != nullptr, "create");
                   OsUserWaitForSingleObject(thread, INFINITE);
                   OsUserCloseHandle(thread);
               }
           },
           [&] {
               for (long i = 0; i < n; ++i) {
                   std::thread thread([] { Nothing(nullptr); });
                   thread.join();
               }
           },
           1.1);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        g_scale = std::max(1L, atol(argv[1]));
    PrintLoad("before");
    PingPong();
    Uncontended();
    WaitAny64();
    CreateJoin();
    PrintLoad("after");
    return 0;
}
