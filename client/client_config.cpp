// The client's configuration file.
#include "client/client_config.h"

#include "common/csexp/sx_reader.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace {

// Read sizes of the configuration file: small, and read once.
constexpr size_t CONFIG_CHUNK = 1024;
constexpr size_t CONFIG_DUNIT = 1024;
constexpr size_t CONFIG_NUNIT = 64;

// atoi's reading (leading blanks, a sign, then digits up to the first other
// byte; no digits give 0) without its undefined overflow: out-of-range
// values stop at the nearest 32-bit limit.
int32_t config_number(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1)
            v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative)
        return static_cast<int32_t>(-v);
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

bool has_nul(const sx_node *atom) {
    return memchr(atom->ptr, '\0', atom->len) != nullptr;
}

// A copy of the atom's bytes with a NUL after them (not counted), or null
// when memory runs out.
char *copy_atom(const sx_node *atom) {
    char *copy = static_cast<char *>(malloc(atom->len + 1));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, atom->ptr, atom->len);
    copy[atom->len] = '\0';
    return copy;
}

// Replaces *field with a copy of atom. The old value goes also when the copy
// fails, so a setting that could not be taken counts as missing rather than
// leaving an earlier one in force.
void replace_text(char **field, const sx_node *atom) {
    free(*field);
    *field = copy_atom(atom);
}

// host and port are handed to getaddrinfo as C strings, so a NUL inside
// would cut them short to another name.
void set_text(char **field, const sx_node *value, const char *keyword) {
    if (sx_is_list(value))
        return;
    if (has_nul(value)) {
        log_client_option_nul(keyword);
        free(*field);
        *field = nullptr;
        return;
    }
    replace_text(field, value);
}

void set_bytes(char **field, size_t *len, const sx_node *atom) {
    replace_text(field, atom);
    *len = *field != nullptr ? atom->len : 0;
}

// Each server setting adds a server; one that leaves its host or port
// unset makes the configuration incomplete rather than being dropped.
void add_server(client_config *cfg, int family, const sx_node *host, const char *keyword) {
    if (client_config_add_server(cfg, family, nullptr, nullptr) < 0)
        return;
    auto *s = static_cast<client_server *>(array_get(&cfg->servers, cfg->servers.count - 1));
    set_text(&s->host, host, keyword);
    if (host->next != nullptr)
        set_text(&s->port, host->next, keyword);
}

bool has_text(const char *field) {
    return field != nullptr && field[0] != '\0';
}

enum class setting { name, key, interval, resolv_interval, resolv_retry };

struct keyword_entry {
    const char *word;
    setting what;
};

constexpr keyword_entry SINGLE_VALUE_KEYWORDS[] = {
    {"name", setting::name},
    {"key", setting::key},
    {"interval", setting::interval},
    {"resolv", setting::resolv_interval},
    {"resolv-interval", setting::resolv_interval},
    {"resolv_interval", setting::resolv_interval},
    {"resolv-retry", setting::resolv_retry},
    {"resolv_retry", setting::resolv_retry},
};

const keyword_entry *find_single(const char *keyword) {
    for (const auto &k : SINGLE_VALUE_KEYWORDS)
        if (strcmp(keyword, k.word) == 0)
            return &k;
    return nullptr;
}

// For every keyword but server and sensor, the first value must be an atom
// of at least one byte; anything else leaves the setting as it was.
void set_single(client_config *cfg, const keyword_entry *k, const sx_node *value) {
    if (sx_is_list(value) || value->len == 0)
        return;
    switch (k->what) {
    case setting::name:
        // The datagram ends the name at its first NUL, so the server would
        // read another account's name from it.
        if (has_nul(value)) {
            log_client_option_nul(k->word);
            free(cfg->name);
            cfg->name = nullptr;
            cfg->name_len = 0;
            return;
        }
        set_bytes(&cfg->name, &cfg->name_len, value);
        break;
    case setting::key:
        set_bytes(&cfg->key, &cfg->key_len, value);
        break;
    case setting::interval:
        cfg->interval = config_number(sx_text(value));
        break;
    case setting::resolv_interval:
        cfg->resolv_interval = config_number(sx_text(value));
        break;
    case setting::resolv_retry:
        cfg->resolv_retry = config_number(sx_text(value));
        break;
    }
}

} // namespace

