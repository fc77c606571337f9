// The client's send loop.
#include "client/client_loop.h"

#include "client/sensor.h"
#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/protocol/address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Set to 1 by the SIGTERM handler and by nothing else; read after each sleep.
volatile std::sig_atomic_t stop_requested = 0;
// Set to 1 by the SIGHUP handler; read before each cycle and each sleep.
volatile std::sig_atomic_t reload_requested = 0;

void sigterm_handler(int) {
    stop_requested = 1;
}

void sighup_handler(int) {
    reload_requested = 1;
}

// A sleep that SIGTERM or SIGHUP cuts short, also one that arrived while
// the cycle ran: both are held back while the flags are read, and let in
// only by pselect(), which unblocks them and starts waiting in one step.
void client_sleep(int32_t seconds) {
    sigset_t both, held;
    sigemptyset(&both);
    sigaddset(&both, SIGTERM);
    sigaddset(&both, SIGHUP);
    sigprocmask(SIG_BLOCK, &both, &held);
    if (!stop_requested && !reload_requested) {
        sigset_t during = held;
        sigdelset(&during, SIGTERM);
        sigdelset(&during, SIGHUP);
        timespec ts = {};
        ts.tv_sec = seconds;
        pselect(0, nullptr, nullptr, nullptr, &ts, &during);
    }
    sigprocmask(SIG_SETMASK, &held, nullptr);
}

// Reads path into a fresh record and puts it in place of cfg. A client that
// runs at an interval stays one: a file that would make it a one-message run
// is refused like one that cannot be read.
int client_reload(client_config *cfg, const char *path) {
    client_config next;
    client_config_init(&next);
    if (client_config_read(&next, path) < 0 || !client_config_complete(&next) ||
        next.interval <= 0) {
        client_config_free(&next);
        log_client_reload_failed(path);
        return -1;
    }
    client_config_free(cfg);
    *cfg = next;
    log_client_reloaded(path);
    return 0;
}

// "192.0.2.7:5353" or "[2001:db8::53]:5353": the numeric address and port
// of one lookup result.
struct addr_text {
    char text[ADDRESS_TEXT_MAX + sizeof "[]:65535"];
};

addr_text format_result(const addrinfo *ai) {
    addr_text t{};
    snprintf(t.text, sizeof t.text, "?");
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
        snprintf(t.text, sizeof t.text, "%s:%u",
                 address_format4(reinterpret_cast<const uint8_t *>(&sin->sin_addr)).s,
                 static_cast<unsigned>(ntohs(sin->sin_port)));
    } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
        // Brackets keep the port apart from the address's own colons.
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr);
        snprintf(t.text, sizeof t.text, "[%s]:%u", address_format6(sin6->sin6_addr.s6_addr).s,
                 static_cast<unsigned>(ntohs(sin6->sin6_port)));
    }
    return t;
}

addr_text format_sockaddr6(const sockaddr_in6 *sin6) {
    addrinfo ai = {};
    ai.ai_family = AF_INET6;
    ai.ai_addrlen = sizeof *sin6;
    ai.ai_addr = reinterpret_cast<sockaddr *>(const_cast<sockaddr_in6 *>(sin6));
    return format_result(&ai);
}

bool lookup_due(const client_config *cfg, time_t now, time_t last_connect) {
    if (last_connect == 0)
        return true;
    return cfg->resolv_interval >= 0 && difftime(now, last_connect) > cfg->resolv_interval;
}

// Closes the IPv6 socket on every way out of the loop.
struct route6_owner {
    client_route6 r;
    route6_owner() { client_route6_init(&r); }
    ~route6_owner() { client_route6_close(&r); }
    route6_owner(const route6_owner &) = delete;
    route6_owner &operator=(const route6_owner &) = delete;
};

// Releases the lookup results on every path out of client_connect.
struct addrinfo_list {
    addrinfo *head = nullptr;
    ~addrinfo_list() {
        if (head != nullptr)
            freeaddrinfo(head);
    }
};

