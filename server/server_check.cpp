// The server's configuration check.
#include "server/server_check.h"

#include "common/csexp/sx_lines.h"
#include "common/process/array.h"
#include "common/process/conf_check.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"
#include "server/account.h"
#include "server/dns_update.h"
#include "server/effector.h"
#include "server/effector_plan.h"
#include "server/server_config.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <netdb.h>
#include <pwd.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An account that a load would keep: its name (bytes in the tree) and the
// line of its form.
struct kept_account {
    const char *name;
    size_t name_len;
    uint32_t line;
};

// What the load's template and each account hold, as far as the check
// needs it: whether a name and a key are set, and the name's bytes.
struct account_sketch {
    const char *name = nullptr;
    size_t name_len = 0;
    bool key = false;
    const sx_node *effectors = nullptr; // the list the account keeps
    uint8_t flags = 0;
    int32_t max_past = -1;
};

struct checker {
    const char *path;
    const sx_lines *lines;
    int problems = 0;
    array kept; // of kept_account

    uint32_t at(const sx_node *n) const { return sx_lines_of(lines, n); }
};

bool holds_nul(const sx_node *n) {
    return memchr(n->ptr, '\0', n->len) != nullptr;
}

// The first value of a statement, as the load finds it; null when the load
// skips the form.
const sx_node *statement_value(const sx_node *form) {
    if (!sx_is_list(form))
        return nullptr;
    const sx_node *keyword = sx_first(form);
    if (keyword == nullptr || sx_is_list(keyword))
        return nullptr;
    return keyword->next;
}

// A number option as the load reads it. "-1" written out is taken at its
// word; anything else that reads as -1 is a slip (a unit after the digits,
// a list, a negative count) that silently turns the bound or timeout off.
void check_number(checker *c, const sx_node *opt, const sx_node *v, const char *keyword) {
    if (!sx_is_list(v)) {
        const char *text = sx_text(v);
        char *end = nullptr;
        long n = strtol(text, &end, 10);
        if (end == text + v->len && n >= 0)
            return;
        if (std::string_view(text, v->len) == "-1")
            return;
    }
    log_check_bad_number(c->path, c->at(opt), keyword, -1);
    c->problems++;
}

// Who a refused access was checked as, for a record that names the
// missing permission: " (checked as user NAME, groups NAME, NAME)", names
// given as numbers where the database has none. Empty for errors that no
// other user or group would mend.
struct checked_as {
    char s[512] = "";
};

