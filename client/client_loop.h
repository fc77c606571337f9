// The client's send loop: look the server up, announce the address, sleep.
#pragma once

#include "client/client_config.h"
#include "common/protocol/update_msg.h"

// Installs the SIGTERM handler, which only sets the loop's stop flag. 0, or
// -1 when sigaction fails.
int client_catch_sigterm();
// Installs the SIGHUP handler, which only sets the loop's reload flag. 0, or
// -1 when sigaction fails.
int client_catch_sighup();
// The UDP socket the client sends from for its whole life; -1 after logging.
int client_socket();
// Looks host:port up (IPv4, UDP) and connects sock to the one address found.
// Several addresses are never used: the choice would be a guess. 0 on
// success; -1 after logging a failed lookup, an ambiguity or a failed
// connect.
int client_connect(int sock, const char *host, const char *port);
// Asks the sensors for the address (0.0.0.0 when none yields one), encodes
// msg, whose time and name the caller has set, with the key and sends it on
// the connected sock. Failures are logged; the caller goes on.
void client_send(int sock, update_msg *msg, const client_config *cfg);
// Cycles until an orderly stop (0): SIGTERM after a sleep, or the end of a
// one-message run. -1 when a lookup or connect fails and no retry is set.
// A SIGHUP cuts the sleep short: the file at path is read again into cfg
// (a file that cannot be read, lacks a setting or no longer sends at an
// interval is logged and the settings in force stay), the server is looked
// up again and the next cycle starts at once.
int client_loop(int sock, client_config *cfg, const char *path);
