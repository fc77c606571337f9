// The status view of "zorvel-server -s".
#include "server/server_status.h"

#include "common/csexp/sx_reader.h"
#include "common/process/array.h"
#include "common/process/log.h"
#include "common/protocol/address.h"
#include "common/protocol/update_msg.h"
#include "server/account.h"
#include "server/dns_update.h"
#include "server/effector.h"
#include "server/server_config.h"
#include "server/state.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>

namespace {

// The units of a load, so that a file the server can read reads here too.
constexpr size_t READ_CHUNK = 4096;
constexpr size_t READ_DUNIT = 4096;
constexpr size_t READ_NUNIT = 64;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// Everything the view reads, released on every way out.
struct status_input {
    sx_block conf{};
    array accounts;
    char *state_path = nullptr;
    state_records state{};
    array seen4, seen6; // of int32_t: per account, the record of its presence, or -1
    array placed;       // of int32_t: per record, 1 once an account holds it

    status_input() {
        array_init(&accounts, sizeof(account));
        array_init(&state.records, sizeof(state_record));
        array_init(&seen4, sizeof(int32_t));
        array_init(&seen6, sizeof(int32_t));
        array_init(&placed, sizeof(int32_t));
    }
    ~status_input() {
        sx_free(&conf);
        server_config_accounts_free(&accounts, state_path);
        state_records_free(&state);
        array_free(&seen4);
        array_free(&seen6);
        array_free(&placed);
    }
    status_input(const status_input &) = delete;
    status_input &operator=(const status_input &) = delete;
};

int32_t &slot(array *a, int32_t i) {
    return *static_cast<int32_t *>(array_get(a, i));
}

const account &account_at(const status_input &in, int32_t i) {
    return *static_cast<const account *>(array_get(&in.accounts, i));
}

const state_record &record_at(const status_input &in, int32_t i) {
    return *static_cast<const state_record *>(array_get(&in.state.records, i));
}

// Each record goes where a restore would put it: the first account of its
// name whose presence of the record's family is still free.
bool match_records(status_input *in) {
    int32_t n = in->accounts.count;
    if (!array_reserve(&in->seen4, n) || !array_reserve(&in->seen6, n) ||
        !array_reserve(&in->placed, in->state.records.count))
        return false;
    for (int32_t i = 0; i < n; i++) {
        slot(&in->seen4, array_append(&in->seen4)) = -1;
        slot(&in->seen6, array_append(&in->seen6)) = -1;
    }
    const auto *first = static_cast<const account *>(in->accounts.data);
    for (int32_t r = 0; r < in->state.records.count; r++) {
        const state_record &e = record_at(*in, r);
        slot(&in->placed, array_append(&in->placed)) = 0;
        if (n == 0)
            continue;
        update_msg key = {};
        key.name = sx_text(e.name);
        key.name_len = e.name->len;
        const auto *hit = static_cast<const account *>(
            bsearch(&key, first, static_cast<size_t>(n), sizeof(account), account_msg_cmp));
        if (hit == nullptr)
            continue;
        while (hit > first && account_msg_cmp(&key, hit - 1) == 0)
            hit--;
        array *seen = e.family == AF_INET6 ? &in->seen6 : &in->seen4;
        for (auto i = static_cast<int32_t>(hit - first);
             i < n && account_msg_cmp(&key, &account_at(*in, i)) == 0; i++) {
            if (slot(seen, i) < 0) {
                slot(seen, i) = r;
                slot(&in->placed, r) = 1;
                break;
            }
        }
    }
    return true;
}

// A name as the operator wrote it when it is printable, else as the #hex#
// atom that would name it in the configuration.
void put_name(FILE *out, const char *name, size_t len) {
    bool plain = len > 0;
    for (size_t i = 0; plain && i < len; i++)
        plain = name[i] > ' ' && name[i] < 0x7f;
    if (plain) {
        fwrite(name, 1, len, out);
        return;
    }
    fputc('#', out);
    for (size_t i = 0; i < len; i++)
        fprintf(out, "%02x", static_cast<unsigned>(static_cast<uint8_t>(name[i])));
    fputc('#', out);
}

// "2026-12-11 13:50:58 UTC".
void put_time(FILE *out, time_t t) {
    tm u = {};
    char text[64];
    if (gmtime_r(&t, &u) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &u) == 0)
        snprintf(text, sizeof text, "%" PRId64, static_cast<int64_t>(t));
    fputs(text, out);
}

// A span in its two largest units: "45s", "5m12s", "2h05m", "3d04h".
void put_span(FILE *out, int64_t s) {
    if (s < 60)
        fprintf(out, "%" PRId64 "s", s);
    else if (s < 3600)
        fprintf(out, "%" PRId64 "m%02" PRId64 "s", s / 60, s % 60);
    else if (s < 86400)
        fprintf(out, "%" PRId64 "h%02" PRId64 "m", s / 3600, s % 3600 / 60);
    else
        fprintf(out, "%" PRId64 "d%02" PRId64 "h", s / 86400, s % 86400 / 3600);
}

// "TIME (SPAN ago)", or "(in SPAN)" for a time still to come.
void put_when(FILE *out, time_t t, time_t now) {
    put_time(out, t);
    int64_t d = static_cast<int64_t>(now) - static_cast<int64_t>(t);
    fputs(" (", out);
    if (d >= 0) {
        put_span(out, d);
        fputs(" ago)", out);
    } else {
        fputs("in ", out);
        put_span(out, d == INT64_MIN ? INT64_MAX : -d);
        fputc(')', out);
    }
}

