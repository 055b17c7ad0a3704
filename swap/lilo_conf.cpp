#include "lilo_conf.h"

#include <cstdio>

namespace {

constexpr const char *global_lines[] = {
    "boot = /dev/hda\n",
    "install = /standby_partition/boot.b\n",
    "backup=/dev/null\n",
    "map = /standby_partition/map\n",
    "\n",
    "serial=0,9600n8\n",
    "prompt\n",
    "timeout=20\n",
    "\n",
    "read-only\n",
    "vga = normal\n",
    "\n",
};

// Bounded so that a record without a terminating NUL cannot run past its field.
constexpr int FIELD_MAX = PARTITION_TEXT_SIZE - 1;

bool write_entry(FILE *f, const char *root, const char *label, const char *debug,
                 const PartitionInfo &p) {
    return std::fprintf(f, "image = %s/%.*s\n", root, FIELD_MAX, p.kernel) >= 0 &&
           std::fprintf(f, "initrd = %s/%.*s\n", root, FIELD_MAX, p.initrd) >= 0 &&
           std::fprintf(f, "root = /dev/ram0\n") >= 0 &&
           std::fprintf(f, "label = %s\n", label) >= 0 &&
           std::fprintf(f, "append = \"BOOTDEV=/dev/ram0 INITRD=%.*s PARTITION=%.*s DEBUG=%s\"\n",
                        FIELD_MAX, p.initrd, FIELD_MAX, p.device, debug) >= 0 &&
           std::fprintf(f, "\n") >= 0;
}

} // namespace

int lilo_conf_write(const char *path, const PartitionInfo *standby, const PartitionInfo *active) {
    FILE *f = std::fopen(path, "w");
    if (!f)
        return LILO_CONF_FAILED;
    bool ok = true;
    for (const char *line : global_lines)
        ok = ok && std::fputs(line, f) >= 0;
    ok = ok && write_entry(f, "/standby_partition", "new", "off", *standby) &&
         write_entry(f, "/standby_partition", "new.debug", "on", *standby) &&
         write_entry(f, "/active_partition", "old", "off", *active) &&
         write_entry(f, "/active_partition", "old.debug", "on", *active);
    // A full disk shows up only when the buffer goes out, at flush or close.
    ok = std::fflush(f) == 0 && !std::ferror(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        // The installer must never see a truncated configuration.
        std::remove(path);
        return LILO_CONF_FAILED;
    }
    return LILO_CONF_OK;
}

int write_lilo_conf(const PartitionInfo *standby, const PartitionInfo *active) {
    return lilo_conf_write(LILO_CONF_PATH, standby, active);
}
