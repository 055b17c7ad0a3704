// Download and installation: FTP session, transfer onto the standby device or
// into the RAM disk, and the copy from the RAM disk onto the device.
#include "update.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
                  std::atomic<int32_t>::is_always_lock_free,
              "ftp_get advances transfer_bytes through a plain int32_t pointer");

namespace {

// Ends the run with code after an FTP step failed; frees err.
[[noreturn]] void ftp_step_failed(int rc, char *err, int code) {
    report_ftp_failure(rc, err);
    free(err);
    update_terminate(code);
}

void unmount_standby(const char *how) {
    // Not mounted at all (a run cut off by a power failure): nothing to undo,
    // and the remount at the end puts it back.
    if (umount(STANDBY_MOUNT) != 0 && errno != EINVAL) {
        debug_print("  %s: Cannot umount the target partition\n", program_name);
        write_state(update_state_path, "Error %i (%s)\n", UPDATE_EXIT_UMOUNT, how);
        update_terminate(UPDATE_EXIT_UMOUNT);
    }
    run_flag_set(RUN_UNMOUNTED);
}

// Starts a monitor; without a thread the run goes on unreported.
bool start_monitor(uint32_t bit, pthread_t *thread, void *(*entry)(void *)) {
    transfer_bytes.store(0, std::memory_order_relaxed);
    run_flag_set(bit);
    if (spawn_thread(thread, entry) == 0)
        return true;
    run_flag_clear(bit);
    return false;
}

int32_t *counter() {
    return reinterpret_cast<int32_t *>(&transfer_bytes);
}

// One download attempt; *received gets the bytes it brought.
int fetch(FtpSession *s, const UpdateSettings *settings, const char *local, char **err,
          int64_t *received) {
    int32_t before = transfer_bytes.load(std::memory_order_relaxed);
    int rc = ftp_get(s, local, settings->image, nullptr, err, counter());
    *received = int64_t(transfer_bytes.load(std::memory_order_relaxed)) - before;
    return rc;
}

// Returns the transfer's result; err gets the text of the attempt that counts,
// *received the bytes of the attempt that succeeded.
int transfer(FtpSession *s, const UpdateSettings *settings, const char *local, char **err,
             int64_t *received) {
    if (settings->mode != FTP_MODE_AUTO) {
        ftp_set_passive(s, settings->mode == FTP_MODE_PASSIVE);
        return fetch(s, settings, local, err, received);
    }
    ftp_set_passive(s, 0);
    int rc = fetch(s, settings, local, nullptr, received);
    termination_point();
    if (rc == FTP_OK)
        return rc;
    // The progress keeps counting across both attempts; the image is what
    // the passive one brought.
    ftp_set_passive(s, 1);
    return fetch(s, settings, local, err, received);
}

// Ends the run with 64 and one fixed line.
[[noreturn]] void download_rejected(const char *line) {
    debug_print("  %s: %s", program_name, line);
    write_state(update_state_path, "%s", line);
    update_terminate(UPDATE_EXIT_DOWNLOAD);
}

// A server may end a transfer early and still report success, and the device
// then holds a mix of the new image and the old file system that mounts and
// passes the version check.
void check_installed_image(int64_t limit) {
    unsigned char superblock[EXT2_SUPERBLOCK_SIZE];
    int fd = open(standby_device, O_RDONLY | O_CLOEXEC);
    bool read_ok = fd >= 0 && pread(fd, superblock, sizeof superblock, EXT2_SUPERBLOCK_OFFSET) ==
                                  static_cast<ssize_t>(sizeof superblock);
    if (fd >= 0)
        close(fd);
    if (!read_ok || !ext2_image_fits(superblock, limit))
        download_rejected("The installed image is incomplete\n");
}

void remove_leftover(const char *name) {
    struct stat st;
    if (leftover_removable(name) && lstat(name, &st) == 0 && S_ISREG(st.st_mode))
        remove(name);
}

// Returns true when the device's written blocks are on the disk.
bool sync_device(const char *path) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

[[noreturn]] void copy_failed(int code) {
    debug_print("  %s: An error occured while the SWI was copied into the target partition\n",
                program_name);
    write_state(update_state_path, "Error while installing\n");
    update_terminate(code);
}

int standby_claim_fd = -1;

int open_for_copy(const char *path, int flags) {
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        debug_print("  %s: Cannot open %s\n", program_name, path);
        write_state(update_state_path, "Error %i (Indirect)\n", UPDATE_EXIT_OPEN);
        update_terminate(UPDATE_EXIT_OPEN);
    }
    return fd;
}

