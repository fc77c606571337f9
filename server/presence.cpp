// Judgement of received update datagrams and the presence of accounts.
#include "server/presence.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/log_limit.h"
#include "common/protocol/hmac_sha1.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace {

// One family's presence of an account: where its fields live.
struct presence_view {
    int family;
    uint8_t bit;
    uint8_t *address;
    size_t len;
    time_t *last_seen;
    time_t *last_msg;
};

presence_view view_of(account *a, int family) {
    if (family == AF_INET6)
        return {AF_INET6, ACCOUNT_UP6, a->address6, 16, &a->last_seen6, &a->last_msg6};
    return {AF_INET, ACCOUNT_UP, a->address, 4, &a->last_seen, &a->last_msg};
}

constexpr int FAMILIES[] = {AF_INET, AF_INET6};

bool all_zero(const uint8_t *p, size_t len) {
    uint8_t acc = 0;
    for (size_t i = 0; i < len; i++)
        acc |= p[i];
    return acc == 0;
}

// now - then without overflow; a message time can be any 64-bit value.
int64_t seconds_between(int64_t now, int64_t then) {
    int64_t d = 0;
    if (__builtin_sub_overflow(now, then, &d))
        return then < 0 ? INT64_MAX : INT64_MIN;
    return d;
}

int32_t clamp32(int64_t v) {
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The window is checked on the full 64-bit difference, so a message decades
// away cannot wrap into it; bounds are inclusive.
bool anachronic(int64_t d, const account *a) {
    if (a->max_future > 0 && d < -static_cast<int64_t>(a->max_future))
        return true;
    return a->max_past > 0 && d > a->max_past;
}

// The change goes to the engine; the judgement never waits for it.
void emit_transition(account *a, const presence_view &v, const uint8_t *from, array *out) {
    if (out != nullptr)
        presence_transition_add(out, a->plan, v.family, from, v.address, EFFECTOR_ALL_STEPS);
}

void take_down(account *a, const presence_view &v, array *out) {
    uint8_t from[16] = {};
    memcpy(from, v.address, v.len);
    a->flags &= static_cast<uint8_t>(~v.bit);
    memset(v.address, 0, v.len);
    emit_transition(a, v, from, out);
}

// last_seen + timeout of an up presence with a timeout; one short of
// PRESENCE_NEVER at the most, so that a deadline is never taken for none.
time_t deadline_of(const account *a, time_t last_seen) {
    int64_t deadline = 0;
    if (__builtin_add_overflow(static_cast<int64_t>(last_seen), static_cast<int64_t>(a->timeout),
                               &deadline) ||
        deadline == PRESENCE_NEVER)
        deadline = PRESENCE_NEVER - 1;
    return deadline;
}

// The wait until a future deadline in milliseconds, capped at the largest
// 32-bit count, never longer than what remains; the next sweep waits again.
int32_t wait_until(time_t deadline, time_t now) {
    int64_t left = seconds_between(deadline, now);
    return left > INT32_MAX / 1000 ? INT32_MAX : static_cast<int32_t>(left * 1000);
}

// The end of the run of accounts from i on whose names equal i's.
int32_t run_end(const array *table, int32_t i) {
    int32_t k = i + 1;
    while (k < table->count && account_cmp(array_get(table, i), array_get(table, k)) == 0)
        k++;
    return k;
}

// Carries presence between the runs of one name. Each old up account goes
// to at most one successor, whose up bit it then gives up, so that what
// stays up in the old run afterwards is what has no successor.
void carry_run(array *prev, int32_t i, int32_t i_end, array *next, int32_t j, int32_t j_end) {
    constexpr uint8_t up_any = ACCOUNT_UP | ACCOUNT_UP6;
    time_t last_msg = 0, last_msg6 = 0;
    for (int32_t k = i; k < i_end; k++) {
        const auto *old = static_cast<const account *>(array_get(prev, k));
        if (old->last_msg > last_msg)
            last_msg = old->last_msg;
        if (old->last_msg6 > last_msg6)
            last_msg6 = old->last_msg6;
    }
    for (int32_t n = j; n < j_end; n++) {
        auto *a = static_cast<account *>(array_get(next, n));
        // Replays stay refused across an effector change too.
        a->last_msg = last_msg;
        a->last_msg6 = last_msg6;
        for (int32_t k = i; k < i_end; k++) {
            auto *old = static_cast<account *>(array_get(prev, k));
            if ((old->flags & up_any) == 0 || !account_same_effectors(a, old))
                continue;
            // Both families go together: they are one host's presence, kept
            // by one effector list.
            memcpy(a->address, old->address, 4);
            a->last_seen = old->last_seen;
            a->last_msg = old->last_msg;
            memcpy(a->address6, old->address6, 16);
            a->last_seen6 = old->last_seen6;
            a->last_msg6 = old->last_msg6;
            a->flags |= old->flags & up_any;
            old->flags &= static_cast<uint8_t>(~up_any);
            break;
        }
    }
}

// The dump of a rejected message against a given current time, so that
// its difference agrees with the one the judgement used.
void dump_at(const update_msg *msg, const uint8_t *peer, int peer_family, time_t now) {
    bool peer6 = peer_family == AF_INET6;
    if (msg->time != 0) {
        double diff = difftime(now, msg->time);
        auto t = static_cast<long>(msg->time);
        if (peer == nullptr)
            log_dump_at(t, diff);
        else if (peer6)
            log_dump_from_at6(peer, t, diff);
        else
            log_dump_from_at(peer, t, diff);
    } else if (peer == nullptr) {
        log_dump_plain();
    } else if (peer6) {
        log_dump_from6(peer);
    } else {
        log_dump_from(peer);
    }
    bool msg6 = msg->family == AF_INET6;
    if (msg->name_len > 0 && msg6)
        log_dump_name_address6(msg->name, msg->name_len, msg->addr6);
    else if (msg->name_len > 0)
        log_dump_name_address(msg->name, msg->name_len, msg->addr);
    else if (msg6)
        log_dump_address6(msg->addr6);
    else
        log_dump_address(msg->addr);
}

} // namespace

