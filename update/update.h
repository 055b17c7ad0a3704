#pragma once
// The update program: fetches one software image by FTP, writes it onto the
// standby partition (directly or through the RAM disk), reports in the
// one-line state file and ends with one of the exit codes below.
//
// Threads: the main thread does all the work and is the only one that runs
// update_terminate and talks FTP. One progress monitor at a time runs beside
// it; it only reads run_flags, transfer_bytes and image_size and writes
// reports. Internals and test seams are in update_internal.h.

#include "base.h"
#include "ftp.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

// --- exit codes ---
constexpr int UPDATE_EXIT_OK = 0;
constexpr int UPDATE_EXIT_TERMINATED = 1;  // SIGTERM, SIGINT or SIGHUP
constexpr int UPDATE_EXIT_INVALID = 2;     // invalid argument or mode
constexpr int UPDATE_EXIT_MISSING = 3;     // option without its value
constexpr int UPDATE_EXIT_OLD_VERSION = 4; // image name or installed version is too old
constexpr int UPDATE_EXIT_SIGNAL = 5;      // signal handling could not be set up
constexpr int UPDATE_EXIT_BUSY = 6;        // another update or swap holds the run lock
constexpr int UPDATE_EXIT_OPEN = 21;       // a file cannot be opened (state file included)
constexpr int UPDATE_EXIT_READ = 22;       // a file cannot be read
constexpr int UPDATE_EXIT_WRITE = 23;      // the copy onto the device failed
constexpr int UPDATE_EXIT_UMOUNT = 41;     // standby partition not unmounted
constexpr int UPDATE_EXIT_MOUNT = 42;      // standby partition not remounted
constexpr int UPDATE_EXIT_CONNECT = 61;    // no FTP connection
constexpr int UPDATE_EXIT_LOGIN = 62;      // login failed
constexpr int UPDATE_EXIT_TYPE = 63;       // TYPE I failed
constexpr int UPDATE_EXIT_DOWNLOAD = 64;   // download failed or not a whole image
constexpr int UPDATE_EXIT_SIGNATURE = 65;  // image not signed by a trusted key

// --- run_flags ---
constexpr uint32_t RUN_DEBUG = 0x80000000u;
constexpr uint32_t RUN_DIRECT = 0x40000000u;
constexpr uint32_t RUN_FORCED = 0x20000000u;
constexpr uint32_t RUN_UNMOUNTED = 0x00000001u;
constexpr uint32_t RUN_FTP_OPEN = 0x00000002u;
constexpr uint32_t RUN_DOWNLOAD_MONITOR = 0x00000004u;
constexpr uint32_t RUN_INSTALL_MONITOR = 0x00000008u;

// --- FTP modes (-m) ---
constexpr int FTP_MODE_AUTO = 0;
constexpr int FTP_MODE_ACTIVE = 1;
constexpr int FTP_MODE_PASSIVE = 2;

// --- fixed paths and texts ---
constexpr const char *SMSC_MARKER = "/.smsc91c111";
constexpr const char *STANDBY_MARKER = "/.standby_partition";
constexpr const char *ACTIVE_MARKER = "/.active_partition";
constexpr const char *STANDBY_MOUNT = "/standby_partition";
constexpr const char *STANDBY_VERSION_FILE = "/standby_partition/.version";
constexpr const char *RAMDISK_PATH = "dev/ram1"; // relative: the run's cwd is "/"
constexpr const char *MOUNT_TABLE = "/proc/self/mountinfo";
constexpr const char *UPDATE_VERSION_BANNER = "v2.02 by the appliance maintenance team";
constexpr const char *DEFAULT_HOST = "127.0.0.1";
constexpr const char *DEFAULT_USER = "anonymous";
constexpr const char *DEFAULT_PASSWORD = "updater@nimbotex.lan";
constexpr const char *DEFAULT_IMAGE = "nimbotex";
constexpr int VERSION_ID_LEN = 14; // "nimbotex.x.y.z"
constexpr int OLD_VERSION_COUNT = 10;
constexpr int STANDBY_DEVICE_SIZE = 10; // "/dev/hdax" and its NUL
constexpr int MONITOR_PERIOD_US = 200000;
constexpr int COPY_CHUNK = 1024;

// Run settings; the texts point into argv or at the defaults above.
struct UpdateSettings {
    const char *host;
    const char *user;
    const char *password;
    const char *image;
    int mode;
};

// --- process-wide state ---
extern const char *program_name;
extern std::atomic<uint32_t> run_flags;
extern char standby_device[STANDBY_DEVICE_SIZE];
extern const char *const old_versions[OLD_VERSION_COUNT];
extern std::atomic<int32_t> transfer_bytes;
extern std::atomic<int32_t> image_size;
extern FtpSession *ftp_session;
// The progress monitor that runs, if any: only one ever runs at a time.
extern pthread_t monitor_thread;

// Returns true when any bit of mask is set in run_flags.
inline bool run_flag(uint32_t mask) {
    return (run_flags.load(std::memory_order_relaxed) & mask) != 0;
}
inline void run_flag_set(uint32_t mask) {
    run_flags.fetch_or(mask, std::memory_order_relaxed);
}
inline void run_flag_clear(uint32_t mask) {
    run_flags.fetch_and(~mask, std::memory_order_relaxed);
}

// The whole run: command line, start-up checks, connect, login, type,
// unmount, transfer, quit, install, check and verdict. Never returns.
[[noreturn]] void update_run(int argc, char **argv);

// Prints the usage text.
void print_usage();

// Replaces the state file at path with one formatted message (synced, renamed
// into place). Returns 0 when written. When it cannot be written the file is
// removed, and then on the main thread the run ends with 21; elsewhere the
// main thread is asked to end it and 21 is returned.
int write_state(const char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Ends the run with code after releasing what run_flags says is held,
// remounting, checking the installed version and writing the final message.
// Main thread only; each clean-up step runs at most once even when it is
// entered again from inside. Never returns.
[[noreturn]] void update_terminate(int code);

// The handler of SIGTERM, SIGINT and SIGHUP: asks the main thread to end the
// run with 1.
void on_sigterm(int signum);

// Thread entries; each reports every 200 ms while its run_flags bit is set,
// then once more, and returns nullptr.
void *download_monitor(void *);
void *install_monitor(void *);

// Reports a failed FTP step on the console (with RUN_DEBUG) and in the state
// file: the fixed text for a known reply code, else text as one line. The
// caller keeps and frees text.
void report_ftp_failure(int code, const char *text);
