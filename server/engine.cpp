// The effector engine beside the receive loop.
#include "server/engine.h"

#include "common/process/log.h"
#include "server/dns_exchange.h"
#include "server/effector.h"
#include "server/effector_plan.h"
#include "server/resolver.h"
#include "server/zone.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

enum class step_state : uint8_t { todo, done, failed };
enum class flight : uint8_t { none, zone, system, lookup, dns };

struct job {
    effector_plan *plan;
    int family;
    uint8_t addr[16];
    step_state *state; // one per step of the plan
    uint32_t cursor;   // the step the pass is at
    bool in_pass;
    uint32_t attempt; // passes begun
    int64_t retry_at;
    // The step in flight.
    flight fl;
    bool fl_failed;
    uint32_t zone_units;
    pid_t child;
    char *cmd;
    int64_t child_deadline;
    bool killed;
    dns_exchange *x;
    bool wake;
    bool waiting_room; // a lookup done, the exchange waits for room
};

struct slot {
    char *name;
    size_t name_len;
    int family;
    job *cur;
    job *queued;
    bool active;
};

struct zone_unit {
    const char *path;
    job *j;
    uint32_t seq;
};

size_t addr_len(int family) {
    return family == AF_INET6 ? 16 : 4;
}

uint16_t dns_type(int family) {
    return family == AF_INET6 ? DNS_TYPE_AAAA : DNS_TYPE_A;
}

uint64_t hash_of(const char *name, size_t len, int family) {
    uint64_t h = 1469598103934665603ull ^ static_cast<uint64_t>(family);
    for (size_t i = 0; i < len; i++)
        h = (h ^ static_cast<uint8_t>(name[i])) * 1099511628211ull;
    return h;
}

} // namespace

struct engine {
    engine_limits lim = ENGINE_DEFAULT_LIMITS;
    slot **table = nullptr; // open addressing on name and family
    size_t table_cap = 0;
    size_t table_used = 0;
    slot **active = nullptr;
    size_t nactive = 0;
    size_t active_cap = 0;
    int children = 0;
    int exchanges = 0;
    uint64_t changes = 0;
    bool again = false;
    array polled; // of job *, one per descriptor appended; null: the resolver's
    int32_t poll_base = 0;
    array units; // of zone_unit, the zone changes of this round
    uint32_t seq = 0;
};

