// The client's send loop.
#include "client/client_loop.h"

#include "client/sensor.h"
#include "common/process/clock.h"
#include "common/process/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
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

// "192.0.2.7:5353": the numeric address and port of one lookup result.
struct addr_text {
    char text[INET_ADDRSTRLEN + sizeof ":65535"];
};

addr_text format_result(const addrinfo *ai) {
    addr_text t{};
    const auto *sin = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
    char host[INET_ADDRSTRLEN] = "?";
    if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in) ||
        inet_ntop(AF_INET, &sin->sin_addr, host, sizeof host) == nullptr) {
        snprintf(t.text, sizeof t.text, "?");
        return t;
    }
    snprintf(t.text, sizeof t.text, "%s:%u", host, static_cast<unsigned>(ntohs(sin->sin_port)));
    return t;
}

bool lookup_due(const client_config *cfg, time_t now, time_t last_connect) {
    if (last_connect == 0)
        return true;
    return cfg->resolv_interval >= 0 && difftime(now, last_connect) > cfg->resolv_interval;
}

// Releases the lookup results on every path out of client_connect.
struct addrinfo_list {
    addrinfo *head = nullptr;
    ~addrinfo_list() {
        if (head != nullptr)
            freeaddrinfo(head);
    }
};

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
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo_list res;
    int rc = getaddrinfo(host, port, &hints, &res.head);
    if (rc != 0) {
        log_address_lookup_failed(host, port, rc);
        return -1;
    }
    if (res.head->ai_next != nullptr) {
        log_ambiguous_address(host, port);
        for (const addrinfo *ai = res.head; ai != nullptr; ai = ai->ai_next)
            log_ambiguous_address_entry(format_result(ai).text);
        return -1;
    }
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
    ssize_t sent = send(sock, buf, len, 0);
    if (sent < 0)
        log_send_failed(errno);
    else if (static_cast<size_t>(sent) < len)
        log_short_send(static_cast<size_t>(sent), len);
}

int client_loop(int sock, client_config *cfg, const char *path) {
    update_msg msg = {};
    time_t last_connect = 0;
    if (stop_requested)
        return 0;
    for (;;) {
        if (reload_requested) {
            reload_requested = 0;
            client_reload(cfg, path);
            // Looked up again also when the file is unchanged: the reason
            // for a reload may be the server's new address.
            last_connect = 0;
        }
        msg.name = cfg->name;
        msg.name_len = cfg->name_len;
        // The message states the time the cycle began, before the lookup
        // and the sensor commands.
        time_t now = clock_now();
        msg.time = now;
        if (lookup_due(cfg, now, last_connect)) {
            if (client_connect(sock, cfg->host, cfg->port) < 0) {
                if (cfg->resolv_retry <= 0)
                    return -1;
                client_sleep(cfg->resolv_retry);
                if (stop_requested)
                    return 0;
                continue;
            }
            last_connect = now;
        }
        client_send(sock, &msg, cfg);
        if (cfg->interval <= 0)
            return 0;
        client_sleep(cfg->interval);
        if (stop_requested)
            return 0;
    }
}
