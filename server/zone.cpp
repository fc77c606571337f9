// Zone file effector. The zone is edited as text: the record line is found
// by a few byte rules and the first ten-digit number is taken as the serial,
// so any zone layout an operator keeps by hand survives an update.
#include "server/zone.h"

#include "common/process/clock.h"
#include "common/process/log.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
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

bool is_break(char c) {
    return c == '\n' || c == '\r';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Offsets of the account's record line in the zone text.
struct record_line {
    size_t start; // first byte of the line
    size_t name;  // first byte after the lead of blanks and semicolons
    size_t addr;  // first byte after the blanks that follow the A token
    size_t end;   // first line break from addr on, or the length
};

// The first line after the first line break whose name is followed by a
// blank and which later holds a lone A or a between blanks. The blank after
// the name keeps "host2" from being the record of "host".
bool find_record(const char *t, size_t len, const char *name, size_t name_len, record_line *rec) {
    size_t i = 0;
    for (;;) {
        while (i < len && !is_break(t[i]))
            i++;
        while (i < len && is_break(t[i]))
            i++;
        size_t start = i;
        while (i < len && (is_blank(t[i]) || t[i] == ';'))
            i++;
        if (name_len >= len - i)
            return false;
        if (memcmp(t + i, name, name_len) != 0 || !is_blank(t[i + name_len]))
            continue;
        // t[after] is a blank, so the A of the token lies after the name
        // and a one-letter name never serves as its own token.
        size_t after = i + name_len;
        for (size_t p = after + 1; p < len && !is_break(t[p]); p++) {
            if (!is_blank(t[p]) || (t[p - 1] != 'A' && t[p - 1] != 'a') || !is_blank(t[p - 2]))
                continue;
            size_t q = p + 1;
            while (q < len && is_blank(t[q]))
                q++;
            size_t e = q;
            while (e < len && !is_break(t[e]))
                e++;
            *rec = {start, i, q, e};
            return true;
        }
    }
}

// Offset of the first run of exactly ten digits.
bool find_serial(const char *t, size_t len, size_t *at) {
    size_t i = 0;
    while (i < len) {
        if (!is_digit(t[i])) {
            i++;
            continue;
        }
        size_t s = i;
        while (i < len && is_digit(t[i]))
            i++;
        if (i - s == 10) {
            *at = s;
            return true;
        }
    }
    return false;
}

int digits_value(const char *p, int n) {
    int v = 0;
    for (int i = 0; i < n; i++)
        v = v * 10 + (p[i] - '0');
    return v;
}

// The serial that follows `old` today, YYYYMMDDnn. False when `old` is dated
// after today or already counts 99 changes today, so a name server never
// sees the serial go backwards.
bool next_serial(const char *old, char out[10]) {
    time_t now = clock_now();
    struct tm tm {};
    if (gmtime_r(&now, &tm) == nullptr)
        return false;
    long y = tm.tm_year + 1900L;
    int m = tm.tm_mon + 1;
    int d = tm.tm_mday;
    // A year of five digits would not fit the serial's ten.
    if (y < 0 || y > 9999)
        return false;

    long sy = digits_value(old, 4);
    int sm = digits_value(old + 4, 2);
    int sd = digits_value(old + 6, 2);
    int sn = digits_value(old + 8, 2);
    int count = 1;
    if (sy > y)
        return false;
    if (sy == y) {
        if (sm > m)
            return false;
        if (sm == m) {
            if (sd > d)
                return false;
            if (sd == d) {
                if (sn == 99)
                    return false;
                count = sn + 1;
            }
        }
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%04ld%02d%02d%02d", y, m, d, count);
    memcpy(out, buf, 10);
    return true;
}

// Reads the whole stream, growing the buffer by read_step on every pass.
// False after logging; a read error leaves no partial text to write back.
bool read_zone(FILE *f, const char *path, heap_chars *out, size_t *out_len) {
    heap_chars buf;
    size_t cap = read_step;
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
        if (cap > SIZE_MAX - read_step) {
            log_zone_realloc_failed(SIZE_MAX, path);
            return false;
        }
        cap += read_step;
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
    temp_file(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~temp_file() {
        if (fd_ >= 0)
            close(fd_);
        if (!name_.empty())
            unlink(name_.c_str());
    }
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    int fd() const { return fd_; }
    const char *name() const { return name_.c_str(); }
    int close_fd() {
        int r = close(fd_);
        fd_ = -1;
        return r;
    }
    void keep() { name_.clear(); }

  private:
    int fd_;
    std::string name_;
};

// Makes a rename durable; best effort, since the zone is already complete
// under its name whether or not the directory reaches the disk now.
void sync_dir(const std::string &file) {
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

enum class replace_result { done, failed, no_temp };

// Writes the new zone beside the old one and renames it over it, so that a
// full disk, a write error or a crash leaves either the old zone or the new
// one, never a truncated file. no_temp: the temporary file could not be made
// for want of access to the directory (nothing logged).
replace_result replace_zone(const char *path, const struct stat &st, std::span<const part> parts) {
    // rename replaces a directory entry: resolve a symbolic link so that the
    // link keeps pointing at the updated zone.
    heap_chars real(realpath(path, nullptr));
    std::string target = real ? real.get() : path;
    std::string tmpl = target + ".XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        // A full file system is not a reason to rewrite in place: that would
        // truncate the zone and then fail to write it.
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENAMETOOLONG)
            return replace_result::no_temp;
        log_zone_write_failed(path);
        return replace_result::failed;
    }
    temp_file tmp(fd, tmpl);

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
        rename(tmp.name(), target.c_str()) != 0) {
        log_zone_write_failed(path);
        return replace_result::failed;
    }
    tmp.keep();
    sync_dir(target);
    return replace_result::done;
}

// Truncates the zone and writes it anew: only for a directory the server
// may not create files in, where nothing safer is possible.
void rewrite_in_place(const char *path, std::span<const part> parts) {
    FILE *f = fopen(path, "wb");
    if (f == nullptr) {
        log_zone_write_failed(path);
        return;
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
    if (fclose(f) != 0 && !short_write)
        log_zone_write_failed(path);
}

bool is_gone(const uint8_t *addr) {
    return (addr[0] | addr[1] | addr[2] | addr[3]) == 0;
}

} // namespace

void zone_update(const char *path, const char *name, size_t name_len, const uint8_t *addr) {
    if (path == nullptr || name == nullptr || name_len == 0 || addr == nullptr)
        return;
    log_zone_updating(path, name, name_len, addr);

    file_ptr f(fopen(path, "rb"));
    struct stat st {};
    if (!f || fstat(fileno(f.get()), &st) != 0) {
        log_zone_read_failed(path);
        return;
    }
    heap_chars buf;
    size_t len = 0;
    if (!read_zone(f.get(), path, &buf, &len))
        return;
    f.reset();
    char *text = buf.get();

    record_line rec{};
    bool found = find_record(text, len, name, name_len, &rec);
    bool gone = is_gone(addr);
    if (!found && gone)
        return;

    size_t serial = 0;
    if (!find_serial(text, len, &serial)) {
        log_zone_no_serial(path);
        return;
    }
    char next[10];
    if (!next_serial(text + serial, next)) {
        log_zone_invalid_serial(text + serial, path);
        return;
    }
    memcpy(text + serial, next, sizeof next);

    char dotted[16];
    int dlen = snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", unsigned{addr[0]}, unsigned{addr[1]},
                        unsigned{addr[2]}, unsigned{addr[3]});
    part address(dotted, static_cast<size_t>(dlen));
    static constexpr char comment[] = "; ";
    static constexpr char lf[] = "\n";
    static constexpr char in_a[] = " IN A ";

    part parts[6];
    size_t n = 0;
    if (found) {
        parts[n++] = part(text, rec.start);
        if (gone)
            parts[n++] = part(comment, 2);
        parts[n++] = part(text + rec.name, rec.addr - rec.name);
        parts[n++] = address;
        parts[n++] = rec.end == len ? part(lf, 1) : part(text + rec.end, len - rec.end);
    } else {
        parts[n++] = part(text, len);
        // A zone whose last line has no line break must not get the record
        // glued to that line.
        if (!is_break(text[len - 1]))
            parts[n++] = part(lf, 1);
        parts[n++] = part(name, name_len);
        parts[n++] = part(in_a, 6);
        parts[n++] = address;
        parts[n++] = part(lf, 1);
    }
    std::span<const part> content(parts, n);

    if (S_ISREG(st.st_mode) && replace_zone(path, st, content) != replace_result::no_temp)
        return;
    rewrite_in_place(path, content);
}

void effector_zone(const sx_node *args, const char *name, size_t name_len, const uint8_t *addr) {
    if (name == nullptr || name_len == 0 || addr == nullptr)
        return;
    for (const sx_node *n = args; n != nullptr; n = n->next) {
        if (sx_is_list(n) || n->len == 0)
            continue;
        // No file has a NUL in its name; opening the part before it would
        // rewrite a zone the configuration does not name.
        if (memchr(n->ptr, '\0', n->len) != nullptr) {
            log_zone_updating(sx_text(n), name, name_len, addr);
            log_zone_read_failed(sx_text(n));
            continue;
        }
        zone_update(sx_text(n), name, name_len, addr);
    }
}
