// The server's configuration file: listening sockets and the account table.
#pragma once

#include "common/csexp/sx_tree.h"
#include "common/process/array.h"
#include "server/account.h"
#include "server/engine.h"
#include "server/presence.h"

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// How the configuration file is read (chunk, data unit, node unit of
// sx_read_file): the load, the check and the status view read it alike, so
// a file one of them takes the others take too.
inline constexpr size_t SERVER_CONFIG_READ_CHUNK = 4096;
inline constexpr size_t SERVER_CONFIG_READ_DUNIT = 4096;
inline constexpr size_t SERVER_CONFIG_READ_NUNIT = 64;

struct server_config {
    const char *path;        // the "-c" argument, not owned
    time_t mtime;            // modification time at the last load attempt, 0 before
    off_t size;              // size at the last load attempt, 0 before
    bool missing;            // the file could not be examined at the last look (logged)
    array accounts;          // of account, sorted with account_cmp
    array pollfds;           // of struct pollfd, one per listening socket
    char *state_path;        // owned; from (state FILE), null for none
    presence_state presence; // of the installed table
    engine_limits limits;    // from (system-max N) and (system-timeout SECONDS)
    // Of presence_transition: the changes that a load made (accounts
    // removed, work restored from the state file), for the engine to take.
    array transitions;
};

// Loads the file when its modification time or its size differs from the
// last attempt's, when it can be examined again after it could not, or
// with force whenever it can be examined. Only a regular file whose text
// reads completely is loaded: one that ends inside a list or an atom (cut
// short, or caught while an editor writes it) is refused as a whole. A
// failed load leaves the running configuration in force and is logged once,
// not on every pass; a successful one replaces the account table and keeps
// every socket. The first load restores presence from the state file
// it names; a reload carries it from the running table (presence_carry).
// After a first load that installed nothing, pollfds is empty.
void server_config_load(server_config *cfg, bool force = false);
// The value of (system-max N) or (system-timeout SECONDS): a positive
// number, at most 1000000; false, leaving *out, for anything else, which
// the load passes over for the default.
bool server_config_limit(const sx_node *value, int *out);
// The account table (sorted with account_cmp, no account up) and the state
// file path (owned, null for none) that a load of the read forms would
// install; no socket is bound, no presence restored and nothing logged.
// Release both with server_config_accounts_free.
void server_config_accounts(const sx_node *forms, array *accounts, char **state_path);
void server_config_accounts_free(array *accounts, char *state_path);
// The file's modification time in seconds, or 0 after logging a failure.
time_t file_mtime(const char *path);
// Releases every account, the account table, the poll set's storage, the
// transitions not taken and the state file's path.
// The sockets stay open: they serve until the process ends.
void server_config_release(server_config *cfg);