bool presence_transition_add(array *out, effector_plan *plan, int family, const uint8_t *from,
                             const uint8_t *to, uint64_t steps) {
    int32_t i = array_append(out);
    if (i < 0)
        return false;
    auto *t = static_cast<presence_transition *>(array_get(out, i));
    *t = presence_transition{};
    size_t len = family == AF_INET6 ? 16 : 4;
    t->plan = plan;
    effector_plan_hold(plan);
    t->family = family == AF_INET6 ? AF_INET6 : AF_INET;
    if (from != nullptr)
        memcpy(t->from, from, len);
    memcpy(t->to, to, len);
    t->steps = steps;
    return true;
}

void presence_transitions_clear(array *transitions) {
    for (int32_t i = 0; i < transitions->count; i++)
        effector_plan_drop(static_cast<presence_transition *>(array_get(transitions, i))->plan);
    transitions->count = 0;
}

void update_msg_dump(const update_msg *msg, const uint8_t *peer, int peer_family) {
    dump_at(msg, peer, peer_family, clock_now());
}

void update_accept(array *accounts, const recv_slot *slot, presence_state *ps,
                   array *transitions) {
    // A failed receive (len -1) has nothing to judge; the loop reported it.
    // An empty datagram still goes to the decoder, which reports it.
    if (slot->len < 0)
        return;
    size_t len = slot->len > static_cast<int64_t>(RECV_SLOT_DATA) ? RECV_SLOT_DATA
                                                                  : static_cast<size_t>(slot->len);

    // With IPV6_V6ONLY on every IPv6 socket, a peer is of one family or the
    // other, never an IPv4 address in IPv6 form.
    int peer_family = slot->peer.sa.sa_family;
    const uint8_t *peer = peer_family == AF_INET6
                              ? slot->peer.in6.sin6_addr.s6_addr
                              : reinterpret_cast<const uint8_t *>(&slot->peer.in.sin_addr.s_addr);
    // Refusals count under the sender until the account is known, so that
    // a flood of junk is summarised instead of written datagram by datagram.
    log_limit_sender(peer_family, peer);

    update_msg msg = {};
    size_t signed_len = update_msg_decode(&msg, slot->data, len);
    if (signed_len == 0)
        return;

    account *a = nullptr;
    if (accounts != nullptr && accounts->count > 0)
        a = static_cast<account *>(bsearch(&msg, accounts->data,
                                           static_cast<size_t>(accounts->count),
                                           accounts->elem_size, account_msg_cmp));
    if (a == nullptr) {
        log_account_not_found(msg.name, msg.name_len);
        return;
    }
    log_limit_account(a->name, a->name_len);

    // An account without a key must not match the untouched buffer.
    uint8_t mac[HMAC_SHA1_LEN] = {};
    if (a->key == nullptr || a->key_len == 0) {
        log_hmac_mismatch();
        return;
    }
    hmac_sha1(mac, slot->data, signed_len, a->key, a->key_len);
    // Constant time, so that the time a rejection takes tells a forger
    // nothing about how many leading bytes of its MAC were right.
    if (!hmac_sha1_equal(mac, msg.mac)) {
        log_hmac_mismatch();
        return;
    }
    presence_view v = view_of(a, msg.family);
    uint8_t *msg_addr = msg.family == AF_INET6 ? msg.addr6 : msg.addr;
    // Judged on the authenticated time only: an unauthenticated datagram
    // must not learn, or move, the account's last accepted time. A message
    // of the same second as the last accepted one is taken only from the
    // sender of that one, which is the family's recorded address (every
    // accepted message carries its sender's address, or takes it under
    // allow-unsafe): replayed from elsewhere it would move the record.
    if ((a->flags & ACCOUNT_NO_REPLAY) != 0 &&
        (msg.time < *v.last_msg ||
         (msg.time == *v.last_msg &&
          (peer_family != v.family || memcmp(peer, v.address, v.len) != 0)))) {
        log_replayed_message(static_cast<long>(msg.time), static_cast<long>(*v.last_msg));
        update_msg_dump(&msg, nullptr);
        return;
    }

    if (peer_family != v.family) {
        log_address_mismatch_af(peer_family, peer, v.family, msg_addr);
        return;
    }
    if (memcmp(msg_addr, peer, v.len) != 0) {
        if (!all_zero(msg_addr, v.len)) {
            if (v.family == AF_INET6)
                log_address_mismatch_af(AF_INET6, peer, AF_INET6, msg_addr);
            else
                log_address_mismatch(peer, msg_addr);
            return;
        }
        if ((a->flags & ACCOUNT_ALLOW_UNSAFE) == 0) {
            log_unsafe_message();
            update_msg_dump(&msg, peer, peer_family);
            return;
        }
        memcpy(msg_addr, peer, v.len);
    }

    time_t now = clock_now();
    int64_t d = seconds_between(now, msg.time);
    if (anachronic(d, a)) {
        log_anachronic_message(clamp32(d), a->max_past, a->max_future);
        dump_at(&msg, nullptr, AF_INET, now);
        return;
    }

    *v.last_seen = now;
    *v.last_msg = msg.time;
    if (ps != nullptr) {
        ps->changes++;
        // An account coming up, or a clock stepped back, can bring a
        // deadline before the remembered bound; one comparison keeps it safe.
        if (a->timeout > 0) {
            time_t deadline = deadline_of(a, now);
            if (deadline < ps->due)
                ps->due = deadline;
        }
    }
    // A refresh asks no new work; it only brings forward the retry of work
    // that failed, since the host is evidently there (steps 0).
    if (memcmp(msg_addr, v.address, v.len) == 0) {
        if (transitions != nullptr && a->plan != nullptr)
            presence_transition_add(transitions, a->plan, v.family, v.address, v.address, 0);
        return;
    }
    bool six = v.family == AF_INET6;
    if ((a->flags & v.bit) == 0) {
        a->flags |= v.bit;
        if (six)
            log_account_up6(a->name, a->name_len, msg_addr);
        else
            log_account_up(a->name, a->name_len, msg_addr);
    } else if (six) {
        log_account_changed6(a->name, a->name_len, v.address, msg_addr);
    } else {
        log_account_changed(a->name, a->name_len, v.address, msg_addr);
    }
    uint8_t from[16] = {};
    memcpy(from, v.address, v.len);
    memcpy(v.address, msg_addr, v.len);
    emit_transition(a, v, from, transitions);
}

