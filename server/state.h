// The state file: the presence of the up accounts, kept across restarts.
//
// One form per up presence, (up NAME ADDRESS LAST-SEEN LAST-MSG), so an
// account up in both families has two, the IPv4 one first: NAME as a plain
// token when it is one (a letter, then letters, digits, ".", "_" or "-"),
// else as a #hex# atom, so that any bytes survive; ADDRESS as dotted quad or
// as IPv6 text in double quotes, whose family the form restores; LAST-SEEN,
// the server time of the last accepted message, and LAST-MSG, the time that
// message carried, in decimal seconds since the epoch. LAST-MSG may be left
// out (read as 0). Sub-forms follow, each optional and at most once, in
// any order:
// - (effector FORM ...): the account's effector list when the form was
//   written, every atom as a plain token when it reads back as one, else
//   as a #hex# atom ("" when empty). A start takes down, with these forms,
//   the presence of an account that is gone from the configuration or
//   whose effectors changed, as a reload does; without them (a file written
//   before they were kept) the forms now configured for the name are
//   assumed;
// - (retry MASK), only in a file written before the effector engine: its
//   dns-update forms are then all sent again.
//
// Unfinished effector work follows, one form per account and family at
// most: (pending NAME ADDRESS STEPS), NAME and ADDRESS written as above (the
// address of the latest change, 0.0.0.0 or :: for a take-down), STEPS in
// decimal the effector forms still to run, bit i for the i-th form of the
// account's effector list, bit 63 for the 63rd and every later one. A
// restart runs them again. Should the forms have changed meanwhile, the
// steps may name others: running one of those again only sets the address
// the account already has.
//
// The file is read whole or not at all: a text that ends inside a form was
// cut short and is refused.
#pragma once

#include "common/csexp/sx_tree.h"
#include "common/process/array.h"
#include "server/presence.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

// One account's and family's unfinished effector work.
struct state_pending {
    const char *name; // not owned
    size_t name_len;
    int family;
    uint8_t addr[16];
    uint64_t steps;
};

// Least seconds between two writes while presence keeps changing.
inline constexpr time_t STATE_WRITE_INTERVAL = 5;

// Writes the presence of every up account of the table to path through
// file_replace, so that a reader finds either the old file or the new one
// whole. 0 on success, -1 after logging. pending (an array of
// state_pending), when given, is written after the presence.
int state_write(const char *path, const array *accounts, const array *pending = nullptr);

// Restores the presence that path holds onto the table (sorted with
// account_cmp) through presence_carry, with the accounts as the file holds
// them for the running table of a reload: an account whose name and
// effectors are as written takes over their presence (address, times)
// without running an effector; a written account without such a successor
// is logged as removed and its take-down, with its written effectors, is
// appended to transitions (an array of presence_transition, when given),
// moving ps->changes so that the file is written anew. The pending work
// becomes transitions of the first account of its name. A missing file
// restores nothing and is not an error (0). A file that is not a regular
// file, cannot be read, ends inside a form or holds anything but well-formed
// forms is logged and ignored whole (-1).
int state_restore(const char *path, array *accounts, array *transitions = nullptr,
                  presence_state *ps = nullptr);
// Reads an open stream to its end into written (an array of account,
// released first), sorted with account_cmp: the accounts as the file holds
// them, each with its name, effectors, plan and presence and no key, both
// families of one account in one record; pending forms are left out.
// accounts, the configured table, serves only forms written without
// effectors. Nothing runs. 0, or -1 after logging, written then left as it
// was; path only names the file in records.
int state_read(FILE *f, const char *path, const array *accounts, array *written);
// Releases every account of a table state_read filled, and its storage.
void state_release(array *written);

// One form of the state file as read, nothing applied: the presence of one
// account name in one family, or its pending work.
struct state_record {
    bool pending;        // a (pending ...) form: steps holds the work, no presence
    uint64_t steps;      // of a pending form: the effector steps still to run
    const sx_node *name; // the name atom, in the reading's tree
    int family;          // AF_INET: address[0..4), AF_INET6: address[0..16)
    uint8_t address[16];
    time_t last_seen;
    time_t last_msg;          // 0 when the form leaves it out
    uint32_t retry;           // an older file's failed dns-update forms
    bool has_effectors;       // the form holds (effector ...)
    const sx_node *effectors; // its first form, null for none
};

// The forms of a state file in file order, and the tree their names point
// into; both owned.
struct state_records {
    sx_block tree;
    array records; // of state_record
};

// Opens the state file as the restore does: 1 with *out open, 0 when
// there is no file yet, -1 after logging one that cannot be used (not a
// regular file, or not to be opened).
int state_open(const char *path, FILE **out);
// Reads f to its end into *out, which starts empty. 0 when every form is
// well-formed (an empty file gives no record); -1 after logging a file that
// cannot be read, ends inside a form or holds anything else. path only
// names it in records. Release *out with state_records_free either way.
int state_records_read(FILE *f, const char *path, state_records *out);
void state_records_free(state_records *r);

// When the state file was written last, and at which count of presence
// changes (presence_state.changes).
struct state_writer {
    time_t last;
    uint64_t written;
};

// Writes the file when changes moved since the last write and the last
// write is at least STATE_WRITE_INTERVAL seconds old. Returns the
// milliseconds until a pending write is due, or -1 when none is pending (no
// path, nothing changed, or just written). A failed write is tried again
// one interval later.
int32_t state_flush(state_writer *w, const char *path, const array *accounts, uint64_t changes,
                    time_t now, const array *pending = nullptr);
// What state_flush would return without writing, and 0 when it would write
// now: the caller gathers what the write needs only then.
int32_t state_flush_due(const state_writer *w, const char *path, uint64_t changes, time_t now);