// One failed dns-update form waiting to be sent again, as the update it
// sends: owner, record type and name server.
void put_pending_update(FILE *out, const account &a, const sx_node *args, int family) {
    dns_update_conf c;
    dns_update_fault why;
    if (!dns_update_read(args, a.name, a.name_len, &c, &why)) {
        fputs("dns-update (a form that does not read)", out);
        return;
    }
    fprintf(out, "dns-update of %s %s by %s port %s", c.owner_text,
            family == AF_INET6 ? "AAAA" : "A", c.host, c.port);
}

// The pending work of one presence: the dns-update forms its retry mask
// names, counted through the list as effector_run counts them.
void put_pending(FILE *out, const account &a, uint32_t retry, int family) {
    if (retry == 0)
        return;
    fputs(", pending: ", out);
    bool first = true;
    unsigned index = 0;
    const sx_node *list = a.effectors.nsize > 0 ? &a.effectors.nodes[0] : nullptr;
    for (const sx_node *n = list; n != nullptr; n = n->next) {
        const sx_node *kw = n;
        const sx_node *args = nullptr;
        if (sx_is_list(n)) {
            kw = sx_first(n);
            if (kw == nullptr || sx_is_list(kw))
                continue;
            args = kw->next;
        }
        if (!sx_atom_is(kw, "dns-update"))
            continue;
        uint32_t bit = index < 31 ? uint32_t{1} << index : EFFECTOR_RETRY_REST;
        index++;
        if ((retry & bit) == 0)
            continue;
        if (bit != EFFECTOR_RETRY_REST)
            retry &= ~bit;
        if (!first)
            fputs("; ", out);
        first = false;
        put_pending_update(out, a, args, family);
    }
    if (index > 31)
        retry &= ~EFFECTOR_RETRY_REST;
    // The state file was written for effector forms that have changed.
    if (retry != 0)
        fprintf(out, "%sdns-update forms the configuration no longer has", first ? "" : "; ");
}

void put_presence(FILE *out, const account &a, const state_record &e, time_t now) {
    put_name(out, a.name, a.name_len);
    fprintf(out, " %s %s, seen ", e.family == AF_INET6 ? "IPv6" : "IPv4",
            address_format(e.family, e.address).s);
    put_when(out, e.last_seen, now);
    if (a.timeout > 0) {
        time_t due = e.last_seen + a.timeout;
        fputs(due > now ? ", times out " : ", timed out ", out);
        put_when(out, due, now);
    } else {
        fputs(", no timeout", out);
    }
    put_pending(out, a, e.retry, e.family);
    fputc('\n', out);
}

// A record whose name no account has: the server passes it over.
void put_stray(FILE *out, const state_record &e, time_t now) {
    put_name(out, sx_text(e.name), e.name->len);
    fprintf(out, " %s %s, seen ", e.family == AF_INET6 ? "IPv6" : "IPv4",
            address_format(e.family, e.address).s);
    put_when(out, e.last_seen, now);
    fputs(", no such account\n", out);
}

bool read_config(const char *path, sx_block *tree) {
    std::unique_ptr<FILE, file_closer> f(fopen(path, "rb"));
    if (!f) {
        log_check_open_failed(path, errno);
        return false;
    }
    if (sx_read_file(tree, f.get(), READ_CHUNK, READ_DUNIT, READ_NUNIT) != 0 || tree->nsize == 0) {
        log_check_empty(path);
        return false;
    }
    return true;
}

// A state file not written yet holds nobody: every account is down.
bool read_state(const char *path, state_records *out) {
    std::unique_ptr<FILE, file_closer> f(fopen(path, "rb"));
    if (!f) {
        if (errno == ENOENT)
            return true;
        log_state_open_failed(path, errno);
        return false;
    }
    state_records_free(out);
    return state_records_read(f.get(), path, out) == 0;
}

} // namespace

int server_status_print(const char *path, FILE *out, time_t now) {
    status_input in;
    if (!read_config(path, &in.conf))
        return -1;
    server_config_accounts(&in.conf.nodes[0], &in.accounts, &in.state_path);
    if (in.state_path == nullptr) {
        log_status_no_state(path);
        return -1;
    }
    if (!read_state(in.state_path, &in.state))
        return -1;
    if (!match_records(&in)) {
        log_state_open_failed(in.state_path, ENOMEM);
        return -1;
    }

    int32_t up = 0;
    for (int32_t i = 0; i < in.accounts.count; i++) {
        const account &a = account_at(in, i);
        int32_t r4 = slot(&in.seen4, i), r6 = slot(&in.seen6, i);
        if (r4 >= 0)
            put_presence(out, a, record_at(in, r4), now);
        if (r6 >= 0)
            put_presence(out, a, record_at(in, r6), now);
        if (r4 >= 0 || r6 >= 0) {
            up++;
            continue;
        }
        put_name(out, a.name, a.name_len);
        fputs(" down\n", out);
    }
    for (int32_t r = 0; r < in.state.records.count; r++)
        if (slot(&in.placed, r) == 0)
            put_stray(out, record_at(in, r), now);
    fprintf(out, "%" PRId32 " up, %" PRId32 " down\n", up, in.accounts.count - up);
    return fflush(out) == 0 ? 0 : -1;
}
