// The client's configuration check.
#include "client/client_check.h"

#include "client/iface.h"
#include "common/csexp/sx_lines.h"
#include "common/process/array.h"
#include "common/process/conf_check.h"
#include "common/process/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

namespace {

constexpr size_t READ_DUNIT = 1024;
constexpr size_t READ_NUNIT = 64;

struct checker {
    const char *path;
    const sx_lines *lines;
    int problems = 0;

    uint32_t at(const sx_node *n) const { return sx_lines_of(lines, n); }
    void bad_statement(const sx_node *n) {
        log_check_bad_statement(path, at(n));
        problems++;
    }
};

// The settings in force after the file, as far as the check needs them:
// the atoms that set them and the form that did.
struct server_setting {
    const sx_node *host = nullptr;
    const sx_node *port = nullptr;
    const sx_node *form = nullptr;
    int family = AF_INET;

    bool complete() const {
        return host != nullptr && host->len > 0 && port != nullptr && port->len > 0;
    }
};

struct settings {
    array servers; // server_setting, one per server or server6 form
    bool name = false;
    bool key = false;
    settings() : servers{} { array_init(&servers, sizeof(server_setting)); }
    ~settings() { array_free(&servers); }
    settings(const settings &) = delete;
    settings &operator=(const settings &) = delete;
    const server_setting *at(int32_t i) const {
        return static_cast<const server_setting *>(array_get(&servers, i));
    }
};

bool holds_nul(const sx_node *n) {
    return memchr(n->ptr, '\0', n->len) != nullptr;
}

// A number the client reads with atoi's rules: blanks, a sign and digits,
// nothing after them. Anything else still reads as some number (10s as 10,
// soon as 0), which is seldom what was meant.
void check_number(checker *c, const sx_node *form, const sx_node *v, const char *keyword) {
    const char *text = sx_text(v);
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '-' || *p == '+')
        p++;
    const char *digits = p;
    while (*p >= '0' && *p <= '9')
        p++;
    if (p > digits && p == text + v->len)
        return;
    log_check_bad_number(c->path, c->at(form), keyword, strtol(text, nullptr, 10));
    c->problems++;
}

// A text value of (server HOST PORT) or (server6 HOST PORT); a list leaves
// the setting as it was, a NUL byte unsets it.
void check_text_value(checker *c, const sx_node *form, const char *keyword, const sx_node *v,
                      const sx_node **field) {
    if (sx_is_list(v)) {
        log_check_value_ignored(c->path, c->at(form), keyword);
        c->problems++;
    } else if (holds_nul(v)) {
        log_check_value_nul(c->path, c->at(form), keyword);
        c->problems++;
        *field = nullptr;
    } else {
        *field = v;
    }
}

// (interface NAME [ula]): a name is needed, "ula" is the one word after it
// and only an IPv6 sensor takes it. An interface that is not there now is
// worth a word but no failure: it may come later (a PPP link, a VPN).
void check_interface(checker *c, const sx_node *n, const sx_node *name, bool v6) {
    if (name == nullptr || sx_is_list(name) || name->len == 0 || holds_nul(name)) {
        log_check_sensor_no_interface(c->path, c->at(n));
        c->problems++;
        return;
    }
    for (const sx_node *w = name->next; w != nullptr; w = w->next) {
        if (v6 && !sx_is_list(w) && sx_atom_is(w, "ula"))
            continue;
        log_check_sensor_word(c->path, c->at(n), sx_is_list(w) ? "()" : sx_text(w));
        c->problems++;
    }
    if (!iface_exists(sx_text(name)))
        log_check_iface_missing(c->path, c->at(n), sx_text(name));
}

void check_sensors(checker *c, const sx_node *list, bool v6) {
    for (const sx_node *n = list; n != nullptr; n = n->next) {
        const sx_node *kind = sx_is_list(n) ? sx_first(n) : n;
        if (kind == nullptr || sx_is_list(kind)) {
            c->bad_statement(n);
            continue;
        }
        const sx_node *arg = kind != n ? kind->next : nullptr;
        if (sx_atom_is(kind, "interface")) {
            check_interface(c, n, arg, v6);
            continue;
        }
        if (!sx_atom_is(kind, "system")) {
            log_check_unknown_sensor(c->path, c->at(n), sx_text(kind));
            c->problems++;
            continue;
        }
        if (arg == nullptr || sx_is_list(arg)) {
            log_check_sensor_no_command(c->path, c->at(n));
            c->problems++;
        }
    }
}

