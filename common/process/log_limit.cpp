// The refusal limiter.
#include "common/process/log_limit.h"

#include "common/process/clock.h"
#include "common/process/log.h"

#include <cstring>
#include <sys/socket.h>

namespace {

constexpr size_t NAME_KEPT = 64;

enum class subject_type : uint8_t { none, account, network, other };

// Who a refusal is counted under. Networks keep only their prefix bytes, the
// rest zero, so that two senders of one network compare equal.
struct subject {
    subject_type type = subject_type::none;
    int family = 0;
    uint8_t net[16] = {};
    size_t name_len = 0;
    char name[NAME_KEPT] = {};
};

bool same_subject(const subject &a, const subject &b) {
    if (a.type != b.type)
        return false;
    switch (a.type) {
    case subject_type::account:
        return a.name_len == b.name_len &&
               memcmp(a.name, b.name, a.name_len < NAME_KEPT ? a.name_len : NAME_KEPT) == 0;
    case subject_type::network:
        return a.family == b.family && memcmp(a.net, b.net, sizeof a.net) == 0;
    default:
        return true;
    }
}

struct kind {
    bool used = false;
    log_refusal what = LOG_REFUSAL_INVALID_PACKET;
    subject who;
    time_t last = 0;      // the latest refusal of the kind
    uint32_t written = 0; // records of the current burst
    unsigned long counted = 0;
    time_t counted_since = 0; // when the unwritten count began
};

kind g_kinds[LOG_LIMIT_KINDS];
// The shared kind of each message, for its refusals that found no free slot:
// one per message, so that refusals of another message never take it over
// (which would start a new burst of records each time).
kind g_shared[LOG_REFUSAL_MESSAGES];
subject g_current;
bool g_follows = true;

void summarise(kind *k, time_t now) {
    const subject &s = k->who;
    log_refusals_summary(k->counted, k->counted_since, k->what,
                         s.type == subject_type::account ? s.name : nullptr,
                         s.name_len < NAME_KEPT ? s.name_len : NAME_KEPT,
                         s.type == subject_type::network ? s.family : 0, s.net);
    k->counted = 0;
    k->counted_since = now;
}

kind *find_or_add(log_refusal what, const subject &who) {
    kind *free_slot = nullptr;
    for (kind &k : g_kinds) {
        if (!k.used) {
            if (free_slot == nullptr)
                free_slot = &k;
            continue;
        }
        if (k.what == what && same_subject(k.who, who))
            return &k;
    }
    kind *k = free_slot;
    if (k == nullptr) {
        k = &g_shared[what];
        if (k->used)
            return k;
        *k = {};
        k->who.type = subject_type::other;
    } else {
        *k = {};
        k->who = who;
    }
    k->used = true;
    k->what = what;
    return k;
}

// Every kind, the shared ones included.
template <class F> void each_kind(F f) {
    for (kind &k : g_kinds)
        f(k);
    for (kind &k : g_shared)
        f(k);
}

} // namespace

void log_limit_sender(int family, const uint8_t *addr) {
    g_current = {};
    g_follows = true;
    g_current.type = subject_type::network;
    if (addr == nullptr || (family != AF_INET && family != AF_INET6))
        return;
    g_current.family = family;
    // A /24 or a /48: what one site is usually given, so that one noisy
    // site is one kind whatever address of it each datagram comes from.
    memcpy(g_current.net, addr, family == AF_INET ? 3 : 6);
}

void log_limit_account(const char *name, size_t name_len) {
    g_current = {};
    g_current.type = subject_type::account;
    g_current.name_len = name_len;
    if (name != nullptr)
        memcpy(g_current.name, name, name_len < NAME_KEPT ? name_len : NAME_KEPT);
}

bool log_limit_admit(log_refusal what) {
    time_t now = clock_now();
    kind *k = find_or_add(what, g_current);
    // A kind quiet for a period starts a new burst; a count still unwritten
    // is written first, so that counts are never lost to a new burst.
    if (k->written > 0 && now - k->last >= LOG_LIMIT_PERIOD) {
        if (k->counted > 0)
            summarise(k, now);
        k->written = 0;
    }
    k->last = now;
    if (k->written < LOG_LIMIT_BURST) {
        k->written++;
        g_follows = true;
        return true;
    }
    if (k->counted == 0)
        k->counted_since = now;
    k->counted++;
    g_follows = false;
    return false;
}

bool log_limit_follows() {
    return g_follows;
}

int32_t log_limit_flush(time_t now) {
    time_t next = 0;
    bool any = false;
    each_kind([&](kind &k) {
        if (!k.used)
            return;
        if (k.counted > 0 && now - k.counted_since >= LOG_LIMIT_PERIOD)
            summarise(&k, now);
        if (k.counted == 0) {
            if (now - k.last >= LOG_LIMIT_PERIOD)
                k = {};
            return;
        }
        time_t due = k.counted_since + LOG_LIMIT_PERIOD;
        if (!any || due < next)
            next = due;
        any = true;
    });
    if (!any)
        return -1;
    // A clock stepped back leaves a due time far ahead; one period is the
    // longest wait a count can need.
    time_t left = next - now;
    if (left > LOG_LIMIT_PERIOD)
        left = LOG_LIMIT_PERIOD;
    return static_cast<int32_t>(left * 1000);
}

void log_limit_reset() {
    each_kind([](kind &k) { k = {}; });
    g_current = {};
    g_follows = true;
}
