#pragma once
// The update run: command line, state file, termination, progress monitors,
// FTP failure reporting, download and installation of one software image onto
// the standby partition.
//
// Threads: the main thread does all the work and is the only one that runs
// update_terminate and talks FTP. Monitor threads only read run_flags,
// transfer_bytes and image_size and write reports. Anything that must end the
// run from elsewhere (SIGTERM, a monitor that cannot write the state file)
// posts a termination request; the main thread acts on it at once (it is
// interrupted out of blocking calls until it does).

#include "ftp.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string>

// --- exit codes ---
constexpr int UPDATE_EXIT_OK = 0;
constexpr int UPDATE_EXIT_TERMINATED = 1;  // SIGTERM
constexpr int UPDATE_EXIT_INVALID = 2;     // invalid argument or mode
constexpr int UPDATE_EXIT_MISSING = 3;     // option without its value
constexpr int UPDATE_EXIT_OLD_VERSION = 4; // image name or installed version is too old
constexpr int UPDATE_EXIT_SIGNAL = 5;      // SIGTERM handling could not be set up
constexpr int UPDATE_EXIT_OPEN = 21;       // a file cannot be opened (state file included)
constexpr int UPDATE_EXIT_READ = 22;       // a file cannot be read
constexpr int UPDATE_EXIT_WRITE = 23;      // the copy onto the device failed
constexpr int UPDATE_EXIT_UMOUNT = 41;     // standby partition not unmounted
constexpr int UPDATE_EXIT_MOUNT = 42;      // standby partition not remounted
constexpr int UPDATE_EXIT_CONNECT = 61;    // no FTP connection
constexpr int UPDATE_EXIT_LOGIN = 62;      // login failed
constexpr int UPDATE_EXIT_TYPE = 63;       // TYPE I failed
constexpr int UPDATE_EXIT_DOWNLOAD = 64;   // download failed
constexpr int UPDATE_EXIT_RESOURCE = 255;  // a resource still held after clean-up

// --- run_flags ---
constexpr uint32_t RUN_DEBUG = 0x80000000u;
constexpr uint32_t RUN_DIRECT = 0x40000000u;
constexpr uint32_t RUN_FORCED = 0x20000000u;
constexpr uint32_t RUN_UNMOUNTED = 0x00000001u;
constexpr uint32_t RUN_FTP_OPEN = 0x00000002u;
constexpr uint32_t RUN_DOWNLOAD_MONITOR = 0x00000004u;
constexpr uint32_t RUN_INSTALL_MONITOR = 0x00000008u;
constexpr uint32_t RUN_RESOURCES = 0x00FFFFFFu;

// --- FTP modes (-m) ---
constexpr int FTP_MODE_AUTO = 0;
constexpr int FTP_MODE_ACTIVE = 1;
constexpr int FTP_MODE_PASSIVE = 2;

// --- fixed paths and texts ---
constexpr const char *UPDATE_STATE_FILE = "/cfg/.update.state";
constexpr const char *SMSC_MARKER = "/.smsc91c111";
constexpr const char *STANDBY_MARKER = "/.standby_partition";
constexpr const char *ACTIVE_MARKER = "/.active_partition";
constexpr const char *STANDBY_MOUNT = "/standby_partition";
constexpr const char *STANDBY_VERSION_FILE = "/standby_partition/.version";
constexpr const char *RAMDISK_PATH = "dev/ram1"; // relative: the run's cwd is "/"
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
constexpr size_t SERVER_TEXT_MAX = 200; // characters of a server's text kept for the state file
constexpr int COPY_BATCH = 64; // chunks per system call where the copy cannot splice

// --- termination requests (posted from other threads or the signal handler) ---
constexpr int TERM_REQUEST_NONE = 0;
constexpr int TERM_REQUEST_USER = 1;       // SIGTERM
constexpr int TERM_REQUEST_STATE_FILE = 2; // a monitor could not write the state file

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
extern pthread_t download_thread;
extern pthread_t install_thread;
// Where write_state's callers write; the state file unless a test points it elsewhere.
extern const char *update_state_path;

// The thread that called update_init; it alone ends the run.
extern pthread_t main_thread;

// Sets program_name and remembers the calling thread as the main thread.
void update_init(const char *argv0);

// Returns true on the thread that called update_init.
bool update_on_main_thread();

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

// printf to standard output only with RUN_DEBUG.
void debug_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Returns the index of text in old_versions (walked from 9 down to 0), or -1.
int old_version_index(const char *text);

// --- command line ---
constexpr int CMDLINE_OK = 0;
constexpr int CMDLINE_USAGE = 1;            // -H met
constexpr int CMDLINE_VERSION = 2;          // -v met
constexpr int CMDLINE_INVALID_ARGUMENT = 3; // no "-", lone "-", unknown letter
constexpr int CMDLINE_INVALID_MODE = 4;     // -m outside 0..2
constexpr int CMDLINE_MISSING_VALUE = 5;    // option letter in *letter lacks its value

// Takes the options after argv[0] left to right into *s and run_flags, stopping
// at the first that ends the run. Returns CMDLINE_OK, CMDLINE_USAGE,
// CMDLINE_VERSION, CMDLINE_INVALID_ARGUMENT, CMDLINE_INVALID_MODE or
// CMDLINE_MISSING_VALUE (with the option letter in *letter).
int parse_command_line(int argc, char **argv, UpdateSettings *s, char *letter);

