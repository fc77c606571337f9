// The non-blocking exchange of one dns-update with the name server.
#include "server/dns_exchange.h"

#include "common/process/clock.h"
#include "common/protocol/dns_msg.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

constexpr size_t TCP_BUF = 2 + 65535;

// Room for any UDP answer; the loop's one thread reads one at a time.
uint8_t g_answer[65535];

bool same_peer(const sockaddr_storage &a, const sockaddr_storage &b) {
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
        return x.sin6_port == y.sin6_port &&
               memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

void close_fd(int *fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

int open_socket(int family, int type) {
    int fd = socket(family, type, 0);
    if (fd < 0)
        return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Takes one message and says what it was.
dns_update_judgement::kind_t take(dns_exchange *x, const uint8_t *msg, size_t len, int peer) {
    dns_update_judgement j = dns_update_judge(msg, len, x->id, x->key, x->req_mac, x->req_mac_len,
                                              static_cast<uint64_t>(clock_now()));
    switch (j.kind) {
    case dns_update_judgement::answer:
        x->answered = true;
        x->answered_by = peer;
        x->result = j;
        break;
    case dns_update_judgement::unsigned_error:
        // One that names a TSIG error says more than a bare RCODE.
        if (!x->unsigned_seen || j.tsig_error != 0 || x->unsigned_error.tsig_error == 0)
            x->unsigned_error = j;
        x->unsigned_seen = true;
        break;
    case dns_update_judgement::ignore:
        x->ignored++;
        break;
    case dns_update_judgement::truncated:
        break;
    }
    return j.kind;
}

// Sends the request to the next peer that has not refused; false when
// none takes it.
bool all_refused(const dns_exchange *x);

bool send_next(dns_exchange *x) {
    // Every address refused once: they are all tried again, since a name
    // server that restarts may answer within the wait.
    if (all_refused(x))
        for (int i = 0; i < x->npeers; i++)
            x->refused[i] = false;
    for (int tries = 0; tries < x->npeers; tries++) {
        int i = x->next_peer;
        x->next_peer = (x->next_peer + 1) % x->npeers;
        if (x->refused[i])
            continue;
        if (x->udp[i] < 0) {
            const dns_exchange_peer &p = x->peers[i];
            x->udp[i] = open_socket(p.sa.ss_family, SOCK_DGRAM);
            // Connected, so the kernel passes on only datagrams from the
            // server's address and port, and reports a refusing port.
            if (x->udp[i] < 0 ||
                connect(x->udp[i], reinterpret_cast<const sockaddr *>(&p.sa), p.len) != 0) {
                x->send_errno = errno;
                close_fd(&x->udp[i]);
                x->refused[i] = true;
                continue;
            }
        }
        if (send(x->udp[i], x->req, x->req_len, 0) == static_cast<ssize_t>(x->req_len)) {
            x->sent_any = true;
            return true;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED) {
            x->send_errno = errno;
            x->refused[i] = true;
        }
        if (errno == ECONNREFUSED)
            x->refused[i] = true;
    }
    return false;
}

bool all_refused(const dns_exchange *x) {
    for (int i = 0; i < x->npeers; i++)
        if (!x->refused[i])
            return false;
    return true;
}

void finish(dns_exchange *x) {
    x->finished = true;
    dns_exchange_close(x);
}

void start_tcp(dns_exchange *x, int peer) {
    x->used_tcp = true;
    for (int i = 0; i < x->npeers; i++)
        close_fd(&x->udp[i]);
    x->tcp_buf = static_cast<uint8_t *>(malloc(TCP_BUF));
    const dns_exchange_peer &p = x->peers[peer];
    x->tcp = x->tcp_buf != nullptr ? open_socket(p.sa.ss_family, SOCK_STREAM) : -1;
    x->tcp_peer = peer;
    if (x->tcp < 0) {
        x->send_errno = x->tcp_buf == nullptr ? ENOMEM : errno;
        finish(x);
        return;
    }
    if (connect(x->tcp, reinterpret_cast<const sockaddr *>(&p.sa), p.len) != 0 &&
        errno != EINPROGRESS) {
        x->send_errno = errno;
        finish(x);
        return;
    }
    // The length-prefixed request (RFC 1035 4.2.2) is built in the buffer
    // and sent from it; answers are read into it afterwards.
    dns_msg_put16(x->tcp_buf, static_cast<uint16_t>(x->req_len));
    memcpy(x->tcp_buf + 2, x->req, x->req_len);
    x->tcp_phase = 1;
    x->tcp_sent = 0;
    x->tcp_have = 0;
}

void step_udp(dns_exchange *x, int64_t now) {
    for (int i = 0; i < x->npeers && !x->finished; i++) {
        if (x->udp[i] < 0)
            continue;
        for (int reads = 0; reads < 64; reads++) {
            sockaddr_storage from{};
            socklen_t from_len = sizeof from;
            ssize_t n = recvfrom(x->udp[i], g_answer, sizeof g_answer, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&from), &from_len);
            if (n < 0) {
                // A refusing port (the server down): the next address is
                // tried at once rather than at the next resend.
                if (errno == ECONNREFUSED) {
                    x->refused[i] = true;
                    close_fd(&x->udp[i]);
                    if (!all_refused(x))
                        x->resend_at = now;
                }
                break;
            }
            if (!same_peer(from, x->peers[i].sa)) {
                x->ignored++;
                continue;
            }
            auto kind = take(x, g_answer, static_cast<size_t>(n), i);
            if (kind == dns_update_judgement::answer) {
                finish(x);
                return;
            }
            if (kind == dns_update_judgement::truncated) {
                start_tcp(x, i);
                return;
            }
        }
    }
    if (now >= x->deadline) {
        finish(x);
        return;
    }
    if (now >= x->resend_at) {
        if (!send_next(x) && !x->sent_any) {
            finish(x);
            return;
        }
        x->resend_at = now + x->resend_gap;
        x->resend_gap *= 2;
    }
}

void step_tcp(dns_exchange *x, int64_t now) {
    if (x->tcp_phase == 1) {
        int err = 0;
        socklen_t el = sizeof err;
        pollfd p{x->tcp, POLLOUT, 0};
        if (poll(&p, 1, 0) > 0) {
            if (getsockopt(x->tcp, SOL_SOCKET, SO_ERROR, &err, &el) != 0 || err != 0) {
                x->send_errno = err != 0 ? err : errno;
                finish(x);
                return;
            }
            x->tcp_phase = 2;
        }
    }
    if (x->tcp_phase == 2) {
        size_t total = x->req_len + 2;
        while (x->tcp_sent < total) {
            ssize_t n = send(x->tcp, x->tcp_buf + x->tcp_sent, total - x->tcp_sent, MSG_NOSIGNAL);
            if (n > 0) {
                x->tcp_sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                x->send_errno = errno;
                finish(x);
                return;
            }
            break;
        }
        if (x->tcp_sent == total)
            x->tcp_phase = 3;
    }
    if (x->tcp_phase == 3) {
        for (;;) {
            ssize_t n = recv(x->tcp, x->tcp_buf + x->tcp_have, TCP_BUF - x->tcp_have, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                finish(x);
                return;
            }
            if (n < 0)
                break;
            x->tcp_have += static_cast<size_t>(n);
            // Every complete message in the buffer, in order.
            while (x->tcp_have >= 2 && x->tcp_have >= 2 + size_t{dns_msg_get16(x->tcp_buf)}) {
                size_t len = dns_msg_get16(x->tcp_buf);
                if (take(x, x->tcp_buf + 2, len, x->tcp_peer) == dns_update_judgement::answer) {
                    finish(x);
                    return;
                }
                memmove(x->tcp_buf, x->tcp_buf + 2 + len, x->tcp_have - 2 - len);
                x->tcp_have -= 2 + len;
            }
            if (x->tcp_have == TCP_BUF) {
                finish(x);
                return;
            }
        }
    }
    if (now >= x->deadline)
        finish(x);
}

} // namespace

bool dns_exchange_start(dns_exchange *x, const dns_update_conf *c, uint16_t id, uint16_t type,
                        const uint8_t *addr, const dns_exchange_peer *peers, int npeers,
                        int64_t now_ms) {
    *x = dns_exchange{};
    x->tcp = -1;
    x->answered_by = -1;
    for (int &fd : x->udp)
        fd = -1;
    bool remove = true;
    for (size_t i = 0, n = type == DNS_TYPE_A ? 4 : 16; i < n; i++)
        remove = remove && addr[i] == 0;
    dns_msg_update u{id, &c->zone, &c->owner, type, c->ttl, remove ? nullptr : addr};
    size_t n = dns_msg_build_update(x->req, sizeof x->req, &u);
    if (n != 0)
        n = tsig_sign(x->req, n, sizeof x->req, &c->key, static_cast<uint64_t>(clock_now()),
                      nullptr, 0, 0, x->req_mac);
    if (n == 0) {
        x->finished = true;
        x->send_errno = EMSGSIZE;
        return false;
    }
    x->key = &c->key;
    x->id = id;
    x->req_len = n;
    x->req_mac_len = tsig_mac_len(c->key.alg);
    x->npeers = npeers < DNS_EXCHANGE_MAX_PEERS ? npeers : DNS_EXCHANGE_MAX_PEERS;
    for (int i = 0; i < x->npeers; i++)
        x->peers[i] = peers[i];
    x->deadline = now_ms + c->wait_ms;
    x->resend_gap = 250;
    x->resend_at = now_ms;
    if (x->npeers == 0) {
        x->finished = true;
        x->send_errno = EDESTADDRREQ;
        return true;
    }
    step_udp(x, now_ms);
    return true;
}

int dns_exchange_pollfds(const dns_exchange *x, pollfd *out, int cap) {
    int n = 0;
    if (x->finished)
        return 0;
    if (x->tcp >= 0) {
        if (cap > 0)
            out[n++] = pollfd{x->tcp, static_cast<short>(x->tcp_phase == 3 ? POLLIN : POLLOUT), 0};
        return n;
    }
    for (int i = 0; i < x->npeers && n < cap; i++)
        if (x->udp[i] >= 0)
            out[n++] = pollfd{x->udp[i], POLLIN, 0};
    return n;
}

int64_t dns_exchange_due(const dns_exchange *x) {
    if (x->finished)
        return 0;
    if (x->tcp >= 0 || x->resend_at > x->deadline)
        return x->deadline;
    return x->resend_at;
}

bool dns_exchange_step(dns_exchange *x, int64_t now_ms) {
    if (x->finished)
        return true;
    if (x->tcp >= 0)
        step_tcp(x, now_ms);
    else
        step_udp(x, now_ms);
    return x->finished;
}

void dns_exchange_close(dns_exchange *x) {
    for (int i = 0; i < DNS_EXCHANGE_MAX_PEERS; i++)
        close_fd(&x->udp[i]);
    close_fd(&x->tcp);
    free(x->tcp_buf);
    x->tcp_buf = nullptr;
}
