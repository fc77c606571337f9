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
// - (retry MASK): the dns-update forms whose update failed for that family
//   (see effector_run), to send again, so that a restart loses no update;
// - (effector FORM ...): the account's effector list when the form was
//   written, every atom as a plain token when it reads back as one, else
//   as a #hex# atom ("" when empty). A start takes down, with these forms,
//   the presence of an account that is gone from the configuration or
//   whose effectors changed, as a reload does; without them (a file written
//   before they were kept) the forms now configured for the name are
//   assumed.
// The file is read whole or not at all: a text that ends inside a form was
// cut short and is refused.
#pragma once

#include "common/process/array.h"
#include "server/presence.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

// Least seconds between two writes while presence keeps changing.
inline constexpr time_t STATE_WRITE_INTERVAL = 5;

// Writes the presence of every up account of the table to path through
// file_replace, so that a reader finds either the old file or the new one
// whole. 0 on success, -1 after logging.
int state_write(const char *path, const array *accounts);

// Restores the presence that path holds onto the table (sorted with
// account_cmp) through presence_carry, with the accounts as the file holds
// them for the running table of a reload: an account whose name and
// effectors are as written takes over their presence (address, times,
// pending retries) without running an effector; a written account without
// such a successor is logged as removed and its written effectors run with
// 0.0.0.0 or ::, moving ps->changes so that the file is written anew. A
// missing file restores nothing and is not an error (0). A file that is not
// a regular file, cannot be read, ends inside a form or holds anything but
// well-formed forms is logged and ignored whole (-1).
int state_restore(const char *path, array *accounts, presence_state *ps = nullptr);
// Reads an open stream to its end into written (an array of account,
// released first), sorted with account_cmp: the accounts as the file holds
// them, each with its name, effectors and presence and no key, both
// families of one account in one record. accounts, the configured table,
// serves only forms written without effectors. Nothing runs. 0, or -1 after
// logging, written then left as it was; path only names the file in
// records.
int state_read(FILE *f, const char *path, const array *accounts, array *written);
// Releases every account of a table state_read filled, and its storage.
void state_release(array *written);

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
                    time_t now);
