// Zone file effector: the file side of an update. zone_text works out the
// new text; here the zone is read whole, and the new one written beside it,
// synced and renamed over it, so a failure never leaves half a zone.
#include "server/zone.h"

#include "server/zone_text.h"

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/protocol/address.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
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

// a followed by b in a new heap string; null when out of memory.
heap_chars join(const char *a, const char *b) {
    size_t la = strlen(a);
    size_t lb = strlen(b);
    heap_chars s(static_cast<char *>(malloc(la + lb + 1)));
    if (s) {
        memcpy(s.get(), a, la);
        memcpy(s.get() + la, b, lb + 1);
    }
    return s;
}

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

// Writes all of p; false on an error, with *done the bytes stored.
bool write_all(int fd, part p, size_t *done) {
    *done = 0;
    while (*done < p.size()) {
        ssize_t w = write(fd, p.data() + *done, p.size() - *done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        *done += static_cast<size_t>(w);
    }
    return true;
}

// The new file under its temporary name: closed and removed unless it was
// renamed into place.
class temp_file {
  public:
    temp_file(int fd, heap_chars name) : fd_(fd), name_(std::move(name)) {}
    ~temp_file() {
        if (fd_ >= 0)
            close(fd_);
        if (name_)
            unlink(name_.get());
    }
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    int fd() const { return fd_; }
    const char *name() const { return name_.get(); }
    int close_fd() {
        int r = close(fd_);
        fd_ = -1;
        return r;
    }
    void keep() { name_.reset(); }

  private:
    int fd_;
    heap_chars name_;
};

// Makes a rename durable; best effort, since the zone is already complete
// under its name whether or not the directory reaches the disk now.
void sync_dir(const char *file) {
    const char *slash = strrchr(file, '/');
    int fd = -1;
    if (slash == nullptr) {
        fd = open(".", O_RDONLY | O_DIRECTORY);
    } else if (slash == file) {
        fd = open("/", O_RDONLY | O_DIRECTORY);
    } else {
        heap_chars dir(strndup(file, static_cast<size_t>(slash - file)));
        if (!dir)
            return;
        fd = open(dir.get(), O_RDONLY | O_DIRECTORY);
    }
    if (fd < 0)
        return;
    (void)!fsync(fd);
    close(fd);
}

enum class replace_result { done, failed, no_temp };

// Writes the new zone beside the old one and renames it over it, so that a
// full disk, a write error or a crash leaves either the old zone or the new
// one, never a truncated file. The directory is synced after the rename:
// a restarted server may know the account as up from its state file and
// would not make a change again that a crash took back. no_temp: the
// temporary file could not be made for want of access to the directory
// (nothing logged).
replace_result replace_zone(const char *path, const struct stat &st, std::span<const part> parts) {
    // rename replaces a directory entry: resolve a symbolic link so that the
    // link keeps pointing at the updated zone.
    heap_chars real(realpath(path, nullptr));
    const char *target = real ? real.get() : path;
    heap_chars tmpl = join(target, ".XXXXXX");
    if (!tmpl) {
        log_zone_write_failed(path);
        return replace_result::failed;
    }
    int fd = mkstemp(tmpl.get());
    if (fd < 0) {
        // A full file system is not a reason to rewrite in place: that would
        // truncate the zone and then fail to write it.
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENAMETOOLONG)
            return replace_result::no_temp;
        log_zone_write_failed(path);
        return replace_result::failed;
    }
    temp_file tmp(fd, std::move(tmpl));

    for (part p : parts) {
        size_t done = 0;
        if (!write_all(tmp.fd(), p, &done)) {
            log_zone_short_write(path, done, p.size());
            return replace_result::failed;
        }
    }
    // Keep the owner and group when we may; a server that is not root can
    // often still keep the group, which may be what lets the name server read
    // the zone.
    if (fchown(tmp.fd(), st.st_uid, st.st_gid) != 0 && errno == EPERM &&
        fchown(tmp.fd(), static_cast<uid_t>(-1), st.st_gid) != 0) {
        // Neither kept: the new file is the server's, with the old mode.
    }
    if (fchmod(tmp.fd(), st.st_mode & 07777) != 0 || fsync(tmp.fd()) != 0 || tmp.close_fd() != 0 ||
        rename(tmp.name(), target) != 0) {
        log_zone_write_failed(path);
        return replace_result::failed;
    }
    tmp.keep();
    sync_dir(target);
    return replace_result::done;
}

