// The client's configuration file and the record it fills.
#pragma once

#include "common/csexp/sx_tree.h"
#include "common/process/array.h"

#include <cstddef>
#include <cstdint>

// One server the client sends to: a (server HOST PORT) or a
// (server6 HOST PORT) setting.
struct client_server {
    int family; // AF_INET for server, AF_INET6 for server6
    char *host; // owned, NUL-terminated; null when not given or refused
    char *port; // owned, NUL-terminated; null when not given or refused
};

struct client_config {
    char *name; // owned, not NUL-terminated; account name sent in every message
    size_t name_len;
    char *key; // owned, not NUL-terminated; HMAC key shared with the server
    size_t key_len;
    int32_t interval;        // seconds between messages; <= 0: one message, then stop
    int32_t resolv_interval; // seconds before the server is looked up again; < 0: never
    int32_t resolv_retry;    // seconds to wait after a failed lookup; <= 0: give up
    sx_block sensors;        // owned copy of the sensor list; empty for none
    sx_block sensors6;       // owned copy of the IPv6 sensor list; empty for none
    // client_server records, one per server or server6 setting, in the
    // order of the file: each cycle sends the message of each family to
    // each server of that family.
    array servers;
};

// An empty record with the defaults: interval 0, resolv_interval -1,
// resolv_retry 0, nothing owned.
void client_config_init(client_config *cfg);
// Applies the settings from the top-level item first on, in order; later
// settings replace earlier ones. Unknown keywords are logged and skipped. A
// name, host or port with a NUL byte inside is refused (logged, and the
// setting then counts as missing): cut at the NUL it would name something
// else.
void client_config_apply(client_config *cfg, const sx_node *first);
// Reads the file at path into cfg (initialised by the caller). 0 on success;
// -1 when the file cannot be opened (logged), cannot be read or holds no
// complete item (not logged: the caller prints the usage line).
int client_config_read(client_config *cfg, const char *path);
// Appends a server with copies of host and port (either may be null). 0,
// or -1 when memory runs out (nothing appended).
int client_config_add_server(client_config *cfg, int family, const char *host, const char *port);
// The i-th server, or null past the last.
const client_server *client_config_server(const client_config *cfg, int32_t i);
// True when name and key are present and not empty, at least one server is
// configured, and no server setting is half given (a host without a port or
// the reverse): that one would silently send nothing.
bool client_config_complete(const client_config *cfg);
// Releases everything the record owns and leaves it empty with the defaults.
void client_config_free(client_config *cfg);
