#pragma once
// Pieces shared by the files of update and its tests; not the program's
// interface.

#include "update.h"

#include <string>

constexpr int COPY_BATCH = 64;          // chunks per read/write where sendfile is refused
constexpr size_t SERVER_TEXT_MAX = 200; // characters of a server's text kept for the state file

// The ext2 superblock: where it lies on the device and the fields we check.
constexpr int EXT2_SUPERBLOCK_OFFSET = 1024;
constexpr int EXT2_SUPERBLOCK_SIZE = 1024;
constexpr int EXT2_BLOCKS_COUNT_AT = 4;    // le32
constexpr int EXT2_LOG_BLOCK_SIZE_AT = 24; // le32: block size is 1024 << this
constexpr int EXT2_MAGIC_AT = 56;          // le16
constexpr uint32_t EXT2_MAGIC = 0xEF53;
constexpr uint32_t EXT2_LOG_BLOCK_SIZE_MAX = 6; // 64 KiB blocks

// Where write_state's callers write; the state file unless a test points it elsewhere.
extern const char *update_state_path;

// The thread that called update_init; it alone ends the run.
extern pthread_t main_thread;

// One run's settings and what its steps hand on to the next.
struct UpdateRun {
    UpdateSettings settings;
    int result;       // of the transfer
    char *err;        // the transfer's error text
    int64_t received; // bytes of the transfer attempt that succeeded
    bool monitored;   // a monitor thread was started
};

// Sets program_name and remembers the calling thread as the main thread.
void update_init(const char *argv0);

// Returns true on the thread that called update_init.
bool update_on_main_thread();

