#include "lilo_conf.h"

#include "base.h"

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

int write_conf(FILE *f, const void *ctx) {
    auto parts = static_cast<const PartitionInfo *const *>(ctx);
    bool ok = true;
    for (const char *line : global_lines)
        ok = ok && std::fputs(line, f) >= 0;
    ok = ok && write_entry(f, "/standby_partition", "new", "off", *parts[0]) &&
         write_entry(f, "/standby_partition", "new.debug", "on", *parts[0]) &&
         write_entry(f, "/active_partition", "old", "off", *parts[1]) &&
         write_entry(f, "/active_partition", "old.debug", "on", *parts[1]);
    return ok ? 0 : -1;
}

} // namespace

int lilo_conf_write(const char *path, const PartitionInfo *standby, const PartitionInfo *active) {
    const PartitionInfo *parts[] = {standby, active};
    // Replaced whole: the installer must never see a truncated configuration,
    // nor one left from an earlier run when this one could not be written.
    if (file_replace(path, 0644, write_conf, parts) == 0)
        return LILO_CONF_OK;
    std::remove(path);
    return LILO_CONF_FAILED;
}

int write_lilo_conf(const PartitionInfo *standby, const PartitionInfo *active) {
    return lilo_conf_write(LILO_CONF_PATH, standby, active);
}
