// Download and installation: FTP session, transfer onto the standby device or
// into the RAM disk, and the copy from the RAM disk onto the device.
#include "update.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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
    if (umount(STANDBY_MOUNT) != 0) {
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

// Returns the transfer's result; err gets the text of the attempt that counts.
int transfer(FtpSession *s, const UpdateSettings *settings, const char *local, char **err) {
    if (settings->mode != FTP_MODE_AUTO) {
        ftp_set_passive(s, settings->mode == FTP_MODE_PASSIVE);
        return ftp_get(s, local, settings->image, nullptr, err, counter());
    }
    ftp_set_passive(s, 0);
    int rc = ftp_get(s, local, settings->image, nullptr, nullptr, counter());
    termination_point();
    if (rc == FTP_OK)
        return rc;
    // Not reset: both attempts count, in the progress and in the length the
    // copy takes from the RAM disk, which is larger than any image.
    ftp_set_passive(s, 1);
    return ftp_get(s, local, settings->image, nullptr, err, counter());
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

int open_for_copy(const char *path, int flags) {
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        debug_print("  %s: Cannot open %s\n", program_name, path);
        write_state(update_state_path, "Error %i (Indirect)\n", UPDATE_EXIT_OPEN);
        update_terminate(UPDATE_EXIT_OPEN);
    }
    return fd;
}

[[noreturn]] void install_from_ramdisk() {
    unmount_standby("Indirect");
    int ram = open_for_copy(RAMDISK_PATH, O_RDONLY);
    int dev = open_for_copy(standby_device, O_WRONLY);
    bool monitored = start_monitor(RUN_INSTALL_MONITOR, &install_thread, install_monitor);

    int rc = copy_image(ram, dev);
    if (rc != 0)
        copy_failed(rc);
    termination_point();
    if (fsync(dev) != 0)
        copy_failed(UPDATE_EXIT_WRITE);

    monitor_stop(RUN_INSTALL_MONITOR, monitored ? &install_thread : nullptr);
    close(ram);
    if (close(dev) != 0)
        copy_failed(UPDATE_EXIT_WRITE);
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
    if (direct)
        unmount_standby("Direct");
    termination_point();

    bool monitored = start_monitor(RUN_DOWNLOAD_MONITOR, &download_thread, download_monitor);
    rc = transfer(session, s, local, &err);
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
    image_size.store(transfer_bytes.load(std::memory_order_relaxed), std::memory_order_relaxed);
    termination_point();

    if (!direct)
        install_from_ramdisk();
    if (!sync_device(standby_device)) {
        debug_print("  %s: Cannot sync the target partition\n", program_name);
        write_state(update_state_path, "Cannot sync the target partition\n");
        update_terminate(UPDATE_EXIT_DOWNLOAD);
    }
    update_terminate(UPDATE_EXIT_OK);
}