namespace {

void free_job(engine *e, job *j) {
    if (j == nullptr)
        return;
    if (j->x != nullptr) {
        dns_exchange_close(j->x);
        delete j->x;
        e->exchanges--;
    }
    free(j->cmd);
    free(j->state);
    effector_plan_drop(j->plan);
    delete j;
}

job *new_job(const presence_transition *t) {
    auto *j = new (std::nothrow) job{};
    if (j == nullptr)
        return nullptr;
    j->state = static_cast<step_state *>(calloc(t->plan->nsteps, sizeof(step_state)));
    if (j->state == nullptr) {
        delete j;
        return nullptr;
    }
    j->plan = t->plan;
    effector_plan_hold(j->plan);
    j->family = t->family;
    memcpy(j->addr, t->to, addr_len(t->family));
    for (uint32_t i = 0; i < t->plan->nsteps; i++)
        if ((t->steps & effector_step_bit(i)) == 0)
            j->state[i] = step_state::done;
    return j;
}

bool grow_table(engine *e) {
    size_t cap = e->table_cap == 0 ? 64 : e->table_cap * 2;
    auto **t = static_cast<slot **>(calloc(cap, sizeof(slot *)));
    if (t == nullptr)
        return false;
    for (size_t i = 0; i < e->table_cap; i++) {
        slot *s = e->table[i];
        if (s == nullptr)
            continue;
        size_t k = hash_of(s->name, s->name_len, s->family) & (cap - 1);
        while (t[k] != nullptr)
            k = (k + 1) & (cap - 1);
        t[k] = s;
    }
    free(e->table);
    e->table = t;
    e->table_cap = cap;
    return true;
}

// The slot of the account name and family, or null when it has none.
slot *slot_find(const engine *e, const char *name, size_t len, int family) {
    if (e->table_cap == 0)
        return nullptr;
    size_t k = hash_of(name, len, family) & (e->table_cap - 1);
    for (; e->table[k] != nullptr; k = (k + 1) & (e->table_cap - 1)) {
        slot *s = e->table[k];
        if (s->family == family && s->name_len == len && memcmp(s->name, name, len) == 0)
            return s;
    }
    return nullptr;
}

// The slot of the account name and family, made when there is none yet;
// null when out of memory.
slot *slot_of(engine *e, const char *name, size_t len, int family) {
    if (slot *s = slot_find(e, name, len, family))
        return s;
    if ((e->table_used + 1) * 2 > e->table_cap && !grow_table(e))
        return nullptr;
    size_t k = hash_of(name, len, family) & (e->table_cap - 1);
    while (e->table[k] != nullptr)
        k = (k + 1) & (e->table_cap - 1);
    auto *s = new (std::nothrow) slot{};
    if (s == nullptr)
        return nullptr;
    s->name = static_cast<char *>(malloc(len > 0 ? len : 1));
    if (s->name == nullptr) {
        delete s;
        return nullptr;
    }
    memcpy(s->name, name, len);
    s->name_len = len;
    s->family = family;
    e->table[k] = s;
    e->table_used++;
    return s;
}

bool activate(engine *e, slot *s) {
    if (s->active)
        return true;
    if (e->nactive == e->active_cap) {
        size_t cap = e->active_cap == 0 ? 64 : e->active_cap * 2;
        auto **a = static_cast<slot **>(realloc(e->active, cap * sizeof(slot *)));
        if (a == nullptr)
            return false;
        e->active = a;
        e->active_cap = cap;
    }
    e->active[e->nactive++] = s;
    s->active = true;
    return true;
}

void start_pass(job *j) {
    j->in_pass = true;
    j->cursor = 0;
    j->attempt++;
}

void supersede(slot *s, const job *old, const job *by) {
    log_effector_superseded(s->name, s->name_len, s->family, old->addr, by->addr);
}

pid_t spawn_shell(char *cmd) {
    pid_t pid = fork();
    if (pid == 0) {
        // Its own process group, so a time limit reaches whatever the
        // shell started; and the server's blocked signals are not its own.
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        char sh[] = "sh", c[] = "-c";
        char *argv[] = {sh, c, cmd, nullptr};
        execve("/bin/sh", argv, environ);
        _exit(127);
    }
    if (pid > 0)
        setpgid(pid, pid);
    return pid;
}

// Starts the step at the cursor; false when it must wait for room.
bool start_step(engine *e, slot *s, job *j, int64_t now) {
    const effector_plan *p = j->plan;
    const effector_step &st = p->steps[j->cursor];
    step_state &state = j->state[j->cursor];
    switch (st.kind) {
    case effector_kind::kill:
        effector_kill_form(st.args);
        state = step_state::done;
        return true;
    case effector_kind::unknown:
        log_unknown_effector(sx_text(st.keyword));
        state = step_state::done;
        return true;
    case effector_kind::dns_invalid: {
        // Logged as each run logged it; running it again cannot help.
        dns_update_conf c;
        dns_update_parse(st.args, p->name, p->name_len, &c);
        state = step_state::done;
        return true;
    }
    case effector_kind::system: {
        if (e->children >= e->lim.system_max)
            return false;
        char *cmd = effector_command(st.args, p->name, p->name_len, j->family, j->addr);
        if (cmd == nullptr) {
            state = step_state::done;
            return true;
        }
        pid_t pid = spawn_shell(cmd);
        if (pid < 0) {
            log_system_fail(cmd);
            free(cmd);
            state = step_state::failed;
            return true;
        }
        j->cmd = cmd;
        j->child = pid;
        j->killed = false;
        j->child_deadline = now + int64_t{e->lim.system_timeout} * 1000;
        j->fl = flight::system;
        e->children++;
        return true;
    }
    case effector_kind::zone: {
        j->zone_units = 0;
        j->fl_failed = false;
        for (const sx_node *n = st.args; n != nullptr; n = n->next) {
            const char *path = zone_path_of(n, p->name, p->name_len, j->family, j->addr);
            if (path == nullptr)
                continue;
            int32_t k = array_append(&e->units);
            if (k < 0) {
                // Without room to batch it, the change is written alone.
                if (zone_update(path, p->name, p->name_len, j->family, j->addr) != 0)
                    j->fl_failed = true;
                continue;
            }
            *static_cast<zone_unit *>(array_get(&e->units, k)) = {path, j, e->seq++};
            j->zone_units++;
        }
        if (j->zone_units == 0)
            state = j->fl_failed ? step_state::failed : step_state::done;
        else
            j->fl = flight::zone;
        return true;
    }
    case effector_kind::dns_update:
        if (j->attempt > 1)
            dns_update_log_retry(st.dns, p->name, p->name_len, dns_type(j->family), j->addr);
        j->fl = flight::lookup;
        return true;
    }
    (void)s;
    return true;
}

// Moves the step in flight on; true once it has finished, its outcome set.
bool poll_flight(engine *e, job *j, int64_t now) {
    const effector_plan *p = j->plan;
    const effector_step &st = p->steps[j->cursor];
    step_state &state = j->state[j->cursor];
    switch (j->fl) {
    case flight::none:
        return true;
    case flight::zone:
        if (j->zone_units > 0)
            return false;
        state = j->fl_failed ? step_state::failed : step_state::done;
        break;
    case flight::system: {
        int status = 0;
        pid_t r = waitpid(j->child, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR)) {
            if (now >= j->child_deadline && !j->killed) {
                if (kill(-j->child, SIGKILL) != 0)
                    kill(j->child, SIGKILL);
                j->killed = true;
                log_system_timeout(j->cmd, e->lim.system_timeout);
            }
            return false;
        }
        e->children--;
        if (j->killed)
            state = step_state::failed;
        else if (r < 0)
            state = step_state::done; // reaped by someone else: its status is lost
        else if (status != 0) {
            log_system_failure(j->cmd, status);
            state = step_state::failed;
        } else {
            state = step_state::done;
        }
        free(j->cmd);
        j->cmd = nullptr;
        break;
    }
    case flight::lookup: {
        j->waiting_room = e->exchanges >= e->lim.exchange_max;
        if (j->waiting_room)
            return false;
        dns_exchange_peer peers[DNS_EXCHANGE_MAX_PEERS];
        int n = 0, gai = 0;
        switch (resolver_lookup(st.dns->host, st.dns->port, now, peers, &n, &gai)) {
        case resolver_status::pending:
            return false;
        case resolver_status::failed:
            dns_update_lookup_failed(st.dns, p->name, p->name_len, dns_type(j->family), j->addr,
                                     gai);
            state = step_state::failed;
            j->fl = flight::none;
            return true;
        case resolver_status::ready:
            break;
        }
        j->x = new (std::nothrow) dns_exchange;
        if (j->x == nullptr)
            return false;
        e->exchanges++;
        dns_exchange_start(j->x, st.dns, dns_update_new_id(), dns_type(j->family), j->addr, peers,
                           n, now);
        j->fl = flight::dns;
        j->wake = false;
        [[fallthrough]];
    }
    case flight::dns: {
        if (!j->x->finished && (j->wake || now >= dns_exchange_due(j->x)))
            dns_exchange_step(j->x, now);
        j->wake = false;
        if (!j->x->finished)
            return false;
        dns_exchange_close(j->x);
        dns_update_result r =
            dns_update_report(st.dns, p->name, p->name_len, dns_type(j->family), j->addr, j->x);
        delete j->x;
        j->x = nullptr;
        e->exchanges--;
        // The addresses may be what failed: the next try looks them up anew.
        if (r == dns_update_result::no_answer || r == dns_update_result::failed)
            resolver_forget(st.dns->host, st.dns->port);
        state = r == dns_update_result::applied ? step_state::done : step_state::failed;
        break;
    }
    }
    j->fl = flight::none;
    return true;
}

