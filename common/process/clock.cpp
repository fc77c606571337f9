// Clock seam.
#include "common/process/clock.h"

namespace {
time_t (*g_source)() = nullptr;
}

time_t clock_now() {
    return g_source != nullptr ? g_source() : time(nullptr);
}
void clock_set_source(time_t (*source)()) {
    g_source = source;
}
int64_t clock_mono_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}