void append(char *buf, size_t size, size_t *used, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void append(char *buf, size_t size, size_t *used, const char *fmt, ...) {
    if (*used >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + *used, size - *used, fmt, ap);
    va_end(ap);
    *used = n < 0 ? size : *used + static_cast<size_t>(n);
}

void append_group(char *buf, size_t size, size_t *used, gid_t gid) {
    const group *gr = getgrgid(gid);
    if (gr != nullptr)
        append(buf, size, used, "%s", gr->gr_name);
    else
        append(buf, size, used, "%lu", static_cast<unsigned long>(gid));
}

checked_as checked_as_of(int err) {
    checked_as who;
    if (err != EACCES && err != EPERM)
        return who;
    // access() checks the real IDs; they are the ones shown.
    size_t used = 0;
    const size_t size = sizeof who.s;
    uid_t uid = getuid();
    const passwd *pw = getpwuid(uid);
    if (pw != nullptr)
        append(who.s, size, &used, " (checked as user %s, groups ", pw->pw_name);
    else
        append(who.s, size, &used, " (checked as user %lu, groups ",
               static_cast<unsigned long>(uid));
    gid_t primary = getgid();
    append_group(who.s, size, &used, primary);
    gid_t groups[64];
    int n = getgroups(64, groups);
    for (int i = 0; i < n; i++) {
        if (groups[i] == primary)
            continue;
        append(who.s, size, &used, ", ");
        append_group(who.s, size, &used, groups[i]);
    }
    append(who.s, size, &used, ")");
    // A list cut short still ends the sentence.
    if (used >= size)
        memcpy(who.s + size - 5, "...)", 5);
    endpwent();
    endgrent();
    return who;
}

// The directory in which a replacement of file (a zone, the state file)
// makes its temporary: that of the file a symbolic link leads to.
void file_directory(const char *file, char *dir, size_t size) {
    char *real = realpath(file, nullptr);
    const char *target = real != nullptr ? real : file;
    const char *slash = strrchr(target, '/');
    if (slash == nullptr)
        snprintf(dir, size, ".");
    else if (slash == target)
        snprintf(dir, size, "/");
    else
        snprintf(dir, size, "%.*s", static_cast<int>(slash - target), target);
    free(real);
}

// The state file is written beside itself and renamed, so its directory
// must take new files; the file itself need not exist yet.
void check_state(checker *c, const sx_node *form, const sx_node *value) {
    if (sx_is_list(value) || value->len == 0) {
        log_check_value_ignored(c->path, c->at(form), "state");
        c->problems++;
        return;
    }
    if (memchr(value->ptr, '\0', value->len) != nullptr) {
        log_check_value_nul(c->path, c->at(form), "state");
        c->problems++;
        return;
    }
    const char *file = sx_text(value);
    char dir[PATH_MAX];
    file_directory(file, dir, sizeof dir);
    struct stat st;
    if (stat(file, &st) == 0 && !S_ISREG(st.st_mode)) {
        log_check_state_not_regular(c->path, c->at(form), file);
        c->problems++;
        return;
    }
    int err = 0;
    if (access(dir, W_OK | X_OK) != 0)
        err = errno;
    else if (access(file, F_OK) == 0 && access(file, R_OK) != 0)
        err = errno;
    if (err != 0) {
        log_check_state_unusable(c->path, c->at(form), file, err, checked_as_of(err).s);
        c->problems++;
    }
}

void check_flags(checker *c, const sx_node *opt, const sx_node *word) {
    for (; word != nullptr; word = word->next) {
        if (sx_is_list(word)) {
            log_check_value_ignored(c->path, c->at(opt), "flags");
            c->problems++;
        } else if (!account_flag_known(word)) {
            log_check_unknown_account_flag(c->path, c->at(opt), sx_text(word));
            c->problems++;
        }
    }
}

void check_kill_target(checker *c, uint32_t line, const sx_node *signal, const sx_node *pidfile) {
    if (signal != nullptr && (holds_nul(signal) || signal_from_name(sx_text(signal)) < 0)) {
        log_check_unknown_signal(c->path, line, sx_text(signal));
        c->problems++;
        return;
    }
    if (holds_nul(pidfile)) {
        log_check_target_pidfile(c->path, line, sx_text(pidfile), EINVAL);
        c->problems++;
        return;
    }
    FILE *f = regular_file_open(sx_text(pidfile));
    if (f == nullptr) {
        log_check_target_pidfile(c->path, line, sx_text(pidfile), errno);
        c->problems++;
        return;
    }
    fclose(f);
}

// The targets of a kill form, by the rules the effector applies.
void check_kill(checker *c, const sx_node *form, const sx_node *args) {
    uint32_t line = c->at(form);
    if (args == nullptr) {
        log_check_effector_idle(c->path, line, "kill");
        c->problems++;
        return;
    }
    if (!sx_is_list(args)) {
        if (args->next != nullptr && !sx_is_list(args->next))
            check_kill_target(c, line, args, args->next);
        else
            check_kill_target(c, line, nullptr, args);
        return;
    }
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        const sx_node *first = sx_is_list(n) ? sx_first(n) : nullptr;
        if (first == nullptr || sx_is_list(first)) {
            log_check_bad_statement(c->path, c->at(n));
            c->problems++;
        } else if (first->next != nullptr && !sx_is_list(first->next)) {
            check_kill_target(c, c->at(n), first, first->next);
        } else {
            check_kill_target(c, c->at(n), nullptr, first);
        }
    }
}


// Whether a new file beside it can be given the file's owner and group, as
// replacing it whole needs: only root gives a file to another user, and
// others keep a group only when they are in it. Checked with the real IDs,
// as access() checks.
bool can_give_owner(const char *file) {
    struct stat st {};
    if (stat(file, &st) != 0 || getuid() == 0)
        return true;
    if (st.st_uid != getuid())
        return false;
    if (st.st_gid == getgid())
        return true;
    gid_t groups[64];
    int n = getgroups(64, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == st.st_gid)
            return true;
    return false;
}

