// The log channel and the message catalogue.
#include "common/process/log.h"

#include "common/protocol/address.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>

namespace {

log_sink g_sink = nullptr;
bool g_stderr = false;

// A record echoed to standard error stands on a line of its own, also the
// few whose text ends without a line feed.
void echo(const char *fmt, va_list ap) {
    vfprintf(stderr, fmt, ap);
    size_t n = strlen(fmt);
    if (n == 0 || fmt[n - 1] != '\n')
        fputc('\n', stderr);
}

__attribute__((format(printf, 2, 3))) void emit(int priority, const char *fmt, ...) {
    va_list ap;
    if (g_stderr) {
        va_start(ap, fmt);
        echo(fmt, ap);
        va_end(ap);
    }
    if (g_sink == nullptr) {
        va_start(ap, fmt);
        vsyslog(priority, fmt, ap);
        va_end(ap);
        return;
    }
    va_start(ap, fmt);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(text.data(), text.size(), fmt, ap);
    va_end(ap);
    text.resize(static_cast<size_t>(n));
    g_sink(priority, text.c_str());
}

// A finding of the configuration check: standard error only, after the
// file's path and the line.
__attribute__((format(printf, 3, 4))) void check_emit(const char *path, uint32_t line,
                                                      const char *fmt, ...) {
    if (line > 0)
        fprintf(stderr, "%s:%lu: ", path, static_cast<unsigned long>(line));
    else
        fprintf(stderr, "%s: ", path);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// "%.*s" takes an int precision; a longer byte string is cut, not wrapped.
int prec(size_t len) {
    return len > INT_MAX ? INT_MAX : static_cast<int>(len);
}

const char *or_star(const char *s) {
    return s != nullptr ? s : "*";
}

// The text of each limited refusal in its summary: the record's own words,
// without the arguments that differ from one datagram to the next.
const char *refusal_label(log_refusal what) {
    switch (what) {
    case LOG_REFUSAL_INVALID_PACKET:
        return "Invalid packet";
    case LOG_REFUSAL_TOO_SHORT:
        return "Message too short";
    case LOG_REFUSAL_HMAC_DECODING:
        return "HMAC decoding error";
    case LOG_REFUSAL_ACCOUNT_NOT_FOUND:
        return "Account not found";
    case LOG_REFUSAL_HMAC_MISMATCH:
        return "HMAC mismatch";
    case LOG_REFUSAL_ADDRESS_MISMATCH:
        return "Address mismatch";
    case LOG_REFUSAL_UNSAFE:
        return "Rejecting unsafe message";
    case LOG_REFUSAL_ANACHRONIC:
        return "Anachronic message";
    case LOG_REFUSAL_REPLAYED:
        return "Replayed message";
    }
    return "Refused";
}

} // namespace

void log_open(const char *ident) {
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
}
void log_close() {
    closelog();
}
void log_set_sink(log_sink sink) {
    g_sink = sink;
}
void log_set_stderr(bool on) {
    g_stderr = on;
}

log_bytes_text log_bytes(const void *bytes, size_t len) {
    static constexpr char hex[] = "0123456789abcdef";
    log_bytes_text t;
    const auto *p = static_cast<const uint8_t *>(bytes);
    size_t shown = len < LOG_BYTES_SHOWN ? len : LOG_BYTES_SHOWN;
    size_t o = 0;
    for (size_t i = 0; i < shown; i++) {
        uint8_t c = p[i];
        char named = c == '\\'   ? '\\'
                     : c == '"'  ? '"'
                     : c == '\n' ? 'n'
                     : c == '\r' ? 'r'
                     : c == '\t' ? 't'
                                 : 0;
        if (named != 0) {
            t.s[o++] = '\\';
            t.s[o++] = named;
        } else if (c >= 0x20 && c < 0x7f) {
            t.s[o++] = static_cast<char>(c);
        } else {
            t.s[o++] = '\\';
            t.s[o++] = 'x';
            t.s[o++] = hex[c >> 4];
            t.s[o++] = hex[c & 0xf];
        }
    }
    if (shown < len) {
        memcpy(t.s + o, "...", 3);
        o += 3;
    }
    t.s[o] = '\0';
    return t;
}

void log_usage(const char *argv0) {
    fprintf(stderr, "Usage: %s [-c conffile] [-d] [-p pidfile] [-t chrootdir] [-u username]\n",
            argv0);
}

#define A4(a) (unsigned)(a)[0], (unsigned)(a)[1], (unsigned)(a)[2], (unsigned)(a)[3]

void log_no_config_file() {
    emit(LOG_ERR, "No configuration file provided in invokation\n");
}
void log_config_open_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to open configuration file \"%s\": %s\n", path, strerror(err));
}
void log_address_lookup_failed(const char *host, const char *service, int gai_code) {
    emit(LOG_ERR, "Address lookup of %s:%s failed: %s\n", or_star(host), or_star(service),
         gai_strerror(gai_code));
}

