// The client's send loop.
#include "client/client_loop.h"

#include "client/addr_watch.h"
#include "client/sensor.h"
#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/protocol/address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
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

double mono_now() {
    return static_cast<double>(clock_mono_ms()) / 1e3;
}

// Waits for up to seconds, or until fd (when not -1) has something to read.
// SIGTERM or SIGHUP cut the wait short, also one that arrived while the
// cycle ran: both are held back while the flags are read, and let in only
// by pselect(), which unblocks them and starts waiting in one step. true
// when fd is readable.
bool client_wait(double seconds, int fd) {
    sigset_t both, held;
    sigemptyset(&both);
    sigaddset(&both, SIGTERM);
    sigaddset(&both, SIGHUP);
    sigprocmask(SIG_BLOCK, &both, &held);
    bool readable = false;
    if (!stop_requested && !reload_requested) {
        sigset_t during = held;
        sigdelset(&during, SIGTERM);
        sigdelset(&during, SIGHUP);
        if (seconds < 0)
            seconds = 0;
        timespec ts = {};
        ts.tv_sec = static_cast<time_t>(seconds);
        ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
        if (ts.tv_nsec >= 1000000000L)
            ts.tv_nsec = 999999999L;
        fd_set rd;
        FD_ZERO(&rd);
        if (fd >= 0)
            FD_SET(fd, &rd);
        int n =
            pselect(fd >= 0 ? fd + 1 : 0, fd >= 0 ? &rd : nullptr, nullptr, nullptr, &ts, &during);
        readable = n > 0 && fd >= 0 && FD_ISSET(fd, &rd);
    }
    sigprocmask(SIG_SETMASK, &held, nullptr);
    return readable;
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
int reopen6(client_route6 *r, const uint8_t addr[16]) {
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
        log_connect_failed(r->host, r->port, format_sockaddr6(&r->server).text, err);
        return -1;
    }
    if (r->sock >= 0)
        close(r->sock);
    r->sock = sock;
    memcpy(r->bound, addr, 16);
    r->fresh = false;
    return 1;
}

void sense4(update_msg *msg, const client_config *cfg) {
    const sx_node *sensors = cfg->sensors.nsize > 0 ? &cfg->sensors.nodes[0] : nullptr;
    // No address is announced as 0.0.0.0: the server may then take the
    // datagram's source address.
    sensor_get_address(msg->addr, sensors);
}

void sense6(update_msg *msg, const client_config *cfg) {
    const sx_node *sensors = cfg->sensors6.nsize > 0 ? &cfg->sensors6.nodes[0] : nullptr;
    // No address is announced as ::, and the system picks the source.
    sensor_get_address6(msg->addr6, sensors);
    msg->family = AF_INET6;
}

// Encodes msg and sends it on sock; failures are logged.
void transmit(int sock, update_msg *msg, const client_config *cfg) {
    uint8_t buf[UPDATE_MSG_MAX];
    size_t len = update_msg_encode(buf, sizeof buf, msg, cfg->key, cfg->key_len);
    if (len == 0)
        return;
    send_message(sock, buf, len);
}

// Brings the route to the address the message announces; as client_send6.
int route6_ready(client_route6 *r, const update_msg *msg) {
    if (r->sock < 0 || r->fresh || memcmp(r->bound, msg->addr6, 16) != 0)
        return reopen6(r, msg->addr6);
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
    sense4(msg, cfg);
    transmit(sock, msg, cfg);
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
    r->host = host;
    r->port = port;
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
    sense6(msg, cfg);
    int rc = route6_ready(r, msg);
    if (rc <= 0)
        return rc;
    transmit(r->sock, msg, cfg);
    return 0;
}

int client_slots_open(client_slots *s, const client_config *cfg) {
    array_init(&s->slots, sizeof(client_slot));
    int rc = 0;
    for (int32_t i = 0; i < cfg->servers.count; i++) {
        int32_t at = array_append(&s->slots);
        if (at < 0) {
            log_client_socket_failed(ENOMEM);
            return -1;
        }
        auto *slot = static_cast<client_slot *>(array_get(&s->slots, at));
        *slot = client_slot{};
        slot->server = client_config_server(cfg, i);
        slot->sock = -1;
        slot->last_extra = -1e9; // long ago: the first change goes out at once
        client_route6_init(&slot->r6);
        if (slot->server->family != AF_INET6 && (slot->sock = client_socket()) < 0)
            rc = -1;
    }
    return rc;
}

void client_slots_close(client_slots *s) {
    for (int32_t i = 0; i < s->slots.count; i++) {
        auto *slot = static_cast<client_slot *>(array_get(&s->slots, i));
        if (slot->sock >= 0)
            close(slot->sock);
        client_route6_close(&slot->r6);
    }
    array_free(&s->slots);
}

