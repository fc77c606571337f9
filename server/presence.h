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

// The due time while no up account has a timeout.
inline constexpr time_t PRESENCE_NEVER = INT64_MAX;
// A state whose first sweep walks the table.
inline constexpr presence_state PRESENCE_WALK_NOW = {0, 0};

// Judges one datagram against the table (an array of account sorted with
// account_cmp) and applies it to the matched account's presence of the
// message's family, running its effectors with that family and address when
// it comes up or changes address, and otherwise only its dns-update forms
// that failed before for that family (retry4, retry6). A message of one
// family from a peer of the other is an address mismatch. Every outcome is
// logged; a
// rejected datagram changes nothing. ps, when given, is kept up to date.
void update_accept(array *accounts, const recv_slot *slot, presence_state *ps = nullptr);
// Takes down every presence silent for at least its account's timeout, each
// family on its own (running the effectors with 0.0.0.0 or ::), and returns the milliseconds until
// the next deadline, or -1 when no present account has one. With ps the table is walked only when
// ps->due has come; without it, on every call.
int32_t presence_sweep(array *accounts, presence_state *ps = nullptr);
// Carries presence from the running table to a new one, both sorted with
// account_cmp: a new account takes over address, last_seen, up and the
// pending retries from an old account of the same name whose effector list
// is the same, both families, and the last accepted message times from any
// old account of its name. Each presence of an old account left without such
// a successor is logged as removed and its effectors run with 0.0.0.0 or ::.
// Leaves ps walking at the next sweep.
void presence_carry(array *next, array *prev, presence_state *ps);
// Logs the two-record description of a rejected message; peer, of
// peer_family (AF_INET: 4 bytes, AF_INET6: 16), may be null.
void update_msg_dump(const update_msg *msg, const uint8_t *peer, int peer_family = AF_INET);
