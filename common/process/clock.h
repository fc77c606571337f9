// The one source of the current time for the server's judgement, sweep and
// zone serials, replaceable in tests so they never sleep to let time pass.
#pragma once

#include <cstdint>
#include <ctime>

// time(NULL), or the test source when one is set.
time_t clock_now();
// Test seam: a null source restores the real clock.
void clock_set_source(time_t (*source)());
// Milliseconds of the monotonic clock, for waits and deadlines: never
// stepped, and never the test source.
int64_t clock_mono_ms();
