// The server's configuration file: listening sockets and the account table.
#include "server/server_config.h"

#include "common/csexp/sx_reader.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"
#include "server/state.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
struct addrinfo_releaser {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

// Keywords are matched on the atom's exact bytes, so an atom with a NUL
// inside never passes for the word before the NUL.
std::string_view atom_bytes(const sx_node *n) {
    return {sx_text(n), n->len};
}

// The first value of a statement: a list whose first element is an atom and
// which has a value after it. Null for anything else, which is skipped.
const sx_node *statement_value(const sx_node *form) {
    if (!sx_is_list(form))
        return nullptr;
    const sx_node *keyword = sx_first(form);
    if (keyword == nullptr || sx_is_list(keyword))
        return nullptr;
    return keyword->next;
}

void release_accounts(array *accounts) {
    for (int32_t i = 0; i < accounts->count; i++)
        account_release(static_cast<account *>(array_get(accounts, i)));
    array_free(accounts);
}

// One address that a (listen ...) or (listen6 ...) form asks for, as the
// lookup gave it, and the socket that serves it once one is found or bound.
struct listen_want {
    sockaddr_storage addr;
    socklen_t addr_len;
    int family, socktype, protocol;
    const char *host; // for the records; point into the read tree
    const char *service;
    int fd;        // -1 until kept or bound
    bool deferred; // to be bound once the dropped sockets are closed
};

// Looks one (listen SERVICE [HOST]) form, family AF_INET, or (listen6
// SERVICE [HOST]), family AF_INET6, up and adds each of its addresses to
// wants. Nothing is bound yet: which addresses the running sockets already
// serve is known only once every form has been read.
void want_listeners(array *wants, const sx_node *service_node, int family) {
    if (sx_is_list(service_node))
        return;
    const char *service = sx_text(service_node);
    const sx_node *host_node = service_node->next;
    const char *host =
        host_node != nullptr && !sx_is_list(host_node) ? sx_text(host_node) : nullptr;

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, service, &hints, &res);
    if (rc != 0) {
        log_address_lookup_failed(host, service, rc);
        return;
    }
    std::unique_ptr<addrinfo, addrinfo_releaser> results(res);

    for (const addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        int32_t i = array_append(wants);
        if (i < 0)
            continue;
        auto *w = static_cast<listen_want *>(array_get(wants, i));
        *w = {};
        memcpy(&w->addr, ai->ai_addr, ai->ai_addrlen);
        w->addr_len = ai->ai_addrlen;
        w->family = ai->ai_family;
        w->socktype = ai->ai_socktype;
        w->protocol = ai->ai_protocol;
        w->host = host;
        w->service = service;
        w->fd = -1;
        w->deferred = false;
    }
}

// Whether a socket bound to have serves the address want asks for. Port 0
// asks for any port, so a form that let the system choose keeps the port
// it was given.
bool serves(const sockaddr_storage &have, const sockaddr_storage &want, bool any_port) {
    if (have.ss_family != want.ss_family)
        return false;
    if (have.ss_family == AF_INET) {
        const auto &h = reinterpret_cast<const sockaddr_in &>(have);
        const auto &w = reinterpret_cast<const sockaddr_in &>(want);
        return h.sin_addr.s_addr == w.sin_addr.s_addr &&
               (h.sin_port == w.sin_port || (any_port && w.sin_port == 0));
    }
    if (have.ss_family == AF_INET6) {
        const auto &h = reinterpret_cast<const sockaddr_in6 &>(have);
        const auto &w = reinterpret_cast<const sockaddr_in6 &>(want);
        return memcmp(&h.sin6_addr, &w.sin6_addr, sizeof h.sin6_addr) == 0 &&
               h.sin6_scope_id == w.sin6_scope_id &&
               (h.sin6_port == w.sin6_port || (any_port && w.sin6_port == 0));
    }
    return false;
}

// The address a socket is bound to; family AF_UNSPEC when it cannot be had.
sockaddr_storage bound_address(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        ss.ss_family = AF_UNSPEC;
    return ss;
}

