// Judgement of received update datagrams and the presence of accounts.
#include "server/presence.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/protocol/hmac_sha1.h"
#include "server/effector.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t NO_ADDRESS[4] = {0, 0, 0, 0};

bool same_address(const uint8_t a[4], const uint8_t b[4]) {
    return memcmp(a, b, 4) == 0;
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

const sx_node *effector_list(const account *a) {
    return a->effectors.nsize > 0 ? &a->effectors.nodes[0] : nullptr;
}

// Every effector runs; the updates that fail wait for the next message.
void run_effectors(account *a) {
    a->retry4 = effector_run(effector_list(a), a->name, a->name_len, a->address);
}

void take_down(account *a) {
    a->flags &= static_cast<uint8_t>(~ACCOUNT_UP);
    memcpy(a->address, NO_ADDRESS, 4);
    run_effectors(a);
}

// last_seen + timeout of an up account with a timeout; one short of
// PRESENCE_NEVER at the most, so that a deadline is never taken for none.
time_t deadline_of(const account *a) {
    int64_t deadline = 0;
    if (__builtin_add_overflow(static_cast<int64_t>(a->last_seen), static_cast<int64_t>(a->timeout),
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
    time_t last_msg = 0;
    for (int32_t k = i; k < i_end; k++) {
        const auto *old = static_cast<const account *>(array_get(prev, k));
        if (old->last_msg > last_msg)
            last_msg = old->last_msg;
    }
    for (int32_t n = j; n < j_end; n++) {
        auto *a = static_cast<account *>(array_get(next, n));
        // Replays stay refused across an effector change too.
        a->last_msg = last_msg;
        for (int32_t k = i; k < i_end; k++) {
            auto *old = static_cast<account *>(array_get(prev, k));
            if ((old->flags & ACCOUNT_UP) == 0 || !account_same_effectors(a, old))
                continue;
            memcpy(a->address, old->address, 4);
            a->last_seen = old->last_seen;
            a->last_msg = old->last_msg;
            // Same forms, so the same indexes.
            a->retry4 = old->retry4;
            a->flags |= ACCOUNT_UP;
            old->flags &= static_cast<uint8_t>(~ACCOUNT_UP);
            break;
        }
    }
}

// The dump of a rejected message against a given current time, so that
// its difference agrees with the one the judgement used.
void dump_at(const update_msg *msg, const uint8_t *peer, time_t now) {
    if (msg->time != 0) {
        double diff = difftime(now, msg->time);
        if (peer != nullptr)
            log_dump_from_at(peer, static_cast<long>(msg->time), diff);
        else
            log_dump_at(static_cast<long>(msg->time), diff);
    } else if (peer != nullptr) {
        log_dump_from(peer);
    } else {
        log_dump_plain();
    }
    if (msg->name_len > 0)
        log_dump_name_address(msg->name, msg->name_len, msg->addr);
    else
        log_dump_address(msg->addr);
}

} // namespace

void update_msg_dump(const update_msg *msg, const uint8_t *peer) {
    dump_at(msg, peer, clock_now());
}

void update_accept(array *accounts, const recv_slot *slot, presence_state *ps) {
    // A failed receive (len -1) has nothing to judge; the loop reported it.
    // An empty datagram still goes to the decoder, which reports it.
    if (slot->len < 0)
        return;
    size_t len = slot->len > static_cast<int64_t>(RECV_SLOT_DATA) ? RECV_SLOT_DATA
                                                                  : static_cast<size_t>(slot->len);

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
    // Judged on the authenticated time only: an unauthenticated datagram
    // must not learn, or move, the account's last accepted time.
    if ((a->flags & ACCOUNT_NO_REPLAY) != 0 && msg.time < a->last_msg) {
        log_replayed_message(static_cast<long>(msg.time), static_cast<long>(a->last_msg));
        update_msg_dump(&msg, nullptr);
        return;
    }

    uint8_t peer[4];
    memcpy(peer, &slot->peer.sin_addr.s_addr, 4);
    if (!same_address(msg.addr, peer)) {
        if (!same_address(msg.addr, NO_ADDRESS)) {
            log_address_mismatch(peer, msg.addr);
            return;
        }
        if ((a->flags & ACCOUNT_ALLOW_UNSAFE) == 0) {
            log_unsafe_message();
            update_msg_dump(&msg, peer);
            return;
        }
        memcpy(msg.addr, peer, 4);
    }

    time_t now = clock_now();
    int64_t d = seconds_between(now, msg.time);
    if (anachronic(d, a)) {
        log_anachronic_message(clamp32(d), a->max_past, a->max_future);
        dump_at(&msg, nullptr, now);
        return;
    }

    a->last_seen = now;
    a->last_msg = msg.time;
    if (ps != nullptr) {
        ps->changes++;
        // An account coming up, or a clock stepped back, can bring a
        // deadline before the remembered bound; one comparison keeps it safe.
        if (a->timeout > 0) {
            time_t deadline = deadline_of(a);
            if (deadline < ps->due)
                ps->due = deadline;
        }
    }
    if (same_address(msg.addr, a->address)) {
        // The name server missed this address: the message is the one chance
        // to set it there, short of a change.
        if (a->retry4 != 0)
            a->retry4 =
                effector_retry(effector_list(a), a->retry4, a->name, a->name_len, a->address);
        return;
    }
    if ((a->flags & ACCOUNT_UP) == 0) {
        a->flags |= ACCOUNT_UP;
        log_account_up(a->name, a->name_len, msg.addr);
    } else {
        log_account_changed(a->name, a->name_len, a->address, msg.addr);
    }
    memcpy(a->address, msg.addr, 4);
    run_effectors(a);
}

int32_t presence_sweep(array *accounts, presence_state *ps) {
    time_t now = clock_now();
    if (accounts == nullptr)
        return -1;
    if (ps != nullptr && ps->due > now)
        return ps->due == PRESENCE_NEVER ? -1 : wait_until(ps->due, now);
    time_t due = PRESENCE_NEVER;
    for (int32_t i = 0; i < accounts->count; i++) {
        auto *a = static_cast<account *>(array_get(accounts, i));
        if ((a->flags & ACCOUNT_UP) == 0 || a->timeout <= 0)
            continue;
        time_t deadline = deadline_of(a);
        if (deadline > now) {
            if (deadline < due)
                due = deadline;
            continue;
        }
        log_account_timeout(a->name, a->name_len, a->address);
        take_down(a);
        if (ps != nullptr)
            ps->changes++;
    }
    if (ps != nullptr)
        ps->due = due;
    return due == PRESENCE_NEVER ? -1 : wait_until(due, now);
}

void presence_carry(array *next, array *prev, presence_state *ps) {
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
            if ((old->flags & ACCOUNT_UP) == 0)
                continue;
            // Its record would otherwise stay in the zone with nothing left
            // to remove it.
            log_account_removed(old->name, old->name_len, old->address);
            take_down(old);
            if (ps != nullptr)
                ps->changes++;
        }
        i = i_end;
        j = j_end;
    }
    // Carried presence is the presence the state file already holds; only
    // the accounts taken down above changed it.
    if (ps != nullptr)
        ps->due = 0;
}
