// The state file: the presence of the up accounts, kept across restarts.
#include "server/state.h"

#include "common/csexp/sx_reader.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"
#include "common/protocol/address.h"
#include "common/protocol/update_msg.h"
#include "server/account.h"
#include "server/effector_plan.h"
#include "server/file_replace.h"
#include "server/presence.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

constexpr size_t READ_CHUNK = 65536;
constexpr size_t READ_DUNIT = 65536;
constexpr size_t READ_NUNIT = 4096;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
struct free_delete {
    void operator()(void *p) const { free(p); }
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

// An atom of any bytes that reads back as the same bytes: as it stands
// when it is a token that cannot be taken for anything else (no delimiter,
// no blank or control byte, no leading digit, which would start a length
// prefix), else as a hex atom.
bool put_atom(FILE *f, const sx_node *n) {
    const auto *b = static_cast<const uint8_t *>(n->ptr);
    if (n->len == 0)
        return fputs("\"\"", f) != EOF;
    bool plain = !(b[0] >= '0' && b[0] <= '9');
    for (size_t i = 0; plain && i < n->len; i++)
        plain = b[i] > ' ' && b[i] < 0x7f && strchr("()\"#|", b[i]) == nullptr;
    if (plain)
        return fwrite(b, 1, n->len, f) == n->len;
    static const char digits[] = "0123456789abcdef";
    if (fputc('#', f) == EOF)
        return false;
    for (size_t i = 0; i < n->len; i++)
        if (fputc(digits[b[i] >> 4], f) == EOF || fputc(digits[b[i] & 15], f) == EOF)
            return false;
    return fputc('#', f) != EOF;
}

// (effector FORM ...): the account's effector list as it was when its
// presence was written, so that a start after the account was removed or
// changed can take down what it set. Walked with a stack of the open lists,
// not by recursion: a list nested deep in the configuration must not run
// the server out of stack.
bool put_effectors(FILE *f, const sx_block *effectors) {
    if (fputs(" (effector", f) == EOF)
        return false;
    if (effectors->nsize == 0)
        return fputc(')', f) != EOF;
    std::unique_ptr<const sx_node *[], free_delete> stack(
        static_cast<const sx_node **>(calloc(effectors->nsize, sizeof(const sx_node *))));
    if (!stack)
        return false;
    size_t depth = 0;
    bool lead = false; // no blank before the first item of a list
    const sx_node *n = &effectors->nodes[0];
    for (;;) {
        if (n == nullptr) {
            if (fputc(')', f) == EOF)
                return false;
            if (depth == 0)
                return true;
            n = stack[--depth]->next;
            lead = false;
            continue;
        }
        if (!lead && fputc(' ', f) == EOF)
            return false;
        lead = false;
        if (sx_is_list(n)) {
            if (fputc('(', f) == EOF)
                return false;
            stack[depth++] = n;
            n = sx_first(n);
            lead = true;
        } else {
            if (!put_atom(f, n))
                return false;
            n = n->next;
        }
    }
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
    if (!put_effectors(f, &a->effectors))
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
    e->retry = 0;
    e->last_seen = 0;
    e->last_msg = 0;
    e->has_effectors = false;
    e->effectors = nullptr;
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
    const sx_node *n = seen->next;
    if (n != nullptr && !sx_is_list(n)) {
        if (!read_time(n, &e->last_msg))
            return false;
        n = n->next;
    }
    // The sub-forms, each at most once, in any order.
    bool has_retry = false;
    for (; n != nullptr; n = n->next) {
        const sx_node *kw = sx_is_list(n) ? sx_first(n) : nullptr;
        if (kw != nullptr && sx_atom_is(kw, "effector") && !e->has_effectors) {
            e->has_effectors = true;
            e->effectors = kw->next;
        } else if (!has_retry && read_retry(n, &e->retry)) {
            has_retry = true;
        } else {
            return false;
        }
    }
    return true;
}

// The first account of e's name in the table, or null.
const account *first_of_name(const array *accounts, const sx_node *name) {
    if (accounts->count == 0)
        return nullptr;
    update_msg key = {};
    key.name = sx_text(name);
    key.name_len = name->len;
    const auto *hit = static_cast<const account *>(bsearch(&key, accounts->data,
                                                           static_cast<size_t>(accounts->count),
                                                           accounts->elem_size, account_msg_cmp));
    if (hit == nullptr)
        return nullptr;
    const auto *first = static_cast<const account *>(accounts->data);
    while (hit > first && account_msg_cmp(&key, hit - 1) == 0)
        hit--;
    return hit;
}

void set_presence(account *a, const state_record *e) {
    if (e->family == AF_INET6) {
        memcpy(a->address6, e->address, 16);
        a->last_seen6 = e->last_seen;
        a->last_msg6 = e->last_msg;
        a->flags |= ACCOUNT_UP6;
    } else {
        memcpy(a->address, e->address, 4);
        a->last_seen = e->last_seen;
        a->last_msg = e->last_msg;
        a->flags |= ACCOUNT_UP;
    }
}

// Releases the accounts of the written table and its storage when it is
// not handed over.
struct written_owner {
    array *table;
    ~written_owner() {
        if (table != nullptr)
            state_release(table);
    }
};

// Adds one form to the written table: to the account of the form before
// it when that is the other family of the same account (same name, same
// effectors), else as an account of its own. A form written before the
// effectors were kept is taken to hold the effectors now configured for
// its name; with no account of that name it is reported and passed over,
// having nothing to take down with. False when out of memory.
bool add_written(array *w, const array *configured, const state_record *e, const char *path) {
    const sx_node *effectors = e->effectors;
    if (!e->has_effectors) {
        const account *now = first_of_name(configured, e->name);
        if (now == nullptr) {
            log_state_unknown_account(sx_text(e->name), e->name->len, path);
            return true;
        }
        effectors = now->effectors.nsize > 0 ? &now->effectors.nodes[0] : nullptr;
    }
    account a;
    account_init(&a);
    a.name = static_cast<char *>(malloc(e->name->len));
    if (a.name == nullptr)
        return false;
    memcpy(a.name, e->name->ptr, e->name->len);
    a.name_len = e->name->len;
    if (effectors != nullptr && sx_dup(&a.effectors, effectors) != 0) {
        account_release(&a);
        return false;
    }
    // A take-down runs the plan of the forms as written.
    if (a.effectors.nsize > 0) {
        a.plan = effector_plan_build(&a.effectors.nodes[0], a.name, a.name_len);
        if (a.plan == nullptr) {
            account_release(&a);
            return false;
        }
    }
    uint8_t bit = e->family == AF_INET6 ? ACCOUNT_UP6 : ACCOUNT_UP;
    if (w->count > 0) {
        auto *last = static_cast<account *>(array_get(w, w->count - 1));
        if ((last->flags & bit) == 0 && last->name_len == a.name_len &&
            memcmp(last->name, a.name, a.name_len) == 0 && account_same_effectors(last, &a)) {
            account_release(&a);
            set_presence(last, e);
            return true;
        }
    }
    int32_t i = array_append(w);
    if (i < 0) {
        account_release(&a);
        return false;
    }
    set_presence(&a, e);
    memcpy(array_get(w, i), &a, sizeof a);
    return true;
}

} // namespace