// Truncates the zone and writes it anew: only for a directory the server
// may not create files in, where nothing safer is possible. False after
// logging.
bool rewrite_in_place(const char *path, std::span<const part> parts) {
    FILE *f = fopen(path, "wb");
    if (f == nullptr) {
        log_zone_write_failed(path);
        return false;
    }
    bool short_write = false;
    for (part p : parts) {
        size_t w = fwrite(p.data(), 1, p.size(), f);
        if (w != p.size()) {
            log_zone_short_write(path, w, p.size());
            short_write = true;
        }
    }
    // The last buffered bytes reach the file only here.
    if (fclose(f) != 0 && !short_write) {
        log_zone_write_failed(path);
        return false;
    }
    return !short_write;
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

namespace {

// Logs why a rewrite was not possible; false for those, true for the
// statuses that leave the file as it should be.
bool report(zone_text_status st, const char *path, const char *name, size_t name_len,
            const char *text, const zone_text_out &out) {
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
        log_zone_invalid_serial(text + out.serial_at, path);
        break;
    }
    return false;
}

// The parts end to end in a new heap buffer; the part that holds the new
// serial is replaced by keep_serial when given, so that a batch advances
// the serial once, however many of its changes rewrite the text.
heap_chars materialize(const zone_text_out &out, part keep_serial, size_t *len) {
    size_t total = 0;
    for (size_t i = 0; i < out.nparts; i++)
        total += out.parts[i].data() == out.serial && keep_serial.data() != nullptr
                     ? keep_serial.size()
                     : out.parts[i].size();
    heap_chars buf(static_cast<char *>(malloc(total > 0 ? total : 1)));
    if (!buf)
        return buf;
    char *p = buf.get();
    for (size_t i = 0; i < out.nparts; i++) {
        part q = out.parts[i];
        if (q.data() == out.serial && keep_serial.data() != nullptr)
            q = keep_serial;
        memcpy(p, q.data(), q.size());
        p += q.size();
    }
    *len = total;
    return buf;
}

} // namespace

void zone_update_batch(const char *path, const zone_change *changes, size_t n, bool *ok) {
    for (size_t i = 0; i < n; i++)
        ok[i] = false;
    if (path == nullptr || n == 0)
        return;
    // Each change logs as it would alone: its "Updating" record first, then
    // whatever stops it.
    file_ptr f(fopen(path, "rb"));
    struct stat st {};
    heap_chars buf;
    size_t len = 0;
    bool readable = f && fstat(fileno(f.get()), &st) == 0;
    if (readable) {
        log_updating(path, changes[0].name, changes[0].name_len, changes[0].family == AF_INET6,
                     changes[0].addr);
        if (!read_zone(f.get(), path, S_ISREG(st.st_mode) ? st.st_size : 0, &buf, &len)) {
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
    for (size_t i = 0; i < n; i++) {
        const zone_change &c = changes[i];
        bool six = c.family == AF_INET6;
        if (i > 0)
            log_updating(path, c.name, c.name_len, six, c.addr);
        if (c.name == nullptr || c.name_len == 0 || c.addr == nullptr)
            continue;
        address_text addr_text = six ? address_format6(c.addr) : address_format4(c.addr);
        zone_text_record rec{std::string_view(c.name, c.name_len), six ? "AAAA" : "A",
                             addr_text.s, is_gone(c.addr, six ? 16 : 4)};
        zone_text_out out;
        zone_text_status s = zone_text_rewrite(std::span<const char>(buf.get(), len), rec, today,
                                               &out);
        ok[i] = report(s, path, c.name, c.name_len, buf.get(), out);
        if (s != zone_text_status::rewrite)
            continue;
        // Later changes keep the serial the first one set: the current
        // text's serial digits stand in for the one more advance.
        part keep{};
        if (rewritten)
            keep = part(buf.get() + out.serial_at, out.old_len);
        size_t next_len = 0;
        heap_chars next = materialize(out, keep, &next_len);
        if (!next) {
            log_zone_realloc_failed(next_len, path);
            ok[i] = false;
            continue;
        }
        buf = std::move(next);
        len = next_len;
        rewritten = true;
    }
    if (!rewritten)
        return;
    part whole(buf.get(), len);
    std::span<const part> content(&whole, 1);
    bool written = false;
    replace_result r = S_ISREG(st.st_mode) ? replace_zone(path, st, content) : replace_result::no_temp;
    if (r == replace_result::done)
        written = true;
    else if (r == replace_result::no_temp)
        written = rewrite_in_place(path, content);
    // The changes that found their line already right fail with the rest:
    // a retry finds them unchanged and costs no write.
    if (!written)
        for (size_t i = 0; i < n; i++)
            ok[i] = false;
}

void zone_update(const char *path, const char *name, size_t name_len, int family,
                 const uint8_t *addr) {
    if (path == nullptr || name == nullptr || name_len == 0 || addr == nullptr)
        return;
    zone_change c{name, name_len, family, addr};
    bool ok = false;
    zone_update_batch(path, &c, 1, &ok);
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