// Ends the pass of the slot's current job; true when it handed over to a
// waiting transition, whose pass has then begun.
bool finish_pass(engine *e, slot *s, int64_t now) {
    job *j = s->cur;
    j->in_pass = false;
    unsigned failed = 0;
    for (uint32_t i = 0; i < j->plan->nsteps; i++)
        failed += j->state[i] == step_state::failed ? 1 : 0;
    e->changes++;
    if (failed == 0 || s->queued != nullptr) {
        if (failed != 0)
            supersede(s, j, s->queued);
        free_job(e, j);
        s->cur = s->queued;
        s->queued = nullptr;
        if (s->cur == nullptr)
            return false;
        start_pass(s->cur);
        return true;
    }
    uint32_t shift = j->attempt > 1 ? j->attempt - 1 : 0;
    int64_t delay = shift >= 8 ? ENGINE_RETRY_MAX : int64_t{ENGINE_RETRY_FIRST} << shift;
    if (delay > ENGINE_RETRY_MAX)
        delay = ENGINE_RETRY_MAX;
    j->retry_at = now + delay * 1000;
    log_effector_retry_later(s->name, s->name_len, s->family, j->addr, failed,
                             static_cast<int>(delay));
    return false;
}

// Runs the current job of the slot as far as it goes without waiting.
void advance(engine *e, slot *s, int64_t now) {
    job *j = s->cur;
    if (!j->in_pass) {
        if (now < j->retry_at)
            return;
        unsigned count = 0;
        for (uint32_t i = 0; i < j->plan->nsteps; i++)
            if (j->state[i] == step_state::failed) {
                j->state[i] = step_state::todo;
                count++;
            }
        start_pass(j);
        log_effector_retrying(s->name, s->name_len, s->family, j->addr, count, j->attempt - 1);
    }
    while (j->cursor < j->plan->nsteps) {
        if (j->fl != flight::none) {
            if (!poll_flight(e, j, now))
                return;
            j->cursor++;
            continue;
        }
        if (j->state[j->cursor] == step_state::done) {
            j->cursor++;
            continue;
        }
        if (!start_step(e, s, j, now))
            return;
        if (j->fl == flight::none)
            j->cursor++;
        else if (j->fl == flight::zone)
            return; // waits for this round's batch
    }
    // The next transition, if one waited, starts at once.
    if (finish_pass(e, s, now))
        advance(e, s, now);
}