void check_single(checker *c, settings *s, const sx_node *form, const char *keyword,
                  const sx_node *value) {
    if (sx_is_list(value) || value->len == 0) {
        log_check_value_ignored(c->path, c->at(form), keyword);
        c->problems++;
        return;
    }
    if (strcmp(keyword, "name") == 0) {
        s->name = !holds_nul(value);
        if (!s->name) {
            log_check_value_nul(c->path, c->at(form), keyword);
            c->problems++;
        }
    } else if (strcmp(keyword, "key") == 0) {
        s->key = true;
        c->problems += conf_check_key(c->path, c->at(form), value);
    } else {
        check_number(c, form, value, keyword);
    }
}

bool single_keyword(const char *k) {
    static const char *const words[] = {
        "name",         "key",         "interval", "resolv", "resolv-interval", "resolv_interval",
        "resolv-retry", "resolv_retry"};
    for (const char *w : words)
        if (strcmp(k, w) == 0)
            return true;
    return false;
}

// The server must resolve to exactly one address of its family, as the
// client will look it up: it never picks one of several.
void check_server_lookup(checker *c, const server_setting *s) {
    addrinfo hints{};
    hints.ai_family = s->family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *res = nullptr;
    const char *host = sx_text(s->host);
    const char *port = sx_text(s->port);
    int rc = getaddrinfo(host, port, &hints, &res);
    if (rc != 0) {
        log_check_lookup_failed(c->path, c->at(s->form), host, port, rc);
        c->problems++;
        return;
    }
    if (res->ai_next != nullptr) {
        log_check_ambiguous(c->path, c->at(s->form), host, port);
        c->problems++;
    }
    freeaddrinfo(res);
}

struct lines_owner {
    sx_lines l{};
    ~lines_owner() { sx_lines_free(&l); }
};

} // namespace

int client_check_file(const char *path) {
    lines_owner read;
    int text_problems = conf_check_read(&read.l, path, READ_DUNIT, READ_NUNIT);
    if (text_problems < 0)
        return -1;
    checker c{path, &read.l};
    c.problems = text_problems;
    const sx_lines &l = read.l;

    settings s;
    for (const sx_node *item = &l.tree.nodes[0]; item != nullptr; item = item->next) {
        // A top-level atom is the file's comment.
        if (!sx_is_list(item))
            continue;
        const sx_node *head = sx_is_list(item) ? sx_first(item) : nullptr;
        if (head == nullptr || sx_is_list(head) || head->next == nullptr) {
            c.bad_statement(item);
            continue;
        }
        const char *keyword = sx_text(head);
        const sx_node *value = head->next;
        if (strcmp(keyword, "server") == 0 || strcmp(keyword, "server6") == 0) {
            // Each form is a server of its own.
            server_setting srv;
            srv.form = item;
            if (keyword[6] == '6')
                srv.family = AF_INET6;
            check_text_value(&c, item, keyword, value, &srv.host);
            if (value->next != nullptr)
                check_text_value(&c, item, keyword, value->next, &srv.port);
            int32_t at = array_append(&s.servers);
            if (at >= 0)
                *static_cast<server_setting *>(array_get(&s.servers, at)) = srv;
        } else if (strcmp(keyword, "sensor") == 0 || strcmp(keyword, "sensor6") == 0) {
            check_sensors(&c, value, keyword[6] == '6');
        } else if (single_keyword(keyword)) {
            check_single(&c, &s, item, keyword, value);
        } else {
            log_check_unknown_client_option(path, c.at(item), keyword);
            c.problems++;
        }
    }

    int nmissing = 0;
    // One server suffices; each one given must be whole.
    if (s.servers.count == 0) {
        log_check_missing_setting(path, "(server HOST PORT)");
        nmissing++;
    }
    for (int32_t i = 0; i < s.servers.count; i++) {
        const server_setting *srv = s.at(i);
        bool v6 = srv->family == AF_INET6;
        if (srv->host == nullptr || srv->host->len == 0) {
            log_check_missing_setting(path, v6 ? "(server6 HOST PORT)" : "(server HOST PORT)");
            nmissing++;
        } else if (srv->port == nullptr || srv->port->len == 0) {
            log_check_missing_setting(path, v6 ? "PORT of (server6 HOST PORT)"
                                               : "PORT of (server HOST PORT)");
            nmissing++;
        }
    }
    if (!s.name) {
        log_check_missing_setting(path, "(name NAME)");
        nmissing++;
    }
    if (!s.key) {
        log_check_missing_setting(path, "(key KEY)");
        nmissing++;
    }
    c.problems += nmissing;
    for (int32_t i = 0; i < s.servers.count; i++)
        if (s.at(i)->complete())
            check_server_lookup(&c, s.at(i));
    return c.problems == 0 ? 0 : -1;
}
