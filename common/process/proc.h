// The command line both daemons share, detaching into the background and
// dropping privileges.
#pragma once

struct proc_options {
    const char *conffile; // -c
    const char *pidfile;  // -p
    const char *root;     // -t
    const char *user;     // -u
    bool detach;          // -d
};

// Reads the options "dc:u:t:p:" with getopt into opts (which starts empty);
// arguments that are not options are ignored. 0, or -1 for an option not in
// the table or one that lacks its argument, after the usage line.
int proc_parse_options(proc_options *opts, int argc, char **argv);

// Forks once; the parent exits with status 0, the child starts a new
// session. 0 in the child, -1 after logging a failure.
int proc_daemonize();
// Looks the user (name, or number when all digits) up in the password
// database, changes root to root and then switches group and user. Either
// may be null. 0 on success, -1 after logging; a failure may leave the
// process half-changed.
int proc_drop_privileges(const char *root, const char *user);
