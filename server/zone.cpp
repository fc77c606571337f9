// Zone file effector: the file side of an update. zone_text works out the
// new text; here the zone is read whole and handed to file_replace, so a
// failure never leaves half a zone.
#include "server/zone.h"

#include "server/file_replace.h"
#include "server/zone_text.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"
#include "common/protocol/address.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

constexpr size_t read_step = 4096;

struct free_delete {
    void operator()(void *p) const { free(p); }
};
using heap_chars = std::unique_ptr<char, free_delete>;

struct file_close {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_close>;

// Reads the whole stream. The buffer starts at the size the file had when
// it was opened, so a zone is read in one pass; a file that grows meanwhile
// is still read to its end. False after logging; a read error leaves no
// partial text to write back.
bool read_zone(FILE *f, const char *path, off_t size_hint, heap_chars *out, size_t *out_len) {
    if (size_hint < 0 || static_cast<uintmax_t>(size_hint) > SIZE_MAX - read_step) {
        log_zone_realloc_failed(SIZE_MAX, path);
        return false;
    }
    heap_chars buf;
    size_t cap = static_cast<size_t>(size_hint) + read_step;
    size_t len = 0;
    while (!feof(f) && !ferror(f)) {
        char *old = buf.release();
        char *p = static_cast<char *>(realloc(old, cap));
        if (p == nullptr) {
            buf.reset(old);
            log_zone_realloc_failed(cap, path);
            return false;
        }
        buf.reset(p);
        len += fread(p + len, 1, cap - len, f);
        size_t step = cap / 2 > read_step ? cap / 2 : read_step;
        if (cap > SIZE_MAX - step) {
            log_zone_realloc_failed(SIZE_MAX, path);
            return false;
        }
        cap += step;
    }
    if (ferror(f)) {
        log_zone_read_failed(path);
        return false;
    }
    *out = std::move(buf);
    *out_len = len;
    return true;
}

bool is_gone(const uint8_t *addr, size_t len) {
    uint8_t acc = 0;
    for (size_t i = 0; i < len; i++)
        acc |= addr[i];
    return acc == 0;
}

void log_updating(const char *path, const char *name, size_t name_len, bool six,
                  const uint8_t *addr) {
    if (six)
        log_zone_updating6(path, name, name_len, addr);
    else
        log_zone_updating(path, name, name_len, addr);
}

// Today in UTC by the server's clock; false only for a clock gmtime cannot
// read.
bool today_utc(zone_text_date *today) {
    time_t now = clock_now();
    struct tm tm {};
    if (gmtime_r(&now, &tm) == nullptr)
        return false;
    *today = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
    return true;
}

} // namespace

int zone_update(const char *path, const char *name, size_t name_len, int family,
                const uint8_t *addr) {
    if (path == nullptr || name == nullptr || name_len == 0 || addr == nullptr)
        return 0;
    bool six = family == AF_INET6;
    log_updating(path, name, name_len, six, addr);

    // Only a regular file: a FIFO in the zone's place would hold the
    // server up until something writes to it.
    file_ptr f(regular_file_open(path));
    struct stat st {};
    if (!f || fstat(fileno(f.get()), &st) != 0) {
        log_zone_read_failed(path);
        return -1;
    }
    heap_chars buf;
    size_t len = 0;
    if (!read_zone(f.get(), path, st.st_size, &buf, &len))
        return -1;
    f.reset();
    const char *text = buf.get();

    address_text addr_text = six ? address_format6(addr) : address_format4(addr);
    zone_text_record rec{std::string_view(name, name_len), six ? "AAAA" : "A", addr_text.s,
                         is_gone(addr, six ? 16 : 4)};
    // A clock before year 0 leaves only the serial's own successor.
    zone_text_date today{-1, 0, 0};
    today_utc(&today);
    zone_text_out out;
    switch (zone_text_rewrite(std::span<const char>(text, len), rec, today, &out)) {
    case zone_text_status::unchanged:
    case zone_text_status::absent:
        return 0;
    case zone_text_status::cname:
        log_zone_cname(path, name, name_len);
        return 0;
    case zone_text_status::owner_continues:
        log_zone_owner_continues(path, name, name_len);
        return 0;
    case zone_text_status::bad_name:
        log_zone_bad_name(path, name, name_len);
        return 0;
    case zone_text_status::no_serial:
        log_zone_no_serial(path);
        return 0;
    case zone_text_status::invalid_serial:
        log_zone_invalid_serial(text + out.serial_at, path);
        return 0;
    case zone_text_status::rewrite:
        break;
    }
    // In place only for a directory the server may not create files in:
    // a user who may write the zone but nothing beside it.
    static const file_replace_opts opts{"zone file", 0644, true};
    std::span<const file_part> content(out.parts, out.nparts);
    return file_replace(path, content, opts);
}

void effector_zone(const sx_node *args, const char *name, size_t name_len, int family,
                   const uint8_t *addr) {
    if (name == nullptr || name_len == 0 || addr == nullptr)
        return;
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        if (sx_is_list(n) || n->len == 0)
            continue;
        // No file has a NUL in its name; opening the part before it would
        // rewrite a zone the configuration does not name.
        if (memchr(n->ptr, '\0', n->len) != nullptr) {
            log_updating(sx_text(n), name, name_len, family == AF_INET6, addr);
            log_zone_read_failed(sx_text(n));
            continue;
        }
        zone_update(sx_text(n), name, name_len, family, addr);
    }
}
