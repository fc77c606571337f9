// The status view of "zorvel-server -s": who is up, read from the
// configuration and the state file it names, without a running server.
#pragma once

#include <cstdio>
#include <ctime>

// Reads the configuration at path and its state file, changing neither, and
// prints to out one line per up presence (account and family: address, last
// seen, when it times out, pending work), one line per account up in no
// family, and a count of accounts up and down. Times are printed in UTC and
// measured from now. 0 after printing; -1 after reporting a configuration
// that cannot be read or names no state file, or a state file that cannot
// be read.
int server_status_print(const char *path, FILE *out, time_t now);
