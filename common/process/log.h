// The log channel and the one catalogue of every message both programs emit.
//
// Operators filter syslog on these exact texts (typos included), so each
// message has one function here and no other code formats a diagnostic.
// Functions that report a system error take the errno value (or the
// getaddrinfo code) the caller captured where the failure was detected.
#pragma once

#include "common/process/log_limit.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// Opens syslog with the program's ident, LOG_PID | LOG_NDELAY, LOG_DAEMON.
// LOG_NDELAY connects at once, before any root change hides /dev/log.
void log_open(const char *ident);
void log_close();

// Test seam: while a sink is set every record goes to it instead of syslog,
// with its priority and the fully formatted text (trailing newline kept).
using log_sink = void (*)(int priority, const char *text);
void log_set_sink(log_sink sink);
// While on, every record is also written to standard error, in the same text
// and on a line of its own. The programs turn it on for their start-up, while
// standard error is still the caller's, so a failed start is seen where it
// was made; syslog gets the records all the same.
void log_set_stderr(bool on);

// Bytes a datagram carries, as a record shows them: printable ASCII as it is
// but for `\` and `"`, which are escaped, and every other byte as an escape
// (\n, \r, \t, \xHH), so that no datagram can end a record early, forge
// another or send controls to the operator's terminal. At most
// LOG_BYTES_SHOWN bytes are shown, then "..." when there were more. Held by
// value: formatting never allocates and cannot fail.
inline constexpr size_t LOG_BYTES_SHOWN = 128;
struct log_bytes_text {
    char s[LOG_BYTES_SHOWN * 4 + 4];
};
log_bytes_text log_bytes(const void *bytes, size_t len);

// The usage line goes to standard error, not to syslog.
void log_usage(const char *argv0);

// Both programs: start-up.
void log_no_config_file();
void log_config_open_failed(const char *path, int err);
void log_address_lookup_failed(const char *host, const char *service, int gai_code);

// Server main loop.
void log_polled_socket_error();
void log_recvfrom_failure(int err);
void log_bad_starting_config();
void log_server_exiting();

// Update acceptance and presence. Addresses are 4 bytes in network order.
// The refusal records (not found, mismatches, unsafe, anachronic, replayed,
// and the codec's) and the dumps that follow them pass the refusal limiter
// (log_limit.h); names from a datagram are shown with log_bytes().
void log_account_not_found(const char *name, size_t name_len);
void log_hmac_mismatch();
void log_address_mismatch(const uint8_t peer[4], const uint8_t msg[4]);
void log_unsafe_message();
void log_anachronic_message(int32_t d, int32_t max_past, int32_t max_future);
void log_account_up(const char *name, size_t name_len, const uint8_t addr[4]);
void log_account_changed(const char *name, size_t name_len, const uint8_t from[4],
                         const uint8_t to[4]);
void log_account_timeout(const char *name, size_t name_len, const uint8_t addr[4]);
void log_account_removed(const char *name, size_t name_len, const uint8_t addr[4]);
void log_replayed_message(long time, long last);
// The count of refusals of one kind the limiter did not write since the
// time since: the kind's account (name, name_len) when account is not null,
// else its sender network (family AF_INET: a /24 in 4 bytes, AF_INET6: a /48
// in 16; any other family: the senders the limiter had no room to tell apart).
void log_refusals_summary(unsigned long count, time_t since, log_refusal what, const char *account,
                          size_t account_len, int family, const uint8_t *net);
// First record of a message dump; the four forms end without a newline.
void log_dump_from_at(const uint8_t peer[4], long time, double diff);
void log_dump_from(const uint8_t peer[4]);
void log_dump_at(long time, double diff);
void log_dump_plain();
// Second record of a message dump.
void log_dump_name_address(const char *name, size_t name_len, const uint8_t addr[4]);
void log_dump_address(const uint8_t addr[4]);

// IPv6 presence: the IPv4 texts with the address in RFC 5952 text.
// Addresses are 16 bytes in network order.
void log_account_up6(const char *name, size_t name_len, const uint8_t addr[16]);
void log_account_changed6(const char *name, size_t name_len, const uint8_t from[16],
                          const uint8_t to[16]);
void log_account_timeout6(const char *name, size_t name_len, const uint8_t addr[16]);
void log_account_removed6(const char *name, size_t name_len, const uint8_t addr[16]);
// Each address in its own family's text (AF_INET: 4 bytes, AF_INET6: 16),
// so a message of one family from a peer of the other reads as it is.
void log_address_mismatch_af(int peer_family, const uint8_t *peer, int msg_family,
                             const uint8_t *msg);
