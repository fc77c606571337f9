// Command effectors: the dispatch of an account's effector list, the kill
// effector and the system effector.
#include "server/effector.h"

#include "common/process/log.h"
#include "common/process/proc.h"
#include "common/process/regular_file.h"
#include "common/protocol/address.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

// The names are matched to the platform's own constants, so a name always
// means the same signal whatever its number here.
struct signal_entry {
    const char *name;
    int sig;
};

constexpr signal_entry signal_table[] = {
    {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},
    {"TRAP", SIGTRAP}, {"ABRT", SIGABRT}, {"FPE", SIGFPE},   {"KILL", SIGKILL},
    {"BUS", SIGBUS},   {"SEGV", SIGSEGV}, {"SYS", SIGSYS},   {"PIPE", SIGPIPE},
    {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"URG", SIGURG},   {"STOP", SIGSTOP},
    {"TSTP", SIGTSTP}, {"CONT", SIGCONT}, {"CHLD", SIGCHLD}, {"TTIN", SIGTTIN},
    {"TTOU", SIGTTOU}, {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM},
    {"PROF", SIGPROF}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
};

// Stands for the signal name in the kill failure message when the form
// names none.
constexpr const char default_signal_text[] = "HUP (default)";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// An atom's bytes with a NUL among them cannot be used as a C string: the
// part before the NUL would name another file, signal or command.
bool holds_nul(const sx_node *n) {
    return memchr(n->ptr, '\0', n->len) != nullptr;
}

// Decimal value of an all-digit string, or -1 when it holds anything else
// or exceeds limit.
long long digits_value(const char *s, long long limit) {
    long long v = 0;
    for (; *s != '\0'; s++) {
        if (!is_digit(*s))
            return -1;
        v = v * 10 + (*s - '0');
        if (v > limit)
            return -1;
    }
    return v;
}

// One target of the kill effector, from atom nodes (signal may be null).
void kill_target(const sx_node *signal, const sx_node *pidfile) {
    if (signal != nullptr && holds_nul(signal)) {
        log_unknown_signal(sx_text(signal));
        return;
    }
    if (holds_nul(pidfile)) {
        log_target_pidfile_open_failed(sx_text(pidfile), EINVAL);
        return;
    }
    effector_kill(signal != nullptr ? sx_text(signal) : nullptr, sx_text(pidfile));
}

// (kill PIDFILE), (kill SIGNAL PIDFILE ...), or, when the first argument is a
// list, one target per list argument that begins with an atom.
void run_kill(const sx_node *args) {
    if (args == nullptr)
        return;
    if (!sx_is_list(args)) {
        if (args->next != nullptr && !sx_is_list(args->next))
            kill_target(args, args->next);
        else
            kill_target(nullptr, args);
        return;
    }
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        const sx_node *first = sx_is_list(n) ? sx_first(n) : nullptr;
        if (first == nullptr || sx_is_list(first))
            continue;
        if (first->next != nullptr && !sx_is_list(first->next))
            kill_target(first, first->next);
        else
            kill_target(nullptr, first);
    }
}

// What a template element adds to the command.
enum class piece { text, name, address, type, nothing };

piece piece_of(const sx_node *n) {
    if (!sx_is_list(n))
        return piece::text;
    const sx_node *kw = sx_first(n);
    if (kw == nullptr)
        return piece::nothing;
    if (sx_atom_is(kw, "name") || sx_atom_is(kw, "host") || sx_atom_is(kw, "hostname"))
        return piece::name;
    if (sx_atom_is(kw, "addr") || sx_atom_is(kw, "address"))
        return piece::address;
    if (sx_atom_is(kw, "type"))
        return piece::type;
    return piece::nothing;
}

struct free_delete {
    void operator()(void *p) const { free(p); }
};

} // namespace

int signal_from_name(const char *name) {
    if (name == nullptr)
        return SIGHUP;
    const char *bare = strncasecmp(name, "SIG", 3) == 0 ? name + 3 : name;
    for (const signal_entry &e : signal_table)
        if (strcasecmp(bare, e.name) == 0)
            return e.sig;
    // The empty name is signal 0, which only asks whether the process exists.
    if (*name == '\0')
        return 0;
    long long v = digits_value(name, INT_MAX);
    return v < 0 ? -1 : static_cast<int>(v);
}

