// The exchange of one dns-update with the name server, without blocking:
// the caller polls the descriptors it names and steps it when they are
// ready or when its due time has come.
//
// The request goes to the server's addresses in turn: the first at once,
// the next at every resend (250 ms, then twice as long each time) or as
// soon as one refuses, until the wait ends. An answer from any of them will
// do; applying the same update twice changes nothing more. A truncated
// answer moves the exchange to TCP with the address that sent it.
#pragma once

#include "common/protocol/tsig.h"
#include "server/dns_update.h"

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>

inline constexpr int DNS_EXCHANGE_MAX_PEERS = 4;

struct dns_exchange_peer {
    sockaddr_storage sa;
    socklen_t len;
};

struct dns_exchange {
    const tsig_key *key;
    uint16_t id;
    uint8_t req[2048];
    size_t req_len;
    uint8_t req_mac[TSIG_MAC_MAX];
    size_t req_mac_len;
    dns_exchange_peer peers[DNS_EXCHANGE_MAX_PEERS];
    int npeers;
    int udp[DNS_EXCHANGE_MAX_PEERS]; // connected sockets, -1 until first used
    bool refused[DNS_EXCHANGE_MAX_PEERS];
    int next_peer; // the peer of the next send
    bool sent_any;
    int64_t deadline;
    int64_t resend_at;
    int64_t resend_gap;
    // TCP, after a truncated answer.
    int tcp;
    int tcp_peer;
    int tcp_phase; // 0 none, 1 connecting, 2 sending, 3 reading
    size_t tcp_sent;
    size_t tcp_have;
    uint8_t *tcp_buf; // 2 + 65535 bytes while TCP runs
    // The outcome.
    bool finished;
    bool answered;
    bool unsigned_seen;
    bool used_tcp;
    int answered_by; // peer index of the answer, -1 for none
    int send_errno;  // why nothing could be sent, 0 when something was
    unsigned ignored;
    dns_update_judgement result;
    dns_update_judgement unsigned_error;
};

// Builds and signs the update of c's owner (type A with 4 address bytes,
// AAAA with 16; all zero deletes) under message ID id and sends it to the
// first peer. now_ms is the monotonic clock; wait_ms of c sets the deadline.
// False when the message cannot be built (nothing to close then).
bool dns_exchange_start(dns_exchange *x, const dns_update_conf *c, uint16_t id, uint16_t type,
                        const uint8_t *addr, const dns_exchange_peer *peers, int npeers,
                        int64_t now_ms);
// Writes up to cap pollfds that the exchange waits on; returns how many.
int dns_exchange_pollfds(const dns_exchange *x, pollfd *out, int cap);
// The monotonic time by which the exchange wants a step whatever the
// descriptors say.
int64_t dns_exchange_due(const dns_exchange *x);
// Reads what arrived, sends what is due, ends at an authentic answer or at
// the deadline. True once finished.
bool dns_exchange_step(dns_exchange *x, int64_t now_ms);
// Closes the descriptors and frees the TCP buffer; the outcome stays.
void dns_exchange_close(dns_exchange *x);