int unit_cmp(const void *a, const void *b) {
    const auto *x = static_cast<const zone_unit *>(a);
    const auto *y = static_cast<const zone_unit *>(b);
    int c = strcmp(x->path, y->path);
    if (c != 0)
        return c;
    return x->seq < y->seq ? -1 : x->seq > y->seq ? 1 : 0;
}

// Every zone file with changes this round is written once, its changes in
// the order they came.
void run_zone_batches(engine *e) {
    auto *u = static_cast<zone_unit *>(e->units.data);
    auto n = static_cast<size_t>(e->units.count);
    qsort(u, n, sizeof *u, unit_cmp);
    for (size_t i = 0; i < n;) {
        size_t k = i + 1;
        while (k < n && strcmp(u[k].path, u[i].path) == 0)
            k++;
        size_t m = k - i;
        auto *changes = static_cast<zone_change *>(malloc(m * sizeof(zone_change)));
        auto *ok = static_cast<bool *>(malloc(m * sizeof(bool)));
        if (changes != nullptr && ok != nullptr) {
            for (size_t c = 0; c < m; c++) {
                job *j = u[i + c].j;
                changes[c] = {j->plan->name, j->plan->name_len, j->family, j->addr};
            }
            zone_update_batch(u[i].path, changes, m, ok);
        }
        for (size_t c = 0; c < m; c++) {
            job *j = u[i + c].j;
            if (changes == nullptr || ok == nullptr) {
                if (zone_update(u[i + c].path, j->plan->name, j->plan->name_len, j->family,
                                j->addr) != 0)
                    j->fl_failed = true;
            } else if (!ok[c]) {
                j->fl_failed = true;
            }
            j->zone_units--;
        }
        free(changes);
        free(ok);
        i = k;
    }
    e->units.count = 0;
}

} // namespace

