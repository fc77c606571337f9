// The zone file effector: keeps an account's A and AAAA record lines and the
// zone's serial up to date in zone files.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstddef>
#include <cstdint>

// The zone file an atom of a zone form names, or null for a list or an
// empty atom, and, after logging the change refused, for an atom holding a
// NUL, which no file's name does.
const char *zone_path_of(const sx_node *n, const char *name, size_t name_len, int family,
                         const uint8_t *addr);
// Rewrites one zone file's record for name to addr and advances its serial:
// for AF_INET6 the AAAA line to 16 address bytes (:: comments it out), for
// any other family the A line to 4 (0.0.0.0 comments it out); the line of
// the other type is never touched. The serial advances with "today" taken
// from clock_now(), as zone_text_rewrite says. A zone that would not change
// is not written. Only a regular file is read, and the new zone replaces it
// through file_replace: its owner, group and mode kept or nothing written,
// in place only where the directory takes no new file. Every failure is
// logged and leaves the file as it was. 0 when the change is in the file
// now (written, or already there), -1 otherwise (a read or write that
// failed, or a text that refuses it), so that trying again later may
// succeed.
int zone_update(const char *path, const char *name, size_t name_len, int family,
                const uint8_t *addr);
// One change of a batch: an account's name, the family and its address.
struct zone_change {
    const char *name;
    size_t name_len;
    int family;
    const uint8_t *addr;
};
// Applies the changes to one zone file in order, in memory, and writes the
// result once, as zone_update would write one change: a burst of changes
// costs one read and one replacement, and the serial advances once. Each
// change logs its own records. ok[i] tells whether change i is in the file
// now (written, or already there); a failed write fails them all.
void zone_update_batch(const char *path, const zone_change *changes, size_t n, bool *ok);
