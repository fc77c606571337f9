// The shared command line, detaching and dropping privileges.
#include "common/process/proc.h"

#include "common/process/log.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#ifdef ZORVEL_HAVE_KERN_PROC_PID
#include <sys/sysctl.h>
#include <sys/user.h>
#endif
#include <unistd.h>

namespace {

// A user text made only of digits (the empty text included) names a user
// number. The number is read without atoi so that a long run of digits
// cannot overflow: one beyond the range of uid_t names no user.
bool user_number(const char *user, bool *fits, uid_t *uid) {
    uint64_t n = 0;
    *fits = true;
    for (const char *p = user; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return false;
        if (*fits) {
            n = n * 10 + static_cast<uint64_t>(*p - '0');
            if (n > static_cast<uid_t>(-1))
                *fits = false;
        }
    }
    *uid = static_cast<uid_t>(n);
    return true;
}

// The write end of the pipe on which a detached child reports its start-up
// to the waiting parent; -1 when the process did not detach.
int g_report = -1;
// /dev/null, opened before the root changes: the new root need not hold one.
int g_devnull = -1;

int open_devnull() {
    if (g_devnull < 0)
        g_devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    return g_devnull;
}

// The parent's side: the outcome is one byte for success, or the end of the
// pipe when the child exits (or dies) before reporting.
[[noreturn]] void await_report(int fd) {
    unsigned char b = 0;
    ssize_t n;
    do
        n = read(fd, &b, 1);
    while (n < 0 && errno == EINTR);
    exit(n == 1 ? 0 : 1);
}

} // namespace

int proc_daemonize() {
    struct sigaction ignore = {};
    struct sigaction old = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    // Ignored from before the fork until the child leads its own session, so
    // the hang-up sent when the parent's session goes away cannot kill it.
    bool saved = sigaction(SIGHUP, &ignore, &old) == 0;

    // The caller learns whether the daemon really started: its exit status
    // waits for the child's report. Close-on-exec, so that no command the
    // daemon runs keeps the parent waiting.
    int report[2];
    if (pipe(report) < 0) {
        int err = errno;
        if (saved)
            sigaction(SIGHUP, &old, nullptr);
        log_report_pipe_failed(err);
        return -1;
    }
    fcntl(report[0], F_SETFD, FD_CLOEXEC);
    fcntl(report[1], F_SETFD, FD_CLOEXEC);

    // Output still buffered in stdio would otherwise be written twice: once
    // by the exiting parent and again by the child.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(report[0]);
        close(report[1]);
        if (saved)
            sigaction(SIGHUP, &old, nullptr);
        log_fork_failed(err);
        return -1;
    }
    if (pid > 0) {
        close(report[1]);
        await_report(report[0]);
    }
    close(report[0]);
    g_report = report[1];

    int rc = setsid();
    int err = errno;
    if (saved)
        sigaction(SIGHUP, &old, nullptr);
    if (rc < 0) {
        log_setsid_failed(err);
        return -1;
    }
    log_daemonized(static_cast<long>(getpid()));
    return 0;
}

int proc_daemon_ready() {
    if (g_report < 0)
        return 0;
    int fd = open_devnull();
    if (fd < 0) {
        log_devnull_failed(errno);
        return -1;
    }
    fflush(nullptr);
    for (int std = 0; std <= 2; std++) {
        if (dup2(fd, std) < 0) {
            log_devnull_failed(errno);
            return -1;
        }
    }
    const unsigned char ok = 0;
    ssize_t n;
    do
        n = write(g_report, &ok, 1);
    while (n < 0 && errno == EINTR);
    close(g_report);
    g_report = -1;
    return 0;
}

int proc_drop_privileges(const char *root, const char *user) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (user != nullptr) {
        // The password database is read here, before the root changes, so
        // the new root needs no copy of it.
        bool fits = true;
        uid_t number = 0;
        const passwd *pw = nullptr;
        if (user_number(user, &fits, &number))
            pw = fits ? getpwuid(number) : nullptr;
        else
            pw = getpwnam(user);
        if (pw == nullptr) {
            log_unknown_user(user);
            endpwent();
            return -1;
        }
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        // The user's own groups, and only those: a zone writable through a
        // group the user belongs to stays writable, and root's supplementary
        // groups are shed. Here, because the group database lies outside
        // the new root. Only root may set the list; any other caller has no
        // groups it could gain or shed this way.
        if (geteuid() == 0 && initgroups(pw->pw_name, gid) < 0) {
            int err = errno;
            endpwent();
            log_initgroups_failed(user, err);
            return -1;
        }
        endpwent();
    }

    // The root changes while the process still has the right to do so.
    if (root != nullptr) {
        open_devnull();
        if (chroot(root) < 0) {
            log_chroot_failed(root, errno);
            return -1;
        }
        if (chdir("/") < 0) {
            log_chdir_failed(errno);
            return -1;
        }
    }
    if (user == nullptr)
        return 0;

    // The group first: once the user has changed, the right to change the
    // group is gone.
    if (setgid(gid) < 0) {
        log_setgid_failed(user, errno);
        return -1;
    }
    if (setuid(uid) < 0) {
        log_setuid_failed(user, errno);
        return -1;
    }
    return 0;
}

int proc_owner(pid_t pid, uid_t *ruid, uid_t *suid) {
#if defined(ZORVEL_HAVE_KERN_PROC_PID)
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
    kinfo_proc kp = {};
    size_t len = sizeof kp;
    if (sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len != sizeof kp)
        return -1;
    *ruid = kp.ki_ruid;
    *suid = kp.ki_svuid;
    return 0;
#else
    // The "Uid:" line: real, effective, saved and file system user IDs.
    // Not the owner of /proc/PID, which is root for every process that has
    // changed its user and is no longer dumpable.
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    char line[256];
    int rc = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned long r = 0, e = 0, sv = 0;
        if (sscanf(line, "Uid: %lu %lu %lu", &r, &e, &sv) == 3) {
            *ruid = static_cast<uid_t>(r);
            *suid = static_cast<uid_t>(sv);
            rc = 0;
            break;
        }
    }
    fclose(f);
    return rc;
#endif
}

int proc_parse_options(proc_options *opts, int argc, char **argv, bool status) {
    *opts = {};
    int c;
    while ((c = getopt(argc, argv, status ? "dc:u:t:p:ns" : "dc:u:t:p:n")) != -1) {
        switch (c) {
        case 'n':
            opts->check = true;
            break;
        case 's':
            opts->status = true;
            break;
        case 'd':
            opts->detach = true;
            break;
        case 'c':
            opts->conffile = optarg;
            break;
        case 'u':
            opts->user = optarg;
            break;
        case 't':
            opts->root = optarg;
            break;
        case 'p':
            opts->pidfile = optarg;
            break;
        default:
            log_usage(argv[0]);
            return -1;
        }
    }
    return 0;
}
