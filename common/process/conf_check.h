// The part of the configuration check that both programs share: reading
// the file with the line of every form, and the faults of the text itself.
#pragma once

#include "common/csexp/sx_lines.h"

#include <cstddef>

// Reads path into *lines and reports on standard error every list left
// open, every ")" that closes nothing and an unfinished atom. Returns the
// number of those reports, or -1 after reporting a file that is not a
// regular file, cannot be read or holds no item. *lines is to be released with sx_lines_free either
// way.
int conf_check_read(sx_lines *lines, const char *path, size_t dunit, size_t nunit);
