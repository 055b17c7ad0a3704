#include "text_file.h"

#include <cerrno>

int swap_open_regular(const char *path, int flags, FilePtr *f) {
    f->reset(fopen_regular(path, flags));
    if (*f)
        return TEXT_FILE_OPEN;
    return errno == EINVAL ? TEXT_FILE_IRREGULAR : TEXT_FILE_MISSING;
}
