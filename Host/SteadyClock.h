// The monotonic clock and the sleep of the programs around the plug-in (the
// loader's stand-ins for the host, the mount simulator), on both platforms.
// A sleep cut short by a signal goes on for what is left.
#ifndef STEADY_CLOCK_H
#define STEADY_CLOCK_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <time.h>
#endif

inline double SteadySeconds()
{
#ifdef _WIN32
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart / (double)frequency.QuadPart;
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
#endif
}

inline uint64_t SteadyMilliseconds()
{
#ifdef _WIN32
    return (uint64_t)(SteadySeconds() * 1000.0);
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
#endif
}

inline void SleepMilliseconds(unsigned ms)
{
#ifdef _WIN32
    Sleep(ms);
#else
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
#endif
}

#endif
