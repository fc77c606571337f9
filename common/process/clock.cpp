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