// printf to standard output only with RUN_DEBUG.
void debug_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The pattern of every failure: with RUN_DEBUG a console line ("  update: "
// and console with its values), then one state-file line, the format state
// with code as its one value.
void report_failure(int code, const char *state, const char *console, ...)
    __attribute__((format(printf, 3, 4)));

// report_failure, then update_terminate with code.
[[noreturn]] void run_failed(int code, const char *state, const char *console, ...)
    __attribute__((format(printf, 3, 4)));

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

// Handles the command line: settings filled and the run lock taken, or the
// run ended (errors through update_terminate, -H and -v by exit 0, without
// the lock). Returns only on CMDLINE_OK.
void take_command_line(int argc, char **argv, UpdateSettings *s);

// --- termination requests (posted from other threads or a signal handler) ---
constexpr int TERM_REQUEST_NONE = 0;
constexpr int TERM_REQUEST_USER = 1;       // SIGTERM, SIGINT or SIGHUP
constexpr int TERM_REQUEST_STATE_FILE = 2; // a monitor could not write the state file

// Records a request to end the run (the first one wins) and wakes the watcher,
// which interrupts the main thread until it acts. Async-signal-safe.
void request_termination(int request);

// On the main thread: acts on a pending request, once, and then does not
// return; returns at once when nothing is pending or it was already taken.
void termination_point();

// Installs on_sigterm and starts the watcher thread. Returns 0, or -1 when
// either fails.
int install_sigterm_handling();

// Creates a thread with the stop signals and SIGALRM blocked, so that they
// keep landing on the main thread. Returns pthread_create's result.
int spawn_thread(pthread_t *thread, void *(*entry)(void *));

// --- progress monitors ---

// Download percentage: bytes against 4,096,000 bytes, unbounded.
int download_percent(int32_t bytes);

// Installation percentage of size, with a 64-bit product; 100 for an empty image.
int install_percent(int32_t bytes, int32_t size);

// Sets transfer_bytes to 0 and bit, and starts entry as the monitor thread.
// Returns false (bit cleared again) when no thread could be made: the run
// goes on unreported.
bool monitor_start(uint32_t bit, void *(*entry)(void *));

// Clears a monitor's bit and wakes it from its pause, so that it ends at
// once, then joins monitor_thread when joined is true.
void monitor_stop(uint32_t bit, bool joined);

// --- FTP failure reporting ---

// Returns the fixed text for a reply code of the failure table (line end
// included), or nullptr for a code that reports the client's own text.
const char *ftp_failure_text(int code);

// Returns text (from the server or the FTP client) as one state-file line:
// pieces joined by "; ", control and non-ASCII bytes dropped, cut to
// SERVER_TEXT_MAX characters, the verdict phrase withheld, "\n" at the end.
std::string server_text_line(const char *text);

// Reports the client's own text for a failed FTP step (console with
// RUN_DEBUG, state file), or a fixed line naming code when there is no text.
void report_ftp_text(int code, const char *text);

// --- the steps of a run (each ends the run itself when it fails) ---

// Start-up report, "Using the ..." line, marker and old-version checks,
// signal handling and the standby device path.
void update_start(UpdateRun *run);
void ftp_connect_step(UpdateRun *run);
void ftp_login_step(UpdateRun *run);
void ftp_type_step(UpdateRun *run);
// Direct only: unmounts the standby partition and claims its device.
void unmount_step(UpdateRun *run);
// Starts the download monitor and fetches the image.
void transfer_step(UpdateRun *run);
// In auto mode, after the active attempt of a transfer ended with rc: true
// when the passive one is due (no active data connection could be had).
bool auto_mode_retries(int rc);
// Stops the monitor and judges the transfer.
void transfer_result_step(UpdateRun *run);
void ftp_quit_step(UpdateRun *run);
// Refuses an empty or oversized download and sets image_size.
void size_step(UpdateRun *run);
// Direct: syncs the device. Indirect: copies the RAM disk onto it.
void install_step(UpdateRun *run);
// The device must hold a whole ext2 file system within the bytes written.
void image_check_step(UpdateRun *run);

// --- installation ---

// Returns true when name may be removed after a failed download: a plain file
// name in the working directory, not hidden, not a path.
bool leftover_removable(const char *name);

// Returns true when line, one line of MOUNT_TABLE, mounts the device
// dev_major:dev_minor at a mount point other than STANDBY_MOUNT; the mount
// point (as the table spells it) then goes into where.
bool mounted_elsewhere(const char *line, unsigned dev_major, unsigned dev_minor, char *where,
                       size_t size);

// Takes the run lock for the rest of the process and removes the state file's
// stale temporary files. Another run holding the lock ends this one with 6,
// a lock file that cannot be opened with 21: a console line in any case, and
// the state file untouched.
void take_run_lock();

// Returns true when text (the marker file's first bytes) names a disk partition:
// "/dev/hda" followed by a digit.
bool standby_device_valid(const char *text);

// Copies whole 1024-byte chunks from one descriptor to the other (in copy.cpp),
// advancing transfer_bytes, until it reaches image_size: the target gets the
// image rounded up to a whole chunk. Returns 0; 22 when a read fails or the
// source ends first; 23 when a write takes fewer bytes than were read.
int copy_image(int from, int to);

// Returns true when superblock (EXT2_SUPERBLOCK_SIZE bytes) is an ext2 one
// whose file system ends within limit bytes of the device.
bool ext2_image_fits(const unsigned char *superblock, int64_t limit);

// Closes the exclusive hold on the standby device, if any, so that it can be
// mounted again.
void release_standby_claim();

// --- signature check (signature_steps.cpp); each step does nothing on a
// unit without trusted keys ---

// Reads the trusted keys; a key file that cannot be used ends the run.
void signature_keys_step(UpdateRun *run);
// Fetches <image>.minisig and judges all of it that needs no image.
void signature_fetch_step(UpdateRun *run);
// Around each download attempt: direct, the bytes written are hashed as they
// go; kept says the attempt succeeded.
void signature_feed_open();
void signature_feed_close(bool kept);
// Indirect: hashes the RAM disk's image while install_step copies it.
void signature_hash_step(UpdateRun *run);
// The hash of the installed bytes must carry the signature.
void signature_check_step(UpdateRun *run);
