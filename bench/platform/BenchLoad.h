// What else the machine was doing while a benchmark ran: its load average and core count.
#ifndef KV_BENCH_LOAD_H
#define KV_BENCH_LOAD_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

inline void PrintLoad(const char* when)
{
    // getloadavg: Linux and FreeBSD alike (no /proc/loadavg on FreeBSD).
    double load[3] = {-1, -1, -1};
    if (getloadavg(load, 3) != 3) {
        printf("load average %s: not available (%ld cores)\n", when, sysconf(_SC_NPROCESSORS_ONLN));
        return;
    }
    printf("load average %s: %.2f %.2f %.2f (%ld cores)\n", when, load[0], load[1], load[2],
           sysconf(_SC_NPROCESSORS_ONLN));
}

#endif  // KV_BENCH_LOAD_H
