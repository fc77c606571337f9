// Runs an effector engine from a test as the server's loop would: submit,
// then wait on its descriptors and run it until it is idle, bounded in time.
#pragma once

#include "common/process/clock.h"
#include "server/engine.h"

#include <cstdint>
#include <ctime>
#include <poll.h>


// Hands the transitions (emptied) to e and runs it until no pass runs any
// more (what is left waits for a retry) or until max_ms have passed;
// offset_ms is added to the clock the engine sees, so a test can let retry
// delays pass. True when no pass runs.
inline bool engine_drive(engine *e, array *transitions, int max_ms = 10000,
                         int64_t offset_ms = 0) {
    int64_t start = clock_mono_ms();
    if (transitions != nullptr) {
        for (int32_t i = 0; i < transitions->count; i++)
            engine_submit(e, static_cast<presence_transition *>(array_get(transitions, i)),
                          start + offset_ms);
        presence_transitions_clear(transitions);
    }
    array fds;
    array_init(&fds, sizeof(pollfd));
    engine_run(e, nullptr, start + offset_ms);
    while (engine_in_flight(e) && clock_mono_ms() - start < max_ms) {
        fds.count = 0;
        engine_pollfds(e, &fds);
        int64_t now = clock_mono_ms() + offset_ms;
        int32_t t = engine_timeout(e, now);
        if (t < 0 || t > 50)
            t = 50;
        poll(static_cast<pollfd *>(fds.data), static_cast<nfds_t>(fds.count), t);
        engine_run(e, &fds, clock_mono_ms() + offset_ms);
    }
    array_free(&fds);
    return !engine_in_flight(e);
}

// The same with an engine of its own, for a test that only needs the
// transitions' effects.
inline bool engine_drive_once(array *transitions, int max_ms = 10000) {
    engine *e = engine_create();
    bool idle = engine_drive(e, transitions, max_ms);
    engine_destroy(e);
    return idle;
}
