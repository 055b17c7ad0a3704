// The indirect copy from the RAM disk onto the standby device. The bytes go
// through a pipe (splice) and never through our memory; where the kernel
// cannot splice one of the two files, a read/write loop does the same work.
#include "update_internal.h"

#include "base.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int pipe_size = 1024 * 1024;
constexpr int64_t plain_batch = int64_t(COPY_CHUNK) * COPY_BATCH;
constexpr int copy_more = -1; // not a result: the copy goes on

// Bytes the device still needs: the image rounded up to a whole chunk, as
// chunk-by-chunk reads would have put it there.
int64_t remaining() {
    int64_t size = image_size.load(std::memory_order_relaxed);
    int64_t done = transfer_bytes.load(std::memory_order_relaxed);
    int64_t end = (size + COPY_CHUNK - 1) / COPY_CHUNK * COPY_CHUNK;
    return done >= size ? 0 : end - done;
}

// Writes n bytes from buf; 23 when the device takes fewer.
int write_out(int to, const char *buf, size_t n) {
    ssize_t put;
    do {
        put = write(to, buf, n);
    } while (put < 0 && errno == EINTR);
    if (put < 0 || static_cast<size_t>(put) != n)
        return UPDATE_EXIT_WRITE;
    transfer_bytes.fetch_add(static_cast<int32_t>(put), std::memory_order_relaxed);
    return copy_more;
}

char plain_buffer[plain_batch];

// Moves `left` bytes already in the pipe onto the device through the buffer.
int drain_pipe(int from, int to, size_t left) {
    while (left > 0) {
        ssize_t got = read(from, plain_buffer, std::min(left, sizeof plain_buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return UPDATE_EXIT_WRITE;
        int rc = write_out(to, plain_buffer, static_cast<size_t>(got));
        if (rc != copy_more)
            return rc;
        left -= static_cast<size_t>(got);
    }
    return copy_more;
}

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
        int rc = write_out(to, plain_buffer, static_cast<size_t>(got));
        if (rc != copy_more)
            return rc;
    }
    return 0;
}

int splice_copy(int from, int to) {
    UniquePipe p;
    int capacity = pipe_open(&p, pipe_size);
    if (capacity <= 0)
        return plain_copy(from, to);
    bool source_spliced = false;
    for (int64_t want; (want = remaining()) > 0;) {
        termination_point();
        ssize_t got = splice(from, nullptr, p.write_end.fd, nullptr,
                             static_cast<size_t>(std::min<int64_t>(want, capacity)), SPLICE_F_MOVE);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EINVAL && !source_spliced)
            return plain_copy(from, to);
        if (got <= 0)
            return UPDATE_EXIT_READ;
        source_spliced = true;
        auto left = static_cast<size_t>(got);
        while (left > 0) {
            ssize_t put = splice(p.read_end.fd, nullptr, to, nullptr, left, SPLICE_F_MOVE);
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0 && errno == EINVAL) {
                int rc = drain_pipe(p.read_end.fd, to, left);
                if (rc != copy_more)
                    return rc;
                return plain_copy(from, to);
            }
            if (put <= 0)
                return UPDATE_EXIT_WRITE;
            left -= static_cast<size_t>(put);
            transfer_bytes.fetch_add(static_cast<int32_t>(put), std::memory_order_relaxed);
        }
    }
    return 0;
}

} // namespace

int copy_image(int from, int to) {
    return splice_copy(from, to);
}
