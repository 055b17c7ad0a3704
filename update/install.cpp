// The installation steps of a run: unmounting and claiming the standby
// device, the copy from the RAM disk, and the checks before the verdict.
#include "update_internal.h"

#include "base.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *DIRECT_FAILED = "Error %i (Direct)\n";
constexpr const char *INDIRECT_FAILED = "Error %i (Indirect)\n";

// Our exclusive hold on the standby device while it is written.
int standby_claim_fd = -1;

// how: the state-file line of a failure, DIRECT_FAILED or INDIRECT_FAILED.
void unmount_standby(const char *how) {
    // Not mounted at all (a run cut off by a power failure): nothing to undo,
    // and the remount at the end puts it back.
    if (umount(STANDBY_MOUNT) != 0 && errno != EINVAL)
        run_failed(UPDATE_EXIT_UMOUNT, how, "Cannot umount the target partition\n");
    run_flag_set(RUN_UNMOUNTED);
}

// Opens the standby device exclusively: the kernel refuses while it is
// mounted anywhere, so a marker naming the running system's partition, or a
// name that is no block device, never receives the image.
int claim_standby(const char *how, int flags) {
    UniqueFd fd(open(standby_device, flags | O_EXCL | O_CLOEXEC));
    struct stat st;
    if (fd.fd >= 0 && fstat(fd.fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        standby_claim_fd = fd.release();
        return standby_claim_fd;
    }
    run_failed(UPDATE_EXIT_OPEN, how, "Cannot open %s for itself alone\n", standby_device);
}

// Ends the run with 64 and one fixed line.
[[noreturn]] void download_rejected(const char *line) {
    run_failed(UPDATE_EXIT_DOWNLOAD, line, "%s", line);
}

[[noreturn]] void copy_failed(int code) {
    run_failed(code, "Error while installing\n",
               "An error occured while the SWI was copied into the target partition\n");
}

int open_ramdisk() {
    int fd = open(RAMDISK_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        run_failed(UPDATE_EXIT_OPEN, INDIRECT_FAILED, "Cannot open %s\n", RAMDISK_PATH);
    return fd;
}

// The download was written straight onto the device: it must be on the disk.
void sync_direct() {
    UniqueFd fd(open(standby_device, O_WRONLY | O_CLOEXEC));
    bool ok = fd.fd >= 0 && fsync(fd.fd) == 0;
    if (!ok || close(fd.release()) != 0)
        run_failed(UPDATE_EXIT_DOWNLOAD, "Cannot sync the target partition\n",
                   "Cannot sync the target partition\n");
}

void copy_from_ramdisk() {
    unmount_standby(INDIRECT_FAILED);
    UniqueFd ram(open_ramdisk());
    int dev = claim_standby(INDIRECT_FAILED, O_WRONLY);
    bool monitored = monitor_start(RUN_INSTALL_MONITOR, install_monitor);
    int rc = copy_image(ram.fd, dev);
    if (rc != 0)
        copy_failed(rc);
    termination_point();
    if (fsync(dev) != 0)
        copy_failed(UPDATE_EXIT_WRITE);
    monitor_stop(RUN_INSTALL_MONITOR, monitored);
    standby_claim_fd = -1;
    if (close(dev) != 0)
        copy_failed(UPDATE_EXIT_WRITE);
}

} // namespace

void unmount_step(UpdateRun *) {
    if (!run_flag(RUN_DIRECT))
        return;
    unmount_standby(DIRECT_FAILED);
    claim_standby(DIRECT_FAILED, O_RDONLY);
}

void size_step(UpdateRun *run) {
    if (run->received <= 0)
        download_rejected("The downloaded image is empty\n");
    // Room for the copy's rounding up to a whole chunk.
    if (run->received > INT32_MAX - COPY_CHUNK)
        download_rejected("The downloaded image is too large\n");
    image_size.store(static_cast<int32_t>(run->received), std::memory_order_relaxed);
}

void install_step(UpdateRun *) {
    if (run_flag(RUN_DIRECT))
        sync_direct();
    else
        copy_from_ramdisk();
}

void image_check_step(UpdateRun *run) {
    // A server may end a transfer early and still report success, and the
    // device then holds a mix of the new image and the old file system that
    // mounts and passes the version check. Only the bytes received count:
    // what the copy's last whole chunk adds is whatever the RAM disk held.
    int64_t limit = run->received;
    unsigned char superblock[EXT2_SUPERBLOCK_SIZE];
    UniqueFd fd(open(standby_device, O_RDONLY | O_CLOEXEC));
    bool read_ok = fd.fd >= 0 && pread(fd.fd, superblock, sizeof superblock,
                                       EXT2_SUPERBLOCK_OFFSET) == ssize_t(sizeof superblock);
    if (!read_ok || !ext2_image_fits(superblock, limit))
        download_rejected("The installed image is incomplete\n");
}

void release_standby_claim() {
    if (standby_claim_fd >= 0)
        close(standby_claim_fd);
    standby_claim_fd = -1;
}

bool leftover_removable(const char *name) {
    return name[0] != '\0' && name[0] != '.' && strchr(name, '/') == nullptr;
}

bool ext2_image_fits(const unsigned char *superblock, int64_t limit) {
    auto le = [superblock](int at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | superblock[at + i];
        return v;
    };
    if (le(EXT2_MAGIC_AT, 2) != EXT2_MAGIC)
        return false;
    uint32_t log_block = le(EXT2_LOG_BLOCK_SIZE_AT, 4);
    if (log_block > EXT2_LOG_BLOCK_SIZE_MAX)
        return false;
    int64_t bytes = int64_t(le(EXT2_BLOCKS_COUNT_AT, 4)) << (10 + log_block);
    return bytes > 0 && bytes <= limit;
}
