// The account record: one configured account, its options and its presence.
#pragma once

#include "common/csexp/sx_tree.h"
#include "server/effector_plan.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

inline constexpr uint8_t ACCOUNT_ALLOW_UNSAFE = 0x01;
inline constexpr uint8_t ACCOUNT_UP = 0x02;
// Refuse a message older than the last accepted one.
inline constexpr uint8_t ACCOUNT_NO_REPLAY = 0x04;
// The IPv6 presence, kept beside the IPv4 one (ACCOUNT_UP) and judged by
// the same rules.
inline constexpr uint8_t ACCOUNT_UP6 = 0x08;
// The bits that come from the configuration; the others are presence.
inline constexpr uint8_t ACCOUNT_OPTION_FLAGS = ACCOUNT_ALLOW_UNSAFE | ACCOUNT_NO_REPLAY;

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
    uint8_t flags;      // ACCOUNT_ALLOW_UNSAFE, ACCOUNT_UP, ACCOUNT_NO_REPLAY, ACCOUNT_UP6
    sx_block effectors; // owned; nodes[0] is the effector list, empty for none
    time_t last_msg;    // time carried by the last accepted message, 0 before
    // The IPv6 presence: address (:: while not up), server time and message
    // time of the last accepted IPv6 message. Each family refuses replays
    // of its own messages only, so a client that sends both per cycle with
    // one time is never refused for the order they arrive in.
    uint8_t address6[16];
    time_t last_seen6;
    time_t last_msg6;
    // The effector list read at load; one reference, null for none.
    effector_plan *plan;
};

// An account with no name, key or effectors, no bound, no timeout and no
// flag, not up: the template at the start of a configuration load.
void account_init(account *acct);
// Makes dst a new account from the template: its own copies of the name,
// key and effector list (a failed allocation leaves that field empty), the
// template's bounds and option flags, and fresh presence.
void account_copy_options(account *dst, const account *tmpl);
// Releases the record's name, key and effectors and leaves them empty; the
// other fields are untouched. Null is ignored.
void account_release(account *acct);
// Applies the option forms from first on to the record. Numbers beyond the
// 32-bit range become INT32_MAX; malformed or negative ones -1.
void account_set_options(account *acct, const sx_node *first);
// Account name order between two names: the shorter first (the result is
// the lengths' difference), then ASCII case-folded bytes over the whole
// length, NUL bytes included. The one order that both sorts the table and
// searches it.
int account_name_cmp(const void *a, size_t a_len, const void *b, size_t b_len);
// Account name order between two records; the qsort comparison.
int account_cmp(const void *a, const void *b);
// Account name order between a message's name and an account's; the
// bsearch comparison over the table.
int account_msg_cmp(const void *msg, const void *acct);
// Whether the two effector lists hold the same forms, byte for byte.
bool account_same_effectors(const account *a, const account *b);
// Sets or clears in flags the bit of a word (flags ...) knows; false, flags
// untouched, for any other word or a list.
bool account_flag_apply(uint8_t *flags, const sx_node *word);
// A number option's value as a load reads it: beyond the 32-bit range
// INT32_MAX, malformed or negative -1.
int32_t account_option_number(const sx_node *v);
// True for an atom that is one of the words (flags ...) knows.
bool account_flag_known(const sx_node *word);
