// Judgement of received update datagrams and the presence of accounts.
#pragma once

#include "common/csexp/sx_tree.h"
#include "common/process/array.h"
#include "common/protocol/update_msg.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <sys/types.h>

inline constexpr uint8_t ACCOUNT_ALLOW_UNSAFE = 0x01;
inline constexpr uint8_t ACCOUNT_UP = 0x02;

struct account {
    char *name; // owned, not NUL-terminated; never empty in a kept account
    uint64_t name_len;
    uint8_t *key; // owned shared HMAC key; never empty in a kept account
    uint64_t key_len;
    uint8_t address[4]; // last accepted address, 0.0.0.0 while not up
    time_t last_seen;   // server time of the last accepted message
    int32_t max_future; // seconds a message may be ahead; <= 0: no bound
    int32_t max_past;   // seconds a message may be behind; <= 0: no bound
    int32_t timeout;    // seconds of silence before going down; <= 0: never
    uint8_t flags;      // ACCOUNT_ALLOW_UNSAFE, ACCOUNT_UP
    sx_block effectors; // owned; nodes[0] is the effector list, empty for none
};

inline constexpr size_t RECV_SLOT_DATA = 1024;

struct recv_slot {
    uint8_t data[RECV_SLOT_DATA]; // the datagram, cut to 1024 bytes
    int64_t len;                  // bytes in data; -1 when the receive failed
    sockaddr_in peer;             // sender
};

// Judges one datagram against the table (an array of account sorted with
// account_cmp) and applies it to the matched account's presence, running its
// effectors when it comes up or changes address. Every outcome is logged; a
// rejected datagram changes nothing.
void update_accept(array *accounts, const recv_slot *slot);
// Takes down every present account silent for at least its timeout (running
// its effectors with 0.0.0.0) and returns the milliseconds until the next
// deadline, or -1 when no present account has one.
int32_t presence_sweep(array *accounts);
// Logs the two-record description of a rejected message; peer may be null.
void update_msg_dump(const update_msg *msg, const uint8_t *peer);
// Account name order between two names: the shorter first (the result is
// the lengths' difference), then ASCII case-folded bytes over the whole
// length, NUL bytes included. The one order that both sorts the table and
// searches it.
int account_name_cmp(const void *a, size_t a_len, const void *b, size_t b_len);
// Account name order (length first, then ASCII case-folded bytes) between a
// message's name and an account's; the bsearch comparison over the table.
int account_msg_cmp(const void *msg, const void *acct);
