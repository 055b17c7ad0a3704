#pragma once
// Boot-loader configuration: the LILO configuration that makes the standby
// partition the default boot entry and keeps the active one as "old".

constexpr int PARTITION_TEXT_SIZE = 50;

constexpr const char *LILO_CONF_PATH = "/.lilo.conf";

constexpr int LILO_CONF_OK = 0;
constexpr int LILO_CONF_FAILED = 1;

// One partition's boot data; every field a NUL-terminated text.
struct PartitionInfo {
    char device[PARTITION_TEXT_SIZE]; // block device, e.g. "/dev/hda2"
    char initrd[PARTITION_TEXT_SIZE]; // file name of the initial RAM disk
    char kernel[PARTITION_TEXT_SIZE]; // file name of the kernel image
};

// Writes the LILO configuration for booting standby by default (entries "new",
// "new.debug") with active as fallback ("old", "old.debug") to path, replacing
// any existing file.
// Returns 0 written; 1 the file cannot be opened or not be written completely
// (then no file is left at path).
int lilo_conf_write(const char *path, const PartitionInfo *standby, const PartitionInfo *active);

// lilo_conf_write to /.lilo.conf. Returns the same codes.
int write_lilo_conf(const PartitionInfo *standby, const PartitionInfo *active);
