#pragma once
// Partition data from the marker files and the top-directory listings.

#include "lilo_conf.h"

constexpr int PARTITION_OK = 0;
constexpr int PARTITION_NO_FILE = 2;

// Takes into info->device the last line of the marker file path that holds
// "/dev/hda", without its line end; other fields are left alone.
// Returns 0 read (also when no line matched); 2 the file cannot be opened or
// is no regular file.
int read_partition_device(const char *path, PartitionInfo *info);

// Takes into info->initrd the last entry of the listing path holding "RFS" and
// into info->kernel the last one holding "bzImage", each without its line end.
// Returns 0 read (also when nothing matched); 2 the file cannot be opened or
// is no regular file.
int scan_partition_listing(const char *path, PartitionInfo *info);