void effector_kill(const char *signame, const char *pidfile) {
    if (pidfile == nullptr)
        return;
    int sig = signal_from_name(signame);
    if (sig < 0) {
        log_unknown_signal(signame);
        return;
    }
    // A FIFO in the PID file's place must not hold the server up.
    FILE *f = regular_file_open(pidfile);
    if (f == nullptr) {
        log_target_pidfile_open_failed(pidfile, errno);
        return;
    }
    // Only the leading digits count. A value beyond pid_t, or a read that
    // failed part-way, is refused: a PID cut short, wrapped to 0 or made
    // negative would signal another process, a process group or everything.
    constexpr long long pid_max = std::numeric_limits<pid_t>::max();
    long long pid = 0;
    bool digits = false;
    bool bad = false;
    int c;
    while ((c = getc(f)) != EOF && is_digit(static_cast<char>(c))) {
        digits = true;
        pid = pid * 10 + (c - '0');
        if (pid > pid_max) {
            bad = true;
            break;
        }
    }
    if (ferror(f))
        bad = true;
    struct stat st;
    if (fstat(fileno(f), &st) != 0)
        bad = true;
    fclose(f);
    if (!digits || bad || pid == 0) {
        log_target_pidfile_invalid(pidfile);
        return;
    }
    // Whoever owns the PID file chooses the target. The server may hold
    // rights its owner lacks (root, CAP_KILL), so only a process that owner
    // could signal itself is signalled, unless the file is root's; init
    // never, as SIGHUP's default action ends most processes.
    uid_t ruid = 0, suid = 0;
    bool known = proc_owner(static_cast<pid_t>(pid), &ruid, &suid) == 0;
    // A process that is gone is reported as before, by the probe's error.
    if (!known && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        log_kill_failed(static_cast<int>(pid), pidfile, sig,
                        signame != nullptr ? signame : default_signal_text, ESRCH);
        return;
    }
    bool allowed =
        pid >= 2 && (st.st_uid == 0 || (known && (ruid == st.st_uid || suid == st.st_uid)));
    if (!allowed) {
        log_kill_refused(static_cast<long>(pid), pidfile, known ? static_cast<long>(ruid) : -1L,
                         static_cast<long>(st.st_uid));
        return;
    }
    if (kill(static_cast<pid_t>(pid), sig) != 0) {
        int err = errno;
        log_kill_failed(static_cast<int>(pid), pidfile, sig,
                        signame != nullptr ? signame : default_signal_text, err);
    }
}

char *effector_command(const sx_node *args, const char *name, size_t name_len, int family,
                       const uint8_t *addr) {
    if (args == nullptr || addr == nullptr || name == nullptr || name_len == 0)
        return nullptr;
    bool six = family == AF_INET6;
    address_text text = six ? address_format6(addr) : address_format4(addr);
    size_t alen = strlen(text.s);
    std::string_view type = six ? "AAAA" : "A";

    size_t len = 0;
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        piece k = piece_of(n);
        size_t add = k == piece::text      ? n->len
                     : k == piece::name    ? name_len
                     : k == piece::address ? alen
                     : k == piece::type    ? type.size()
                                           : 0;
        if (add > SIZE_MAX - 1 - len) {
            log_system_alloc_failed(SIZE_MAX);
            return nullptr;
        }
        len += add;
    }
    std::unique_ptr<char, free_delete> cmd(static_cast<char *>(malloc(len + 1)));
    if (!cmd) {
        log_system_alloc_failed(len + 1);
        return nullptr;
    }
    char *p = cmd.get();
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        switch (piece_of(n)) {
        case piece::text:
            memcpy(p, n->ptr, n->len);
            p += n->len;
            break;
        case piece::name:
            memcpy(p, name, name_len);
            p += name_len;
            break;
        case piece::address:
            memcpy(p, text.s, alen);
            p += alen;
            break;
        case piece::type:
            memcpy(p, type.data(), type.size());
            p += type.size();
            break;
        case piece::nothing:
            break;
        }
    }
    *p = '\0';
    // The shell would run only the part before a NUL: a different command
    // from the one the template spells.
    if (memchr(cmd.get(), '\0', len) != nullptr) {
        log_system_fail(cmd.get());
        return nullptr;
    }
    return cmd.release();
}

void effector_kill_form(const sx_node *args) {
    run_kill(args);
}