void log_socket_change(int fd, bool opened) {
    sockaddr_storage ss = bound_address(fd);
    const uint8_t *bytes = nullptr;
    unsigned port = 0;
    if (ss.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(ss);
        bytes = reinterpret_cast<const uint8_t *>(&in.sin_addr);
        port = ntohs(in.sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(ss);
        bytes = reinterpret_cast<const uint8_t *>(&in6.sin6_addr);
        port = ntohs(in6.sin6_port);
    }
    if (opened)
        log_socket_opened(ss.ss_family, bytes, port);
    else
        log_socket_closed(ss.ss_family, bytes, port);
}

// A new socket for w, or -1 after logging. With may_wait an address in use
// is not logged and gives -2: a running socket that is about to close may
// hold it.
int bind_listener(const listen_want *w, bool may_wait) {
    int fd = socket(w->family, w->socktype, w->protocol);
    if (fd < 0) {
        log_socket_create_failed(w->host, w->service, errno);
        return -1;
    }
    // Effector commands must not inherit the socket: a command left
    // running in the background would hold the port past a restart.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    // IPv4 belongs to the listen sockets: an IPv6 socket that also took
    // IPv4 would clash with them on the wildcard and hand the judgement
    // IPv4 peers in IPv6 form.
    int on = 1;
    if (w->family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        log_socket_create_failed(w->host, w->service, errno);
        close(fd);
        return -1;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&w->addr), w->addr_len) != 0) {
        int err = errno;
        close(fd);
        if (err == EADDRINUSE && may_wait)
            return -2;
        log_socket_bind_failed(w->host, w->service, err);
        return -1;
    }
    return fd;
}