void client_config_init(client_config *cfg) {
    *cfg = client_config{};
    array_init(&cfg->servers, sizeof(client_server));
    cfg->interval = 0;
    cfg->resolv_interval = -1;
    cfg->resolv_retry = 0;
}

void client_config_apply(client_config *cfg, const sx_node *first) {
    for (const sx_node *item = first; item != nullptr; item = item->next) {
        if (!sx_is_list(item))
            continue;
        const sx_node *head = sx_first(item);
        if (head == nullptr || sx_is_list(head) || head->next == nullptr)
            continue;
        const char *keyword = sx_text(head);
        const sx_node *value = head->next;
        if (strcmp(keyword, "server") == 0) {
            add_server(cfg, AF_INET, value, keyword);
        } else if (strcmp(keyword, "server6") == 0) {
            add_server(cfg, AF_INET6, value, keyword);
        } else if (strcmp(keyword, "sensor") == 0) {
            sx_free(&cfg->sensors);
            sx_dup(&cfg->sensors, value);
        } else if (strcmp(keyword, "sensor6") == 0) {
            sx_free(&cfg->sensors6);
            sx_dup(&cfg->sensors6, value);
        } else if (const keyword_entry *k = find_single(keyword)) {
            set_single(cfg, k, value);
        } else {
            log_unknown_client_option(keyword);
        }
    }
}

int client_config_read(client_config *cfg, const char *path) {
    bool not_regular = false;
    FILE *f = regular_file_open(path, &not_regular);
    if (f == nullptr) {
        if (not_regular)
            log_config_not_regular(path);
        else
            log_config_open_failed(path, errno);
        return -1;
    }
    sx_block tree{};
    int rc = sx_read_file(&tree, f, CONFIG_CHUNK, CONFIG_DUNIT, CONFIG_NUNIT);
    fclose(f);
    if (rc < 0)
        return -1;
    if (tree.nsize == 0) {
        sx_free(&tree);
        return -1;
    }
    // Settings are copied out, so the tree is not needed past this point.
    client_config_apply(cfg, &tree.nodes[0]);
    sx_free(&tree);
    return 0;
}

int client_config_add_server(client_config *cfg, int family, const char *host, const char *port) {
    char *h = host != nullptr ? strdup(host) : nullptr;
    char *p = port != nullptr ? strdup(port) : nullptr;
    int32_t i = (host == nullptr || h != nullptr) && (port == nullptr || p != nullptr)
                    ? array_append(&cfg->servers)
                    : -1;
    if (i < 0) {
        free(h);
        free(p);
        return -1;
    }
    auto *s = static_cast<client_server *>(array_get(&cfg->servers, i));
    s->family = family;
    s->host = h;
    s->port = p;
    return 0;
}

const client_server *client_config_server(const client_config *cfg, int32_t i) {
    return static_cast<const client_server *>(array_get(&cfg->servers, i));
}

bool client_config_complete(const client_config *cfg) {
    if (cfg->name == nullptr || cfg->name_len == 0 || cfg->key == nullptr || cfg->key_len == 0 ||
        cfg->servers.count == 0)
        return false;
    for (int32_t i = 0; i < cfg->servers.count; i++) {
        const client_server *s = client_config_server(cfg, i);
        if (!has_text(s->host) || !has_text(s->port))
            return false;
    }
    return true;
}

void client_config_free(client_config *cfg) {
    free(cfg->name);
    free(cfg->key);
    sx_free(&cfg->sensors);
    sx_free(&cfg->sensors6);
    for (int32_t i = 0; i < cfg->servers.count; i++) {
        auto *s = static_cast<client_server *>(array_get(&cfg->servers, i));
        free(s->host);
        free(s->port);
    }
    array_free(&cfg->servers);
    client_config_init(cfg);
}
