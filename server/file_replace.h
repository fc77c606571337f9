// Replacing a file whole, for the zone files and the state file: the new
// text goes to one temporary name beside the file, is synced, takes the old
// file's owner, group and mode, and is renamed over it, and the directory is
// synced after. A reader, a full disk or a crash finds the old file or the
// new one, never a mix, and at most one temporary is ever left beside it.
#pragma once

#include <cstddef>
#include <span>
#include <sys/types.h>

// One piece of the new content; the file is the pieces in order.
using file_part = std::span<const char>;

struct file_replace_opts {
    const char *what; // the kind of file in records: "zone file", "state file"
    mode_t new_mode;  // the mode of a file that does not exist yet
    // The bits of an existing file's mode the new one keeps: a file that
    // may hold secrets never stays readable by all.
    mode_t keep_mode;
    // Where the temporary cannot be made for want of access to the
    // directory (a user who may write the file but not beside it), or may
    // not be given the file's owner and group, overwrite the file in place
    // instead, once its new size is reserved on disk.
    bool in_place;
};

// Makes parts the content of path; a symbolic link is followed, so the
// file it names is replaced and the link stays. The owner, group and mode
// of the old file are kept, or nothing is replaced: who may read the file
// never changes silently; `keep_mode` says which bits of its mode the new
// file keeps. 0 on success; -1 after logging the cause (the
// system's error text), the file then as it was, apart from an in-place
// rewrite that failed after its space was reserved (an I/O error).
int file_replace(const char *path, std::span<const file_part> parts, const file_replace_opts &opts);

// The one temporary name of path: ".NAME.zorvel-tmp" beside NAME, so that
// a write cut short by a crash is replaced by the next one. A heap string
// for free(); null when out of memory.
char *file_replace_temp_name(const char *path);