// The port of an address of either family, in network order.
in_port_t port_of(const sockaddr_storage &ss) {
    if (ss.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(ss).sin_port;
    if (ss.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6 &>(ss).sin6_port;
    return 0;
}

// The configuration being built by one load; released unless installed.
struct pending_config {
    array accounts;
    array pollfds;
    account defaults;
    char *state_path = nullptr;
    array wants;         // of listen_want, in the order of the forms
    array fresh;         // of int: sockets bound by this load, closed unless installed
    array dropped;       // of int: running sockets no form asks for, closed once installed
    int32_t sockets = 0; // the sockets the new set will have
    engine_limits limits = ENGINE_DEFAULT_LIMITS;

    pending_config() {
        array_init(&accounts, sizeof(account));
        array_init(&pollfds, sizeof(pollfd));
        account_init(&defaults);
        array_init(&wants, sizeof(listen_want));
        array_init(&fresh, sizeof(int));
        array_init(&dropped, sizeof(int));
    }
    ~pending_config() {
        release_accounts(&accounts);
        array_free(&pollfds);
        account_release(&defaults);
        free(state_path);
        for (int32_t i = 0; i < fresh.count; i++)
            close(*static_cast<int *>(array_get(&fresh, i)));
        array_free(&wants);
        array_free(&fresh);
        array_free(&dropped);
    }
    pending_config(const pending_config &) = delete;
    pending_config &operator=(const pending_config &) = delete;
};

struct tree_owner {
    sx_block tree{};
    tree_owner() = default;
    ~tree_owner() { sx_free(&tree); }
    tree_owner(const tree_owner &) = delete;
    tree_owner &operator=(const tree_owner &) = delete;
};

// Which sockets the new configuration will have: a running socket that
// serves an address a form asks for is kept as it is (binding it again
// would fail, the address being in use by that very socket), the other
// addresses are bound anew, and the running sockets that no form asks for
// any more go to dropped. An address in use by a dropped socket, as when
// (listen 8745) becomes (listen 8745 192.0.2.1), waits for that socket to
// close. Sets next->sockets; false when memory runs out, the running set
// then staying whole.
bool settle_sockets(pending_config *next, const array *running) {
    struct held {
        int fd;
        sockaddr_storage addr;
        bool kept;
    };
    array have;
    array_init(&have, sizeof(held));
    std::unique_ptr<array, decltype(&array_free)> have_owner(&have, array_free);
    if (!array_reserve(&have, running->count) || !array_reserve(&next->dropped, running->count) ||
        !array_reserve(&next->fresh, next->wants.count) ||
        !array_reserve(&next->pollfds, next->wants.count))
        return false;
    for (int32_t i = 0; i < running->count; i++) {
        int fd = static_cast<const pollfd *>(array_get(running, i))->fd;
        *static_cast<held *>(array_get(&have, array_append(&have))) = {fd, bound_address(fd),
                                                                       false};
    }
    auto *wants = static_cast<listen_want *>(next->wants.data);
    // Exact matches first, so that a port-0 form cannot take the socket of
    // a form that names its port.
    for (bool any_port : {false, true}) {
        for (int32_t i = 0; i < next->wants.count; i++) {
            if (wants[i].fd >= 0)
                continue;
            for (int32_t j = 0; j < have.count; j++) {
                auto *h = static_cast<held *>(array_get(&have, j));
                if (!h->kept && serves(h->addr, wants[i].addr, any_port)) {
                    h->kept = true;
                    wants[i].fd = h->fd;
                    break;
                }
            }
        }
    }
    next->sockets = 0;
    for (int32_t i = 0; i < next->wants.count; i++) {
        if (wants[i].fd >= 0) {
            next->sockets++;
            continue;
        }
        bool may_wait = false;
        for (int32_t j = 0; j < have.count && !may_wait; j++) {
            const auto *h = static_cast<const held *>(array_get(&have, j));
            may_wait = !h->kept && h->addr.ss_family == wants[i].addr.ss_family &&
                       port_of(h->addr) == port_of(wants[i].addr);
        }
        int fd = bind_listener(&wants[i], may_wait);
        if (fd == -2) {
            wants[i].deferred = true;
            next->sockets++;
        } else if (fd >= 0) {
            *static_cast<int *>(array_get(&next->fresh, array_append(&next->fresh))) = fd;
            wants[i].fd = fd;
            next->sockets++;
        }
    }
    for (int32_t j = 0; j < have.count; j++) {
        const auto *h = static_cast<const held *>(array_get(&have, j));
        if (!h->kept)
            *static_cast<int *>(array_get(&next->dropped, array_append(&next->dropped))) = h->fd;
    }
    return true;
}

// Once the new configuration is to be installed: the dropped sockets
// close, the addresses that waited for them are bound, and the poll set is
// made in the order of the forms. A reload says which sockets came and went.
void commit_sockets(pending_config *next, bool reload) {
    for (int32_t i = 0; i < next->dropped.count; i++) {
        int fd = *static_cast<int *>(array_get(&next->dropped, i));
        log_socket_change(fd, false);
        close(fd);
    }
    next->dropped.count = 0;
    auto *wants = static_cast<listen_want *>(next->wants.data);
    for (int32_t i = 0; i < next->wants.count; i++) {
        if (!wants[i].deferred)
            continue;
        wants[i].fd = bind_listener(&wants[i], false);
        if (wants[i].fd >= 0 && reload)
            log_socket_change(wants[i].fd, true);
    }
    if (reload) {
        for (int32_t i = 0; i < next->fresh.count; i++)
            log_socket_change(*static_cast<int *>(array_get(&next->fresh, i)), true);
    }
    next->fresh.count = 0;
    for (int32_t i = 0; i < next->wants.count; i++) {
        if (wants[i].fd < 0)
            continue;
        auto *p = static_cast<pollfd *>(array_get(&next->pollfds, array_append(&next->pollfds)));
        p->fd = wants[i].fd;
        p->events = POLLIN;
        p->revents = 0;
    }
}

void add_account(pending_config *next, const sx_node *options) {
    account acct;
    account_copy_options(&acct, &next->defaults);
    account_set_options(&acct, options);
    if (acct.name_len == 0 || acct.key_len == 0) {
        account_release(&acct);
        return;
    }
    // Read once here, so that no run parses the forms again.
    if (acct.effectors.nsize > 0)
        acct.plan = effector_plan_build(&acct.effectors.nodes[0], acct.name, acct.name_len);
    int32_t i = array_append(&next->accounts);
    if (i < 0) {
        account_release(&acct);
        return;
    }
    memcpy(array_get(&next->accounts, i), &acct, sizeof acct);
}

// (state FILE): the last form wins; an empty or list value names no file.
void set_state_path(pending_config *next, const sx_node *value) {
    if (sx_is_list(value))
        return;
    free(next->state_path);
    next->state_path = nullptr;
    // A path cut short by a NUL would name another file.
    if (value->len == 0 || memchr(value->ptr, '\0', value->len) != nullptr)
        return;
    next->state_path = strdup(sx_text(value));
}

// The forms that make the account table: account, default(s) and state.
// False for any other keyword.
bool read_account_form(pending_config *next, std::string_view kw, const sx_node *value) {
    if (kw == "account")
        add_account(next, value);
    else if (kw == "default" || kw == "defaults")
        account_set_options(&next->defaults, value);
    else if (kw == "state")
        set_state_path(next, value);
    else
        return false;
    return true;
}

// In the order the lookup of each datagram expects.
void sort_accounts(array *accounts) {
    if (accounts->count > 1)
        qsort(accounts->data, static_cast<size_t>(accounts->count), sizeof(account), account_cmp);
}

// Anything but a positive number keeps the default.
void set_limit(int *field, const sx_node *value) {
    (void)server_config_limit(value, field);
}

int32_t count_chain(const sx_node *n) {
    int32_t count = 0;
    for (; n != nullptr && count < INT32_MAX; n = n->next)
        count++;
    return count;
}

} // namespace

bool server_config_limit(const sx_node *value, int *out) {
    if (value == nullptr || sx_is_list(value))
        return false;
    const char *text = sx_text(value);
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (value->len == 0 || end != text + value->len || n < 1)
        return false;
    *out = n > 1000000 ? 1000000 : static_cast<int>(n);
    return true;
}

void server_config_release(server_config *cfg) {
    if (cfg == nullptr)
        return;
    release_accounts(&cfg->accounts);
    array_free(&cfg->pollfds);
    presence_transitions_clear(&cfg->transitions);
    array_free(&cfg->transitions);
    free(cfg->state_path);
    cfg->state_path = nullptr;
}

void server_config_accounts(const sx_node *forms, array *accounts, char **state_path) {
    pending_config next;
    array_reserve(&next.accounts, count_chain(forms));
    for (const sx_node *form = forms; form != nullptr; form = form->next) {
        const sx_node *value = statement_value(form);
        if (value != nullptr)
            (void)read_account_form(&next, atom_bytes(sx_first(form)), value);
    }
    sort_accounts(&next.accounts);
    *accounts = next.accounts;
    *state_path = next.state_path;
    next.state_path = nullptr;
    array_init(&next.accounts, sizeof(account));
}

void server_config_accounts_free(array *accounts, char *state_path) {
    release_accounts(accounts);
    free(state_path);
}

time_t file_mtime(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        log_stat_failed(path, errno);
        return 0;
    }
    return st.st_mtime;
}

