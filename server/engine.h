// The effector engine: runs the transitions that the judgement yields,
// beside the receive loop and driven by the same wait, so that no peer, no
// command and no name server can hold up the reception of datagrams.
//
// Work is kept per account name and family. The steps of one transition run
// in the order of the effector list, each started when the one before it has
// finished (a zone change, a dns-update exchange or a command may take a
// while; a kill does not). A transition that comes while one of the same
// account and family runs waits for it, and replaces any transition that was
// already waiting: only the latest address matters. Different accounts
// proceed independently. A pass whose steps failed is tried again, only the
// failed steps, after 2 s, then twice as long each time up to 300 s, unless
// a newer transition replaces it first. All zone changes that are ready in
// one pass of the engine are written with one rewrite per zone file. That
// rewrite is the one piece of work the loop does itself: local files, read
// and synced once per zone per pass however many changes it holds, and a
// full disk fails it at once rather than holding it up.
#pragma once

#include "common/process/array.h"
#include "server/presence.h"
#include "server/state.h"

#include <cstddef>
#include <cstdint>
#include <poll.h>

struct engine_limits {
    int system_max;     // commands running at once, at least 1
    int system_timeout; // seconds a command may run before it is killed
    int exchange_max;   // dns-update exchanges at once, at least 1
};

inline constexpr engine_limits ENGINE_DEFAULT_LIMITS = {8, 60, 256};
inline constexpr int ENGINE_RETRY_FIRST = 2; // seconds
inline constexpr int ENGINE_RETRY_MAX = 300; // seconds

struct engine;

// A new engine with the default limits; null when out of memory (logged).
engine *engine_create();
// Abandons whatever is in flight: sockets are closed, running commands are
// left to finish on their own and are not waited for.
void engine_destroy(engine *e);
void engine_set_limits(engine *e, const engine_limits *limits);

// Takes on the transition (holding its own reference to the plan). A
// transition without a plan asks nothing.
void engine_submit(engine *e, const presence_transition *t, int64_t now_ms);

// Appends the descriptors the engine waits on to pollfds (an array of
// pollfd); engine_run must get the same array after the wait, with nothing
// removed before them.
void engine_pollfds(engine *e, array *pollfds);
// Milliseconds until the engine needs a pass whatever its descriptors say,
// -1 for none.
int32_t engine_timeout(const engine *e, int64_t now_ms);
// Reaps commands, reads answers and lookups, starts what is ready and
// writes the zone changes that are ready. now_ms is the monotonic clock.
void engine_run(engine *e, const array *pollfds, int64_t now_ms);
// True while a pass runs: a step in flight or waiting for room.
bool engine_in_flight(const engine *e);
// True when nothing is in flight, waiting or to be retried.
bool engine_idle(const engine *e);
// Moves whenever the pending work changes, so that the state file can
// follow it.
uint64_t engine_changes(const engine *e);

// Appends the unfinished work to out (an array of state_pending), one entry
// per account and family at most: the address of the latest transition and
// the steps still to run. The names are valid until the engine next runs.
void engine_pending_list(const engine *e, array *out);