void log_polled_socket_error() {
    emit(LOG_ERR, "Polled socket is in an error state\n");
}
void log_recvfrom_failure(int err) {
    emit(LOG_ERR, "recvfrom failure: %s\n", strerror(err));
}
void log_bad_starting_config() {
    emit(LOG_ERR, "Bad starting config, exiting\n");
}
void log_server_exiting() {
    emit(LOG_INFO, "Server exiting\n");
}

void log_account_not_found(const char *name, size_t name_len) {
    if (log_limit_admit(LOG_REFUSAL_ACCOUNT_NOT_FOUND))
        emit(LOG_ERR, "Account \"%s\" not found.\n", log_bytes(name, name_len).s);
}
void log_hmac_mismatch() {
    if (log_limit_admit(LOG_REFUSAL_HMAC_MISMATCH))
        emit(LOG_WARNING, "HMAC mismatch\n");
}
void log_address_mismatch(const uint8_t peer[4], const uint8_t msg[4]) {
    if (!log_limit_admit(LOG_REFUSAL_ADDRESS_MISMATCH))
        return;
    emit(LOG_WARNING, "Address mismatch between peer %u.%u.%u.%u and message %u.%u.%u.%u\n",
         A4(peer), A4(msg));
}
void log_unsafe_message() {
    if (log_limit_admit(LOG_REFUSAL_UNSAFE))
        emit(LOG_WARNING, "Rejecting unsafe message\n");
}
void log_anachronic_message(int32_t d, int32_t max_past, int32_t max_future) {
    if (!log_limit_admit(LOG_REFUSAL_ANACHRONIC))
        return;
    emit(LOG_WARNING, "Anachronic message %d vs %d,%d\n", d, max_past, max_future);
}
void log_account_up(const char *name, size_t name_len, const uint8_t addr[4]) {
    emit(LOG_INFO, "Account %.*s up (%u.%u.%u.%u)\n", prec(name_len), name, A4(addr));
}
void log_account_changed(const char *name, size_t name_len, const uint8_t from[4],
                         const uint8_t to[4]) {
    emit(LOG_INFO, "Accound %.*s changed address from %u.%u.%u.%u to %u.%u.%u.%u\n", prec(name_len),
         name, A4(from), A4(to));
}
void log_account_timeout(const char *name, size_t name_len, const uint8_t addr[4]) {
    emit(LOG_INFO, "Account %.*s timeout (last seen at %u.%u.%u.%u)\n", prec(name_len), name,
         A4(addr));
}
void log_account_removed(const char *name, size_t name_len, const uint8_t addr[4]) {
    emit(LOG_INFO, "Account %.*s removed (last seen at %u.%u.%u.%u)\n", prec(name_len), name,
         A4(addr));
}
void log_replayed_message(long time, long last) {
    if (log_limit_admit(LOG_REFUSAL_REPLAYED))
        emit(LOG_WARNING, "Replayed message %ld vs %ld\n", time, last);
}
void log_refusals_summary(unsigned long count, time_t since, log_refusal what, const char *account,
                          size_t account_len, int family, const uint8_t *net) {
    char when[32] = "?";
    tm t = {};
    if (gmtime_r(&since, &t) != nullptr)
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
    const char *label = refusal_label(what);
    if (account != nullptr)
        emit(LOG_WARNING, "%lu more datagrams refused like this since %s: %s, account %s\n", count,
             when, label, log_bytes(account, account_len).s);
    else if (family == AF_INET || family == AF_INET6)
        emit(LOG_WARNING, "%lu more datagrams refused like this since %s: %s, from %s/%d\n", count,
             when, label, address_format(family, net).s, family == AF_INET ? 24 : 48);
    else
        emit(LOG_WARNING, "%lu more datagrams refused like this since %s: %s, from other senders\n",
             count, when, label);
}
void log_dump_from_at(const uint8_t peer[4], long time, double diff) {
    if (log_limit_follows())
        emit(LOG_INFO, "Message from %u.%u.%u.%u at %ld (%+g)", A4(peer), time, diff);
}
void log_dump_from(const uint8_t peer[4]) {
    if (log_limit_follows())
        emit(LOG_INFO, "Message from %u.%u.%u.%u", A4(peer));
}
void log_dump_at(long time, double diff) {
    if (log_limit_follows())
        emit(LOG_INFO, "Message at %ld (%+g)", time, diff);
}
void log_dump_plain() {
    if (log_limit_follows())
        emit(LOG_INFO, "Message");
}
void log_dump_name_address(const char *name, size_t name_len, const uint8_t addr[4]) {
    if (log_limit_follows())
        emit(LOG_INFO, "    name \"%s\" address %u.%u.%u.%u\n", log_bytes(name, name_len).s,
             A4(addr));
}
void log_dump_address(const uint8_t addr[4]) {
    if (log_limit_follows())
        emit(LOG_INFO, " address %u.%u.%u.%u\n", A4(addr));
}

