// The configuration check of "zorvel-client -n": every problem that reading
// the file would skip or leave unnoticed, reported on standard error with its
// line.
#pragma once

// Reads the file at path as the client would, sending and running nothing,
// and reports each problem as one line "path:line: text" on standard error.
// 0 when there is nothing to report, -1 otherwise.
int client_check_file(const char *path);
