// The status view of "zorvel-server -s".
#include "server/server_status.h"

#include "common/csexp/sx_reader.h"
#include "common/process/array.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"
#include "common/protocol/address.h"
#include "common/protocol/update_msg.h"
#include "server/account.h"
#include "server/dns_update.h"
#include "server/effector.h"
#include "server/effector_plan.h"
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
    array pend4, pend6; // of int32_t: per account, the record of its pending work, or -1
    array placed;       // of int32_t: per record, 1 once an account holds it

    status_input() {
        array_init(&accounts, sizeof(account));
        array_init(&state.records, sizeof(state_record));
        array_init(&seen4, sizeof(int32_t));
        array_init(&seen6, sizeof(int32_t));
        array_init(&pend4, sizeof(int32_t));
        array_init(&pend6, sizeof(int32_t));
        array_init(&placed, sizeof(int32_t));
    }
    ~status_input() {
        sx_free(&conf);
        server_config_accounts_free(&accounts, state_path);
        state_records_free(&state);
        array_free(&seen4);
        array_free(&seen6);
        array_free(&pend4);
        array_free(&pend6);
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
        !array_reserve(&in->pend4, n) || !array_reserve(&in->pend6, n) ||
        !array_reserve(&in->placed, in->state.records.count))
        return false;
    for (int32_t i = 0; i < n; i++) {
        slot(&in->seen4, array_append(&in->seen4)) = -1;
        slot(&in->seen6, array_append(&in->seen6)) = -1;
        slot(&in->pend4, array_append(&in->pend4)) = -1;
        slot(&in->pend6, array_append(&in->pend6)) = -1;
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
        // Pending work goes to the first account of its name, as the
        // restore hands it over.
        if (e.pending) {
            slot(e.family == AF_INET6 ? &in->pend6 : &in->pend4,
                 static_cast<int32_t>(hit - first)) = r;
            slot(&in->placed, r) = 1;
            continue;
        }
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

// One step of the account's plan still to run, as the configuration
// names it.
void put_step(FILE *out, const effector_step &st, int family) {
    switch (st.kind) {
    case effector_kind::dns_update:
        fprintf(out, "dns-update of %s %s by %s port %s", st.dns->owner_text,
                family == AF_INET6 ? "AAAA" : "A", st.dns->host, st.dns->port);
        return;
    case effector_kind::zone:
        fputs("zone", out);
        for (const sx_node *n = st.args; n != nullptr; n = n->next)
            if (!sx_is_list(n))
                fprintf(out, " %.*s", static_cast<int>(n->len), sx_text(n));
        return;
    case effector_kind::system:
        fputs("system command", out);
        return;
    case effector_kind::kill:
        fputs("kill", out);
        return;
    default:
        fputs("a form that does not read", out);
        return;
    }
}

// The work the engine had not finished for one presence: the steps of the
// account's plan that the mask names.
void put_pending(FILE *out, const char *label, const account &a, uint64_t steps, int family) {
    if (steps == 0)
        return;
    fputs(label, out);
    bool first = true;
    for (uint32_t i = 0; a.plan != nullptr && i < a.plan->nsteps; i++) {
        if ((steps & effector_step_bit(i)) == 0)
            continue;
        if (!first)
            fputs("; ", out);
        first = false;
        put_step(out, a.plan->steps[i], family);
    }
    // The state file was written for effector forms that have changed.
    if (first)
        fputs("effector forms the configuration no longer has", out);
}

void put_presence(FILE *out, const account &a, const state_record &e, uint64_t steps, time_t now) {
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
    // A file from before the engine names failed dns-updates by a mask; the
    // restore sends every dns-update form again.
    if (e.retry != 0) {
        uint64_t dns = effector_plan_dns_steps(a.plan);
        if (dns == 0)
            fputs(", pending: dns-update forms the configuration no longer has", out);
        steps |= dns;
    }
    put_pending(out, ", pending: ", a, steps, e.family);
    fputc('\n', out);
}

// A record whose name no account has: the server passes it over.
void put_stray(FILE *out, const state_record &e, time_t now) {
    put_name(out, sx_text(e.name), e.name->len);
    fprintf(out, " %s %s, ", e.family == AF_INET6 ? "IPv6" : "IPv4",
            address_format(e.family, e.address).s);
    if (e.pending) {
        fputs("pending work", out);
    } else {
        fputs("seen ", out);
        put_when(out, e.last_seen, now);
    }
    fputs(", no such account\n", out);
}

// Read as the load reads it: a FIFO never holds the view up, and a file
// cut short is refused, not shown as far as it goes.
bool read_config(const char *path, sx_block *tree) {
    bool not_regular = false;
    std::unique_ptr<FILE, file_closer> f(regular_file_open(path, &not_regular));
    if (!f) {
        if (not_regular)
            log_check_not_regular(path);
        else
            log_check_open_failed(path, errno);
        return false;
    }
    sx_read_rest rest{};
    if (sx_read_file(tree, f.get(), SERVER_CONFIG_READ_CHUNK, SERVER_CONFIG_READ_DUNIT,
                     SERVER_CONFIG_READ_NUNIT, &rest) != 0 ||
        tree->nsize == 0) {
        log_check_empty(path);
        return false;
    }
    if (rest.open_lists > 0 || rest.open_atom) {
        log_check_incomplete(path);
        return false;
    }
    return true;
}

// A state file not written yet holds nobody: every account is down.
bool read_state(const char *path, state_records *out) {
    FILE *opened = nullptr;
    int rc = state_open(path, &opened);
    if (rc <= 0)
        return rc == 0;
    std::unique_ptr<FILE, file_closer> f(opened);
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
        int32_t seen[2] = {slot(&in.seen4, i), slot(&in.seen6, i)};
        int32_t pend[2] = {slot(&in.pend4, i), slot(&in.pend6, i)};
        if (seen[0] < 0 && seen[1] < 0 && pend[0] < 0 && pend[1] < 0) {
            put_name(out, a.name, a.name_len);
            fputs(" down\n", out);
            continue;
        }
        if (seen[0] >= 0 || seen[1] >= 0)
            up++;
        for (int k = 0; k < 2; k++) {
            uint64_t steps = pend[k] >= 0 ? record_at(in, pend[k]).steps : 0;
            if (seen[k] >= 0) {
                put_presence(out, a, record_at(in, seen[k]), steps, now);
            } else if (steps != 0) {
                // A take-down (or a change) the engine had not finished.
                put_name(out, a.name, a.name_len);
                fputs(k == 0 ? " IPv4 down" : " IPv6 down", out);
                put_pending(out, ", pending: ", a, steps, k == 0 ? AF_INET : AF_INET6);
                fputc('\n', out);
            }
        }
    }
    for (int32_t r = 0; r < in.state.records.count; r++)
        if (slot(&in.placed, r) == 0)
            put_stray(out, record_at(in, r), now);
    fprintf(out, "%" PRId32 " up, %" PRId32 " down\n", up, in.accounts.count - up);
    return fflush(out) == 0 ? 0 : -1;
}