void log_account_up6(const char *name, size_t name_len, const uint8_t addr[16]) {
    emit(LOG_INFO, "Account %.*s up (%s)\n", prec(name_len), name, address_format6(addr).s);
}
void log_account_changed6(const char *name, size_t name_len, const uint8_t from[16],
                          const uint8_t to[16]) {
    emit(LOG_INFO, "Accound %.*s changed address from %s to %s\n", prec(name_len), name,
         address_format6(from).s, address_format6(to).s);
}
void log_account_timeout6(const char *name, size_t name_len, const uint8_t addr[16]) {
    emit(LOG_INFO, "Account %.*s timeout (last seen at %s)\n", prec(name_len), name,
         address_format6(addr).s);
}
void log_account_removed6(const char *name, size_t name_len, const uint8_t addr[16]) {
    emit(LOG_INFO, "Account %.*s removed (last seen at %s)\n", prec(name_len), name,
         address_format6(addr).s);
}
void log_address_mismatch_af(int peer_family, const uint8_t *peer, int msg_family,
                             const uint8_t *msg) {
    if (!log_limit_admit(LOG_REFUSAL_ADDRESS_MISMATCH))
        return;
    emit(LOG_WARNING, "Address mismatch between peer %s and message %s\n",
         address_format(peer_family, peer).s, address_format(msg_family, msg).s);
}
void log_dump_from_at6(const uint8_t peer[16], long time, double diff) {
    if (log_limit_follows())
        emit(LOG_INFO, "Message from %s at %ld (%+g)", address_format6(peer).s, time, diff);
}
void log_dump_from6(const uint8_t peer[16]) {
    if (log_limit_follows())
        emit(LOG_INFO, "Message from %s", address_format6(peer).s);
}
void log_dump_name_address6(const char *name, size_t name_len, const uint8_t addr[16]) {
    if (log_limit_follows())
        emit(LOG_INFO, "    name \"%s\" address %s\n", log_bytes(name, name_len).s,
             address_format6(addr).s);
}
void log_dump_address6(const uint8_t addr[16]) {
    if (log_limit_follows())
        emit(LOG_INFO, " address %s\n", address_format6(addr).s);
}
void log_zone_updating6(const char *path, const char *name, size_t name_len,
                        const uint8_t addr[16]) {
    emit(LOG_INFO, "Updating zone \"%s\" record \"%.*s\" to %s\n", path, prec(name_len), name,
         address_format6(addr).s);
}

void log_empty_config_file(const char *path) {
    emit(LOG_ERR, "Empty configuration file \"%s\"\n", path);
}
void log_config_not_regular(const char *path) {
    emit(LOG_ERR, "Configuration file \"%s\" is not a regular file\n", path);
}
void log_config_read_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to read configuration file \"%s\": %s\n", path, strerror(err));
}
void log_config_incomplete(const char *path) {
    emit(LOG_ERR, "Configuration file \"%s\" ends inside a list or an atom, not loaded\n", path);
}
void log_unknown_server_option(const char *keyword) {
    emit(LOG_WARNING, "Unknown server option \"%s\"\n", keyword);
}
void log_socket_create_failed(const char *host, const char *service, int err) {
    emit(LOG_ERR, "Unable to create socket for %s:%s: %s\n", or_star(host), or_star(service),
         strerror(err));
}
void log_socket_bind_failed(const char *host, const char *service, int err) {
    emit(LOG_ERR, "Unable to bind stocket to %s:%s: %s\n", or_star(host), or_star(service),
         strerror(err));
}
void log_no_listening_socket(const char *path) {
    emit(LOG_ERR, "No valid listening socket from \"%s\"\n", path);
}
void log_listening_on(int count) {
    emit(LOG_INFO, "Listening on %d sockets\n", count);
}
void log_socket_opened(int family, const uint8_t *addr, unsigned port) {
    emit(LOG_INFO, "Socket opened on %s port %u\n", address_format(family, addr).s, port);
}
void log_socket_closed(int family, const uint8_t *addr, unsigned port) {
    emit(LOG_INFO, "Socket closed on %s port %u\n", address_format(family, addr).s, port);
}
void log_unknown_account_option(const char *keyword) {
    emit(LOG_WARNING, "Unknown account option \"%s\"\n", keyword);
}
void log_unknown_account_flag(const char *word) {
    emit(LOG_WARNING, "Unknown account flag \"%s\"\n", word);
}
void log_stat_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to stat \"%s\": %s\n", path, strerror(err));
}
void log_keys_readable(const char *path, unsigned mode) {
    emit(LOG_WARNING,
         "Configuration file \"%s\" holds keys and is readable by other users (mode %04o)\n", path,
         mode);
}

void log_state_open_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to open state file \"%s\": %s\n", path, strerror(err));
}
void log_state_malformed(const char *path) {
    emit(LOG_ERR, "Malformed state file \"%s\", presence not restored\n", path);
}
void log_state_not_regular(const char *path) {
    emit(LOG_ERR, "State file \"%s\" is not a regular file, presence not restored\n", path);
}
void log_state_unknown_account(const char *name, size_t name_len, const char *path) {
    emit(LOG_WARNING, "Account %.*s of state file \"%s\" not found\n", prec(name_len), name, path);
}
void log_state_write_failed(const char *path, int err) {
    log_file_write_failed("state file", path, err);
}

