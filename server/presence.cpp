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

uint8_t fold(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
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

void run_effectors(account *a) {
    const sx_node *list = a->effectors.nsize > 0 ? &a->effectors.nodes[0] : nullptr;
    effector_run(list, a->name, a->name_len, a->address);
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

int account_name_cmp(const void *a, size_t a_len, const void *b, size_t b_len) {
    if (a_len != b_len) {
        // The lengths' difference; lengths beyond 32 bits, which no name
        // reaches, keep only its sign so the order stays total.
        if (a_len > INT32_MAX || b_len > INT32_MAX)
            return a_len < b_len ? -1 : 1;
        return static_cast<int>(static_cast<int64_t>(a_len) - static_cast<int64_t>(b_len));
    }
    // Every byte counts, NUL included: the length alone bounds the names.
    const auto *p = static_cast<const uint8_t *>(a);
    const auto *q = static_cast<const uint8_t *>(b);
    for (size_t i = 0; i < a_len; i++) {
        uint8_t x = fold(p[i]), y = fold(q[i]);
        if (x != y)
            return x - y;
    }
    return 0;
}

int account_msg_cmp(const void *msg, const void *acct) {
    const auto *m = static_cast<const update_msg *>(msg);
    const auto *a = static_cast<const account *>(acct);
    return account_name_cmp(m->name, m->name_len, a->name, a->name_len);
}

void update_msg_dump(const update_msg *msg, const uint8_t *peer) {
    dump_at(msg, peer, clock_now());
}

void update_accept(array *accounts, const recv_slot *slot) {
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
    if (same_address(msg.addr, a->address))
        return;
    if ((a->flags & ACCOUNT_UP) == 0) {
        a->flags |= ACCOUNT_UP;
        log_account_up(a->name, a->name_len, msg.addr);
    } else {
        log_account_changed(a->name, a->name_len, a->address, msg.addr);
    }
    memcpy(a->address, msg.addr, 4);
    run_effectors(a);
}

int32_t presence_sweep(array *accounts) {
    time_t now = clock_now();
    int32_t result = -1;
    if (accounts == nullptr)
        return result;
    for (int32_t i = 0; i < accounts->count; i++) {
        auto *a = static_cast<account *>(array_get(accounts, i));
        if ((a->flags & ACCOUNT_UP) == 0 || a->timeout <= 0)
            continue;
        int64_t deadline = 0;
        if (__builtin_add_overflow(static_cast<int64_t>(a->last_seen),
                                   static_cast<int64_t>(a->timeout), &deadline))
            deadline = INT64_MAX;
        if (deadline > now) {
            // The wait is capped at the largest 32-bit count of milliseconds,
            // never longer than what remains; the next sweep waits again.
            int64_t left = seconds_between(deadline, now);
            int32_t remaining =
                left > INT32_MAX / 1000 ? INT32_MAX : static_cast<int32_t>(left * 1000);
            if (result < 0 || remaining < result)
                result = remaining;
            continue;
        }
        log_account_timeout(a->name, a->name_len, a->address);
        a->flags &= static_cast<uint8_t>(~ACCOUNT_UP);
        memcpy(a->address, NO_ADDRESS, 4);
        run_effectors(a);
    }
    return result;
}