// Looks host:port up in one family and insists on a single result: the
// client never picks one of several addresses. 0, or -1 after logging.
int lookup_one(addrinfo_list *res, int family, const char *host, const char *port) {
    addrinfo hints = {};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    int rc = getaddrinfo(host, port, &hints, &res->head);
    if (rc != 0) {
        res->head = nullptr;
        log_address_lookup_failed(host, port, rc);
        return -1;
    }
    if (res->head->ai_next != nullptr) {
        log_ambiguous_address(host, port);
        for (const addrinfo *ai = res->head; ai != nullptr; ai = ai->ai_next)
            log_ambiguous_address_entry(format_result(ai).text);
        return -1;
    }
    return 0;
}

// Sends one encoded message on a connected socket; failures are logged.
void send_message(int sock, const uint8_t *buf, size_t len) {
    ssize_t sent = send(sock, buf, len, 0);
    if (sent < 0)
        log_send_failed(errno);
    else if (static_cast<size_t>(sent) < len)
        log_short_send(static_cast<size_t>(sent), len);
}

const uint8_t NO_ADDRESS6[16] = {};

// A socket bound to addr (unless it is ::) and connected to r->server, in
// place of the route's old one. 1 when it is in place; 0 after logging a
// failed socket or bind, -1 after logging a failed connect. On a failure no
// message goes out this cycle: not from the old socket, whose source is no
// longer the address announced.
int reopen6(client_route6 *r, const uint8_t addr[16], const client_config *cfg) {
    int sock = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) {
        log_client_socket_failed(errno);
        return 0;
    }
    if (memcmp(addr, NO_ADDRESS6, 16) != 0) {
        sockaddr_in6 local = {};
        local.sin6_family = AF_INET6;
        memcpy(local.sin6_addr.s6_addr, addr, 16);
        if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
            int err = errno;
            close(sock);
            log_client_bind_failed(address_format6(addr).s, err);
            return 0;
        }
    }
    if (connect(sock, reinterpret_cast<const sockaddr *>(&r->server), sizeof r->server) < 0) {
        int err = errno;
        close(sock);
        log_connect_failed(cfg->host6, cfg->port6, format_sockaddr6(&r->server).text, err);
        return -1;
    }
    if (r->sock >= 0)
        close(r->sock);
    r->sock = sock;
    memcpy(r->bound, addr, 16);
    r->fresh = false;
    return 1;
}

} // namespace

int client_catch_sigterm() {
    struct sigaction sa = {};
    sa.sa_handler = sigterm_handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the signal has to cut the sleep short.
    sa.sa_flags = 0;
    return sigaction(SIGTERM, &sa, nullptr);
}

int client_catch_sighup() {
    struct sigaction sa = {};
    sa.sa_handler = sighup_handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the reload is taken at once, not after the sleep.
    sa.sa_flags = 0;
    return sigaction(SIGHUP, &sa, nullptr);
}

int client_socket() {
    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0)
        log_client_socket_failed(errno);
    return sock;
}

int client_connect(int sock, const char *host, const char *port) {
    addrinfo_list res;
    if (lookup_one(&res, AF_INET, host, port) < 0)
        return -1;
    if (connect(sock, res.head->ai_addr, res.head->ai_addrlen) < 0) {
        int err = errno;
        log_connect_failed(host, port, format_result(res.head).text, err);
        return -1;
    }
    return 0;
}

void client_send(int sock, update_msg *msg, const client_config *cfg) {
    const sx_node *sensors = cfg->sensors.nsize > 0 ? &cfg->sensors.nodes[0] : nullptr;
    // No address is announced as 0.0.0.0: the server may then take the
    // datagram's source address.
    sensor_get_address(msg->addr, sensors);
    uint8_t buf[UPDATE_MSG_MAX];
    size_t len = update_msg_encode(buf, sizeof buf, msg, cfg->key, cfg->key_len);
    if (len == 0)
        return;
    send_message(sock, buf, len);
}

void client_route6_init(client_route6 *r) {
    *r = client_route6{};
    r->sock = -1;
}