// The head every DNS update outcome starts with.
#define DNSU_HEAD "Account %.*s: DNS update of %s %s to %s"
#define DNSU_ARGS(u) prec((u)->account_len), (u)->account, (u)->owner, (u)->type, (u)->addr

void log_dns_update_applied(const log_dns_update *u) {
    emit(LOG_INFO, DNSU_HEAD " applied by %s port %s\n", DNSU_ARGS(u), u->host, u->port);
}
void log_dns_update_deleted(const log_dns_update *u) {
    emit(LOG_INFO, "Account %.*s: DNS deletion of %s %s applied by %s port %s\n",
         prec(u->account_len), u->account, u->owner, u->type, u->host, u->port);
}
void log_dns_update_refused(const log_dns_update *u, const char *rcode) {
    emit(LOG_ERR, DNSU_HEAD " refused by %s port %s: %s\n", DNSU_ARGS(u), u->host, u->port, rcode);
}
void log_dns_update_tsig_error(const log_dns_update *u, const char *rcode, const char *tsig_error) {
    emit(LOG_ERR, DNSU_HEAD " refused by %s port %s: %s, TSIG error %s\n", DNSU_ARGS(u), u->host,
         u->port, rcode, tsig_error);
}
void log_dns_update_unsigned_error(const log_dns_update *u, const char *rcode,
                                   const char *tsig_error) {
    emit(LOG_ERR, DNSU_HEAD " refused by %s port %s in an unsigned answer: %s, TSIG error %s\n",
         DNSU_ARGS(u), u->host, u->port, rcode, tsig_error);
}
void log_dns_update_unsigned_answer(const log_dns_update *u, const char *rcode) {
    emit(LOG_ERR, DNSU_HEAD " refused by %s port %s in an unsigned answer: %s\n", DNSU_ARGS(u),
         u->host, u->port, rcode);
}
void log_dns_update_no_answer(const log_dns_update *u, int wait_ms, unsigned ignored) {
    emit(LOG_ERR, DNSU_HEAD ": no answer from %s port %s within %d ms (%u ignored)\n", DNSU_ARGS(u),
         u->host, u->port, wait_ms, ignored);
}
void log_dns_update_lookup_failed(const log_dns_update *u, int gai_code) {
    emit(LOG_ERR, DNSU_HEAD ": lookup of %s port %s failed: %s\n", DNSU_ARGS(u), u->host, u->port,
         gai_strerror(gai_code));
}
void log_dns_update_send_failed(const log_dns_update *u, int err) {
    emit(LOG_ERR, DNSU_HEAD ": unable to send to %s port %s: %s\n", DNSU_ARGS(u), u->host, u->port,
         strerror(err));
}
void log_dns_update_tcp_retry(const log_dns_update *u) {
    emit(LOG_INFO, DNSU_HEAD ": truncated answer from %s port %s, retrying over TCP\n",
         DNSU_ARGS(u), u->host, u->port);
}
void log_dns_update_retry(const log_dns_update *u) {
    emit(LOG_INFO, DNSU_HEAD ": retrying the failed update with %s port %s\n", DNSU_ARGS(u),
         u->host, u->port);
}
void log_dns_update_answered_from(const log_dns_update *u, const char *address) {
    emit(LOG_INFO, DNSU_HEAD ": %s port %s answered from %s\n", DNSU_ARGS(u), u->host, u->port,
         address);
}
void log_resolver_start_failed(int err) {
    emit(LOG_ERR, "Unable to start the name lookup thread: %s\n", strerror(err));
}
void log_dns_update_invalid(const char *account, size_t account_len, const char *what,
                            const char *value) {
    emit(LOG_ERR, "Invalid dns-update %s \"%s\" for account %.*s\n", what, value, prec(account_len),
         account);
}
void log_dns_update_missing(const char *account, size_t account_len, const char *what) {
    emit(LOG_ERR, "Missing dns-update %s for account %.*s\n", what, prec(account_len), account);
}
void log_dns_update_outside_zone(const char *account, size_t account_len, const char *owner,
                                 const char *zone) {
    emit(LOG_ERR, "dns-update owner %s is not in zone %s for account %.*s\n", owner, zone,
         prec(account_len), account);
}
void log_dns_update_md5(const char *account, size_t account_len, const char *alg) {
    emit(LOG_ERR,
         "Invalid dns-update key algorithm \"%s\" for account %.*s: HMAC-MD5 is broken and "
         "RFC 8945 forbids it for TSIG; use hmac-sha256\n",
         alg, prec(account_len), account);
}

#undef DNSU_ARGS
#undef DNSU_HEAD

