// The program's own PID file, guarded against a running second instance.
#pragma once

#include <sys/types.h>

// Creates path holding this process's PID and a line feed, or rewrites a
// stale one whose process is gone. 0 on success; -1 after logging, or
// without a record for a null path.
int pidfile_create(const char *path);
// Writes the decimal digits of pid to fd, one byte per write.
void pidfile_write_pid(int fd, pid_t pid);
