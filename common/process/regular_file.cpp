// Opening a file that must be a regular file.
#include "common/process/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE *regular_file_open(const char *path, bool *not_regular) {
    if (not_regular != nullptr)
        *not_regular = false;
    // O_NONBLOCK: opening a FIFO for reading waits for a writer, which may
    // never come; the kind of file is known only once it is open.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        if (not_regular != nullptr)
            *not_regular = true;
#ifdef EFTYPE
        errno = S_ISDIR(st.st_mode) ? EISDIR : EFTYPE;
#else
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
#endif
        return nullptr;
    }
    // Reads of a regular file never wait anyway; the flag goes only so that
    // the stream behaves as one opened with fopen would.
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        (void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}