void log_zone_updating(const char *path, const char *name, size_t name_len, const uint8_t addr[4]) {
    emit(LOG_INFO, "Updating zone \"%s\" record \"%.*s\" to %u.%u.%u.%u\n", path, prec(name_len),
         name, A4(addr));
}
void log_zone_read_failed(const char *path) {
    emit(LOG_ERR, "Unable to read zone file \"%s\"\n", path);
}
void log_zone_realloc_failed(size_t size, const char *path) {
    emit(LOG_ERR, "Unable to realloc() %zu bytes while reading zone \"%s\"\n", size, path);
}
void log_zone_no_serial(const char *path) {
    emit(LOG_ERR, "Unable to find serial in zone \"%s\"\n", path);
}
void log_zone_invalid_serial(const char *serial10, const char *path) {
    emit(LOG_ERR, "Invalid serial \"%.10s\" from zone \"%s\"\n", serial10, path);
}

void log_file_write_failed(const char *what, const char *path, int err) {
    emit(LOG_ERR, "Unable to write %s \"%s\": %s\n", what, path, strerror(err));
}
void log_file_short_write(const char *what, const char *path, size_t written, size_t size,
                          int err) {
    emit(LOG_ERR, "Short write to %s \"%s\" (%zu/%zu): %s\n", what, path, written, size,
         strerror(err));
}
void log_file_not_regular(const char *what, const char *path) {
    emit(LOG_ERR, "Not replacing %s \"%s\": not a regular file\n", what, path);
}
void log_file_owner_not_kept(const char *what, const char *path, unsigned long uid,
                             unsigned long gid, int err) {
    emit(LOG_ERR, "Not replacing %s \"%s\": unable to keep its owner %lu and group %lu: %s\n", what,
         path, uid, gid, strerror(err));
}
void log_file_mode_not_kept(const char *what, const char *path, unsigned mode, int err) {
    emit(LOG_ERR, "Not replacing %s \"%s\": unable to keep its mode %04o: %s\n", what, path, mode,
         strerror(err));
}
void log_file_reserve_failed(const char *what, const char *path, size_t size, int err) {
    emit(LOG_ERR, "Unable to reserve %zu bytes to rewrite %s \"%s\" in place: %s\n", size, what,
         path, strerror(err));
}

void log_zone_cname(const char *path, const char *name, size_t name_len) {
    emit(LOG_ERR, "Not adding a record beside the CNAME of \"%.*s\" in zone \"%s\"\n",
         prec(name_len), name, path);
}
void log_zone_owner_continues(const char *path, const char *name, size_t name_len) {
    emit(LOG_ERR,
         "Not commenting out record \"%.*s\" in zone \"%s\": the lines after it have no owner "
         "of their own\n",
         prec(name_len), name, path);
}
void log_zone_bad_name(const char *path, const char *name, size_t name_len) {
    emit(LOG_ERR, "Name \"%.*s\" cannot stand as a record owner in zone \"%s\"\n", prec(name_len),
         name, path);
}

void log_unknown_effector(const char *keyword) {
    emit(LOG_WARNING, "Unkown server effector \"%s\"\n", keyword);
}
void log_unknown_signal(const char *name) {
    emit(LOG_ERR, "Unkown signal \"%s\"\n", name);
}
void log_target_pidfile_open_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to open target PID file \"%s\": %s\n", path, strerror(err));
}
void log_target_pidfile_invalid(const char *path) {
    emit(LOG_ERR, "Invalid PID file contents in \"%s\"\n", path);
}
void log_kill_failed(int pid, const char *path, long sig, const char *signame, int err) {
    emit(LOG_ERR, "kill(%d \"%s\", %ld \"%s\") failure: %s\n", pid, path, sig, signame,
         strerror(err));
}
void log_kill_refused(long pid, const char *path, long proc_uid, long file_uid) {
    emit(LOG_ERR,
         "Refusing to signal process %ld of PID file \"%s\": process owner %ld, PID file owner "
         "%ld\n",
         pid, path, proc_uid, file_uid);
}
void log_system_alloc_failed(size_t size) {
    emit(LOG_ERR, "Unable to allocate %zu bytes for system effector\n", size);
}
void log_system_fail(const char *command) {
    emit(LOG_ERR, "system(\"%s\") fail\n", command);
}
void log_system_failure(const char *command, int status) {
    emit(LOG_ERR, "System effector \"%s\" failure (%d)\n", command, status);
}

void log_system_timeout(const char *command, int seconds) {
    emit(LOG_ERR, "System effector \"%s\" killed after %d s\n", command, seconds);
}

void log_effector_plan_alloc_failed(const char *name, size_t name_len) {
    emit(LOG_ERR, "Unable to allocate the effectors of account %.*s\n", prec(name_len), name);
}
void log_effector_superseded(const char *name, size_t name_len, int family, const uint8_t *from,
                             const uint8_t *to) {
    emit(LOG_INFO, "Account %.*s: change to %s superseded by %s\n", prec(name_len), name,
         address_format(family, from).s, address_format(family, to).s);
}
void log_effector_retry_later(const char *name, size_t name_len, int family, const uint8_t *addr,
                              unsigned failed, int seconds) {
    emit(LOG_WARNING, "Account %.*s: %u effector(s) for %s failed, retry in %d s\n", prec(name_len),
         name, failed, address_format(family, addr).s, seconds);
}
void log_effector_retrying(const char *name, size_t name_len, int family, const uint8_t *addr,
                           unsigned count, unsigned attempt) {
    emit(LOG_INFO, "Account %.*s: retrying %u effector(s) for %s (attempt %u)\n", prec(name_len),
         name, count, address_format(family, addr).s, attempt);
}

