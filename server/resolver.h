// Name lookups for the dns-update effector that never block the server's
// loop: a numeric address is read at once; a name is looked up by one
// worker thread, and its addresses are kept until an exchange with them
// fails (resolver_forget) or an hour has passed.
#pragma once

#include "server/dns_exchange.h"

#include <cstdint>

enum class resolver_status { ready, pending, failed };

// The addresses of host and port (at most DNS_EXCHANGE_MAX_PEERS, in the
// order getaddrinfo gives them) into peers with their count in *n: ready.
// pending: the worker looks it up; ask again once resolver_fd() was
// readable. failed: *gai holds the getaddrinfo code; the next call looks the
// name up again. now_ms is the monotonic clock. Never blocks: where no
// worker thread can be started a name fails with EAI_AGAIN (logged), and the
// next call tries to start one again.
resolver_status resolver_lookup(const char *host, const char *port, int64_t now_ms,
                                dns_exchange_peer *peers, int *n, int *gai);
// Drops what is kept for host and port, so that the next lookup asks anew.
void resolver_forget(const char *host, const char *port);
// A descriptor that turns readable when a lookup has finished, -1 while no
// worker runs.
int resolver_fd();
// Reads the wake-ups that made resolver_fd() readable.
void resolver_drain();
