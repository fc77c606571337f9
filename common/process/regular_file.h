// Opening a file that must be a regular file: the configuration, the state
// file and zone files are read whole, and anything else either never ends
// (a FIFO without a writer, a device) or is no text at all (a directory).
#pragma once

#include <cstdio>

// Opens path for reading as a binary stream without ever blocking in the
// open itself, and keeps the stream only for a regular file. Null on
// failure, with errno kept from the failed call; *not_regular (when given)
// is then true when the file exists but is not a regular file, and errno
// EISDIR for a directory, EFTYPE (EINVAL where there is none) for the rest. The stream
// blocks as usual once open and is closed on exec.
FILE *regular_file_open(const char *path, bool *not_regular = nullptr);