void client_route6_close(client_route6 *r) {
    if (r->sock >= 0)
        close(r->sock);
    client_route6_init(r);
}

int client_lookup6(client_route6 *r, const char *host, const char *port) {
    addrinfo_list res;
    if (lookup_one(&res, AF_INET6, host, port) < 0)
        return -1;
    if (res.head->ai_family != AF_INET6 || res.head->ai_addrlen < sizeof r->server) {
        log_address_lookup_failed(host, port, EAI_FAMILY);
        return -1;
    }
    memcpy(&r->server, res.head->ai_addr, sizeof r->server);
    r->fresh = true;
    return 0;
}

int client_send6(client_route6 *r, update_msg *msg, const client_config *cfg) {
    const sx_node *sensors = cfg->sensors6.nsize > 0 ? &cfg->sensors6.nodes[0] : nullptr;
    // No address is announced as ::, and the system picks the source.
    sensor_get_address6(msg->addr6, sensors);
    msg->family = AF_INET6;
    if (r->sock < 0 || r->fresh || memcmp(r->bound, msg->addr6, 16) != 0) {
        int rc = reopen6(r, msg->addr6, cfg);
        if (rc <= 0)
            return rc;
    }
    uint8_t buf[UPDATE_MSG_MAX];
    size_t len = update_msg_encode(buf, sizeof buf, msg, cfg->key, cfg->key_len);
    if (len == 0)
        return 0;
    send_message(r->sock, buf, len);
    return 0;
}

int client_loop(int sock, client_config *cfg, const char *path) {
    update_msg msg = {};
    time_t last_connect = 0;
    time_t last_connect6 = 0;
    route6_owner r6;
    // A family is done once a one-message run has sent its message, so a
    // retry for the other does not send this one again.
    bool done4 = !client_config_has_server(cfg);
    bool done6 = !client_config_has_server6(cfg);
    if (stop_requested)
        return 0;
    for (;;) {
        if (reload_requested) {
            reload_requested = 0;
            if (client_reload(cfg, path) == 0) {
                done4 = !client_config_has_server(cfg);
                done6 = !client_config_has_server6(cfg);
                // A file that names an IPv4 server for the first time needs
                // the socket that start-up did not make.
                if (!done4 && sock < 0 && (sock = client_socket()) < 0)
                    done4 = true;
            }
            // Looked up again also when the file is unchanged: the reason
            // for a reload may be the server's new address.
            last_connect = 0;
            last_connect6 = 0;
            client_route6_close(&r6.r);
        }
        msg.name = cfg->name;
        msg.name_len = cfg->name_len;
        update_msg msg6 = msg;
        // The message states the time the cycle began, before the lookup
        // and the sensor commands.
        time_t now = clock_now();
        msg.time = now;
        msg6.time = now;
        bool failed = false;
        if (!done4) {
            if (lookup_due(cfg, now, last_connect)) {
                if (client_connect(sock, cfg->host, cfg->port) < 0)
                    failed = true;
                else
                    last_connect = now;
            }
            if (!failed) {
                client_send(sock, &msg, cfg);
                done4 = cfg->interval <= 0;
            }
        }
        if (!done6) {
            bool ok = true;
            if (lookup_due(cfg, now, last_connect6)) {
                ok = client_lookup6(&r6.r, cfg->host6, cfg->port6) == 0;
                if (ok)
                    last_connect6 = now;
            }
            if (ok && client_send6(&r6.r, &msg6, cfg) < 0) {
                // Look the server up again before the next try.
                last_connect6 = 0;
                ok = false;
            }
            if (ok)
                done6 = cfg->interval <= 0;
            else
                failed = true;
        }
        if (failed) {
            if (cfg->resolv_retry <= 0)
                return -1;
            client_sleep(cfg->resolv_retry);
            if (stop_requested)
                return 0;
            continue;
        }
        if (cfg->interval <= 0)
            return 0;
        client_sleep(cfg->interval);
        if (stop_requested)
            return 0;
    }
}