void log_unknown_client_option(const char *keyword) {
    emit(LOG_WARNING, "Unknown client option \"%s\"\n", keyword);
}
void log_client_option_nul(const char *keyword) {
    emit(LOG_ERR, "Unusable client option \"%s\": NUL byte in value\n", keyword);
}
void log_client_socket_failed(int err) {
    emit(LOG_ERR, "Unable to create socket: %s\n", strerror(err));
}
void log_ambiguous_address(const char *host, const char *port) {
    emit(LOG_ERR, "Ambiguous address for %s:%s\n", host, port);
}
void log_ambiguous_address_entry(const char *text) {
    emit(LOG_ERR, "   %s\n", text);
}
void log_connect_failed(const char *host, const char *port, const char *addr, int err) {
    emit(LOG_ERR, "Unable to connect() to %s:%s (%s): %s\n", host, port, addr, strerror(err));
}
void log_client_bind_failed(const char *addr, int err) {
    emit(LOG_ERR, "Unable to bind socket to %s: %s\n", addr, strerror(err));
}
void log_send_failed(int err) {
    emit(LOG_ERR, "Send failure of message: %s\n", strerror(err));
}
void log_short_send(size_t sent, size_t len) {
    emit(LOG_ERR, "Short send of message (%zu/%zu)\n", sent, len);
}
void log_client_reloaded(const char *path) {
    emit(LOG_INFO, "Reloaded configuration file \"%s\"\n", path);
}
void log_client_reload_failed(const char *path) {
    emit(LOG_ERR, "Unable to reload configuration file \"%s\", keeping the current one\n", path);
}
void log_client_watch_failed(int err) {
    emit(LOG_WARNING, "Unable to watch address changes, sending at the interval only: %s\n",
         strerror(err));
}
void log_client_exiting() {
    emit(LOG_INFO, "Client exiting\n");
}

void log_unknown_sensor(const char *kind) {
    emit(LOG_WARNING, "Unknown address sensor \"%s\"\n", kind);
}
void log_sensor_popen_failed(const char *command) {
    emit(LOG_ERR, "Error while popen()ing \"%s\"\n", command);
}
void log_sensor_read_failed(const char *command) {
    emit(LOG_ERR, "Error while reading output of \"%s\"\n", command);
}
void log_sensor_bad_output(const char *bytes, size_t len) {
    emit(LOG_ERR, "Bad pipe sesnsor output: \"%.*s\"\n", prec(len), bytes);
}
void log_iface_not_found(const char *ifname) {
    emit(LOG_ERR, "No interface \"%s\"\n", ifname);
}
void log_iface_no_address(const char *family, const char *ifname) {
    emit(LOG_ERR, "No usable %s address on interface \"%s\"\n", family, ifname);
}
void log_iface_read_failed(const char *ifname, int err) {
    emit(LOG_ERR, "Unable to read the addresses of interface \"%s\": %s\n", ifname, strerror(err));
}
void log_iface_flags_failed(const char *ifname, int err) {
    emit(LOG_ERR, "Unable to read the IPv6 address flags of interface \"%s\": %s\n", ifname,
         strerror(err));
}

void log_msg_buffer_too_short() {
    emit(LOG_ERR, "Message buffer too short\n");
}
void log_msg_invalid_packet() {
    if (log_limit_admit(LOG_REFUSAL_INVALID_PACKET))
        emit(LOG_WARNING, "Invalid packet\n");
}
void log_msg_too_short() {
    if (log_limit_admit(LOG_REFUSAL_TOO_SHORT))
        emit(LOG_WARNING, "Message too short (packet truncated?)\n");
}
void log_msg_hmac_decoding_error() {
    if (log_limit_admit(LOG_REFUSAL_HMAC_DECODING))
        emit(LOG_WARNING, "HMAC decoding error\n");
}

