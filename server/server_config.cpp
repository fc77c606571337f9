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

constexpr size_t READ_CHUNK = 4096;
constexpr size_t READ_DUNIT = 4096;
constexpr size_t READ_NUNIT = 64;

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

// Adds the sockets of one (listen SERVICE [HOST]) form, family AF_INET, or
// (listen6 SERVICE [HOST]), family AF_INET6, to the poll set.
void open_listeners(array *pollfds, const sx_node *service_node, int family) {
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
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            log_socket_create_failed(host, service, errno);
            continue;
        }
        // Effector commands must not inherit the socket: a command left
        // running in the background would hold the port past a restart.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        // IPv4 belongs to the listen sockets: an IPv6 socket that also took
        // IPv4 would clash with them on the wildcard and hand the judgement
        // IPv4 peers in IPv6 form.
        int on = 1;
        if (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
            log_socket_create_failed(host, service, errno);
            close(fd);
            continue;
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            log_socket_bind_failed(host, service, errno);
            close(fd);
            continue;
        }
        int32_t i = array_append(pollfds);
        if (i < 0) {
            close(fd);
            continue;
        }
        auto *p = static_cast<pollfd *>(array_get(pollfds, i));
        p->fd = fd;
        p->events = POLLIN;
        p->revents = 0;
    }
}

// The configuration being built by one load; released unless installed.
struct pending_config {
    array accounts;
    array pollfds;
    account defaults;
    char *state_path = nullptr;

    pending_config() {
        array_init(&accounts, sizeof(account));
        array_init(&pollfds, sizeof(pollfd));
        account_init(&defaults);
    }
    ~pending_config() {
        release_accounts(&accounts);
        array_free(&pollfds);
        account_release(&defaults);
        free(state_path);
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

// Every socket that listens now goes on listening, whatever the file says.
bool carry_sockets(array *dst, const array *src) {
    if (!array_reserve(dst, src->count))
        return false;
    for (int32_t i = 0; i < src->count; i++) {
        int32_t j = array_append(dst);
        memcpy(array_get(dst, j), array_get(src, i), sizeof(pollfd));
    }
    return true;
}

void add_account(pending_config *next, const sx_node *options) {
    account acct;
    account_copy_options(&acct, &next->defaults);
    account_set_options(&acct, options);
    if (acct.name_len == 0 || acct.key_len == 0) {
        account_release(&acct);
        return;
    }
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

int32_t count_chain(const sx_node *n) {
    int32_t count = 0;
    for (; n != nullptr && count < INT32_MAX; n = n->next)
        count++;
    return count;
}

} // namespace

void server_config_release(server_config *cfg) {
    if (cfg == nullptr)
        return;
    release_accounts(&cfg->accounts);
    array_free(&cfg->pollfds);
    free(cfg->state_path);
    cfg->state_path = nullptr;
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
        if (sx_read_file(&read.tree, f.get(), READ_CHUNK, READ_DUNIT, READ_NUNIT, &rest) != 0) {
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
    // Without room for the running sockets the new set would lose them for
    // good; keep the running configuration instead.
    if (!carry_sockets(&next.pollfds, &cfg->pollfds))
        return;
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
            open_listeners(&next.pollfds, value, AF_INET);
        else if (kw == "listen6")
            open_listeners(&next.pollfds, value, AF_INET6);
        else if (kw == "account")
            add_account(&next, value);
        else if (kw == "default" || kw == "defaults")
            account_set_options(&next.defaults, value);
        else if (kw == "state")
            set_state_path(&next, value);
        else
            log_unknown_server_option(sx_text(keyword));
    }

    if (next.pollfds.count == 0) {
        log_no_listening_socket(cfg->path);
        return;
    }
    log_listening_on(next.pollfds.count);
    if (next.accounts.count > 1)
        qsort(next.accounts.data, static_cast<size_t>(next.accounts.count), sizeof(account),
              account_cmp);

    // Nothing installed yet means the first load: presence then comes from
    // the state file, later from the running table.
    bool first = cfg->pollfds.count == 0;
    if (first) {
        cfg->presence = PRESENCE_WALK_NOW;
        if (next.state_path != nullptr)
            state_restore(next.state_path, &next.accounts, &cfg->presence);
    } else {
        presence_carry(&next.accounts, &cfg->accounts, &cfg->presence);
        // A state file named anew gets the presence at the next write.
        if (next.state_path != nullptr &&
            (cfg->state_path == nullptr || strcmp(cfg->state_path, next.state_path) != 0))
            cfg->presence.changes++;
    }

    // The old poll set's sockets now belong to the new one: only the
    // storage goes.
    release_accounts(&cfg->accounts);
    array_free(&cfg->pollfds);
    free(cfg->state_path);
    cfg->accounts = next.accounts;
    cfg->pollfds = next.pollfds;
    cfg->state_path = next.state_path;
    next.state_path = nullptr;
    array_init(&next.accounts, sizeof(account));
    array_init(&next.pollfds, sizeof(pollfd));
}
