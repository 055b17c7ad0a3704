#include "partition.h"

#include "base.h"
#include "text_file.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

// Drops only a real line end: a last line without one keeps all its
// characters, so "/dev/hda2" at the end of a file stays "/dev/hda2".
void take_line(char (&field)[PARTITION_TEXT_SIZE], const char *line) {
    std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\n')
        --n;
    std::snprintf(field, sizeof field, "%.*s", static_cast<int>(n), line);
}

} // namespace

int read_partition_device(const char *path, PartitionInfo *info) {
    FilePtr f;
    if (swap_open_regular(path, O_RDONLY, &f) != TEXT_FILE_OPEN)
        return PARTITION_NO_FILE;
    char line[SWAP_LINE_SIZE];
    while (std::fgets(line, sizeof line, f.get()))
        if (std::strstr(line, "/dev/hda"))
            take_line(info->device, line);
    return PARTITION_OK;
}

int scan_partition_listing(const char *path, PartitionInfo *info) {
    FilePtr f;
    if (swap_open_regular(path, O_RDONLY, &f) != TEXT_FILE_OPEN)
        return PARTITION_NO_FILE;
    char line[SWAP_LINE_SIZE];
    while (std::fgets(line, sizeof line, f.get())) {
        if (std::strstr(line, "RFS"))
            take_line(info->initrd, line);
        if (std::strstr(line, "bzImage"))
            take_line(info->kernel, line);
    }
    return PARTITION_OK;
}