engine *engine_create() {
    auto *e = new (std::nothrow) engine;
    if (e == nullptr) {
        log_effector_plan_alloc_failed("", 0);
        return nullptr;
    }
    array_init(&e->polled, sizeof(job *));
    array_init(&e->units, sizeof(zone_unit));
    return e;
}

void engine_destroy(engine *e) {
    if (e == nullptr)
        return;
    for (size_t i = 0; i < e->table_cap; i++) {
        slot *s = e->table[i];
        if (s == nullptr)
            continue;
        free_job(e, s->cur);
        free_job(e, s->queued);
        free(s->name);
        delete s;
    }
    free(e->table);
    free(e->active);
    array_free(&e->polled);
    array_free(&e->units);
    delete e;
}

void engine_set_limits(engine *e, const engine_limits *limits) {
    e->lim = *limits;
    if (e->lim.system_max < 1)
        e->lim.system_max = 1;
    if (e->lim.system_timeout < 1)
        e->lim.system_timeout = 1;
    if (e->lim.exchange_max < 1)
        e->lim.exchange_max = 1;
}

void engine_submit(engine *e, const presence_transition *t, int64_t now_ms) {
    if (e == nullptr || t->plan == nullptr || t->plan->nsteps == 0)
        return;
    if (t->steps == 0) {
        slot *s = slot_find(e, t->plan->name, t->plan->name_len, t->family);
        if (s != nullptr && s->cur != nullptr && !s->cur->in_pass &&
            memcmp(s->cur->addr, t->to, addr_len(t->family)) == 0)
            s->cur->retry_at = now_ms;
        return;
    }
    slot *s = slot_of(e, t->plan->name, t->plan->name_len, t->family);
    job *j = s != nullptr ? new_job(t) : nullptr;
    if (j == nullptr || !activate(e, s)) {
        free_job(e, j);
        log_effector_plan_alloc_failed(t->plan->name, t->plan->name_len);
        return;
    }
    e->changes++;
    if (s->cur == nullptr) {
        s->cur = j;
        start_pass(j);
    } else if (s->cur->in_pass) {
        // Only the latest address matters: a waiting change is dropped.
        if (s->queued != nullptr) {
            supersede(s, s->queued, j);
            free_job(e, s->queued);
        }
        s->queued = j;
    } else {
        // A pass waiting for its retry is replaced whole.
        supersede(s, s->cur, j);
        free_job(e, s->cur);
        s->cur = j;
        start_pass(j);
    }
}

void engine_pollfds(engine *e, array *pollfds) {
    e->polled.count = 0;
    e->poll_base = pollfds->count;
    auto add = [&](int fd, short events, job *j) {
        int32_t k = array_append(pollfds);
        if (k < 0)
            return;
        int32_t m = array_append(&e->polled);
        if (m < 0) {
            pollfds->count--;
            return;
        }
        *static_cast<pollfd *>(array_get(pollfds, k)) = pollfd{fd, events, 0};
        *static_cast<job **>(array_get(&e->polled, m)) = j;
    };
    // Idle, nothing waits for a lookup; a late wake-up is drained by the
    // next run that does.
    if (resolver_fd() >= 0 && e->nactive > 0)
        add(resolver_fd(), POLLIN, nullptr);
    for (size_t i = 0; i < e->nactive; i++) {
        job *j = e->active[i]->cur;
        if (j == nullptr || j->fl != flight::dns || j->x == nullptr)
            continue;
        pollfd fds[DNS_EXCHANGE_MAX_PEERS];
        int n = dns_exchange_pollfds(j->x, fds, DNS_EXCHANGE_MAX_PEERS);
        for (int k = 0; k < n; k++)
            add(fds[k].fd, fds[k].events, j);
    }
}