int32_t presence_sweep(array *accounts, presence_state *ps, array *transitions) {
    time_t now = clock_now();
    if (accounts == nullptr)
        return -1;
    if (ps != nullptr && ps->due > now)
        return ps->due == PRESENCE_NEVER ? -1 : wait_until(ps->due, now);
    time_t due = PRESENCE_NEVER;
    for (int32_t i = 0; i < accounts->count; i++) {
        auto *a = static_cast<account *>(array_get(accounts, i));
        if (a->timeout <= 0)
            continue;
        for (int family : FAMILIES) {
            presence_view v = view_of(a, family);
            if ((a->flags & v.bit) == 0)
                continue;
            time_t deadline = deadline_of(a, *v.last_seen);
            if (deadline > now) {
                if (deadline < due)
                    due = deadline;
                continue;
            }
            if (family == AF_INET6)
                log_account_timeout6(a->name, a->name_len, v.address);
            else
                log_account_timeout(a->name, a->name_len, v.address);
            take_down(a, v, transitions);
            if (ps != nullptr)
                ps->changes++;
        }
    }
    if (ps != nullptr)
        ps->due = due;
    return due == PRESENCE_NEVER ? -1 : wait_until(due, now);
}

void presence_carry(array *next, array *prev, presence_state *ps, array *transitions) {
    int32_t i = 0, j = 0;
    while (i < prev->count || j < next->count) {
        // One name at a time: the run of old and the run of new accounts
        // that bear it, either run possibly empty.
        int c = 0;
        if (i >= prev->count)
            c = 1;
        else if (j >= next->count)
            c = -1;
        else
            c = account_cmp(array_get(prev, i), array_get(next, j));
        int32_t i_end = c <= 0 ? run_end(prev, i) : i;
        int32_t j_end = c >= 0 ? run_end(next, j) : j;
        carry_run(prev, i, i_end, next, j, j_end);
        for (int32_t k = i; k < i_end; k++) {
            auto *old = static_cast<account *>(array_get(prev, k));
            for (int family : FAMILIES) {
                presence_view v = view_of(old, family);
                if ((old->flags & v.bit) == 0)
                    continue;
                // Its record would otherwise stay in the zone with nothing
                // left to remove it.
                if (family == AF_INET6)
                    log_account_removed6(old->name, old->name_len, v.address);
                else
                    log_account_removed(old->name, old->name_len, v.address);
                take_down(old, v, transitions);
                if (ps != nullptr)
                    ps->changes++;
            }
        }
        i = i_end;
        j = j_end;
    }
    // Carried presence is the presence the state file already holds; only
    // the accounts taken down above changed it.
    if (ps != nullptr)
        ps->due = 0;
}
