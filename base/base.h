#pragma once
// Small pieces every program here shares: owners for descriptors and stdio
// streams, the one way a file is replaced, and the thread-pointer repair that
// signal handlers need under user-mode emulation.

#include <cstdint>
#include <cstdio>
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

// Replaces path in one step: write(out, ctx) fills a new file beside it, which
// is flushed, checked, synced and renamed over path; then the folder is synced.
// Without durable the two syncs are left out: after a power cut path may then
// hold what it held before (or nothing), never a mix. The new file takes
// path's permission bits, or mode when path does not exist.
// Returns 0, or -1 with errno set, the new file removed and path as it was.
int file_replace(const char *path, mode_t mode, FileWriter write, const void *ctx,
                 bool durable = true);

// In a signal handler, before it returns: user-mode emulators keep one
// descriptor table for all threads, and reload the thread pointer from it on
// the return, which would hand this thread the last-created thread's TLS.
// Writes this thread's own entry back; on a real kernel it is already there.
// Async-signal-safe; does nothing outside 32-bit x86.
void keep_thread_pointer();