// Opens the standby device exclusively: the kernel refuses while it is
// mounted anywhere, so a marker naming the running system's partition, or a
// name that is no block device, never receives the image.
int claim_standby(const char *how, int flags) {
    int fd = open(standby_device, flags | O_EXCL | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        standby_claim_fd = fd;
        return fd;
    }
    if (fd >= 0)
        close(fd);
    debug_print("  %s: Cannot open %s for itself alone\n", program_name, standby_device);
    write_state(update_state_path, "Error %i (%s)\n", UPDATE_EXIT_OPEN, how);
    update_terminate(UPDATE_EXIT_OPEN);
}

[[noreturn]] void install_from_ramdisk() {
    unmount_standby("Indirect");
    int ram = open_for_copy(RAMDISK_PATH, O_RDONLY);
    int dev = claim_standby("Indirect", O_WRONLY);
    bool monitored = start_monitor(RUN_INSTALL_MONITOR, &install_thread, install_monitor);

    int rc = copy_image(ram, dev);
    if (rc != 0)
        copy_failed(rc);
    termination_point();
    if (fsync(dev) != 0)
        copy_failed(UPDATE_EXIT_WRITE);

    monitor_stop(RUN_INSTALL_MONITOR, monitored ? &install_thread : nullptr);
    close(ram);
    standby_claim_fd = -1;
    if (close(dev) != 0)
        copy_failed(UPDATE_EXIT_WRITE);
    // The copy moves whole chunks: up to one more than the download.
    int64_t size = image_size.load(std::memory_order_relaxed);
    check_installed_image((size + COPY_CHUNK - 1) / COPY_CHUNK * COPY_CHUNK);
    update_terminate(UPDATE_EXIT_OK);
}

} // namespace

bool leftover_removable(const char *name) {
    return name[0] != '\0' && name[0] != '.' && strchr(name, '/') == nullptr;
}

void update_install(const UpdateSettings *s) {
    char *err = nullptr;
    termination_point();
    FtpSession *session = ftp_connect(s->host, 0, nullptr, &err);
    if (session != nullptr) {
        ftp_session = session;
        run_flag_set(RUN_FTP_OPEN);
    }
    // A connect cut short by SIGTERM is no failure of the server.
    termination_point();
    if (session == nullptr) {
        report_ftp_text(FTP_ERR, err);
        free(err);
        update_terminate(UPDATE_EXIT_CONNECT);
    }

    int rc = ftp_login(session, s->user, s->password, nullptr, nullptr, &err);
    termination_point();
    if (rc == 530) {
        free(err);
        report_ftp_failure(FTP_ERR, "Login failed\n");
        update_terminate(UPDATE_EXIT_LOGIN);
    }
    if (rc != FTP_OK)
        ftp_step_failed(rc, err, UPDATE_EXIT_LOGIN);
    // Each step reports only its own text.
    free(err);
    err = nullptr;

    rc = ftp_type(session, FTP_TYPE_IMAGE, nullptr, &err);
    termination_point();
    if (rc != FTP_OK)
        ftp_step_failed(rc, err, UPDATE_EXIT_TYPE);
    free(err);
    err = nullptr;

    bool direct = run_flag(RUN_DIRECT);
    const char *local = direct ? standby_device : RAMDISK_PATH;
    if (direct) {
        unmount_standby("Direct");
        claim_standby("Direct", O_RDONLY);
    }
    termination_point();

    bool monitored = start_monitor(RUN_DOWNLOAD_MONITOR, &download_thread, download_monitor);
    int64_t received = 0;
    rc = transfer(session, s, local, &err, &received);
    termination_point();
    monitor_stop(RUN_DOWNLOAD_MONITOR, monitored ? &download_thread : nullptr);

    if (rc != FTP_OK) {
        remove_leftover(s->image);
        ftp_step_failed(rc, err, UPDATE_EXIT_DOWNLOAD);
    }
    free(err);
    err = nullptr;

    if (ftp_quit(session, nullptr, nullptr) == FTP_OK)
        ftp_session = nullptr;
    run_flag_clear(RUN_FTP_OPEN);
    termination_point();
    if (received <= 0)
        download_rejected("The downloaded image is empty\n");
    // Room for the copy's rounding up to whole batches of chunks.
    if (received > INT32_MAX - COPY_CHUNK * COPY_BATCH)
        download_rejected("The downloaded image is too large\n");
    image_size.store(static_cast<int32_t>(received), std::memory_order_relaxed);

    if (!direct)
        install_from_ramdisk();
    if (!sync_device(standby_device)) {
        debug_print("  %s: Cannot sync the target partition\n", program_name);
        write_state(update_state_path, "Cannot sync the target partition\n");
        update_terminate(UPDATE_EXIT_DOWNLOAD);
    }
    check_installed_image(received);
    update_terminate(UPDATE_EXIT_OK);
}

void release_standby_claim() {
    if (standby_claim_fd >= 0)
        close(standby_claim_fd);
    standby_claim_fd = -1;
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
