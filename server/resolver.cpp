// Name lookups off the server's loop.
#include "server/resolver.h"

#include "common/process/log.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int CACHE_SIZE = 64;
// A primary that moves is followed at the latest after this.
constexpr int64_t KEEP_MS = 3600 * 1000;

enum class entry_state : uint8_t { empty, queued, busy, ready, failed };

struct entry {
    entry_state state;
    char host[256];
    char port[32];
    dns_exchange_peer peers[DNS_EXCHANGE_MAX_PEERS];
    int n;
    int gai;
    int64_t since;
};

// One for the process: the worker may sit in getaddrinfo for seconds, so it
// is never joined; it ends with the process.
struct resolver_state {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;
    bool started = false;
    int wake[2] = {-1, -1};
    entry cache[CACHE_SIZE] = {};
};

resolver_state g;

int lookup_now(const char *host, const char *port, int flags, dns_exchange_peer *peers, int *n) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = flags;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, port, &hints, &res);
    *n = 0;
    if (rc != 0)
        return rc;
    for (const addrinfo *ai = res; ai != nullptr && *n < DNS_EXCHANGE_MAX_PEERS; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        memcpy(&peers[*n].sa, ai->ai_addr, ai->ai_addrlen);
        peers[*n].len = static_cast<socklen_t>(ai->ai_addrlen);
        (*n)++;
    }
    freeaddrinfo(res);
    return *n == 0 ? EAI_NONAME : 0;
}

void *worker(void *) {
    pthread_mutex_lock(&g.lock);
    for (;;) {
        entry *e = nullptr;
        for (entry &c : g.cache)
            if (c.state == entry_state::queued) {
                e = &c;
                break;
            }
        if (e == nullptr) {
            pthread_cond_wait(&g.work, &g.lock);
            continue;
        }
        e->state = entry_state::busy;
        char host[sizeof e->host], port[sizeof e->port];
        memcpy(host, e->host, sizeof host);
        memcpy(port, e->port, sizeof port);
        pthread_mutex_unlock(&g.lock);
        dns_exchange_peer peers[DNS_EXCHANGE_MAX_PEERS];
        int n = 0;
        int rc = lookup_now(host, port, 0, peers, &n);
        pthread_mutex_lock(&g.lock);
        // Forgotten meanwhile: the slot may hold another name by now.
        if (e->state == entry_state::busy && strcmp(e->host, host) == 0 &&
            strcmp(e->port, port) == 0) {
            memcpy(e->peers, peers, sizeof peers);
            e->n = n;
            e->gai = rc;
            e->state = rc == 0 ? entry_state::ready : entry_state::failed;
        }
        char b = 0;
        (void)!write(g.wake[1], &b, 1);
    }
    return nullptr;
}

// Starts the worker with every signal blocked, so SIGTERM, SIGHUP and
// SIGCHLD keep going to the loop's wait. False after logging; the next
// lookup tries again.
bool start() {
    if (pipe(g.wake) != 0) {
        log_resolver_start_failed(errno);
        return false;
    }
    for (int fd : g.wake) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t;
    int rc = pthread_create(&t, nullptr, worker, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        log_resolver_start_failed(rc);
        for (int &fd : g.wake) {
            close(fd);
            fd = -1;
        }
        return false;
    }
    pthread_detach(t);
    g.started = true;
    return true;
}

entry *find(const char *host, const char *port) {
    for (entry &c : g.cache)
        if (c.state != entry_state::empty && strcmp(c.host, host) == 0 && strcmp(c.port, port) == 0)
            return &c;
    return nullptr;
}

// A free slot, else the oldest finished one; null when all are in work.
entry *claim() {
    entry *oldest = nullptr;
    for (entry &c : g.cache) {
        if (c.state == entry_state::empty)
            return &c;
        if ((c.state == entry_state::ready || c.state == entry_state::failed) &&
            (oldest == nullptr || c.since < oldest->since))
            oldest = &c;
    }
    return oldest;
}

} // namespace

resolver_status resolver_lookup(const char *host, const char *port, int64_t now_ms,
                                dns_exchange_peer *peers, int *n, int *gai) {
    *n = 0;
    *gai = 0;
    // An address written as such needs no lookup and cannot block.
    int rc = lookup_now(host, port, AI_NUMERICHOST, peers, n);
    if (rc == 0)
        return resolver_status::ready;
    if (strlen(host) >= sizeof entry{}.host || strlen(port) >= sizeof entry{}.port) {
        *gai = EAI_NONAME;
        return resolver_status::failed;
    }
    // Without the worker a name is not looked up at all: looking it up here
    // would hold the loop for as long as the resolver takes. The update fails
    // and is retried, which tries to start the worker again.
    if (!g.started && !start()) {
        *gai = EAI_AGAIN;
        return resolver_status::failed;
    }
    resolver_status st = resolver_status::pending;
    pthread_mutex_lock(&g.lock);
    entry *e = find(host, port);
    if (e != nullptr && e->state == entry_state::ready && now_ms - e->since > KEEP_MS)
        e->state = entry_state::empty, e = nullptr;
    if (e == nullptr) {
        e = claim();
        if (e != nullptr) {
            *e = entry{};
            memcpy(e->host, host, strlen(host) + 1);
            memcpy(e->port, port, strlen(port) + 1);
            e->state = entry_state::queued;
            e->since = now_ms;
            pthread_cond_signal(&g.work);
        }
    } else if (e->state == entry_state::ready) {
        memcpy(peers, e->peers, sizeof e->peers);
        *n = e->n;
        st = resolver_status::ready;
    } else if (e->state == entry_state::failed) {
        *gai = e->gai;
        e->state = entry_state::empty;
        st = resolver_status::failed;
    }
    pthread_mutex_unlock(&g.lock);
    return st;
}

void resolver_forget(const char *host, const char *port) {
    if (!g.started)
        return;
    pthread_mutex_lock(&g.lock);
    entry *e = find(host, port);
    if (e != nullptr && e->state != entry_state::queued)
        e->state = entry_state::empty;
    pthread_mutex_unlock(&g.lock);
}

int resolver_fd() {
    return g.started ? g.wake[0] : -1;
}

void resolver_drain() {
    char buf[64];
    if (resolver_fd() >= 0)
        while (read(g.wake[0], buf, sizeof buf) > 0) {
        }
}