int32_t engine_timeout(const engine *e, int64_t now_ms) {
    if (e == nullptr)
        return -1;
    if (e->again)
        return 0;
    int64_t due = INT64_MAX;
    for (size_t i = 0; i < e->nactive; i++) {
        const job *j = e->active[i]->cur;
        if (j == nullptr)
            continue;
        int64_t at = INT64_MAX;
        if (!j->in_pass)
            at = j->retry_at;
        else if (j->fl == flight::dns)
            at = dns_exchange_due(j->x);
        else if (j->fl == flight::system)
            // SIGCHLD ends the wait; the second is for a platform where it
            // cannot, and for the time limit.
            at = j->child_deadline < now_ms + 1000 ? j->child_deadline : now_ms + 1000;
        else if (j->fl == flight::lookup)
            at = j->waiting_room && e->exchanges < e->lim.exchange_max ? now_ms : INT64_MAX;
        else if (j->fl == flight::none) {
            const effector_step &st = j->plan->steps[j->cursor < j->plan->nsteps ? j->cursor : 0];
            if (st.kind != effector_kind::system || e->children < e->lim.system_max)
                at = now_ms;
        } else {
            at = now_ms;
        }
        if (at < due)
            due = at;
    }
    if (due == INT64_MAX)
        return -1;
    int64_t left = due - now_ms;
    if (left <= 0)
        return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left);
}

void engine_run(engine *e, const array *pollfds, int64_t now_ms) {
    if (e == nullptr)
        return;
    e->again = false;
    if (pollfds != nullptr) {
        for (int32_t k = 0; k < e->polled.count; k++) {
            const auto *p = static_cast<const pollfd *>(array_get(pollfds, e->poll_base + k));
            if (p == nullptr || p->revents == 0)
                continue;
            job *j = *static_cast<job **>(array_get(&e->polled, k));
            if (j == nullptr)
                resolver_drain();
            else
                j->wake = true;
        }
    }
    e->polled.count = 0;
    // Rounds: a zone batch lets its jobs go on to their next steps, whose
    // zone changes make the next round's batch.
    for (int round = 0; round < 16; round++) {
        for (size_t i = 0; i < e->nactive;) {
            slot *s = e->active[i];
            if (s->cur != nullptr)
                advance(e, s, now_ms);
            if (s->cur == nullptr) {
                s->active = false;
                e->active[i] = e->active[--e->nactive];
                continue;
            }
            i++;
        }
        if (e->units.count == 0)
            return;
        run_zone_batches(e);
    }
    e->again = true;
}

bool engine_in_flight(const engine *e) {
    for (size_t i = 0; e != nullptr && i < e->nactive; i++)
        if (e->active[i]->cur != nullptr && e->active[i]->cur->in_pass)
            return true;
    return false;
}

bool engine_idle(const engine *e) {
    return e == nullptr || e->nactive == 0;
}

uint64_t engine_changes(const engine *e) {
    return e == nullptr ? 0 : e->changes;
}

void engine_pending_list(const engine *e, array *out) {
    if (e == nullptr)
        return;
    for (size_t i = 0; i < e->nactive; i++) {
        const slot *s = e->active[i];
        // A waiting transition replaces whatever the running one has left.
        const job *j = s->queued != nullptr ? s->queued : s->cur;
        if (j == nullptr)
            continue;
        uint64_t steps = 0;
        for (uint32_t k = 0; k < j->plan->nsteps; k++)
            if (j->state[k] != step_state::done)
                steps |= effector_step_bit(k);
        if (steps == 0)
            continue;
        int32_t m = array_append(out);
        if (m < 0)
            return;
        auto *p = static_cast<state_pending *>(array_get(out, m));
        *p = state_pending{};
        p->name = s->name;
        p->name_len = s->name_len;
        p->family = s->family;
        memcpy(p->addr, j->addr, addr_len(s->family));
        p->steps = steps;
    }
}
