// The configuration check of "zorvel-server -n": every problem that a load
// would skip, drop or defer, reported on standard error with its line.
#pragma once

// Reads the file at path as a load would, binding and running nothing, and
// reports each problem as one line "path:line: text" on standard error.
// 0 when there is nothing to report, -1 otherwise.
int server_check_file(const char *path);