void log_check_open_failed(const char *path, int err) {
    check_emit(path, 0, "Unable to open configuration file: %s\n", strerror(err));
}
void log_check_empty(const char *path) {
    check_emit(path, 0, "Empty configuration file\n");
}
void log_check_not_regular(const char *path) {
    check_emit(path, 0, "Configuration file is not a regular file\n");
}
void log_check_incomplete(const char *path) {
    check_emit(path, 0, "Configuration file ends inside a list or an atom\n");
}
void log_check_read_failed(const char *path, int err) {
    check_emit(path, 0, "Unable to read configuration file: %s\n", strerror(err));
}
void log_check_unfinished_list(const char *path, uint32_t line) {
    check_emit(path, line, "List not closed at the end of the file\n");
}
void log_check_unfinished_atom(const char *path, uint32_t line) {
    check_emit(path, line, "Atom not finished at the end of the file\n");
}
void log_check_stray_close(const char *path, uint32_t line) {
    check_emit(path, line, "\")\" closes no list\n");
}
void log_check_bad_statement(const char *path, uint32_t line) {
    check_emit(path, line, "Statement ignored: not a list of a keyword and a value\n");
}
void log_check_value_ignored(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Value of \"%s\" ignored: a list or empty\n", keyword);
}
void log_check_value_nul(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Value of \"%s\" holds a NUL byte\n", keyword);
}
void log_check_bad_number(const char *path, uint32_t line, const char *keyword, long value) {
    check_emit(path, line, "Value of \"%s\" is not a number, read as %ld\n", keyword, value);
}
void log_check_not_positive(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Value of \"%s\" is not a positive number; the default stays\n",
               keyword);
}
void log_check_lookup_failed(const char *path, uint32_t line, const char *host, const char *service,
                             int gai_code) {
    check_emit(path, line, "Address lookup of %s:%s failed: %s\n", or_star(host), or_star(service),
               gai_strerror(gai_code));
}
void log_check_unknown_server_option(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Unknown server option \"%s\"\n", keyword);
}
void log_check_unknown_account_option(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Unknown account option \"%s\"\n", keyword);
}
void log_check_unknown_account_flag(const char *path, uint32_t line, const char *word) {
    check_emit(path, line, "Unknown account flag \"%s\"\n", word);
}
void log_check_unsafe_no_window(const char *path, uint32_t line, const char *name,
                                size_t name_len) {
    check_emit(
        path, line,
        "Warning: account \"%.*s\" allows unsafe messages without a time window (max-past): a "
        "captured datagram moves its record at any later time\n",
        prec(name_len), name);
}
void log_check_unsafe_no_replay(const char *path, uint32_t line, const char *name,
                                size_t name_len) {
    check_emit(
        path, line,
        "Warning: account \"%.*s\" allows unsafe messages without no-replay: a captured datagram "
        "replayed from elsewhere moves its record\n",
        prec(name_len), name);
}
void log_check_keys_readable(const char *path, unsigned mode) {
    check_emit(path, 0, "Warning: holds keys and is readable by other users (mode %04o)\n", mode);
}
void log_check_account_dropped(const char *path, uint32_t line, const char *what) {
    check_emit(path, line, "Account left out: it has no %s\n", what);
}
void log_check_placeholder_key(const char *path, uint32_t line) {
    check_emit(path, line,
               "Key is the example's placeholder, which anyone can read: make one with "
               "head -c 32 /dev/urandom | base64\n");
}
void log_check_short_key(const char *path, uint32_t line, size_t len, size_t min) {
    check_emit(path, line,
               "Warning: key of %zu bytes is short: use at least %zu (head -c 32 /dev/urandom | "
               "base64)\n",
               len, min);
}
void log_check_duplicate_account(const char *path, uint32_t line, const char *name, size_t name_len,
                                 uint32_t first_line) {
    check_emit(path, line, "Account \"%.*s\" has the same name as the account of line %lu\n",
               prec(name_len), name, static_cast<unsigned long>(first_line));
}
void log_check_unknown_effector(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Unkown server effector \"%s\"\n", keyword);
}
void log_check_effector_idle(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Effector \"%s\" has nothing to act on\n", keyword);
}
void log_check_unknown_signal(const char *path, uint32_t line, const char *name) {
    check_emit(path, line, "Unkown signal \"%s\"\n", name);
}
void log_check_target_pidfile(const char *path, uint32_t line, const char *file, int err) {
    check_emit(path, line, "Unable to open target PID file \"%s\": %s\n", file, strerror(err));
}
void log_check_zone_unreadable(const char *path, uint32_t line, const char *file, int err,
                               const char *as) {
    check_emit(path, line, "Unable to read zone file \"%s\": %s%s\n", file, strerror(err), as);
}
void log_check_zone_unwritable(const char *path, uint32_t line, const char *file, int err,
                               const char *as) {
    check_emit(path, line, "Unable to write to zone file \"%s\": %s%s\n", file, strerror(err), as);
}
void log_check_zone_dir_unwritable(const char *path, uint32_t line, const char *dir, int err,
                                   const char *as) {
    check_emit(path, line,
               "Warning: unable to create files in zone directory \"%s\": %s%s; the zone is "
               "then rewritten in place, not replaced whole\n",
               dir, strerror(err), as);
}
void log_check_zone_owner_in_place(const char *path, uint32_t line, const char *file,
                                   const char *as) {
    check_emit(path, line,
               "Warning: unable to give a new file the owner and group of zone file \"%s\"%s; "
               "the zone is then rewritten in place, not replaced whole\n",
               file, as);
}
void log_check_dns_update_invalid(const char *path, uint32_t line, const char *what,
                                  const char *value) {
    check_emit(path, line, "Invalid dns-update %s \"%s\"\n", what, value);
}
void log_check_dns_update_missing(const char *path, uint32_t line, const char *what) {
    check_emit(path, line, "Missing dns-update %s\n", what);
}
void log_check_dns_update_outside_zone(const char *path, uint32_t line, const char *owner,
                                       const char *zone) {
    check_emit(path, line, "dns-update owner %s is not in zone %s\n", owner, zone);
}
void log_check_dns_update_md5(const char *path, uint32_t line, const char *alg) {
    check_emit(path, line,
               "Invalid dns-update key algorithm \"%s\": HMAC-MD5 is broken and RFC 8945 "
               "forbids it for TSIG; use hmac-sha256\n",
               alg);
}
void log_check_state_unusable(const char *path, uint32_t line, const char *file, int err,
                              const char *as) {
    check_emit(path, line, "Unable to keep state file \"%s\": %s%s\n", file, strerror(err), as);
}
void log_status_no_state(const char *path) {
    check_emit(path, 0, "No (state FILE) form: the server keeps no record of who is up\n");
}
void log_check_state_not_regular(const char *path, uint32_t line, const char *file) {
    check_emit(path, line, "State file \"%s\" is not a regular file\n", file);
}
void log_check_no_listen(const char *path) {
    check_emit(path, 0, "No (listen ...) form: the server would have no socket\n");
}
void log_check_unknown_client_option(const char *path, uint32_t line, const char *keyword) {
    check_emit(path, line, "Unknown client option \"%s\"\n", keyword);
}
void log_check_missing_setting(const char *path, const char *what) {
    check_emit(path, 0, "Missing setting %s\n", what);
}
void log_check_ambiguous(const char *path, uint32_t line, const char *host, const char *port) {
    check_emit(path, line, "Ambiguous address for %s:%s\n", host, port);
}
void log_check_unknown_sensor(const char *path, uint32_t line, const char *kind) {
    check_emit(path, line, "Unknown address sensor \"%s\"\n", kind);
}
void log_check_sensor_no_command(const char *path, uint32_t line) {
    check_emit(path, line, "System sensor without a command\n");
}
void log_check_sensor_no_interface(const char *path, uint32_t line) {
    check_emit(path, line, "Interface sensor without an interface name\n");
}
void log_check_sensor_word(const char *path, uint32_t line, const char *word) {
    check_emit(path, line, "Unknown word \"%s\" in interface sensor\n", word);
}
void log_check_iface_missing(const char *path, uint32_t line, const char *ifname) {
    check_emit(path, line, "Warning: no interface \"%s\" now\n", ifname);
}

