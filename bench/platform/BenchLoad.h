// What else the machine was doing while a benchmark ran: its load average and core count.
#ifndef KV_BENCH_LOAD_H
#define KV_BENCH_LOAD_H

#include <stdio.h>
#include <unistd.h>

inline void PrintLoad(const char* when)
{
    double one = 0, five = 0, fifteen = 0;
    if (FILE* file = fopen("/proc/loadavg", "r")) {
        if (fscanf(file, "%lf %lf %lf", &one, &five, &fifteen) != 3) {
            one = five = fifteen = -1;
        }
        fclose(file);
    }
    printf("load average %s: %.2f %.2f %.2f (%ld cores)\n", when, one, five, fifteen,
           sysconf(_SC_NPROCESSORS_ONLN));
}

#endif  // KV_BENCH_LOAD_H