void server_config_load(server_config *cfg, bool force) {
    if (cfg == nullptr)
        return;
    struct stat st;
    if (stat(cfg->path, &st) != 0) {
        // Once while the file stays away, not on every pass.
        if (!cfg->missing)
            log_stat_failed(cfg->path, errno);
        cfg->missing = true;
        return;
    }
    // A file that comes back is read whatever its time: it may have been
    // moved back with the time it had.
    if (cfg->missing)
        force = true;
    cfg->missing = false;
    // The size too: an editor that writes in place may finish within the
    // second in which a load caught its file half written.
    if (st.st_mtime == cfg->mtime && st.st_size == cfg->size && !force)
        return;
    // Recorded before reading, so a file that fails to load is not read
    // again on every pass, only after it changes once more.
    cfg->mtime = st.st_mtime;
    cfg->size = st.st_size;

    tree_owner read;
    {
        bool not_regular = false;
        std::unique_ptr<FILE, file_closer> f(regular_file_open(cfg->path, &not_regular));
        if (!f) {
            if (not_regular)
                log_config_not_regular(cfg->path);
            else
                log_config_open_failed(cfg->path, errno);
            return;
        }
        sx_read_rest rest{};
        if (sx_read_file(&read.tree, f.get(), SERVER_CONFIG_READ_CHUNK, SERVER_CONFIG_READ_DUNIT,
                         SERVER_CONFIG_READ_NUNIT, &rest) != 0) {
            log_empty_config_file(cfg->path);
            return;
        }
        if (ferror(f.get())) {
            log_config_read_failed(cfg->path, errno != 0 ? errno : EIO);
            return;
        }
        // Half a configuration would take the cut-off accounts down and
        // comment out their records.
        if (rest.open_lists > 0 || rest.open_atom) {
            log_config_incomplete(cfg->path);
            return;
        }
        if (read.tree.nsize == 0) {
            log_empty_config_file(cfg->path);
            return;
        }
    }
    const sx_node *forms = &read.tree.nodes[0];

    pending_config next;
    // One slot per top-level form at most: the table is filled without
    // growing element by element.
    array_reserve(&next.accounts, count_chain(forms));

    for (const sx_node *form = forms; form != nullptr; form = form->next) {
        const sx_node *value = statement_value(form);
        if (value == nullptr)
            continue;
        const sx_node *keyword = sx_first(form);
        std::string_view kw = atom_bytes(keyword);
        if (kw == "listen")
            want_listeners(&next.wants, value, AF_INET);
        else if (kw == "listen6")
            want_listeners(&next.wants, value, AF_INET6);
        else if (kw == "system-max")
            set_limit(&next.limits.system_max, value);
        else if (kw == "system-timeout")
            set_limit(&next.limits.system_timeout, value);
        else if (!read_account_form(&next, kw, value))
            log_unknown_server_option(sx_text(keyword));
    }

    // Without room for the running sockets the new set would lose them for
    // good; keep the running configuration instead.
    if (!settle_sockets(&next, &cfg->pollfds))
        return;
    if (next.sockets == 0) {
        log_no_listening_socket(cfg->path);
        return;
    }
    // Nothing installed yet means the first load: presence then comes from
    // the state file, later from the running table.
    bool first = cfg->pollfds.count == 0;
    // From here on the new configuration is installed. The kept sockets
    // belong to its poll set; the old set's storage goes, and the sockets
    // no form asks for.
    commit_sockets(&next, !first);
    log_listening_on(next.pollfds.count);
    sort_accounts(&next.accounts);

    if (cfg->transitions.elem_size != sizeof(presence_transition))
        array_init(&cfg->transitions, sizeof(presence_transition));
    if (first) {
        cfg->presence = PRESENCE_WALK_NOW;
        if (next.state_path != nullptr)
            state_restore(next.state_path, &next.accounts, &cfg->transitions, &cfg->presence);
    } else {
        presence_carry(&next.accounts, &cfg->accounts, &cfg->presence, &cfg->transitions);
        // A state file named anew gets the presence at the next write.
        if (next.state_path != nullptr &&
            (cfg->state_path == nullptr || strcmp(cfg->state_path, next.state_path) != 0))
            cfg->presence.changes++;
    }

    release_accounts(&cfg->accounts);
    array_free(&cfg->pollfds);
    free(cfg->state_path);
    cfg->accounts = next.accounts;
    cfg->pollfds = next.pollfds;
    cfg->state_path = next.state_path;
    cfg->limits = next.limits;
    next.state_path = nullptr;
    array_init(&next.accounts, sizeof(account));
    array_init(&next.pollfds, sizeof(pollfd));
}