// Every zone file must be there to be read and rewritten. Its directory
// should take the temporary file that replaces it whole; without that the
// effector rewrites the file in place, which a crash can leave cut short.
void check_zone(checker *c, const sx_node *form, const sx_node *args) {
    uint32_t line = c->at(form);
    bool any = false;
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        if (sx_is_list(n) || n->len == 0)
            continue;
        any = true;
        const char *file = sx_text(n);
        FILE *f = holds_nul(n) ? nullptr : regular_file_open(file);
        if (f == nullptr) {
            int err = holds_nul(n) ? EINVAL : errno;
            log_check_zone_unreadable(c->path, line, file, err, checked_as_of(err).s);
            c->problems++;
            continue;
        }
        fclose(f);
        if (access(file, W_OK) != 0) {
            int err = errno;
            log_check_zone_unwritable(c->path, line, file, err, checked_as_of(err).s);
            c->problems++;
        }
        char dir[PATH_MAX];
        file_directory(file, dir, sizeof dir);
        if (access(dir, W_OK | X_OK) != 0) {
            int err = errno;
            log_check_zone_dir_unwritable(c->path, line, dir, err, checked_as_of(err).s);
        } else if (!can_give_owner(file)) {
            log_check_zone_owner_in_place(c->path, line, file, checked_as_of(EPERM).s);
        }
    }
    if (!any) {
        log_check_effector_idle(c->path, line, "zone");
        c->problems++;
    }
}

void check_effectors(checker *c, const sx_node *list) {
    for (const sx_node *n = list; n != nullptr; n = n->next) {
        effector_step st;
        if (!effector_form_read(n, nullptr, 0, &st, nullptr, nullptr)) {
            log_check_bad_statement(c->path, c->at(n));
            c->problems++;
            continue;
        }
        switch (st.kind) {
        case effector_kind::kill:
            check_kill(c, n, st.args);
            break;
        case effector_kind::system:
            if (st.args == nullptr) {
                log_check_effector_idle(c->path, c->at(n), "system");
                c->problems++;
            }
            break;
        case effector_kind::zone:
            check_zone(c, n, st.args);
            break;
        case effector_kind::dns_update:
        case effector_kind::dns_invalid:
            // Checked with the account, whose name makes the default owner.
            break;
        case effector_kind::unknown:
            log_check_unknown_effector(c->path, c->at(n), sx_text(st.keyword));
            c->problems++;
            break;
        }
    }
}

