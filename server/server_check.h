// The configuration check of "zorvel-server -n": every problem that a load
// would skip, drop or defer, reported on standard error with its line.
#pragma once

// Reads the file at path as a load would, binding and running nothing, and
// reports each problem as one line "path:line: text" on standard error.
// 0 when there is nothing to report, -1 otherwise.
int server_check_file(const char *path);

// Whether the configuration file at path, which holds keys, can be read by
// local users other than the server's: other-readable, or group-readable
// with a group other than the process's effective one. Warns naming the
// file and its mode, on the check's channel when check is set, else as a
// record. 1 when it warned, 0 otherwise (also when the file cannot be
// looked at: its reader reports that).
int server_check_key_access(const char *path, bool check);