namespace {

client_slot *slot_at(client_slots *s, int32_t i) {
    return static_cast<client_slot *>(array_get(&s->slots, i));
}

bool is6(const client_slot *slot) {
    return slot->server->family == AF_INET6;
}

// The source address of sock's datagrams, as the system picked it at the
// connect; zeros when it cannot tell.
void source_of(int sock, uint8_t out[16]) {
    memset(out, 0, 16);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (sock < 0 || getsockname(sock, reinterpret_cast<sockaddr *>(&ss), &len) < 0)
        return;
    if (ss.ss_family == AF_INET)
        memcpy(out, &reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr, 4);
    else if (ss.ss_family == AF_INET6)
        memcpy(out, reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_addr.s6_addr, 16);
}

int slot_sock(const client_slot *slot) {
    return is6(slot) ? slot->r6.sock : slot->sock;
}

const uint8_t *announced(const client_slot *slot, const update_msg *msg) {
    return is6(slot) ? msg->addr6 : msg->addr;
}

size_t addr_len(const client_slot *slot) {
    return is6(slot) ? 16 : 4;
}

void transmit_slot(client_slot *slot, update_msg *msg, const client_config *cfg) {
    transmit(slot_sock(slot), msg, cfg);
    slot->sent = true;
    memset(slot->sent_addr, 0, 16);
    memcpy(slot->sent_addr, announced(slot, msg), addr_len(slot));
    source_of(slot_sock(slot), slot->sent_source);
    slot->sent_time = msg->time;
}

// Looks the IPv4 server up and connects the slot's socket to it, making the
// socket first where an earlier try could not. 0, or -1 after logging.
int connect4(client_slot *slot) {
    if (slot->sock < 0 && (slot->sock = client_socket()) < 0)
        return -1;
    if (client_connect(slot->sock, slot->server->host, slot->server->port) < 0)
        return -1;
    socklen_t len = sizeof slot->peer;
    if (getpeername(slot->sock, reinterpret_cast<sockaddr *>(&slot->peer), &len) < 0)
        slot->peer = sockaddr_in{};
    return 0;
}

// A new socket connected to the server's known address, so that the system
// picks the source anew: a connected socket keeps the source it was given
// at its connect even after that address has gone. The old socket stays
// when the new one cannot be had (logged). 0, or -1.
int reopen4(client_slot *slot) {
    if (slot->peer.sin_family != AF_INET)
        return -1;
    int sock = client_socket();
    if (sock < 0)
        return -1;
    if (connect(sock, reinterpret_cast<const sockaddr *>(&slot->peer), sizeof slot->peer) < 0) {
        int err = errno;
        close(sock);
        log_connect_failed(
            slot->server->host, slot->server->port,
            address_format4(reinterpret_cast<const uint8_t *>(&slot->peer.sin_addr)).s, err);
        return -1;
    }
    if (slot->sock >= 0)
        close(slot->sock);
    slot->sock = sock;
    return 0;
}

// The messages of one moment: the time is read once, and each family's
// sensors are asked at most once, when a server of that family needs them.
struct cycle_msgs {
    update_msg m4{};
    update_msg m6{};
    bool sensed4 = false;
    bool sensed6 = false;
    cycle_msgs(const client_config *cfg, time_t now) {
        m4.name = cfg->name;
        m4.name_len = cfg->name_len;
        m4.time = now;
        m6 = m4;
    }
    update_msg *for_slot(const client_slot *slot, const client_config *cfg) {
        if (is6(slot)) {
            if (!sensed6)
                sense6(&m6, cfg);
            sensed6 = true;
            return &m6;
        }
        if (!sensed4)
            sense4(&m4, cfg);
        sensed4 = true;
        return &m4;
    }
};

// One regular message to the slot's server, looking it up first when due.
// 0 when the slot goes on to its interval (sent, or a failure of the
// socket, bind or send, logged); -1 after a failed lookup or connect.
int cycle_slot(client_slot *slot, cycle_msgs *msgs, const client_config *cfg, time_t now) {
    const client_server *srv = slot->server;
    if (lookup_due(cfg, now, slot->last_connect)) {
        int rc = is6(slot) ? client_lookup6(&slot->r6, srv->host, srv->port) : connect4(slot);
        if (rc < 0)
            return -1;
        slot->last_connect = now;
    }
    update_msg *msg = msgs->for_slot(slot, cfg);
    if (is6(slot)) {
        int rc = route6_ready(&slot->r6, msg);
        if (rc < 0) {
            // Look the server up again before the next try.
            slot->last_connect = 0;
            return -1;
        }
        if (rc == 0)
            return 0;
    }
    transmit_slot(slot, msg, cfg);
    return 0;
}

// Sends to every slot whose time has come. -1 when one failed and no retry
// is set, after the others have had their turn.
int run_due(client_slots *s, const client_config *cfg) {
    double t = mono_now();
    // The message states the time the cycle began, before the lookup and
    // the sensor commands.
    cycle_msgs msgs(cfg, clock_now());
    bool give_up = false;
    for (int32_t i = 0; i < s->slots.count; i++) {
        client_slot *slot = slot_at(s, i);
        slot->turn = 0;
        if (slot->done || slot->due > t)
            continue;
        int rc = cycle_slot(slot, &msgs, cfg, msgs.m4.time);
        slot->turn = rc < 0 ? -1 : 1;
        if (rc < 0 && cfg->resolv_retry <= 0)
            give_up = true;
        if (rc == 0)
            slot->done = cfg->interval <= 0;
    }
    if (give_up)
        return -1;
    // The next times are set once the cycle is over, so the period is the
    // interval plus the time the cycle took.
    double end = mono_now();
    for (int32_t i = 0; i < s->slots.count; i++) {
        client_slot *slot = slot_at(s, i);
        if (slot->turn != 0)
            slot->due = end + (slot->turn < 0 ? cfg->resolv_retry : cfg->interval);
    }
    return 0;
}

// At most one message a second to each server beyond the interval's,
// however often the system reports changes. A notice that changed nothing
// for a server sent it nothing and does not count.
constexpr double CHANGE_SPACING = 1.0;

// Seconds until the clock's next whole second, a little after it.
double to_next_second() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return 1.001 - static_cast<double>(ts.tv_nsec) / 1e9;
}

