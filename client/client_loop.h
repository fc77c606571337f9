// The client's send loop: look the server up, announce the address, sleep.
#pragma once

#include "client/client_config.h"
#include "common/process/array.h"
#include "common/protocol/update_msg.h"

#include <ctime>
#include <netinet/in.h>

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

// The way to the IPv6 server. Its socket is bound to the address the IPv6
// sensors yield, so that the datagram's source is the announced address and
// not a temporary privacy address the system would pick; it is made anew
// when that address or the server's changes.
struct client_route6 {
    int sock;            // -1 until a message is to go out
    uint8_t bound[16];   // the address sock is bound to; :: for none
    sockaddr_in6 server; // from the last successful lookup
    bool fresh;          // server changed since sock was connected
    const char *host;    // the server as configured, for the log; not owned
    const char *port;
};

// An empty route: no socket, no server.
void client_route6_init(client_route6 *r);
// Closes the route's socket, if any, and empties it.
void client_route6_close(client_route6 *r);
// Looks host:port up (IPv6, UDP) into r->server, by the same rule as
// client_connect: 0, or -1 after logging a failed lookup or an ambiguity.
// host and port must outlive the route.
int client_lookup6(client_route6 *r, const char *host, const char *port);
// Asks the IPv6 sensors for the address (:: when none yields one), puts it
// into msg->addr6 and msg->family, brings the socket to that address and
// the server, then encodes and sends as client_send does. 0 when the cycle
// goes on (sent, or a failure of the socket, bind or send, logged); -1 when
// connecting to the server failed (logged), which is retried as a failed
// lookup is.
int client_send6(client_route6 *r, update_msg *msg, const client_config *cfg);

// What the loop keeps for one server of the configuration.
struct client_slot {
    const client_server *server; // into the configuration in force
    int sock;                    // IPv4: the socket connected to the server; -1 for none
    sockaddr_in peer;            // IPv4: the server's address, once looked up
    client_route6 r6;            // IPv6
    time_t last_connect;         // cycle time of the last successful lookup; 0 before
    double due;                  // monotonic time of its next message
    bool done;                   // a one-message run has sent its message
    int8_t turn;                 // in the cycle running: 1 sent, -1 failed, 0 not due
    bool change_due;             // the system reported a change not yet looked at
    double last_extra;           // monotonic time of its last message out of turn
    bool sent;                   // a message has gone out; the next two say what
    uint8_t sent_addr[16];       // the address it announced (4 bytes for IPv4)
    uint8_t sent_source[16];     // the address it went out from
    time_t sent_time;            // the time it carried
};

// The slots of every server of a configuration, in its order.
struct client_slots {
    array slots; // client_slot
};

// One slot per server of cfg, which must outlive them, each with its IPv4
// socket made. 0; -1 after logging a socket that cannot be made or memory
// that runs out (the slots are then to be closed all the same).
int client_slots_open(client_slots *s, const client_config *cfg);
// Closes every socket and releases the slots.
void client_slots_close(client_slots *s);

// Cycles until an orderly stop (0): SIGTERM after a sleep, or the end of a
// one-message run. Each cycle sends the message of each family to each
// server of that family; a failed lookup or connect of one does not hold up
// the others, and is retried on its own after resolv_retry seconds. -1 when
// one fails and no retry is set.
// When the client sends at an interval it also watches the system's
// address changes: on each it asks the sensors again and sends at once to
// each server whose message would now differ from the one last sent (the
// address announced, or the source the system picks), at most once a
// second to each server, keeping its interval. Where the watch cannot be had it is logged
// once and the interval alone remains.
// A SIGHUP cuts the sleep short: the file at path is read again into cfg
// (a file that cannot be read, lacks a setting or no longer sends at an
// interval is logged and the settings in force stay), the slots are made
// anew for it, every server is looked up again and the next cycle starts
// at once.
int client_loop(client_slots *s, client_config *cfg, const char *path);