void log_dump_from_at6(const uint8_t peer[16], long time, double diff);
void log_dump_from6(const uint8_t peer[16]);
void log_dump_name_address6(const char *name, size_t name_len, const uint8_t addr[16]);
void log_dump_address6(const uint8_t addr[16]);
void log_zone_updating6(const char *path, const char *name, size_t name_len,
                        const uint8_t addr[16]);

// Server configuration.
void log_empty_config_file(const char *path);
void log_config_not_regular(const char *path);
void log_config_read_failed(const char *path, int err);
void log_config_incomplete(const char *path);
void log_unknown_server_option(const char *keyword);
void log_socket_create_failed(const char *host, const char *service, int err);
void log_socket_bind_failed(const char *host, const char *service, int err);
void log_no_listening_socket(const char *path);
void log_listening_on(int count);
// A reload's changes to the set of sockets: one bound for a new listen
// form, one closed because its form went away. addr is of family (AF_INET:
// 4 bytes, AF_INET6: 16).
void log_socket_opened(int family, const uint8_t *addr, unsigned port);
void log_socket_closed(int family, const uint8_t *addr, unsigned port);
void log_unknown_account_option(const char *keyword);
void log_unknown_account_flag(const char *word);
void log_stat_failed(const char *path, int err);
// The configuration holds keys that local users other than the server's can
// read; mode is the file's permission bits.
void log_keys_readable(const char *path, unsigned mode);

// State file.
void log_state_open_failed(const char *path, int err);
void log_state_malformed(const char *path);
void log_state_not_regular(const char *path);
void log_state_unknown_account(const char *name, size_t name_len, const char *path);
void log_state_write_failed(const char *path, int err);

// Zone file effector.
void log_zone_updating(const char *path, const char *name, size_t name_len, const uint8_t addr[4]);
void log_zone_read_failed(const char *path);
void log_zone_realloc_failed(size_t size, const char *path);
void log_zone_no_serial(const char *path);
void log_zone_invalid_serial(const char *serial10, const char *path);

// Replacing a file whole (zone files, the state file); what names the kind
// of file, such as "zone file".
void log_file_write_failed(const char *what, const char *path, int err);
void log_file_short_write(const char *what, const char *path, size_t written, size_t size, int err);
void log_file_not_regular(const char *what, const char *path);
void log_file_owner_not_kept(const char *what, const char *path, unsigned long uid,
                             unsigned long gid, int err);
void log_file_mode_not_kept(const char *what, const char *path, unsigned mode, int err);
void log_file_reserve_failed(const char *what, const char *path, size_t size, int err);

void log_zone_cname(const char *path, const char *name, size_t name_len);
void log_zone_owner_continues(const char *path, const char *name, size_t name_len);
void log_zone_bad_name(const char *path, const char *name, size_t name_len);

// DNS update effector. Every outcome names the update it concerns; the key
// never appears.
struct log_dns_update {
    const char *account;
    size_t account_len;
    const char *owner; // presentation form
    const char *type;  // "A" or "AAAA"
    const char *addr;  // the address set, 0.0.0.0 or :: for a deletion
    const char *host;  // the name server as configured
    const char *port;
};
void log_dns_update_applied(const log_dns_update *u);
// The RRset of u's type deleted, as a timeout or removal asks.
void log_dns_update_deleted(const log_dns_update *u);
void log_dns_update_refused(const log_dns_update *u, const char *rcode);
void log_dns_update_tsig_error(const log_dns_update *u, const char *rcode, const char *tsig_error);
void log_dns_update_unsigned_error(const log_dns_update *u, const char *rcode,
                                   const char *tsig_error);
void log_dns_update_unsigned_answer(const log_dns_update *u, const char *rcode);
void log_dns_update_no_answer(const log_dns_update *u, int wait_ms, unsigned ignored);
void log_dns_update_lookup_failed(const log_dns_update *u, int gai_code);
void log_dns_update_send_failed(const log_dns_update *u, int err);
void log_dns_update_tcp_retry(const log_dns_update *u);
void log_dns_update_retry(const log_dns_update *u);
// Which address of a server name with several answered.
void log_dns_update_answered_from(const log_dns_update *u, const char *address);
// The worker that looks server names up could not be started; a name then
// fails to resolve (the loop never waits on a lookup), and its update is
// retried, which tries to start the worker again.
void log_resolver_start_failed(int err);
void log_dns_update_invalid(const char *account, size_t account_len, const char *what,
                            const char *value);
