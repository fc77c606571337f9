// The state file: the presence of the up accounts, kept across restarts.
#include "server/state.h"

#include "common/csexp/sx_reader.h"
#include "common/process/log.h"
#include "common/protocol/address.h"
#include "common/protocol/update_msg.h"
#include "server/account.h"
#include "server/presence.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t READ_CHUNK = 65536;
constexpr size_t READ_DUNIT = 65536;
constexpr size_t READ_NUNIT = 4096;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

bool is_alpha(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A name the reader takes back as the same token: a leading letter keeps it
// out of the length-prefix syntax, and none of these bytes delimits.
bool plain_token(const char *name, uint64_t len) {
    if (len == 0 || !is_alpha(static_cast<uint8_t>(name[0])))
        return false;
    for (uint64_t i = 1; i < len; i++) {
        auto c = static_cast<uint8_t>(name[i]);
        if (!is_alpha(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-')
            return false;
    }
    return true;
}

bool put_name(FILE *f, const char *name, uint64_t len) {
    if (plain_token(name, len))
        return fwrite(name, 1, len, f) == len;
    static const char digits[] = "0123456789abcdef";
    if (fputc('#', f) == EOF)
        return false;
    for (uint64_t i = 0; i < len; i++) {
        auto c = static_cast<uint8_t>(name[i]);
        if (fputc(digits[c >> 4], f) == EOF || fputc(digits[c & 15], f) == EOF)
            return false;
    }
    return fputc('#', f) != EOF;
}

// IPv6 text goes in quotes: digits before a colon would read back as the
// length prefix of a verbatim atom.
bool put_presence(FILE *f, const account *a, const address_text &addr, bool quoted,
                  time_t last_seen, time_t last_msg) {
    if (fputs("(up ", f) == EOF || !put_name(f, a->name, a->name_len))
        return false;
    const char *q = quoted ? "\"" : "";
    if (fprintf(f, " %s%s%s %" PRId64 " %" PRId64, q, addr.s, q, static_cast<int64_t>(last_seen),
                static_cast<int64_t>(last_msg)) < 0)
        return false;
    return fputs(")\n", f) != EOF;
}

// One line per up family, IPv4 first.
bool put_account(FILE *f, const account *a) {
    if ((a->flags & ACCOUNT_UP) != 0 &&
        !put_presence(f, a, address_format4(a->address), false, a->last_seen, a->last_msg))
        return false;
    if ((a->flags & ACCOUNT_UP6) != 0 &&
        !put_presence(f, a, address_format6(a->address6), true, a->last_seen6, a->last_msg6))
        return false;
    return true;
}

bool put_pending(FILE *f, const state_pending *p) {
    if (fputs("(pending ", f) == EOF || !put_name(f, p->name, p->name_len))
        return false;
    bool six = p->family == AF_INET6;
    address_text addr = six ? address_format6(p->addr) : address_format4(p->addr);
    const char *q = six ? "\"" : "";
    return fprintf(f, " %s%s%s %" PRIu64 ")\n", q, addr.s, q, p->steps) >= 0;
}

// The directory entry of a rename lasts only once its directory is synced;
// where a directory cannot be opened or synced the file is still whole.
void sync_directory(const char *path) {
    const char *slash = strrchr(path, '/');
    char *dir = slash == nullptr ? strdup(".") : strndup(path, slash == path ? 1 : slash - path);
    if (dir == nullptr)
        return;
    int fd = open(dir, O_RDONLY);
    free(dir);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// A decimal time: an optional sign and digits, nothing else.
bool read_time(const sx_node *n, time_t *out) {
    if (n == nullptr || sx_is_list(n) || n->len == 0)
        return false;
    const char *text = sx_text(n);
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (end != text + n->len || errno != 0 || text[0] == ' ' || text[0] == '+')
        return false;
    *out = static_cast<time_t>(v);
    return true;
}

// (retry MASK), MASK in decimal within 32 bits.
bool read_retry(const sx_node *n, uint32_t *out) {
    const sx_node *kw = sx_is_list(n) ? sx_first(n) : nullptr;
    if (kw == nullptr || !sx_atom_is(kw, "retry"))
        return false;
    const sx_node *v = kw->next;
    if (v == nullptr || sx_is_list(v) || v->next != nullptr || v->len == 0 || v->len > 10)
        return false;
    uint64_t mask = 0;
    for (size_t i = 0; i < v->len; i++) {
        char c = sx_text(v)[i];
        if (c < '0' || c > '9')
            return false;
        mask = mask * 10 + static_cast<uint64_t>(c - '0');
    }
    if (mask > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(mask);
    return true;
}

// STEPS of a pending form: decimal within 64 bits, not 0.
bool read_steps(const sx_node *v, uint64_t *out) {
    if (v == nullptr || sx_is_list(v) || v->next != nullptr || v->len == 0 || v->len > 20)
        return false;
    uint64_t steps = 0;
    for (size_t i = 0; i < v->len; i++) {
        char c = sx_text(v)[i];
        if (c < '0' || c > '9' || __builtin_mul_overflow(steps, 10, &steps) ||
            __builtin_add_overflow(steps, static_cast<uint64_t>(c - '0'), &steps))
            return false;
    }
    *out = steps;
    return steps != 0;
}

bool read_entry(const sx_node *form, state_record *e) {
    if (!sx_is_list(form))
        return false;
    const sx_node *kw = sx_first(form);
    if (kw == nullptr)
        return false;
    e->pending = sx_atom_is(kw, "pending");
    e->steps = 0;
    if (!e->pending && !sx_atom_is(kw, "up"))
        return false;
    const sx_node *name = kw->next;
    if (name == nullptr || sx_is_list(name) || name->len == 0)
        return false;
    e->name = name;
    const sx_node *addr = name->next;
    if (addr == nullptr || sx_is_list(addr))
        return false;
    std::string_view text(sx_text(addr), addr->len);
    size_t len = 4;
    e->family = AF_INET;
    if (address_parse4(e->address, text) != 0) {
        if (address_parse6(e->address, text) != 0)
            return false;
        e->family = AF_INET6;
        len = 16;
    }
    if (e->pending)
        return read_steps(addr->next, &e->steps);
    // Nothing is up at 0.0.0.0 or ::.
    uint8_t acc = 0;
    for (size_t i = 0; i < len; i++)
        acc |= e->address[i];
    if (acc == 0)
        return false;
    const sx_node *seen = addr->next;
    if (!read_time(seen, &e->last_seen))
        return false;
    e->last_msg = 0;
    e->retry = 0;
    const sx_node *n = seen->next;
    if (n != nullptr && !sx_is_list(n)) {
        if (!read_time(n, &e->last_msg))
            return false;
        n = n->next;
    }
    if (n != nullptr) {
        if (!read_retry(n, &e->retry))
            return false;
        n = n->next;
    }
    return n == nullptr;
}

// The first account of e's name, or null.
account *first_account(array *accounts, const state_record *e) {
    if (accounts->count == 0)
        return nullptr;
    update_msg key = {};
    key.name = sx_text(e->name);
    key.name_len = e->name->len;
    auto *hit =
        static_cast<account *>(bsearch(&key, accounts->data, static_cast<size_t>(accounts->count),
                                       accounts->elem_size, account_msg_cmp));
    auto *first = static_cast<account *>(accounts->data);
    while (hit != nullptr && hit > first && account_msg_cmp(&key, hit - 1) == 0)
        hit--;
    return hit;
}

// The first account of e's name whose presence of e's family is not up
// yet, or null.
account *free_account(array *accounts, const state_record *e) {
    uint8_t bit = e->family == AF_INET6 ? ACCOUNT_UP6 : ACCOUNT_UP;
    if (accounts->count == 0)
        return nullptr;
    update_msg key = {};
    key.name = sx_text(e->name);
    key.name_len = e->name->len;
    auto *hit =
        static_cast<account *>(bsearch(&key, accounts->data, static_cast<size_t>(accounts->count),
                                       accounts->elem_size, account_msg_cmp));
    if (hit == nullptr)
        return nullptr;
    auto *first = static_cast<account *>(accounts->data);
    auto *end = first + accounts->count;
    while (hit > first && account_msg_cmp(&key, hit - 1) == 0)
        hit--;
    for (; hit < end && account_msg_cmp(&key, hit) == 0; hit++)
        if ((hit->flags & bit) == 0)
            return hit;
    return nullptr;
}

} // namespace

int state_write(const char *path, const array *accounts, const array *pending) {
    size_t plen = strlen(path);
    static const char suffix[] = ".XXXXXX";
    char *tmp = static_cast<char *>(malloc(plen + sizeof suffix));
    if (tmp == nullptr) {
        log_state_write_failed(path, ENOMEM);
        return -1;
    }
    memcpy(tmp, path, plen);
    memcpy(tmp + plen, suffix, sizeof suffix);
    std::unique_ptr<char, decltype(&free)> tmp_owner(tmp, free);

    int fd = mkstemp(tmp);
    if (fd < 0) {
        log_state_write_failed(path, errno);
        return -1;
    }
    // The operator's view of who is up: readable like the zone files.
    fchmod(fd, 0644);
    FILE *f = fdopen(fd, "wb");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        unlink(tmp);
        log_state_write_failed(path, err);
        return -1;
    }
    bool ok = true;
    for (int32_t i = 0; ok && i < accounts->count; i++) {
        const auto *a = static_cast<const account *>(array_get(accounts, i));
        ok = put_account(f, a);
    }
    for (int32_t i = 0; ok && pending != nullptr && i < pending->count; i++)
        ok = put_pending(f, static_cast<const state_pending *>(array_get(pending, i)));
    int err = ok ? 0 : (errno != 0 ? errno : EIO);
    if (ok && fflush(f) != 0) {
        ok = false;
        err = errno;
    }
    // On disk before the rename: a crash must leave the old file or the
    // whole new one, never an empty one in its place.
    if (ok && fsync(fileno(f)) != 0) {
        ok = false;
        err = errno;
    }
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp, path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp);
        log_state_write_failed(path, err);
        return -1;
    }
    sync_directory(path);
    return 0;
}

int state_restore(const char *path, array *accounts, array *transitions) {
    std::unique_ptr<FILE, file_closer> f(fopen(path, "rb"));
    if (!f) {
        // No file yet: nothing was up when it would have been written.
        if (errno == ENOENT)
            return 0;
        log_state_open_failed(path, errno);
        return -1;
    }
    return state_read(f.get(), path, accounts, transitions);
}

int state_records_read(FILE *f, const char *path, state_records *out) {
    out->tree = {};
    array_init(&out->records, sizeof(state_record));
    if (sx_read_file(&out->tree, f, READ_CHUNK, READ_DUNIT, READ_NUNIT) != 0 || ferror(f)) {
        log_state_malformed(path);
        return -1;
    }
    if (out->tree.nsize == 0)
        return 0;
    int32_t forms = 0;
    for (const sx_node *n = &out->tree.nodes[0]; n != nullptr && forms < INT32_MAX; n = n->next)
        forms++;
    if (!array_reserve(&out->records, forms)) {
        log_state_open_failed(path, ENOMEM);
        return -1;
    }
    // Every form is checked before any is taken: half a file restored
    // would take some accounts for up and leave the rest's records behind.
    for (const sx_node *form = &out->tree.nodes[0]; form != nullptr; form = form->next) {
        state_record e;
        if (!read_entry(form, &e)) {
            out->records.count = 0;
            log_state_malformed(path);
            return -1;
        }
        *static_cast<state_record *>(array_get(&out->records, array_append(&out->records))) = e;
    }
    return 0;
}

void state_records_free(state_records *r) {
    sx_free(&r->tree);
    array_free(&r->records);
}

int state_read(FILE *f, const char *path, array *accounts, array *transitions) {
    state_records read;
    std::unique_ptr<state_records, decltype(&state_records_free)> owner(&read, state_records_free);
    if (state_records_read(f, path, &read) != 0)
        return -1;
    for (int32_t i = 0; i < read.records.count; i++) {
        const auto &e = *static_cast<const state_record *>(array_get(&read.records, i));
        if (e.pending) {
            account *a = first_account(accounts, &e);
            if (a == nullptr)
                log_state_unknown_account(sx_text(e.name), e.name->len, path);
            else if (transitions != nullptr)
                presence_transition_add(transitions, a->plan, e.family, nullptr, e.address,
                                        e.steps);
            continue;
        }
        account *a = free_account(accounts, &e);
        if (a == nullptr) {
            log_state_unknown_account(sx_text(e.name), e.name->len, path);
            continue;
        }
        // A file from before the engine: its failed updates are sent again.
        uint64_t dns = effector_plan_dns_steps(a->plan);
        if (e.retry != 0 && dns != 0 && transitions != nullptr)
            presence_transition_add(transitions, a->plan, e.family, nullptr, e.address, dns);
        if (e.family == AF_INET6) {
            memcpy(a->address6, e.address, 16);
            a->last_seen6 = e.last_seen;
            a->last_msg6 = e.last_msg;
            a->flags |= ACCOUNT_UP6;
        } else {
            memcpy(a->address, e.address, 4);
            a->last_seen = e.last_seen;
            a->last_msg = e.last_msg;
            a->flags |= ACCOUNT_UP;
        }
    }
    return 0;
}

int32_t state_flush(state_writer *w, const char *path, const array *accounts, uint64_t changes,
                    time_t now, const array *pending) {
    if (path == nullptr || changes == w->written)
        return -1;
    time_t next = w->last + STATE_WRITE_INTERVAL;
    if (w->last == 0 || now >= next || now < w->last) {
        w->last = now;
        if (state_write(path, accounts, pending) == 0) {
            w->written = changes;
            return -1;
        }
        next = now + STATE_WRITE_INTERVAL;
    }
    return static_cast<int32_t>((next - now) * 1000);
}