void log_daemonized(long pid) {
    emit(LOG_INFO, "Process successfully daemonized [%ld]\n", pid);
}
void log_fork_failed(int err) {
    emit(LOG_ERR, "Unable to fork(): %s\n", strerror(err));
}
void log_setsid_failed(int err) {
    emit(LOG_ERR, "Unable to setsid(): %s\n", strerror(err));
}
void log_report_pipe_failed(int err) {
    emit(LOG_ERR, "Unable to create the start-up report pipe: %s\n", strerror(err));
}
void log_devnull_failed(int err) {
    emit(LOG_ERR, "Unable to open /dev/null: %s\n", strerror(err));
}
void log_unknown_user(const char *user) {
    emit(LOG_ERR, "Unable to get information about user \"%s\"\n", user);
}
void log_chroot_failed(const char *dir, int err) {
    emit(LOG_ERR, "Unable to chroot(%s); %s\n", dir, strerror(err));
}
void log_chdir_failed(int err) {
    emit(LOG_ERR, "Unable to chdir: %s\n", strerror(err));
}
void log_setgid_failed(const char *user, int err) {
    emit(LOG_ERR, "Unable to setgid(%s): %s\n", user, strerror(err));
}
void log_initgroups_failed(const char *user, int err) {
    emit(LOG_ERR, "Unable to initgroups(%s): %s\n", user, strerror(err));
}
void log_setuid_failed(const char *user, int err) {
    emit(LOG_ERR, "Unable to setuid(%s): %s\n", user, strerror(err));
}
void log_pidfile_create_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to create PID file \"%s\": %s\n", path, strerror(err));
}
void log_pidfile_open_existing_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to open existing PID file \"%s\": %s\n", path, strerror(err));
}
void log_pidfile_invalid_pid(const char *path) {
    emit(LOG_ERR, "Invalid PID in existing PID file \"%s\"\n", path);
}
void log_pidfile_owned(const char *path, long pid) {
    emit(LOG_ERR, "Error: PID file \"%s\" exists and is owned by %ld\n", path, pid);
}
void log_pidfile_probe_failed(long pid, const char *path, int err) {
    emit(LOG_ERR, "kill(%ld, 0) from \"%s\" failure: %s\n", pid, path, strerror(err));
}
void log_pidfile_truncate_failed(const char *path, int err) {
    emit(LOG_ERR, "Unable to truncate existing PID file \"%s\": %s\n", path, strerror(err));
}
