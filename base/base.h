#pragma once
// Small pieces every program here shares: owners for descriptors and stdio
// streams, the one way a file is replaced, and the thread-pointer repair that
// signal handlers need under user-mode emulation.

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/types.h>
#include <unistd.h>

// Owns a descriptor until it is released; closing keeps errno.
struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    ~UniqueFd() {
        reset();
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    // Returns the descriptor and gives up ownership.
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    void reset(int f = -1);
};

struct FileCloser {
    void operator()(FILE *f) const {
        std::fclose(f);
    }
};
// Owns a stdio stream. On write paths call fclose(p.release()) and check it.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Both ends of a pipe, closed together.
struct UniquePipe {
    UniqueFd read_end, write_end;
};

// Opens a close-on-exec pipe and asks for size bytes of room in it. Returns
// the room it has (less when the kernel refuses more), or -1 with errno.
int pipe_open(UniquePipe *p, int size);

// Hands a long sequential write onto a block device to the device as it
// goes, instead of leaving it all to the fsync at the end: every few MiB the
// window just written is sent on its way, and the one before it, on the disk
// by then, is waited for and dropped from the page cache. The fsync then has
// little left to do, mounting the device has no large cache to throw away,
// and the cache never holds more than two windows.
struct Writeback {
    int fd = -1;         // -1: not a block device; nothing to do
    int64_t started = 0; // bytes from offset 0 whose writeback has been started
    int64_t settled = 0; // bytes from offset 0 written back and dropped
};

// Sets w up for fd, which is written from offset 0 on.
void writeback_begin(Writeback *w, int fd);

// Tells w that the bytes up to offset `written` are on fd. Returns 0, or -1
// with errno when writing an earlier window back failed: the device does not
// hold those bytes, and a later fsync on another descriptor may never hear of it.
int writeback_progress(Writeback *w, int64_t written);

// Writes the content of a file to out. Returns 0, or -1 when a write failed.
using FileWriter = int (*)(FILE *out, const void *ctx);

// Replaces path in one step: write(out, ctx) fills a new file beside it, named
// path.tmp<pid>.<n>, which is flushed, checked, synced and renamed over path;
// then the folder is synced. After a power cut at any moment path holds the
// old content or the new, whole, or (when it did not exist) nothing. The new
// file takes path's permission bits, or mode when path does not exist.
// Returns 0, or -1 with errno set, the new file removed and path as it was.
int file_replace(const char *path, mode_t mode, FileWriter write, const void *ctx);

// Removes what file_replace left beside path when a process died while
// replacing it: regular files named path.tmp<pid>.<n> whose process is gone
// or is this one. Call it before this process replaces path.
void file_replace_clean(const char *path);

// Opens path with flags (created with mode under O_CREAT) only when it is a
// regular file, without blocking: a FIFO or a terminal there is never waited
// on. Returns the descriptor (close-on-exec), or -1 with errno (EINVAL: there,
// but no regular file; otherwise open's).
int open_regular(const char *path, int flags = O_RDONLY, mode_t mode = 0644);

// open_regular as a stdio stream, "r" for O_RDONLY and "w" otherwise.
// Returns nullptr with errno as open_regular.
FILE *fopen_regular(const char *path, int flags = O_RDONLY);

// --- the files update and swap meet in ---

// update's one-line state file, and the verdict in it that swap acts on.
constexpr const char *STATE_FILE = "/cfg/.update.state";
constexpr const char *STATE_VERDICT = "You can swap the system";

// The lock update and swap each hold for their whole run, so that a run
// never reads or rewrites the state file while another one works.
constexpr const char *RUN_LOCK_FILE = "/cfg/.update.lock";
constexpr int RUN_LOCK_FAILED = -1;
constexpr int RUN_LOCK_BUSY = -2;
constexpr int RUN_LOCK_NONE = -3;

// Takes the exclusive lock on path, creating the file when it is missing. It
// is held until the descriptor is closed or the process ends, also by a
// crash, so a stale file never blocks. Returns the descriptor (close-on-exec);
// RUN_LOCK_BUSY when another process holds it; RUN_LOCK_NONE when the file is
// missing on a read-only file system, where nobody can hold it (the run goes
// on, and fails where it would write); RUN_LOCK_FAILED with errno when path
// cannot be opened or is no regular file (a FIFO there is never waited on).
int run_lock_take(const char *path);

// In a signal handler, before it returns: user-mode emulators keep one
// descriptor table for all threads, and reload the thread pointer from it on
// the return, which would hand this thread the last-created thread's TLS.
// Writes this thread's own entry back; on a real kernel it is already there.
// Async-signal-safe; does nothing outside 32-bit x86.
void keep_thread_pointer();
