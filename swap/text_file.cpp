#include "text_file.h"

#include <fcntl.h>
#include <sys/stat.h>

int swap_open_regular(const char *path, int flags, FilePtr *f) {
    // Non-blocking, so that not even the open waits for a FIFO's other end.
    UniqueFd fd(open(path, flags | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st;
    if (fd.fd < 0)
        return stat(path, &st) == 0 && !S_ISREG(st.st_mode) ? TEXT_FILE_IRREGULAR
                                                            : TEXT_FILE_MISSING;
    if (fstat(fd.fd, &st) != 0)
        return TEXT_FILE_MISSING;
    if (!S_ISREG(st.st_mode))
        return TEXT_FILE_IRREGULAR;
    f->reset(fdopen(fd.fd, (flags & O_ACCMODE) == O_RDONLY ? "r" : "w"));
    if (!*f)
        return TEXT_FILE_MISSING;
    fd.release();
    return TEXT_FILE_OPEN;
}