// A dns-update form read as the effector reads it, and its server looked
// up as each update looks it up.
void check_dns_update(checker *c, const sx_node *form, const account_sketch *acct) {
    dns_update_conf conf;
    dns_update_fault why;
    effector_step st;
    effector_form_read(form, acct->name, acct->name_len, &st, &conf, &why);
    if (st.kind == effector_kind::dns_invalid) {
        uint32_t line = c->at(why.at != nullptr ? why.at : form);
        switch (why.kind) {
        case dns_update_fault::invalid:
            log_check_dns_update_invalid(c->path, line, why.what, why.value);
            break;
        case dns_update_fault::missing:
            log_check_dns_update_missing(c->path, line, why.what);
            break;
        case dns_update_fault::outside_zone:
            log_check_dns_update_outside_zone(c->path, line, why.value, why.zone);
            break;
        case dns_update_fault::md5:
            log_check_dns_update_md5(c->path, line, why.value);
            break;
        }
        c->problems++;
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(conf.host, conf.port, &hints, &res);
    if (rc != 0) {
        log_check_lookup_failed(c->path, c->at(form), conf.host, conf.port, rc);
        c->problems++;
        return;
    }
    freeaddrinfo(res);
}

void check_dns_updates(checker *c, const account_sketch *acct) {
    for (const sx_node *n = acct->effectors; n != nullptr; n = n->next) {
        effector_step st;
        if (effector_form_read(n, nullptr, 0, &st, nullptr, nullptr) &&
            st.kind == effector_kind::dns_update)
            check_dns_update(c, n, acct);
    }
}

// The account options from first on, applied to the sketch as the load
// applies them to the record.
void check_options(checker *c, account_sketch *acct, const sx_node *first) {
    for (const sx_node *opt = first; opt != nullptr; opt = opt->next) {
        const sx_node *value = statement_value(opt);
        if (value == nullptr) {
            log_check_bad_statement(c->path, c->at(opt));
            c->problems++;
            continue;
        }
        const sx_node *keyword = sx_first(opt);
        if (sx_atom_is(keyword, "name") || sx_atom_is(keyword, "key")) {
            if (sx_is_list(value)) {
                log_check_value_ignored(c->path, c->at(opt), sx_text(keyword));
                c->problems++;
            } else if (sx_atom_is(keyword, "name")) {
                acct->name = sx_text(value);
                acct->name_len = value->len;
            } else {
                acct->key = value->len > 0;
                c->problems += conf_check_key(c->path, c->at(opt), value);
            }
        } else if (sx_atom_is(keyword, "effector")) {
            check_effectors(c, value);
            acct->effectors = value;
        } else if (sx_atom_is(keyword, "interval")) {
            check_number(c, opt, value, "interval");
            if (value->next != nullptr)
                check_number(c, opt, value->next, "interval");
            acct->max_past = account_option_number(value);
        } else if (sx_atom_is(keyword, "max-future") || sx_atom_is(keyword, "max-past") ||
                   sx_atom_is(keyword, "timeout")) {
            check_number(c, opt, value, sx_text(keyword));
            if (sx_atom_is(keyword, "max-past"))
                acct->max_past = account_option_number(value);
        } else if (sx_atom_is(keyword, "flags") || sx_atom_is(keyword, "flag")) {
            check_flags(c, opt, value);
            for (const sx_node *w = value; w != nullptr; w = w->next)
                account_flag_apply(&acct->flags, w);
        } else {
            log_check_unknown_account_option(c->path, c->at(opt), sx_text(keyword));
            c->problems++;
        }
    }
}

void check_account(checker *c, const sx_node *form, const account_sketch *defaults,
                   const sx_node *options) {
    account_sketch acct = *defaults;
    check_options(c, &acct, options);
    bool named = acct.name_len > 0;
    if (!named || !acct.key) {
        log_check_account_dropped(c->path, c->at(form),
                                  !named && !acct.key ? "name and no key"
                                  : !named            ? "name"
                                                      : "key");
        c->problems++;
        return;
    }
    // Under allow-unsafe the address is the sender's: whoever sees one
    // datagram can replay it from anywhere, for as long as the window and
    // no-replay let it pass.
    if ((acct.flags & ACCOUNT_ALLOW_UNSAFE) != 0) {
        if (acct.max_past <= 0) {
            log_check_unsafe_no_window(c->path, c->at(form), acct.name, acct.name_len);
        }
        if ((acct.flags & ACCOUNT_NO_REPLAY) == 0) {
            log_check_unsafe_no_replay(c->path, c->at(form), acct.name, acct.name_len);
        }
    }
    check_dns_updates(c, &acct);
    int32_t i = array_append(&c->kept);
    if (i >= 0)
        *static_cast<kept_account *>(array_get(&c->kept, i)) = {acct.name, acct.name_len,
                                                                c->at(form)};
}

// A (listen SERVICE [HOST]) or (listen6 SERVICE [HOST]) form must resolve in
// its family, as the load will look it up.
void check_listen(checker *c, const sx_node *form, const sx_node *service, int family) {
    if (sx_is_list(service)) {
        log_check_bad_statement(c->path, c->at(form));
        c->problems++;
        return;
    }
    const sx_node *host_node = service->next;
    if (host_node != nullptr && sx_is_list(host_node)) {
        log_check_value_ignored(c->path, c->at(form), family == AF_INET6 ? "listen6" : "listen");
        c->problems++;
    }
    const char *host =
        host_node != nullptr && !sx_is_list(host_node) ? sx_text(host_node) : nullptr;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, sx_text(service), &hints, &res);
    if (rc != 0) {
        log_check_lookup_failed(c->path, c->at(form), host, sx_text(service), rc);
        c->problems++;
        return;
    }
    freeaddrinfo(res);
}

