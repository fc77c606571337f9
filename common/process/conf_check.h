// The part of the configuration check that both programs share: reading
// the file with the line of every form, and the faults of the text itself.
#pragma once

#include "common/csexp/sx_lines.h"

#include <cstddef>
#include <cstdint>

// Keys shorter than this many bytes are reported as weak.
inline constexpr size_t CONF_KEY_MIN = 16;
// The key the shipped example configurations hold until it is replaced.
inline constexpr char CONF_KEY_PLACEHOLDER[] = "|PASTE-THE-BASE64-KEY-HERE|";

// Reads path into *lines and reports on standard error every list left
// open, every ")" that closes nothing and an unfinished atom. Returns the
// number of those reports, or -1 after reporting a file that is not a
// regular file, cannot be read or holds no item. *lines is to be released with sx_lines_free either
// way.
int conf_check_read(sx_lines *lines, const char *path, size_t dunit, size_t nunit);

// Judges the key atom of a (key KEY) form on line of path, for both checks.
// The examples' placeholder is valid base64, so a file that still holds it
// would run with a key anyone can read: it is refused (1). A key shorter
// than CONF_KEY_MIN bytes is reported as a warning only (0).
int conf_check_key(const char *path, uint32_t line, const sx_node *key);