int state_write(const char *path, const array *accounts, const array *pending) {
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    if (f == nullptr) {
        log_state_write_failed(path, errno);
        return -1;
    }
    bool ok = true;
    for (int32_t i = 0; ok && i < accounts->count; i++)
        ok = put_account(f, static_cast<const account *>(array_get(accounts, i)));
    for (int32_t i = 0; ok && pending != nullptr && i < pending->count; i++)
        ok = put_pending(f, static_cast<const state_pending *>(array_get(pending, i)));
    int err = ok ? 0 : (errno != 0 ? errno : ENOMEM);
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    std::unique_ptr<char, free_delete> owner(text);
    if (!ok) {
        log_state_write_failed(path, err);
        return -1;
    }
    // Pending take-downs carry their effectors, dns-update keys among them:
    // the file is the server's own and its group's at most, like the
    // configuration that holds those keys.
    static const file_replace_opts opts{"state file", 0600, 0740, false};
    const file_part whole(text, len);
    return file_replace(path, std::span<const file_part>(&whole, 1), opts);
}

namespace {

// The written table of the up forms of a reading, sorted with account_cmp.
// False after logging when memory runs out.
bool build_written(const state_records *r, const char *path, const array *accounts,
                   array *written) {
    array table;
    array_init(&table, sizeof(account));
    written_owner owner{&table};
    for (int32_t i = 0; i < r->records.count; i++) {
        const auto *e = static_cast<const state_record *>(array_get(&r->records, i));
        if (e->pending)
            continue;
        if (!add_written(&table, accounts, e, path)) {
            log_state_open_failed(path, ENOMEM);
            return false;
        }
    }
    if (table.count > 1)
        qsort(table.data, static_cast<size_t>(table.count), sizeof(account), account_cmp);
    state_release(written);
    *written = table;
    owner.table = nullptr;
    return true;
}

// The work the file keeps for the engine: its pending forms, and the failed
// dns-updates of a file written before them (a retry mask: every dns-update
// form is sent again), each for the first account of its name.
void restore_pending(const state_records *r, const char *path, array *accounts,
                     array *transitions) {
    for (int32_t i = 0; i < r->records.count; i++) {
        const auto *e = static_cast<const state_record *>(array_get(&r->records, i));
        if (!e->pending && e->retry == 0)
            continue;
        auto *a = const_cast<account *>(first_of_name(accounts, e->name));
        if (a == nullptr) {
            if (e->pending)
                log_state_unknown_account(sx_text(e->name), e->name->len, path);
            continue;
        }
        uint64_t steps = e->pending ? e->steps : effector_plan_dns_steps(a->plan);
        if (!e->pending && (a->flags & (e->family == AF_INET6 ? ACCOUNT_UP6 : ACCOUNT_UP)) == 0)
            continue; // not carried: its take-down sets the record anyway
        if (steps != 0)
            presence_transition_add(transitions, a->plan, e->family, nullptr, e->address, steps);
    }
}

} // namespace

