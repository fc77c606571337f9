// A dns-update run in place.
#include "tests/support/dns_update_run.h"

#include "common/process/clock.h"
#include "server/dns_exchange.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

dns_update_result dns_update_run(const dns_update_conf *c, const char *name, size_t name_len,
                                 uint16_t type, const uint8_t *addr) {
    if (c == nullptr || addr == nullptr || (type != DNS_TYPE_A && type != DNS_TYPE_AAAA))
        return dns_update_result::failed;

    // Looked up each time, so a primary that moves is followed.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(c->host, c->port, &hints, &res);
    if (rc != 0 || res == nullptr) {
        dns_update_lookup_failed(c, name, name_len, type, addr, rc != 0 ? rc : EAI_NONAME);
        return dns_update_result::failed;
    }
    dns_exchange_peer peers[DNS_EXCHANGE_MAX_PEERS];
    int npeers = 0;
    for (const addrinfo *ai = res; ai != nullptr && npeers < DNS_EXCHANGE_MAX_PEERS;
         ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        std::memcpy(&peers[npeers].sa, ai->ai_addr, ai->ai_addrlen);
        peers[npeers++].len = static_cast<socklen_t>(ai->ai_addrlen);
    }
    freeaddrinfo(res);

    // The exchange the engine drives from the loop, here waited for in
    // place: for callers that have no loop.
    dns_exchange x;
    dns_exchange_start(&x, c, dns_update_new_id(), type, addr, peers, npeers, clock_mono_ms());
    while (!x.finished) {
        pollfd fds[DNS_EXCHANGE_MAX_PEERS];
        int n = dns_exchange_pollfds(&x, fds, DNS_EXCHANGE_MAX_PEERS);
        int64_t wait = dns_exchange_due(&x) - clock_mono_ms();
        if (wait > 0)
            poll(fds, static_cast<nfds_t>(n), static_cast<int>(wait));
        dns_exchange_step(&x, clock_mono_ms());
    }
    dns_exchange_close(&x);
    return dns_update_report(c, name, name_len, type, addr, &x);
}

dns_update_result dns_update_effector(const sx_node *args, const char *name, size_t name_len,
                                      uint16_t type, const uint8_t *addr) {
    dns_update_conf c;
    if (!dns_update_parse(args, name, name_len, &c))
        return dns_update_result::failed;
    return dns_update_run(&c, name, name_len, type, addr);
}
