// Reading a file for the configuration check.
#include "common/process/conf_check.h"

#include "common/process/log.h"
#include "common/process/regular_file.h"

#include <cerrno>
#include <cstdio>

int conf_check_read(sx_lines *lines, const char *path, size_t dunit, size_t nunit) {
    // As a load opens it: a FIFO must not hold the check up, and a
    // directory is no empty file.
    bool not_regular = false;
    FILE *f = regular_file_open(path, &not_regular);
    if (f == nullptr) {
        if (not_regular)
            log_check_not_regular(path);
        else
            log_check_open_failed(path, errno);
        return -1;
    }
    int rc = sx_lines_read(lines, f, dunit, nunit);
    int err = errno;
    bool read_error = ferror(f) != 0;
    fclose(f);
    if (rc == 0 && read_error) {
        log_check_read_failed(path, err != 0 ? err : EIO);
        return -1;
    }
    // The reader fails only for want of memory once the stream is open.
    if (rc != 0) {
        log_check_open_failed(path, ENOMEM);
        return -1;
    }
    for (size_t i = 0; i < lines->nstray; i++)
        log_check_stray_close(path, lines->stray_closes[i]);
    for (size_t i = 0; i < lines->nopen; i++)
        log_check_unfinished_list(path, lines->open_lists[i]);
    if (lines->unfinished > 0)
        log_check_unfinished_atom(path, lines->unfinished);
    int problems = static_cast<int>(lines->nstray + lines->nopen) + (lines->unfinished > 0 ? 1 : 0);
    if (lines->tree.nsize == 0) {
        log_check_empty(path);
        return -1;
    }
    return problems;
}
