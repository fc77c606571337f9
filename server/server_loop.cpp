// The server's receive loop.
#include "server/server_loop.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/log_limit.h"
#include "server/engine.h"
#include "server/presence.h"
#include "server/state.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace {

// Written only by the handler; file-local so that a program or test that
// links the client's loop as well has one flag of each.
volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reload_requested = 0;

void sigterm_handler(int /*sig*/) {
    stop_requested = 1;
}

void sighup_handler(int /*sig*/) {
    reload_requested = 1;
}

// Only ends the wait: the engine reaps its commands after every wait.
void sigchld_handler(int /*sig*/) {}

} // namespace

void server_signals_install(sigset_t *wait_mask) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGHUP);
    sigaddset(&term, SIGCHLD);
    // Blocked before the handlers exist, so a signal arriving in between
    // waits for the first wait instead of killing the process.
    sigprocmask(SIG_BLOCK, &term, wait_mask);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGHUP);
    sigdelset(wait_mask, SIGCHLD);

    struct sigaction sa = {};
    sa.sa_handler = sigterm_handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the signals must cut the wait short.
    sa.sa_flags = 0;
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = sighup_handler;
    sigaction(SIGHUP, &sa, nullptr);
    // A command of the system effector that ends cuts the wait short, so it
    // is reaped at once rather than at the next datagram.
    sa.sa_handler = sigchld_handler;
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

namespace {

// poll() over the whole set with SIGTERM deliverable only for the duration
// of the wait. Checking stop_requested and then entering a plain poll()
// would lose a SIGTERM arriving in between until the next datagram; here a
// SIGTERM arriving at any other moment stays pending and ends the wait at
// once.
int server_wait(const array *pollfds, int32_t timeout_ms, const sigset_t *wait_mask) {
    auto *fds = static_cast<pollfd *>(pollfds->data);
    auto n = static_cast<nfds_t>(pollfds->count);
#ifdef ZORVEL_HAVE_PPOLL
    timespec ts = {};
    const timespec *limit = nullptr;
    if (timeout_ms >= 0) {
        ts.tv_sec = timeout_ms / 1000;
        ts.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
        limit = &ts;
    }
    return ppoll(fds, n, limit, wait_mask);
#else
    // Without ppoll() a SIGTERM between the unblocking and poll() is only
    // seen at the next wake-up; the check narrows that gap to a few
    // instructions.
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, wait_mask, &blocked);
    int rc = -1;
    errno = EINTR;
    if (!stop_requested && !reload_requested)
        rc = poll(fds, n, timeout_ms);
    int err = errno;
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    errno = err;
    return rc;
#endif
}

} // namespace

void server_receive(const array *pollfds, array *slots) {
    for (int32_t i = 0; i < pollfds->count; i++) {
        const auto *p = static_cast<const pollfd *>(array_get(pollfds, i));
        if ((p->revents & (POLLERR | POLLHUP)) != 0) {
            log_polled_socket_error();
            continue;
        }
        if ((p->revents & POLLIN) == 0)
            continue;
        // Without a slot the datagram is left in the socket: the next
        // poll() reports it again, when memory may be available.
        int32_t k = array_append(slots);
        if (k < 0)
            continue;
        auto *slot = static_cast<recv_slot *>(array_get(slots, k));
        socklen_t peer_len = sizeof slot->peer;
        ssize_t n = recvfrom(p->fd, slot->data, sizeof slot->data, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&slot->peer), &peer_len);
        if (n < 0) {
            int err = errno;
            // Readiness without a datagram (one dropped for a bad checksum
            // after poll() saw it) is nothing received, not a failure.
            if (err != EAGAIN && err != EWOULDBLOCK)
                log_recvfrom_failure(err);
            slots->count--;
            continue;
        }
        slot->len = n;
    }
}

namespace {

// The shorter of two waits, -1 standing for none.
int32_t earlier(int32_t a, int32_t b) {
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

} // namespace

namespace {

// While datagrams keep coming without a wait, the modification time of the
// configuration is looked at no more often than this: under a flood, one
// stat() per datagram costs half again as much as receiving it, and the time
// it looks for has whole seconds only.
constexpr int64_t RELOAD_CHECK_GAP_NS = 200000;

int64_t monotonic_ns() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The changes of the pass go to the engine, which holds its own
// references; the table they came from may go at the next load.
// The clock is read only when there is something to hand over: the loop's
// passes cost the same as before the engine while it has nothing to do.
void hand_over(server_config *cfg, engine *eng) {
    if (cfg->transitions.count == 0)
        return;
    int64_t now = clock_mono_ms();
    for (int32_t i = 0; i < cfg->transitions.count; i++)
        engine_submit(eng, static_cast<presence_transition *>(array_get(&cfg->transitions, i)),
                      now);
    presence_transitions_clear(&cfg->transitions);
}

struct engine_owner {
    engine *e = engine_create();
    array pending;
    engine_owner() { array_init(&pending, sizeof(state_pending)); }
    ~engine_owner() {
        engine_destroy(e);
        array_free(&pending);
    }
    engine_owner(const engine_owner &) = delete;
    engine_owner &operator=(const engine_owner &) = delete;

