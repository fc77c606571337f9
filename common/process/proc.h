// Detaching into the background and dropping privileges.
#pragma once

// Forks once; the parent exits with status 0, the child starts a new
// session. 0 in the child, -1 after logging a failure.
int proc_daemonize();
// Looks the user (name, or number when all digits) up in the password
// database, changes root to root and then switches group and user. Either
// may be null. 0 on success, -1 after logging; a failure may leave the
// process half-changed.
int proc_drop_privileges(const char *root, const char *user);