int state_open(const char *path, FILE **out) {
    *out = nullptr;
    bool not_regular = false;
    FILE *f = regular_file_open(path, &not_regular);
    if (f != nullptr) {
        *out = f;
        return 1;
    }
    if (not_regular) {
        log_state_not_regular(path);
        return -1;
    }
    if (errno == ENOENT)
        return 0;
    log_state_open_failed(path, errno);
    return -1;
}

int state_restore(const char *path, array *accounts, array *transitions, presence_state *ps) {
    FILE *opened = nullptr;
    // No file yet: nothing was up when it would have been written.
    int rc = state_open(path, &opened);
    if (rc <= 0)
        return rc;
    std::unique_ptr<FILE, file_closer> f(opened);
    state_records r;
    std::unique_ptr<state_records, decltype(&state_records_free)> r_owner(&r, state_records_free);
    if (state_records_read(f.get(), path, &r) != 0)
        return -1;
    array written;
    array_init(&written, sizeof(account));
    written_owner owner{&written};
    if (!build_written(&r, path, accounts, &written))
        return -1;
    // The table as written is the running one of a reload: what goes on
    // unchanged keeps its presence, what is gone or changed is taken down.
    presence_carry(accounts, &written, ps, transitions);
    if (transitions != nullptr)
        restore_pending(&r, path, accounts, transitions);
    return 0;
}

int state_records_read(FILE *f, const char *path, state_records *out) {
    out->tree = {};
    array_init(&out->records, sizeof(state_record));
    sx_read_rest rest{};
    // A text that ends inside a form was cut short (a copy, a crash of the
    // file system): what it lost cannot be told, so none of it is used.
    if (sx_read_file(&out->tree, f, READ_CHUNK, READ_DUNIT, READ_NUNIT, &rest) != 0 || ferror(f) ||
        rest.open_lists > 0 || rest.open_atom) {
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

int state_read(FILE *f, const char *path, const array *accounts, array *written) {
    state_records r;
    std::unique_ptr<state_records, decltype(&state_records_free)> r_owner(&r, state_records_free);
    if (state_records_read(f, path, &r) != 0)
        return -1;
    return build_written(&r, path, accounts, written) ? 0 : -1;
}

void state_release(array *written) {
    for (int32_t i = 0; i < written->count; i++)
        account_release(static_cast<account *>(array_get(written, i)));
    array_free(written);
}

int32_t state_flush_due(const state_writer *w, const char *path, uint64_t changes, time_t now) {
    if (path == nullptr || changes == w->written)
        return -1;
    time_t next = w->last + STATE_WRITE_INTERVAL;
    if (w->last == 0 || now >= next || now < w->last)
        return 0;
    return static_cast<int32_t>((next - now) * 1000);
}

int32_t state_flush(state_writer *w, const char *path, const array *accounts, uint64_t changes,
                    time_t now, const array *pending) {
    int32_t due = state_flush_due(w, path, changes, now);
    if (due != 0)
        return due;
    w->last = now;
    if (state_write(path, accounts, pending) == 0) {
        w->written = changes;
        return -1;
    }
    return static_cast<int32_t>(STATE_WRITE_INTERVAL * 1000);
}