// Reads the -m value like atoi, but a long run of digits stops growing at a
// cap instead of wrapping, so no text overflows into range.
// Returns the value, or 0 when the text holds no number.
long parse_mode(const char *text);

// Prints the usage text.
void print_usage();

// Handles the command line: settings filled, or the run ended (errors through
// update_terminate, -H and -v by exit 0). Returns only on CMDLINE_OK.
void take_command_line(int argc, char **argv, UpdateSettings *s);

// --- state file ---

// Replaces the state file at path with one formatted message, atomically (a
// temporary file renamed over it), so readers and concurrent writers never see
// a mix. Returns 0 when written. On failure: on the main thread it ends the
// run with 21 and does not return; elsewhere it posts TERM_REQUEST_STATE_FILE
// and returns UPDATE_EXIT_OPEN.
int write_state(const char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));

// --- termination ---

// Ends the run with code after releasing what run_flags says is held,
// remounting, checking the installed version and writing the final message.
// Main thread only; each clean-up step runs at most once even when it is
// entered again from inside. Never returns.
[[noreturn]] void update_terminate(int code);

// Records a request to end the run (the first one wins) and wakes the watcher,
// which interrupts the main thread until it acts. Async-signal-safe.
void request_termination(int request);

// Returns the pending request (TERM_REQUEST_NONE when there is none).
int pending_termination();

// On the main thread: acts on a pending request, once, and then does not
// return; returns at once when nothing is pending or it was already taken.
void termination_point();

// The SIGTERM handler: posts TERM_REQUEST_USER.
void on_sigterm(int signum);

// Installs on_sigterm and starts the watcher thread. Returns 0, or -1 when
// either fails.
int install_sigterm_handling();

// Creates a thread with SIGTERM and SIGALRM blocked, so that they keep landing
// on the main thread. Returns pthread_create's result.
int spawn_thread(pthread_t *thread, void *(*entry)(void *));

// --- progress monitors ---

// Download percentage: bytes against 4,096,000 bytes, unbounded.
int download_percent(int32_t bytes);

// Installation percentage of size, with a 64-bit product; 100 for an empty image.
int install_percent(int32_t bytes, int32_t size);

// Thread entries; each reports every 200 ms while its run_flags bit is set,
// then once more, and returns nullptr.
void *download_monitor(void *);
void *install_monitor(void *);

// Clears a monitor's bit and wakes it from its pause, so that it ends at
// once, then joins thread unless it is null (no monitor was started).
void monitor_stop(uint32_t bit, const pthread_t *thread);

// --- FTP failure reporting ---

// Returns the fixed text for a reply code of the failure table (line end
// included), or nullptr for a code that reports the client's own text.
const char *ftp_failure_text(int code);

// Reports a failed FTP step on the console (with RUN_DEBUG) and in the state
// file: the table's text for a known code, else as report_ftp_text. The
// caller keeps and frees text.
void report_ftp_failure(int code, const char *text);

// Returns text (from the server or the FTP client) as one state-file line:
// pieces joined by "; ", control and non-ASCII bytes dropped, cut to
// SERVER_TEXT_MAX characters, the verdict phrase withheld, "\n" at the end.
std::string server_text_line(const char *text);

// Reports the client's own text for a failed FTP step (console with
// RUN_DEBUG, state file), or a fixed line naming code when there is no text.
void report_ftp_text(int code, const char *text);

// --- startup and installation ---

// Returns true when name may be removed after a failed download: a plain file
// name in the working directory, not hidden, not a path.
bool leftover_removable(const char *name);

// Returns true when text (the marker file's first bytes) names a disk partition:
// "/dev/hda" followed by a digit.
bool standby_device_valid(const char *text);

// Copies whole 1024-byte chunks from one descriptor to the other (in copy.cpp),
// advancing transfer_bytes, until it reaches image_size: the target gets the
// image rounded up to a whole chunk. Returns 0; 22 when a read fails or the
// source ends first; 23 when a write takes fewer bytes than were read.
int copy_image(int from, int to);

// The ext2 superblock: where it lies on the device and the fields we check.
constexpr int EXT2_SUPERBLOCK_OFFSET = 1024;
constexpr int EXT2_SUPERBLOCK_SIZE = 1024;
constexpr int EXT2_BLOCKS_COUNT_AT = 4;    // le32
constexpr int EXT2_LOG_BLOCK_SIZE_AT = 24; // le32: block size is 1024 << this
constexpr int EXT2_MAGIC_AT = 56;          // le16
constexpr uint32_t EXT2_MAGIC = 0xEF53;
constexpr uint32_t EXT2_LOG_BLOCK_SIZE_MAX = 6; // 64 KiB blocks

// Returns true when superblock (EXT2_SUPERBLOCK_SIZE bytes) is an ext2 one
// whose file system ends within limit bytes of the device.
bool ext2_image_fits(const unsigned char *superblock, int64_t limit);

// Closes the exclusive hold on the standby device, if any, so that it can be
// mounted again.
void release_standby_claim();

// Start-up report, "Using the ..." line, marker and old-version checks,
// SIGTERM handling and the standby device path. Returns only when all passed.
void update_start(const UpdateSettings *s);

// Connects, logs in, transfers and installs; ends through update_terminate.
[[noreturn]] void update_install(const UpdateSettings *s);
