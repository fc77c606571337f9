// Reading a file for the configuration check.
#include "common/process/conf_check.h"

#include "common/process/log.h"
#include "common/process/regular_file.h"

#include "common/csexp/sx_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

namespace {

// Whether key holds the bytes that the placeholder reads as, or its text
// written without the bars. The placeholder is read by the same reader as
// the file, so the two agree whatever the reader makes of its dashes.
bool is_placeholder(const sx_node *key) {
    static const char bare[] = "PASTE-THE-BASE64-KEY-HERE";
    if (key->len == sizeof bare - 1 && memcmp(key->ptr, bare, key->len) == 0)
        return true;
    char text[sizeof CONF_KEY_PLACEHOLDER];
    memcpy(text, CONF_KEY_PLACEHOLDER, sizeof text);
    FILE *f = fmemopen(text, sizeof text - 1, "rb");
    if (f == nullptr)
        return false;
    sx_block read{};
    bool same = sx_read_file(&read, f, 64, 64, 4) == 0 && read.nsize > 0 &&
                read.nodes[0].len == key->len && memcmp(read.nodes[0].ptr, key->ptr, key->len) == 0;
    sx_free(&read);
    fclose(f);
    return same;
}

} // namespace

int conf_check_key(const char *path, uint32_t line, const sx_node *key) {
    if (sx_is_list(key) || key->len == 0)
        return 0;
    if (is_placeholder(key)) {
        log_check_placeholder_key(path, line);
        return 1;
    }
    if (key->len < CONF_KEY_MIN)
        log_check_short_key(path, line, key->len, CONF_KEY_MIN);
    return 0;
}