void log_dns_update_missing(const char *account, size_t account_len, const char *what);
void log_dns_update_outside_zone(const char *account, size_t account_len, const char *owner,
                                 const char *zone);
void log_dns_update_md5(const char *account, size_t account_len, const char *alg);

// Command effectors.
void log_unknown_effector(const char *keyword);
void log_unknown_signal(const char *name);
void log_target_pidfile_open_failed(const char *path, int err);
void log_target_pidfile_invalid(const char *path);
void log_kill_failed(int pid, const char *path, long sig, const char *signame, int err);
// The PID file names a process its owner may not have signalled, or init.
void log_kill_refused(long pid, const char *path, long proc_uid, long file_uid);
void log_system_alloc_failed(size_t size);
void log_system_fail(const char *command);
void log_system_failure(const char *command, int status);
void log_system_timeout(const char *command, int seconds);

// Effector engine. Addresses are of family (AF_INET: 4 bytes, AF_INET6: 16).
void log_effector_plan_alloc_failed(const char *name, size_t name_len);
void log_effector_superseded(const char *name, size_t name_len, int family, const uint8_t *from,
                             const uint8_t *to);
void log_effector_retry_later(const char *name, size_t name_len, int family, const uint8_t *addr,
                              unsigned failed, int seconds);
void log_effector_retrying(const char *name, size_t name_len, int family, const uint8_t *addr,
                           unsigned count, unsigned attempt);

// Client main loop.
void log_unknown_client_option(const char *keyword);
// A name, host or port value cut short by a NUL byte would name something else.
void log_client_option_nul(const char *keyword);
void log_client_socket_failed(int err);
void log_ambiguous_address(const char *host, const char *port);
void log_ambiguous_address_entry(const char *text);
void log_connect_failed(const char *host, const char *port, const char *addr, int err);
// The IPv6 socket could not take the address its sensor yielded.
void log_client_bind_failed(const char *addr, int err);
void log_send_failed(int err);
void log_short_send(size_t sent, size_t len);
// A reload on SIGHUP: taken, or refused with the running settings kept.
void log_client_reloaded(const char *path);
void log_client_reload_failed(const char *path);
// The address change notices cannot be had (logged once); the client then
// keeps to its interval.
void log_client_watch_failed(int err);
void log_client_exiting();

// Address sensors.
void log_unknown_sensor(const char *kind);
void log_sensor_popen_failed(const char *command);
void log_sensor_read_failed(const char *command);
void log_sensor_bad_output(const char *bytes, size_t len);
// The interface sensor. family: "IPv4" or "IPv6".
void log_iface_not_found(const char *ifname);
void log_iface_no_address(const char *family, const char *ifname);
void log_iface_read_failed(const char *ifname, int err);
void log_iface_flags_failed(const char *ifname, int err);

// Update message codec.
void log_msg_buffer_too_short();
void log_msg_invalid_packet();
void log_msg_too_short();
void log_msg_hmac_decoding_error();

// Configuration check ("-n"). Each finding is one line on standard error,
// never in syslog: "path:line: text", or "path: text" for the file as a
// whole. Where a load logs the same problem, the text after the position is
// that record's.
void log_check_open_failed(const char *path, int err);
void log_check_empty(const char *path);
void log_check_not_regular(const char *path);
// The status view: a configuration cut short inside a form.
void log_check_incomplete(const char *path);
void log_check_read_failed(const char *path, int err);
void log_check_unfinished_list(const char *path, uint32_t line);
void log_check_unfinished_atom(const char *path, uint32_t line);
void log_check_stray_close(const char *path, uint32_t line);
void log_check_bad_statement(const char *path, uint32_t line);
void log_check_value_ignored(const char *path, uint32_t line, const char *keyword);
void log_check_value_nul(const char *path, uint32_t line, const char *keyword);
void log_check_bad_number(const char *path, uint32_t line, const char *keyword, long value);
// A limit (system-max, system-timeout) that is not a positive number: the
// server keeps its default.
void log_check_not_positive(const char *path, uint32_t line, const char *keyword);
void log_check_lookup_failed(const char *path, uint32_t line, const char *host, const char *service,
                             int gai_code);
