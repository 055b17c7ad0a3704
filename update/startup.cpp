// The run up to the first FTP contact: start-up report, "Using the ..." line,
// marker and old-version checks, SIGTERM handling, the standby device path.
#include "update_internal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char *mode_names[] = {"auto", "active", "passive"};
constexpr const char *TARGET_FAILED = "Error %i (Target)\n";

void read_standby_device() {
    int fd = open_regular(STANDBY_MARKER);
    if (fd < 0) {
        run_failed(UPDATE_EXIT_OPEN, TARGET_FAILED, "Cannot open %s\n", STANDBY_MARKER);
    }
    // One byte more than the path, to see whether the partition number goes on.
    char text[STANDBY_DEVICE_SIZE + 1] = {};
    ssize_t n = read(fd, text, STANDBY_DEVICE_SIZE);
    close(fd);
    if (n < 0) {
        run_failed(UPDATE_EXIT_READ, TARGET_FAILED, "Cannot read the file %s\n", STANDBY_MARKER);
    }
    ssize_t path_len = n < STANDBY_DEVICE_SIZE - 1 ? n : STANDBY_DEVICE_SIZE - 1;
    memcpy(standby_device, text, static_cast<size_t>(path_len));
    // Without a partition we would unmount the standby partition and then
    // write the image into a file of that name instead, never to remount it.
    bool more_digits = n == STANDBY_DEVICE_SIZE && isdigit(static_cast<unsigned char>(text[9]));
    if (!standby_device_valid(standby_device) || more_digits) {
        run_failed(UPDATE_EXIT_READ, TARGET_FAILED, "No partition named in %s\n", STANDBY_MARKER);
    }
}

// Writing the image over the partition the box runs from would leave
// nothing to boot; refused before the server is contacted.
void refuse_active_partition() {
    int fd = open_regular(ACTIVE_MARKER);
    if (fd < 0)
        return; // the exclusive open at write time still guards the device
    // One byte more than the path, to tell /dev/hda1 from /dev/hda12.
    char active[STANDBY_DEVICE_SIZE + 1] = {};
    ssize_t n = read(fd, active, STANDBY_DEVICE_SIZE);
    close(fd);
    if (n < STANDBY_DEVICE_SIZE - 1 || isdigit(static_cast<unsigned char>(active[9])) ||
        strncmp(active, standby_device, STANDBY_DEVICE_SIZE - 1) != 0)
        return;
    run_failed(UPDATE_EXIT_READ, TARGET_FAILED, "%s names the active partition\n", STANDBY_MARKER);
}

// A device mounted elsewhere would be unmounted from nowhere, refused by the
// exclusive open, and then mounted a second time at the standby mount point.
// Compared by device number: the mount may name the device differently.
void refuse_mounted_elsewhere() {
    struct stat st;
    if (stat(standby_device, &st) != 0 || !S_ISBLK(st.st_mode))
        return; // the exclusive open refuses it before anything is written
    FilePtr table(fopen(MOUNT_TABLE, "re"));
    if (!table)
        return; // without /proc the exclusive open is the one guard left
    char *line = nullptr;
    size_t cap = 0;
    char where[256] = "";
    bool found = false;
    while (!found && getline(&line, &cap, table.get()) > 0)
        found = mounted_elsewhere(line, major(st.st_rdev), minor(st.st_rdev), where, sizeof where);
    free(line);
    if (found)
        run_failed(UPDATE_EXIT_READ, TARGET_FAILED, "%s is mounted at %s\n", standby_device, where);
}

} // namespace

bool mounted_elsewhere(const char *line, unsigned dev_major, unsigned dev_minor, char *where,
                       size_t size) {
    // "id parent major:minor root mount-point options ..."
    unsigned line_major = 0, line_minor = 0;
    int at = 0;
    if (sscanf(line, "%*u %*u %u:%u %*s %n", &line_major, &line_minor, &at) != 2 || at == 0)
        return false;
    if (line_major != dev_major || line_minor != dev_minor)
        return false;
    const char *point = line + at;
    size_t len = strcspn(point, " \n");
    if (len == strlen(STANDBY_MOUNT) && strncmp(point, STANDBY_MOUNT, len) == 0)
        return false;
    snprintf(where, size, "%.*s", static_cast<int>(len), point);
    return true;
}

void take_run_lock() {
    // Never released: the lock goes when the process ends, however it ends.
    int fd = run_lock_take(RUN_LOCK_FILE);
    if (fd == RUN_LOCK_BUSY) {
        printf("\n  %s: Another update or swap is running\n\n", program_name);
        fflush(stdout);
        update_terminate(UPDATE_EXIT_BUSY);
    }
    if (fd == RUN_LOCK_FAILED) {
        printf("\n  %s: Cannot open %s\n\n", program_name, RUN_LOCK_FILE);
        fflush(stdout);
        update_terminate(UPDATE_EXIT_OPEN);
    }
    // Left by a run that died while it replaced the state file.
    file_replace_clean(update_state_path);
}

bool standby_device_valid(const char *text) {
    return strncmp(text, "/dev/hda", 8) == 0 && isdigit(static_cast<unsigned char>(text[8])) &&
           text[9] == '\0';
}

void update_start(UpdateRun *run) {
    const UpdateSettings *s = &run->settings;
    const char *mode = mode_names[s->mode];
    const char *transfer = run_flag(RUN_DIRECT) ? "direct" : "indirect";
    debug_print("\n  %s: Starting update %.6s\n\n", program_name, UPDATE_VERSION_BANNER);
    debug_print("  %s: Host......: %s\n", program_name, s->host);
    debug_print("  %s: User......: %s\n", program_name, s->user);
    debug_print("  %s: Password..: %s\n", program_name, s->password);
    debug_print("  %s: Filename..: %s %s\n", program_name, s->image,
                run_flag(RUN_FORCED) ? "(forced mode)" : "");
    debug_print("  %s: FTP mode..: %s\n", program_name, mode);
    debug_print("  %s: Download..: %s\n", program_name, transfer);
    debug_print("\n");
    fflush(stdout);
    write_state(update_state_path, "Using the %s %s FTP mode\n", transfer, mode);

    // Looked at, never opened: a FIFO there would hold the open. Whatever
    // stands there counts, so that nothing but its absence lifts the checks.
    struct stat st;
    if (stat(SMSC_MARKER, &st) != 0)
        run_flag_set(RUN_FORCED);

    if (!run_flag(RUN_FORCED) && old_version_index(s->image) >= 0) {
        run_failed(UPDATE_EXIT_OLD_VERSION, "Please download a newer SWI\n",
                   "Please download a newer SWI\n");
    }

    if (install_sigterm_handling() != 0) {
        run_failed(UPDATE_EXIT_SIGNAL, "Error %i (Signal)\n",
                   "Cannot link the signalhandler for SIGTERM\n");
    }

    read_standby_device();
    refuse_active_partition();
    refuse_mounted_elsewhere();
}
