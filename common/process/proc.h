// The command line both daemons share, detaching into the background and
// dropping privileges.
#pragma once

#include <sys/types.h>

struct proc_options {
    const char *conffile; // -c
    const char *pidfile;  // -p
    const char *root;     // -t
    const char *user;     // -u
    bool detach;          // -d
    bool check;           // -n: check the configuration, start nothing
    bool status;          // -s (server only): show who is up, start nothing
};

// Reads the options "dc:u:t:p:n", and "s" with status, with getopt into opts
// (which starts empty); arguments that are not options are ignored. 0, or -1
// for an option not in the table or one that lacks its argument, after the
// usage line.
int proc_parse_options(proc_options *opts, int argc, char **argv, bool status = false);

// Forks once; the child starts a new session. The parent waits for the
// child's start-up outcome: it exits with status 0 once the child calls
// proc_daemon_ready(), and with 1 when the child ends (or its start-up
// fails) before. 0 in the child, -1 after logging a failure.
int proc_daemonize();
// Marks the end of start-up. In a process detached by proc_daemonize() it
// points standard input, output and error at /dev/null, so that neither the
// daemon nor its commands write to the caller's terminal or hold its pipes,
// and then tells the waiting parent to exit with 0. Without detaching it does
// nothing. 0, or -1 after logging (the parent then exits with 1).
int proc_daemon_ready();
// Looks the user (name, or number when all digits) up in the password
// database, takes on the user's groups (initgroups) while still root,
// changes root to root and then switches group and user. Either
// may be null. 0 on success, -1 after logging; a failure may leave the
// process half-changed.
int proc_drop_privileges(const char *root, const char *user);
// The real and saved user IDs of process pid, the ones kill() weighs a
// sender's against. 0, or -1 (nothing logged) when the process cannot be
// looked up.
int proc_owner(pid_t pid, uid_t *ruid, uid_t *suid);