    const array *pending_work() {
        pending.count = 0;
        engine_pending_list(e, &pending);
        return &pending;
    }
};

} // namespace

void server_loop_run(server_config *cfg, array *slots, const sigset_t *wait_mask) {
    engine_owner eng;
    if (cfg->transitions.elem_size != sizeof(presence_transition))
        array_init(&cfg->transitions, sizeof(presence_transition));
    engine_set_limits(eng.e, &cfg->limits);
    // Work restored from the state file starts before the first wait.
    hand_over(cfg, eng.e);
    // The listening sockets first, then the engine's: server_receive reads
    // only the first part.
    array fds;
    array_init(&fds, sizeof(pollfd));
    // The first sweep walks the table once: accounts restored from the state
    // file may be due already.
    int32_t timeout = presence_sweep(&cfg->accounts, &cfg->presence, &cfg->transitions);
    hand_over(cfg, eng.e);
    engine_run(eng.e, nullptr, clock_mono_ms());
    state_writer writer = {};
    int64_t checked = 0;
    for (;;) {
        // A pending write is never put off past its interval by a quiet
        // network.
        // The engine's pending work is listed only for a write that is due.
        uint64_t changes = cfg->presence.changes + engine_changes(eng.e);
        time_t now = clock_now();
        int32_t due = state_flush_due(&writer, cfg->state_path, changes, now);
        if (due == 0)
            due = state_flush(&writer, cfg->state_path, &cfg->accounts, changes, now,
                              eng.pending_work());
        timeout = earlier(timeout, due);
        if (!engine_idle(eng.e))
            timeout = earlier(timeout, engine_timeout(eng.e, clock_mono_ms()));
        // SIGTERM is blocked here; a flag set while something else had it
        // unblocked is honoured before waiting rather than at the next wake.
        if (stop_requested)
            break;
        // While the engine is idle the listening sockets are all there is to
        // wait on, and the pass is what it was without it.
        fds.count = 0;
        bool have_fds = !engine_idle(eng.e) && array_reserve(&fds, cfg->pollfds.count + 1) != 0;
        for (int32_t i = 0; have_fds && i < cfg->pollfds.count; i++)
            *static_cast<pollfd *>(array_get(&fds, array_append(&fds))) =
                *static_cast<const pollfd *>(array_get(&cfg->pollfds, i));
        if (have_fds)
            engine_pollfds(eng.e, &fds);
        const array *polled = have_fds ? &fds : &cfg->pollfds;
        // A pass that had to wait always looks at the configuration, so a
        // change made while the server was idle judges the next datagram.
        bool waited = true;
        if (!reload_requested) {
            int ready = server_wait(polled, 0, wait_mask);
            waited = ready == 0;
            if (ready == 0)
                ready = server_wait(polled, timeout, wait_mask);
            if (ready < 0) {
                // A SIGHUP or a command's end that cut the wait short leaves
                // nothing to receive; any other failure ends the loop.
                if (errno != EINTR)
                    break;
            } else {
                array listeners = *polled;
                listeners.count = cfg->pollfds.count;
                server_receive(&listeners, slots);
            }
        }
        if (stop_requested)
            break;
        // A reload asked for by SIGHUP reads the file as a changed one would
        // be read, whatever its modification time says.
        if (reload_requested) {
            reload_requested = 0;
            cfg->mtime = 0;
            waited = true;
        }
        // Received first, then reloaded: this pass's datagrams are judged by
        // the configuration that is in force now.
        int64_t now_ns = monotonic_ns();
        if (waited || now_ns - checked >= RELOAD_CHECK_GAP_NS) {
            server_config_load(cfg);
            engine_set_limits(eng.e, &cfg->limits);
            hand_over(cfg, eng.e);
            checked = now_ns;
        }
        for (int32_t i = 0; i < slots->count; i++)
            update_accept(&cfg->accounts, static_cast<recv_slot *>(array_get(slots, i)),
                          &cfg->presence, &cfg->transitions);
        slots->count = 0;
        timeout = presence_sweep(&cfg->accounts, &cfg->presence, &cfg->transitions);
        // Counted refusals are summarised even when the flood has stopped.
        timeout = earlier(timeout, log_limit_flush(clock_now()));
        hand_over(cfg, eng.e);
        if (!engine_idle(eng.e))
            engine_run(eng.e, have_fds ? &fds : nullptr, clock_mono_ms());
    }
    // At the orderly stop always: the times of the last messages are then
    // as fresh as they can be for the next start, and the work the engine
    // has not finished is taken up by the next.
    if (cfg->state_path != nullptr)
        state_write(cfg->state_path, &cfg->accounts, eng.pending_work());
    array_free(&fds);
}
