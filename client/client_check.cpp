// The client's configuration check.
#include "client/client_check.h"

#include "common/csexp/sx_lines.h"
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
    const char *keyword = "server";
    int family = AF_INET;

    bool given() const { return form != nullptr; }
    bool complete() const {
        return host != nullptr && host->len > 0 && port != nullptr && port->len > 0;
    }
};

struct settings {
    server_setting server;
    server_setting server6{nullptr, nullptr, nullptr, "server6", AF_INET6};
    bool name = false;
    bool key = false;
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

void check_sensors(checker *c, const sx_node *list) {
    for (const sx_node *n = list; n != nullptr; n = n->next) {
        const sx_node *kind = sx_is_list(n) ? sx_first(n) : n;
        if (kind == nullptr || sx_is_list(kind)) {
            c->bad_statement(n);
            continue;
        }
        if (!sx_atom_is(kind, "system")) {
            log_check_unknown_sensor(c->path, c->at(n), sx_text(kind));
            c->problems++;
            continue;
        }
        const sx_node *command = kind != n ? kind->next : nullptr;
        if (command == nullptr || sx_is_list(command)) {
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
            server_setting *srv = keyword[6] == '6' ? &s.server6 : &s.server;
            srv->form = item;
            check_text_value(&c, item, keyword, value, &srv->host);
            if (value->next != nullptr)
                check_text_value(&c, item, keyword, value->next, &srv->port);
        } else if (strcmp(keyword, "sensor") == 0 || strcmp(keyword, "sensor6") == 0) {
            check_sensors(&c, value);
        } else if (single_keyword(keyword)) {
            check_single(&c, &s, item, keyword, value);
        } else {
            log_check_unknown_client_option(path, c.at(item), keyword);
            c.problems++;
        }
    }

    const char *missing[5] = {};
    int nmissing = 0;
    // One server suffices; each one given must be whole.
    if (!s.server.given() && !s.server6.given())
        missing[nmissing++] = "(server HOST PORT)";
    for (const server_setting *srv : {&s.server, &s.server6}) {
        if (!srv->given())
            continue;
        if (srv->host == nullptr || srv->host->len == 0)
            missing[nmissing++] = srv == &s.server ? "(server HOST PORT)" : "(server6 HOST PORT)";
        else if (srv->port == nullptr || srv->port->len == 0)
            missing[nmissing++] =
                srv == &s.server ? "PORT of (server HOST PORT)" : "PORT of (server6 HOST PORT)";
    }
    if (!s.name)
        missing[nmissing++] = "(name NAME)";
    if (!s.key)
        missing[nmissing++] = "(key KEY)";
    for (int i = 0; i < nmissing; i++)
        log_check_missing_setting(path, missing[i]);
    c.problems += nmissing;
    for (const server_setting *srv : {&s.server, &s.server6})
        if (srv->complete())
            check_server_lookup(&c, srv);
    return c.problems == 0 ? 0 : -1;
}
