// The server's configuration file: listening sockets and the account table.
#include "server/server_config.h"

#include "common/csexp/sx_reader.h"
#include "common/process/log.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
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

// Keywords and flag words are matched on the atom's exact bytes, so an atom
// with a NUL inside never passes for the word before the NUL.
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

// A number option's value. Everything after the digits must be consumed,
// NUL bytes included, or the value is malformed.
int32_t config_number(const sx_node *v) {
    if (sx_is_list(v))
        return -1;
    const char *text = sx_text(v);
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (end != text + v->len || n < 0)
        return -1;
    // strtol already gives LONG_MAX for digits that overflow long, so every
    // value too large for the field ends up at the field's largest value.
    if (n > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(n);
}

// Replaces *bytes/*len with a copy of the atom; a failed allocation leaves
// the field empty.
template <typename T> void set_bytes(T **bytes, uint64_t *len, const void *src, size_t n) {
    free(*bytes);
    *bytes = nullptr;
    *len = 0;
    if (n == 0)
        return;
    auto *copy = static_cast<T *>(malloc(n));
    if (copy == nullptr)
        return;
    memcpy(copy, src, n);
    *bytes = copy;
    *len = n;
}

void set_flags(account *acct, const sx_node *word) {
    for (; word != nullptr; word = word->next) {
        if (sx_is_list(word))
            continue;
        std::string_view w = atom_bytes(word);
        if (w == "allow-unsafe" || w == "allow_unsafe")
            acct->flags |= ACCOUNT_ALLOW_UNSAFE;
        else if (w == "forbid-unsafe" || w == "forbid_unsafe" || w == "no-unsafe" ||
                 w == "no_unsafe")
            acct->flags &= static_cast<uint8_t>(~ACCOUNT_ALLOW_UNSAFE);
        else
            log_unknown_account_flag(sx_text(word));
    }
}

void reset_defaults(account *acct) {
    *acct = account{};
    acct->max_future = -1;
    acct->max_past = -1;
    acct->timeout = -1;
}

// A new account from the template, owning copies of its name, key and
// effector list, and with fresh presence state.
void copy_defaults(account *dst, const account *tmpl) {
    *dst = account{};
    set_bytes(&dst->name, &dst->name_len, tmpl->name, tmpl->name_len);
    set_bytes(&dst->key, &dst->key_len, tmpl->key, tmpl->key_len);
    dst->max_future = tmpl->max_future;
    dst->max_past = tmpl->max_past;
    dst->timeout = tmpl->timeout;
    dst->flags = tmpl->flags & ACCOUNT_ALLOW_UNSAFE;
    if (tmpl->effectors.nsize > 0)
        sx_dup(&dst->effectors, &tmpl->effectors.nodes[0]);
}

void release_accounts(array *accounts) {
    for (int32_t i = 0; i < accounts->count; i++)
        account_release(static_cast<account *>(array_get(accounts, i)));
    array_free(accounts);
}

// Adds the sockets of one (listen SERVICE [HOST]) form to the poll set.
void open_listeners(array *pollfds, const sx_node *service_node) {
    if (sx_is_list(service_node))
        return;
    const char *service = sx_text(service_node);
    const sx_node *host_node = service_node->next;
    const char *host =
        host_node != nullptr && !sx_is_list(host_node) ? sx_text(host_node) : nullptr;

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
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

    pending_config() {
        array_init(&accounts, sizeof(account));
        array_init(&pollfds, sizeof(pollfd));
        reset_defaults(&defaults);
    }
    ~pending_config() {
        release_accounts(&accounts);
        array_free(&pollfds);
        account_release(&defaults);
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
    copy_defaults(&acct, &next->defaults);
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

int32_t count_chain(const sx_node *n) {
    int32_t count = 0;
    for (; n != nullptr && count < INT32_MAX; n = n->next)
        count++;
    return count;
}

} // namespace

void account_release(account *acct) {
    if (acct == nullptr)
        return;
    free(acct->name);
    acct->name = nullptr;
    acct->name_len = 0;
    free(acct->key);
    acct->key = nullptr;
    acct->key_len = 0;
    sx_free(&acct->effectors);
}

void server_config_release(server_config *cfg) {
    if (cfg == nullptr)
        return;
    release_accounts(&cfg->accounts);
    array_free(&cfg->pollfds);
}

time_t file_mtime(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        log_stat_failed(path, errno);
        return 0;
    }
    return st.st_mtime;
}

int account_cmp(const void *a, const void *b) {
    const auto *x = static_cast<const account *>(a);
    const auto *y = static_cast<const account *>(b);
    return account_name_cmp(x->name, x->name_len, y->name, y->name_len);
}

void account_set_options(account *acct, const sx_node *first) {
    if (acct == nullptr)
        return;
    for (const sx_node *opt = first; opt != nullptr; opt = opt->next) {
        const sx_node *value = statement_value(opt);
        if (value == nullptr)
            continue;
        const sx_node *keyword = sx_first(opt);
        std::string_view kw = atom_bytes(keyword);
        if (kw == "name") {
            if (!sx_is_list(value))
                set_bytes(&acct->name, &acct->name_len, value->ptr, value->len);
        } else if (kw == "key") {
            if (!sx_is_list(value))
                set_bytes(&acct->key, &acct->key_len, value->ptr, value->len);
        } else if (kw == "effector") {
            sx_free(&acct->effectors);
            sx_dup(&acct->effectors, value);
        } else if (kw == "interval") {
            acct->max_past = config_number(value);
            acct->max_future = value->next != nullptr ? config_number(value->next) : acct->max_past;
        } else if (kw == "max-future") {
            acct->max_future = config_number(value);
        } else if (kw == "max-past") {
            acct->max_past = config_number(value);
        } else if (kw == "timeout") {
            acct->timeout = config_number(value);
        } else if (kw == "flags" || kw == "flag") {
            set_flags(acct, value);
        } else {
            log_unknown_account_option(sx_text(keyword));
        }
    }
}

void server_config_load(server_config *cfg) {
    if (cfg == nullptr)
        return;
    time_t m = file_mtime(cfg->path);
    if (m == 0 || m == cfg->mtime)
        return;
    // Recorded before reading, so a file that fails to load is not read
    // again on every pass, only after it changes once more.
    cfg->mtime = m;

    tree_owner read;
    {
        std::unique_ptr<FILE, file_closer> f(fopen(cfg->path, "rb"));
        if (!f) {
            log_config_open_failed(cfg->path, errno);
            return;
        }
        if (sx_read_file(&read.tree, f.get(), READ_CHUNK, READ_DUNIT, READ_NUNIT) != 0 ||
            read.tree.nsize == 0) {
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
            open_listeners(&next.pollfds, value);
        else if (kw == "account")
            add_account(&next, value);
        else if (kw == "default" || kw == "defaults")
            account_set_options(&next.defaults, value);
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

    // The old poll set's sockets now belong to the new one: only the
    // storage goes.
    server_config_release(cfg);
    cfg->accounts = next.accounts;
    cfg->pollfds = next.pollfds;
    array_init(&next.accounts, sizeof(account));
    array_init(&next.pollfds, sizeof(pollfd));
}
