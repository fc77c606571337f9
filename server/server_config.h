// The server's configuration file: listening sockets and the account table.
#pragma once

#include "common/csexp/sx_tree.h"
#include "common/process/array.h"
#include "server/presence.h"

#include <ctime>

struct server_config {
    const char *path; // the "-c" argument, not owned
    time_t mtime;     // modification time at the last load attempt, 0 before
    array accounts;   // of account, sorted with account_cmp
    array pollfds;    // of struct pollfd, one per listening socket
};

// Loads the file when its modification time differs from mtime. A failed
// load leaves the running configuration in force; a successful one replaces
// the account table (every account starts not up) and keeps every socket.
// After a first load that installed nothing, pollfds is empty.
void server_config_load(server_config *cfg);
// Applies the option forms from first on to the record. Numbers beyond the
// 32-bit range become INT32_MAX; malformed or negative ones -1.
void account_set_options(account *acct, const sx_node *first);
// Account name order between two records; the qsort comparison.
int account_cmp(const void *a, const void *b);
// The file's modification time in seconds, or 0 after logging a failure.
time_t file_mtime(const char *path);
// Releases the record's name, key and effectors and leaves them empty; the
// other fields are untouched. Null is ignored.
void account_release(account *acct);
// Releases every account, the account table and the poll set's storage.
// The sockets stay open: they serve until the process ends.
void server_config_release(server_config *cfg);
