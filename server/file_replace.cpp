// Replacing a file whole: temporary beside it, fsync, rename, directory
// fsync; owner, group and mode kept or nothing replaced.
#include "server/file_replace.h"

#include "common/process/log.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct free_delete {
    void operator()(void *p) const { free(p); }
};
using heap_chars = std::unique_ptr<char, free_delete>;

// The new file under its temporary name: closed and removed unless it was
// renamed into place.
class temp_file {
  public:
    temp_file(int fd, const char *name) : fd_(fd), name_(name) {}
    ~temp_file() {
        if (fd_ >= 0)
            close(fd_);
        if (name_ != nullptr)
            unlink(name_);
    }
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    int fd() const { return fd_; }
    int close_fd() {
        int r = close(fd_);
        fd_ = -1;
        return r;
    }
    void keep() { name_ = nullptr; }

  private:
    int fd_;
    const char *name_;
};

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

// Writes all of p at *offset (or at the file position with a null offset),
// counting the bytes stored into *done; false with errno on a failure.
bool write_all(int fd, file_part p, off_t *offset, size_t *done) {
    size_t at = 0;
    while (at < p.size()) {
        ssize_t w = offset != nullptr ? pwrite(fd, p.data() + at, p.size() - at, *offset)
                                      : write(fd, p.data() + at, p.size() - at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            return false;
        }
        at += static_cast<size_t>(w);
        *done += static_cast<size_t>(w);
        if (offset != nullptr)
            *offset += w;
    }
    return true;
}

// Makes a rename durable: a restarted server that knows an account as up
// from its state file would not make a change again that a crash took
// back. Best effort: the file is whole under its name either way.
void sync_dir(const char *file) {
    const char *slash = strrchr(file, '/');
    heap_chars dir(slash == nullptr ? strdup(".")
                                    : strndup(file, slash == file ? 1 : slash - file));
    if (!dir)
        return;
    int fd = open(dir.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)!fsync(fd);
    close(fd);
}

bool access_denied(int err) {
    return err == EACCES || err == EPERM || err == EROFS || err == ENAMETOOLONG;
}

// Overwrites the file where it stands, for a directory that takes no new
// file. Its owner, group and mode stay by nature. The whole new size is
// reserved first, so a full disk refuses the update before a byte of the
// zone is touched instead of cutting it; a file system that cannot reserve
// refuses it too.
int rewrite_in_place(const char *path, const char *target, std::span<const file_part> parts,
                     size_t total, const file_replace_opts &o) {
    fd_guard g{open(target, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (g.fd < 0) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    struct stat st;
    if (fstat(g.fd, &st) != 0) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        log_file_not_regular(o.what, path);
        return -1;
    }
    if (total > 0) {
#ifdef ZORVEL_HAVE_POSIX_FALLOCATE
        int rc = posix_fallocate(g.fd, 0, static_cast<off_t>(total));
#else
        int rc = EOPNOTSUPP;
#endif
        if (rc != 0) {
            log_file_reserve_failed(o.what, path, total, rc);
            return -1;
        }
    }
    off_t at = 0;
    size_t done = 0;
    for (file_part p : parts) {
        if (!write_all(g.fd, p, &at, &done)) {
            log_file_short_write(o.what, path, done, total, errno);
            return -1;
        }
    }
    if (ftruncate(g.fd, static_cast<off_t>(total)) != 0 || fsync(g.fd) != 0) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    int fd = g.fd;
    g.fd = -1;
    if (close(fd) != 0) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    return 0;
}

} // namespace

char *file_replace_temp_name(const char *path) {
    static const char prefix[] = ".";
    static const char suffix[] = ".zorvel-tmp";
    const char *slash = strrchr(path, '/');
    size_t dir_len = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    size_t len = strlen(path);
    if (len > SIZE_MAX - sizeof prefix - sizeof suffix)
        return nullptr;
    auto *s = static_cast<char *>(malloc(len + sizeof prefix + sizeof suffix));
    if (s == nullptr)
        return nullptr;
    memcpy(s, path, dir_len);
    memcpy(s + dir_len, prefix, sizeof prefix - 1);
    memcpy(s + dir_len + sizeof prefix - 1, path + dir_len, len - dir_len);
    memcpy(s + len + sizeof prefix - 1, suffix, sizeof suffix);
    return s;
}

int file_replace(const char *path, std::span<const file_part> parts, const file_replace_opts &o) {
    size_t total = 0;
    for (file_part p : parts) {
        if (p.size() > SIZE_MAX - total) {
            log_file_write_failed(o.what, path, EOVERFLOW);
            return -1;
        }
        total += p.size();
    }
    // rename replaces a directory entry: through a symbolic link it would
    // replace the link, so the file it names is the one replaced.
    heap_chars real(realpath(path, nullptr));
    const char *target = real ? real.get() : path;
    struct stat st;
    bool exists = stat(target, &st) == 0;
    if (!exists && errno != ENOENT) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        log_file_not_regular(o.what, path);
        return -1;
    }
    heap_chars tmp_name(file_replace_temp_name(target));
    if (!tmp_name) {
        log_file_write_failed(o.what, path, ENOMEM);
        return -1;
    }
    // The name is ours alone: whatever stands there is a temporary that a
    // crash left behind. O_EXCL and O_NOFOLLOW, so that a link planted
    // there is never followed.
    (void)unlink(tmp_name.get());
    int fd = open(tmp_name.get(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        int err = errno;
        // ENOSPC and EDQUOT are no reason to go in place: the file would
        // have no more room there than beside it.
        if (o.in_place && exists && access_denied(err))
            return rewrite_in_place(path, target, parts, total, o);
        log_file_write_failed(o.what, path, err);
        return -1;
    }
    temp_file tmp(fd, tmp_name.get());

    size_t done = 0;
    for (file_part p : parts) {
        if (!write_all(tmp.fd(), p, nullptr, &done)) {
            log_file_short_write(o.what, path, done, total, errno);
            return -1;
        }
    }
    mode_t mode = exists ? st.st_mode & o.keep_mode : o.new_mode;
    if (exists) {
        struct stat now;
        if (fstat(tmp.fd(), &now) != 0) {
            log_file_write_failed(o.what, path, errno);
            return -1;
        }
        // A name server may read the zone through its group alone. Only
        // root gives a file away: a zone that stays root's while the server
        // writes it through its group is rewritten where it stands, which
        // keeps its owner, group and mode.
        if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) &&
            fchown(tmp.fd(), st.st_uid, st.st_gid) != 0) {
            int err = errno;
            if (o.in_place && err == EPERM)
                return rewrite_in_place(path, target, parts, total, o);
            log_file_owner_not_kept(o.what, path, st.st_uid, st.st_gid, err);
            return -1;
        }
    }
    // After the owner: a change of owner clears the set-ID bits.
    if (fchmod(tmp.fd(), mode) != 0) {
        log_file_mode_not_kept(o.what, path, mode, errno);
        return -1;
    }
    // Some systems drop a set-group-ID bit silently instead of failing.
    struct stat made;
    if (fstat(tmp.fd(), &made) != 0) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    if ((made.st_mode & 07777) != mode) {
        log_file_mode_not_kept(o.what, path, mode, EPERM);
        return -1;
    }
    // On disk before the rename: a crash must leave the old file or the
    // whole new one, never an empty one in its place.
    if (fsync(tmp.fd()) != 0 || tmp.close_fd() != 0 || rename(tmp_name.get(), target) != 0) {
        log_file_write_failed(o.what, path, errno);
        return -1;
    }
    tmp.keep();
    sync_dir(target);
    return 0;
}
