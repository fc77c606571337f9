// The server's receive loop.
#include "server/server_loop.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/log_limit.h"
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

} // namespace

void server_signals_install(sigset_t *wait_mask) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGHUP);
    // Blocked before the handlers exist, so a signal arriving in between
    // waits for the first wait instead of killing the process.
    sigprocmask(SIG_BLOCK, &term, wait_mask);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGHUP);

    struct sigaction sa = {};
    sa.sa_handler = sigterm_handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the signals must cut the wait short.
    sa.sa_flags = 0;
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = sighup_handler;
    sigaction(SIGHUP, &sa, nullptr);
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

// The shorter of two waits, -1 standing for none.
int32_t earlier(int32_t a, int32_t b) {
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

} // namespace

void server_loop_run(server_config *cfg, array *slots, const sigset_t *wait_mask) {
    // The first sweep walks the table once: accounts restored from the state
    // file may be due already.
    int32_t timeout = presence_sweep(&cfg->accounts, &cfg->presence);
    state_writer writer = {};
    int64_t checked = 0;
    for (;;) {
        // A pending write is never put off past its interval by a quiet
        // network.
        timeout = earlier(timeout, state_flush(&writer, cfg->state_path, &cfg->accounts,
                                               cfg->presence.changes, clock_now()));
        // SIGTERM is blocked here; a flag set while something else had it
        // unblocked is honoured before waiting rather than at the next wake.
        if (stop_requested)
            break;
        // A pass that had to wait always looks at the configuration, so a
        // change made while the server was idle judges the next datagram.
        bool waited = true;
        if (!reload_requested) {
            int ready = server_wait(&cfg->pollfds, 0, wait_mask);
            waited = ready == 0;
            if (ready == 0)
                ready = server_wait(&cfg->pollfds, timeout, wait_mask);
            if (ready < 0) {
                // A SIGHUP that cut the wait short leaves nothing to receive;
                // any other failure ends the loop.
                if (errno != EINTR || !reload_requested)
                    break;
            } else {
                server_receive(&cfg->pollfds, slots);
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
            checked = now_ns;
        }
        for (int32_t i = 0; i < slots->count; i++)
            update_accept(&cfg->accounts, static_cast<recv_slot *>(array_get(slots, i)),
                          &cfg->presence);
        slots->count = 0;
        timeout = presence_sweep(&cfg->accounts, &cfg->presence);
        // Counted refusals are summarised even when the flood has stopped.
        timeout = earlier(timeout, log_limit_flush(clock_now()));
    }
    // At the orderly stop always: the times of the last messages are then
    // as fresh as they can be for the next start.
    if (cfg->state_path != nullptr)
        state_write(cfg->state_path, &cfg->accounts);
}
