// Zone file effector: the file side of an update. zone_text works out the
// new text; here the zone is read whole, and the new one written beside it,
// synced and renamed over it, so a failure never leaves half a zone.
#include "server/zone.h"

#include "server/file_replace.h"
#include "server/zone_text.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/regular_file.h"
#include "common/protocol/address.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <span>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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

using part = std::span<const char>;

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

namespace {

// Logs why a rewrite was not possible; false for those, true for the
// statuses that leave the file as it should be.
bool report(zone_text_status st, const char *path, const char *name, size_t name_len,
            const char *serial) {
    switch (st) {
    case zone_text_status::unchanged:
    case zone_text_status::absent:
    case zone_text_status::rewrite:
        return true;
    case zone_text_status::cname:
        log_zone_cname(path, name, name_len);
        break;
    case zone_text_status::owner_continues:
        log_zone_owner_continues(path, name, name_len);
        break;
    case zone_text_status::bad_name:
        log_zone_bad_name(path, name, name_len);
        break;
    case zone_text_status::no_serial:
        log_zone_no_serial(path);
        break;
    case zone_text_status::invalid_serial:
        log_zone_invalid_serial(serial, path);
        break;
    }
    return false;
}

// The parts end to end in a new heap buffer; the part that holds the new
// serial (`serial`) is replaced by keep_serial when given, so that a batch
// advances the serial once, however many of its changes rewrite the text.
heap_chars materialize(std::span<const part> parts, const char *serial, part keep_serial,
                       size_t *len) {
    auto pick = [&](part q) {
        return q.data() == serial && keep_serial.data() != nullptr ? keep_serial : q;
    };
    size_t total = 0;
    for (part q : parts)
        total += pick(q).size();
    heap_chars buf(static_cast<char *>(malloc(total > 0 ? total : 1)));
    if (!buf)
        return buf;
    char *p = buf.get();
    for (part q : parts) {
        q = pick(q);
        memcpy(p, q.data(), q.size());
        p += q.size();
    }
    *len = total;
    return buf;
}

template <class T> std::unique_ptr<T[]> new_array(size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

// Works the whole batch out in one reading of the zone (see
// zone_text_rewrite_batch), logging each change as zone_update_batch does
// after its first "Updating" record. False, with nothing logged, when the
// changes must be applied one after the other instead, or the memory for
// the reading is not to be had.
bool batch_at_once(const char *path, const zone_change *changes, size_t n, zone_text_date today,
                   heap_chars *buf, size_t *len, bool *ok, bool *rewritten) {
    if (n < 2)
        return false;
    for (size_t i = 0; i < n; i++)
        if (changes[i].name == nullptr || changes[i].name_len == 0 || changes[i].addr == nullptr)
            return false;
    const std::span<const char> text(buf->get(), *len);
    const size_t nowners = zone_text_batch_owners(text);
    auto addrs = new_array<address_text>(n);
    auto recs = new_array<zone_text_record>(n);
    auto status = new_array<zone_text_status>(n);
    auto edits = new_array<zone_text_edit>(n);
    auto owners = new_array<zone_text_owner>(nowners);
    if (!addrs || !recs || !status || !edits || !owners)
        return false;
    for (size_t i = 0; i < n; i++) {
        const zone_change &c = changes[i];
        bool six = c.family == AF_INET6;
        addrs[i] = six ? address_format6(c.addr) : address_format4(c.addr);
        recs[i] = {std::string_view(c.name, c.name_len), six ? "AAAA" : "A", addrs[i].s,
                   is_gone(c.addr, six ? 16 : 4)};
    }
    const std::span<const zone_text_record> batch_recs(recs.get(), n);
    const size_t size = zone_text_batch_size(text, batch_recs);
    heap_chars next(static_cast<char *>(malloc(size)));
    if (!next)
        return false;
    zone_text_batch b;
    b.owners = std::span<zone_text_owner>(owners.get(), nowners);
    b.edits = std::span<zone_text_edit>(edits.get(), n);
    b.text = std::span<char>(next.get(), size);
    if (!zone_text_rewrite_batch(text, batch_recs, today, &b,
                                 std::span<zone_text_status>(status.get(), n)))
        return false;
    for (size_t i = 0; i < n; i++) {
        const zone_change &c = changes[i];
        if (i > 0)
            log_updating(path, c.name, c.name_len, c.family == AF_INET6, c.addr);
        ok[i] = report(status[i], path, c.name, c.name_len, buf->get() + b.serial_at);
    }
    if (b.len == 0)
        return true;
    *buf = std::move(next);
    *len = b.len;
    *rewritten = true;
    return true;
}

// Applies the changes one after the other, each to the text the one
// before it left, logging each after its first "Updating" record.
void batch_in_turn(const char *path, const zone_change *changes, size_t n, zone_text_date today,
                   heap_chars *buf, size_t *len, bool *ok, bool *rewritten) {
    for (size_t i = 0; i < n; i++) {
        const zone_change &c = changes[i];
        bool six = c.family == AF_INET6;
        if (i > 0)
            log_updating(path, c.name, c.name_len, six, c.addr);
        if (c.name == nullptr || c.name_len == 0 || c.addr == nullptr)
            continue;
        address_text addr_text = six ? address_format6(c.addr) : address_format4(c.addr);
        zone_text_record rec{std::string_view(c.name, c.name_len), six ? "AAAA" : "A", addr_text.s,
                             is_gone(c.addr, six ? 16 : 4)};
        zone_text_out out;
        zone_text_status s =
            zone_text_rewrite(std::span<const char>(buf->get(), *len), rec, today, &out);
        ok[i] = report(s, path, c.name, c.name_len, buf->get() + out.serial_at);
        if (s != zone_text_status::rewrite)
            continue;
        // Later changes keep the serial the first one set: the current
        // text's serial digits stand in for the one more advance.
        part keep{};
        if (*rewritten)
            keep = part(buf->get() + out.serial_at, out.old_len);
        size_t next_len = 0;
        heap_chars next =
            materialize(std::span<const part>(out.parts, out.nparts), out.serial, keep, &next_len);
        if (!next) {
            log_zone_realloc_failed(next_len, path);
            ok[i] = false;
            continue;
        }
        *buf = std::move(next);
        *len = next_len;
        *rewritten = true;
    }
}

} // namespace

void zone_update_batch(const char *path, const zone_change *changes, size_t n, bool *ok) {
    for (size_t i = 0; i < n; i++)
        ok[i] = false;
    if (path == nullptr || n == 0)
        return;
    // Each change logs as it would alone: its "Updating" record first, then
    // whatever stops it.
    // Only a regular file: a FIFO in the zone's place would hold the
    // server up until something writes to it.
    file_ptr f(regular_file_open(path));
    struct stat st {};
    heap_chars buf;
    size_t len = 0;
    bool readable = f && fstat(fileno(f.get()), &st) == 0;
    if (readable) {
        log_updating(path, changes[0].name, changes[0].name_len, changes[0].family == AF_INET6,
                     changes[0].addr);
        if (!read_zone(f.get(), path, st.st_size, &buf, &len)) {
            for (size_t i = 1; i < n; i++) {
                const zone_change &c = changes[i];
                log_updating(path, c.name, c.name_len, c.family == AF_INET6, c.addr);
                log_zone_read_failed(path);
            }
            return;
        }
    }
    f.reset();
    if (!readable) {
        for (size_t i = 0; i < n; i++) {
            const zone_change &c = changes[i];
            log_updating(path, c.name, c.name_len, c.family == AF_INET6, c.addr);
            log_zone_read_failed(path);
        }
        return;
    }
    // A clock before year 0 leaves only the serial's own successor.
    zone_text_date today{-1, 0, 0};
    today_utc(&today);
    bool rewritten = false;
    if (!batch_at_once(path, changes, n, today, &buf, &len, ok, &rewritten))
        batch_in_turn(path, changes, n, today, &buf, &len, ok, &rewritten);
    if (!rewritten)
        return;
    // In place only for a directory the server may not create files in:
    // a user who may write the zone but nothing beside it.
    static const file_replace_opts opts{"zone file", 0644, 07777, true};
    const file_part whole(buf.get(), len);
    bool written = file_replace(path, std::span<const file_part>(&whole, 1), opts) == 0;
    // The changes that found their line already right fail with the rest:
    // a retry finds them unchanged and costs no write.
    if (!written)
        for (size_t i = 0; i < n; i++)
            ok[i] = false;
}

int zone_update(const char *path, const char *name, size_t name_len, int family,
                const uint8_t *addr) {
    if (path == nullptr || name == nullptr || name_len == 0 || addr == nullptr)
        return 0;
    zone_change c{name, name_len, family, addr};
    bool ok = false;
    zone_update_batch(path, &c, 1, &ok);
    return ok ? 0 : -1;
}

const char *zone_path_of(const sx_node *n, const char *name, size_t name_len, int family,
                         const uint8_t *addr) {
    if (sx_is_list(n) || n->len == 0)
        return nullptr;
    // No file has a NUL in its name; opening the part before it would
    // rewrite a zone the configuration does not name.
    if (memchr(n->ptr, '\0', n->len) != nullptr) {
        log_updating(sx_text(n), name, name_len, family == AF_INET6, addr);
        log_zone_read_failed(sx_text(n));
        return nullptr;
    }
    return sx_text(n);
}