// When a change may next go out to the slot (monotonic): a second after
// its last message out of turn, and never in the second its last message
// carried. A server that keeps replays out takes a message of the second
// it last accepted only from the address that sent it, so the new address
// has to state a later second.
double change_time(const client_slot *slot, time_t now) {
    double t = slot->last_extra + CHANGE_SPACING;
    if (slot->sent && now <= slot->sent_time) {
        double second = mono_now() + to_next_second();
        if (second > t)
            t = second;
    }
    return t;
}

// After the system has told of an address change: the sensors are asked
// again and each server whose message would now differ from the last one
// sent to it gets one at once, unless it had one less than a second ago or
// in this very second; that one waits for its second to pass. A server not
// yet reached is left to its retry.
void announce_change(client_slots *s, const client_config *cfg) {
    double t = mono_now();
    cycle_msgs msgs(cfg, clock_now());
    for (int32_t i = 0; i < s->slots.count; i++) {
        client_slot *slot = slot_at(s, i);
        if (!slot->change_due || change_time(slot, msgs.m4.time) > t)
            continue;
        slot->change_due = false;
        if (slot->done || slot->last_connect == 0)
            continue;
        update_msg *msg = msgs.for_slot(slot, cfg);
        if (is6(slot)) {
            if (reopen6(&slot->r6, msg->addr6) <= 0)
                continue;
        } else if (reopen4(slot) < 0) {
            continue;
        }
        uint8_t source[16];
        source_of(slot_sock(slot), source);
        if (slot->sent && memcmp(slot->sent_addr, announced(slot, msg), addr_len(slot)) == 0 &&
            memcmp(slot->sent_source, source, 16) == 0)
            continue;
        transmit_slot(slot, msg, cfg);
        slot->last_extra = t;
    }
}

// Whether a change waits to be looked at, and when the first of those may
// go out into *at.
bool next_change(client_slots *s, double *at) {
    bool any = false;
    const time_t now = clock_now();
    for (int32_t i = 0; i < s->slots.count; i++) {
        const client_slot *slot = slot_at(s, i);
        double t = change_time(slot, now);
        if (slot->change_due && (!any || t < *at))
            *at = t;
        any = any || slot->change_due;
    }
    return any;
}

void note_change(client_slots *s) {
    for (int32_t i = 0; i < s->slots.count; i++)
        slot_at(s, i)->change_due = true;
}

double next_due(client_slots *s) {
    double next = -1;
    for (int32_t i = 0; i < s->slots.count; i++) {
        const client_slot *slot = slot_at(s, i);
        if (!slot->done && (next < 0 || slot->due < next))
            next = slot->due;
    }
    return next;
}

bool all_done(client_slots *s) {
    return next_due(s) < 0;
}

// The watch socket, closed on every way out of the loop.
struct watch_owner {
    int fd = -1;
    ~watch_owner() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

int client_loop(client_slots *s, client_config *cfg, const char *path) {
    watch_owner watch;
    // Opened after the root change and the user switch: the socket needs
    // neither a file nor a privilege.
    if (cfg->interval > 0 && (watch.fd = addr_watch_open()) < 0)
        log_client_watch_failed(errno);
    if (stop_requested)
        return 0;
    for (;;) {
        if (reload_requested) {
            reload_requested = 0;
            // Looked up again also when the file is unchanged: the reason
            // for a reload may be the server's new address.
            client_slots_close(s);
            client_reload(cfg, path);
            // A socket that cannot be made now is made at the slot's turn.
            client_slots_open(s, cfg);
        }
        if (run_due(s, cfg) < 0)
            return -1;
        if (cfg->interval <= 0 && all_done(s))
            return 0;
        for (;;) {
            double wake = next_due(s);
            double change = 0;
            if (next_change(s, &change) && change < wake)
                wake = change;
            bool readable = client_wait(wake - mono_now(), watch.fd);
            if (stop_requested)
                return 0;
            if (reload_requested)
                break;
            if (readable) {
                int rc = addr_watch_read(watch.fd);
                if (rc < 0) {
                    log_client_watch_failed(errno);
                    close(watch.fd);
                    watch.fd = -1;
                }
                if (rc > 0)
                    note_change(s);
            }
            if (next_change(s, &change))
                announce_change(s, cfg);
            if (mono_now() >= next_due(s))
                break;
        }
    }
}