int kept_cmp(const void *a, const void *b) {
    const auto *x = static_cast<const kept_account *>(a);
    const auto *y = static_cast<const kept_account *>(b);
    int d = account_name_cmp(x->name, x->name_len, y->name, y->name_len);
    if (d != 0)
        return d;
    return x->line < y->line ? -1 : x->line > y->line ? 1 : 0;
}

// Two accounts whose names compare equal: only one of them can ever be
// found for a message.
void check_duplicates(checker *c) {
    array *kept = &c->kept;
    if (kept->count < 2)
        return;
    qsort(kept->data, static_cast<size_t>(kept->count), sizeof(kept_account), kept_cmp);
    const auto *k = static_cast<const kept_account *>(kept->data);
    int32_t first = 0;
    for (int32_t i = 1; i < kept->count; i++) {
        if (account_name_cmp(k[first].name, k[first].name_len, k[i].name, k[i].name_len) != 0) {
            first = i;
            continue;
        }
        log_check_duplicate_account(c->path, k[i].line, k[i].name, k[i].name_len, k[first].line);
        c->problems++;
    }
}

// What the reader passed over: the text is not what its author wrote.
struct lines_owner {
    sx_lines l{};
    ~lines_owner() { sx_lines_free(&l); }
};

} // namespace

int server_check_file(const char *path) {
    lines_owner read;
    int text_problems =
        conf_check_read(&read.l, path, SERVER_CONFIG_READ_DUNIT, SERVER_CONFIG_READ_NUNIT);
    if (text_problems < 0)
        return -1;
    checker c{path, &read.l, text_problems, {}};
    array_init(&c.kept, sizeof(kept_account));

    // At most one account per form: the table never grows one by one.
    int32_t forms = 0;
    for (const sx_node *n = &read.l.tree.nodes[0]; n != nullptr && forms < INT32_MAX; n = n->next)
        forms++;
    array_reserve(&c.kept, forms);

    account_sketch defaults;
    bool listens = false;
    for (const sx_node *form = &read.l.tree.nodes[0]; form != nullptr; form = form->next) {
        // A top-level atom is the file's comment.
        if (!sx_is_list(form))
            continue;
        const sx_node *value = statement_value(form);
        if (value == nullptr) {
            log_check_bad_statement(path, c.at(form));
            c.problems++;
            continue;
        }
        const sx_node *keyword = sx_first(form);
        if (sx_atom_is(keyword, "listen") || sx_atom_is(keyword, "listen6")) {
            listens = true;
            check_listen(&c, form, value, sx_atom_is(keyword, "listen6") ? AF_INET6 : AF_INET);
        } else if (sx_atom_is(keyword, "account")) {
            check_account(&c, form, &defaults, value);
        } else if (sx_atom_is(keyword, "default") || sx_atom_is(keyword, "defaults")) {
            check_options(&c, &defaults, value);
        } else if (sx_atom_is(keyword, "state")) {
            check_state(&c, form, value);
        } else if (sx_atom_is(keyword, "system-max") || sx_atom_is(keyword, "system-timeout")) {
            int limit = 0;
            if (!server_config_limit(value, &limit)) {
                log_check_not_positive(path, c.at(form), sx_text(keyword));
                c.problems++;
            }
        } else {
            log_check_unknown_server_option(path, c.at(form), sx_text(keyword));
            c.problems++;
        }
    }
    if (!listens) {
        log_check_no_listen(path);
        c.problems++;
    }
    check_duplicates(&c);
    // Warnings, as in the server's start-up: the file still works.
    if (c.kept.count > 0)
        server_check_key_access(path, true);
    array_free(&c.kept);
    return c.problems == 0 ? 0 : -1;
}

int server_check_key_access(const char *path, bool check) {
    struct stat st;
    // A file that cannot be looked at is reported by whoever reads it.
    if (stat(path, &st) != 0)
        return 0;
    // The server's own group is the one it runs with; a group it merely
    // belongs to (a name server's, say) has other members.
    bool exposed =
        (st.st_mode & S_IROTH) != 0 || ((st.st_mode & S_IRGRP) != 0 && st.st_gid != getegid());
    if (!exposed)
        return 0;
    auto mode = static_cast<unsigned>(st.st_mode & 07777);
    if (check)
        log_check_keys_readable(path, mode);
    else
        log_keys_readable(path, mode);
    return 1;
}
