#include "platform/platform.h"

#include <cerrno>
#include <ctime>

uint32_t GetTickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t steady_now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t us = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
    return static_cast<uint32_t>(us);
}

bool IsTimeOut() {
    int e = errno;
    return e == EAGAIN || e == EWOULDBLOCK || e == ETIME;
}
