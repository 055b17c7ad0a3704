// The indirect copy from the RAM disk onto the standby device. sendfile
// moves the bytes inside the kernel, never through our memory; where it is
// refused or fails, a read/write loop takes over from where it stopped and
// tells a failed read from a failed write. The device gets the bytes written
// back as they come (Writeback).
#include "update_internal.h"

#include "base.h"

#include <algorithm>
#include <cerrno>
#include <sys/sendfile.h>
#include <unistd.h>

namespace {

// Bytes per sendfile call: often enough to follow the progress and a request
// to stop.
constexpr int64_t kernel_batch = 1024 * 1024;
constexpr int64_t plain_batch = int64_t(COPY_CHUNK) * COPY_BATCH;

// Bytes the device still needs: the image rounded up to a whole chunk, as
// chunk-by-chunk reads would have put it there.
int64_t remaining() {
    int64_t size = image_size.load(std::memory_order_relaxed);
    int64_t done = transfer_bytes.load(std::memory_order_relaxed);
    int64_t end = (size + COPY_CHUNK - 1) / COPY_CHUNK * COPY_CHUNK;
    return done >= size ? 0 : end - done;
}

Writeback writeback;

// n more bytes are on the device. Returns false when writing them back failed.
bool count(ssize_t n) {
    int32_t done = transfer_bytes.fetch_add(static_cast<int32_t>(n), std::memory_order_relaxed);
    return writeback_progress(&writeback, int64_t(done) + n) == 0;
}

char plain_buffer[plain_batch];

int plain_copy(int from, int to) {
    for (int64_t want; (want = remaining()) > 0;) {
        termination_point();
        ssize_t got = read(from, plain_buffer, static_cast<size_t>(std::min(want, plain_batch)));
        if (got < 0 && errno == EINTR)
            continue;
        // The source ending before the image is complete would otherwise
        // leave us reading nothing forever.
        if (got <= 0)
            return UPDATE_EXIT_READ;
        ssize_t put;
        do {
            put = write(to, plain_buffer, static_cast<size_t>(got));
        } while (put < 0 && errno == EINTR);
        if (put != got || !count(put))
            return UPDATE_EXIT_WRITE;
    }
    return 0;
}

} // namespace

int copy_image(int from, int to) {
    writeback_begin(&writeback, to);
    for (int64_t want; (want = remaining()) > 0;) {
        termination_point();
        ssize_t n = sendfile(to, from, nullptr, static_cast<size_t>(std::min(want, kernel_batch)));
        if (n < 0 && errno == EINTR)
            continue;
        // Nothing moved: both files are where the failed call found them.
        if (n < 0)
            return plain_copy(from, to);
        if (n == 0)
            return UPDATE_EXIT_READ;
        if (!count(n))
            return UPDATE_EXIT_WRITE;
    }
    return 0;
}