void log_check_unknown_server_option(const char *path, uint32_t line, const char *keyword);
void log_check_unknown_account_option(const char *path, uint32_t line, const char *keyword);
void log_check_unknown_account_flag(const char *path, uint32_t line, const char *word);
// An allow-unsafe account that a captured datagram can move: without a bound
// on a message's age, or without no-replay.
void log_check_unsafe_no_window(const char *path, uint32_t line, const char *name, size_t name_len);
void log_check_unsafe_no_replay(const char *path, uint32_t line, const char *name, size_t name_len);
void log_check_keys_readable(const char *path, unsigned mode);
// what: "name", "key" or "name and no key".
void log_check_account_dropped(const char *path, uint32_t line, const char *what);
// A key still the examples' placeholder (refused), or one shorter than
// min bytes (a warning, which does not fail the check).
void log_check_placeholder_key(const char *path, uint32_t line);
void log_check_short_key(const char *path, uint32_t line, size_t len, size_t min);
void log_check_duplicate_account(const char *path, uint32_t line, const char *name, size_t name_len,
                                 uint32_t first_line);
void log_check_unknown_effector(const char *path, uint32_t line, const char *keyword);
void log_check_effector_idle(const char *path, uint32_t line, const char *keyword);
void log_check_unknown_signal(const char *path, uint32_t line, const char *name);
void log_check_target_pidfile(const char *path, uint32_t line, const char *file, int err);
// as: who the access was checked as, " (checked as user U, groups G, H)",
// or "" where that is beside the point.
void log_check_zone_unreadable(const char *path, uint32_t line, const char *file, int err,
                               const char *as);
void log_check_zone_unwritable(const char *path, uint32_t line, const char *file, int err,
                               const char *as);
// The zone's directory takes no temporary file (a warning: the zone is then
// rewritten in place).
void log_check_zone_dir_unwritable(const char *path, uint32_t line, const char *dir, int err,
                                   const char *as);
// The zone's owner or group is one a new file of the server cannot have:
// it is then rewritten where it stands.
void log_check_zone_owner_in_place(const char *path, uint32_t line, const char *file,
                                   const char *as);
void log_check_dns_update_invalid(const char *path, uint32_t line, const char *what,
                                  const char *value);
void log_check_dns_update_missing(const char *path, uint32_t line, const char *what);
void log_check_dns_update_outside_zone(const char *path, uint32_t line, const char *owner,
                                       const char *zone);
void log_check_dns_update_md5(const char *path, uint32_t line, const char *alg);
void log_check_state_unusable(const char *path, uint32_t line, const char *file, int err,
                              const char *as);
void log_check_state_not_regular(const char *path, uint32_t line, const char *file);
void log_check_no_listen(const char *path);
// The status view ("-s") of a configuration that names no state file;
// standard error only, like the check's findings.
void log_status_no_state(const char *path);
void log_check_unknown_client_option(const char *path, uint32_t line, const char *keyword);
// what: the form that is missing, such as "(key KEY)".
void log_check_missing_setting(const char *path, const char *what);
void log_check_ambiguous(const char *path, uint32_t line, const char *host, const char *port);
void log_check_unknown_sensor(const char *path, uint32_t line, const char *kind);
void log_check_sensor_no_command(const char *path, uint32_t line);
void log_check_sensor_no_interface(const char *path, uint32_t line);
void log_check_sensor_word(const char *path, uint32_t line, const char *word);
// A warning only: the interface may come later.
void log_check_iface_missing(const char *path, uint32_t line, const char *ifname);

// Daemon start-up and PID file.
void log_daemonized(long pid);
void log_fork_failed(int err);
void log_setsid_failed(int err);
void log_report_pipe_failed(int err);
void log_devnull_failed(int err);
void log_unknown_user(const char *user);
void log_chroot_failed(const char *dir, int err);
void log_chdir_failed(int err);
void log_setgid_failed(const char *user, int err);
void log_initgroups_failed(const char *user, int err);
void log_setuid_failed(const char *user, int err);
void log_pidfile_create_failed(const char *path, int err);
void log_pidfile_open_existing_failed(const char *path, int err);
void log_pidfile_invalid_pid(const char *path);
void log_pidfile_owned(const char *path, long pid);
void log_pidfile_probe_failed(long pid, const char *path, int err);
void log_pidfile_truncate_failed(const char *path, int err);
