// Judgement of received update datagrams and the presence of accounts.
#pragma once

#include "common/process/array.h"
#include "common/protocol/update_msg.h"
#include "server/account.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <sys/types.h>

inline constexpr size_t RECV_SLOT_DATA = 1024;

// A sender of either family, as recvfrom() fills it; sa.sa_family tells
// which member holds it.
union recv_peer {
    sockaddr sa;
    sockaddr_in in;
    sockaddr_in6 in6;
    sockaddr_storage ss;
};

struct recv_slot {
    uint8_t data[RECV_SLOT_DATA]; // the datagram, cut to 1024 bytes
    int64_t len;                  // bytes in data; -1 when the receive failed
    recv_peer peer;               // sender
};

// What the loop keeps about the table's presence from pass to pass, so that
// a pass costs the same whatever the number of accounts.
struct presence_state {
    // No up account with a timeout has its deadline before this time: the
    // sweep walks the table only once it has come. A refresh normally moves
    // a deadline later, so a remembered minimum stays a safe bound.
    time_t due;
    // Moves on every accepted message and every change of presence, so that
    // whoever keeps the presence elsewhere (the state file) sees it changed.
    uint64_t changes;
};

// What a change of presence asks of the effectors: the account's plan
// (one reference held; null for an account without effectors), the family
// that changed, its address before and after (all zero for down), and the
// steps to run (EFFECTOR_ALL_STEPS but for work restored from the state
// file; 0 for a refresh with the same address, which only brings forward a
// pending retry). The judgement yields these and runs nothing; the engine
// runs them.
struct presence_transition {
    effector_plan *plan;
    int family;
    uint8_t from[16];
    uint8_t to[16];
    uint64_t steps;
};

// Appends a transition holding one more reference to plan; false when no
// room can be made (the change then runs no effector).
bool presence_transition_add(array *out, effector_plan *plan, int family, const uint8_t *from,
                             const uint8_t *to, uint64_t steps);
// Drops the references of every transition of the array and empties it.
void presence_transitions_clear(array *transitions);

// The due time while no up account has a timeout.
inline constexpr time_t PRESENCE_NEVER = INT64_MAX;
// A state whose first sweep walks the table.
inline constexpr presence_state PRESENCE_WALK_NOW = {0, 0};

// Judges one datagram against the table (an array of account sorted with
// account_cmp) and applies it to the matched account's presence of the
// message's family; when the account comes up or changes address, a
// transition with that family and address is appended to transitions (an
// array of presence_transition; null drops it). Nothing else runs. A
// message of one family from a peer of the other is an address mismatch.
// Every outcome is logged; a rejected datagram changes nothing. ps, when
// given, is kept up to date.
void update_accept(array *accounts, const recv_slot *slot, presence_state *ps = nullptr,
                   array *transitions = nullptr);
// Takes down every presence silent for at least its account's timeout, each
// family on its own (a transition to 0.0.0.0 or ::), and returns the
// milliseconds until the next deadline, or -1 when no present account has
// one. With ps the table is walked only when ps->due has come; without it,
// on every call.
int32_t presence_sweep(array *accounts, presence_state *ps = nullptr,
                       array *transitions = nullptr);
// Carries presence from the running table to a new one, both sorted with
// account_cmp: a new account takes over address, last_seen and up from an
// old account of the same name whose effector list is the same, both
// families, and the last accepted message times from any old account of its
// name. Each presence of an old account left without such a successor is
// logged as removed, with a transition to 0.0.0.0 or :: that holds the old
// plan, so it runs after the old table is gone. Leaves ps walking at the
// next sweep.
void presence_carry(array *next, array *prev, presence_state *ps, array *transitions = nullptr);
// Logs the two-record description of a rejected message; peer, of
// peer_family (AF_INET: 4 bytes, AF_INET6: 16), may be null.
void update_msg_dump(const update_msg *msg, const uint8_t *peer, int peer_family = AF_INET);
