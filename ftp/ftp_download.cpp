// The data loop of a download. The bytes go from the data socket through a
// pipe onto the local file (splice), so they never pass through our memory;
// where the kernel cannot splice onto that file, one buffer carries them. A
// block device may get them written back as they come (Writeback), and a
// pipe a copy of them (ftp_download_copy_fd).

#include "ftp.h"
#include "ftp_internal.h"

#include "base.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int ftp_download_copy_fd = -1;

namespace ftp_internal {
bool download_splice = true;
}

namespace {

using ftp_internal::TimeLimit;

constexpr int64_t chunk_size = 4096;
constexpr size_t buffer_size = 64 * 1024;
// More per call than the default 64 KiB; pipe pages are not our memory.
constexpr int pipe_size = 1024 * 1024;

struct Download {
    FtpSession *s;
    int sock;
    int file;
    int32_t *counter;
    char **err;
    TimeLimit *limit;
    int64_t written; // bytes on the local file
    int64_t counted; // bytes added to the counter
    char *buf;       // the plain loop's buffer, allocated when first needed
    Writeback wb;
    int copy;            // ftp_download_copy_fd
    size_t copied_ahead; // bytes at the splice pipe's head already in the copy
};

// The copy gets n bytes that just went onto the file, but for those a tee
// put there before.
bool copy_out(Download *d, const char *p, size_t n) {
    size_t skip = std::min(n, d->copied_ahead);
    d->copied_ahead -= skip;
    for (p += skip, n -= skip; d->copy >= 0 && n > 0;) {
        ssize_t w = write(d->copy, p, n);
        if (w <= 0)
            return false; // a stop signal, or the hasher gone
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Returns how many bytes at the head of the pipe may go onto the file: with
// a copy, those in the copy already. tee duplicates from the head on, so it
// runs again only once they are gone. 0 on failure.
size_t copy_ahead(Download *d, int from, size_t left) {
    if (d->copy < 0)
        return left;
    if (d->copied_ahead == 0) {
        ssize_t n = tee(from, d->copy, left, 0);
        d->copied_ahead = n > 0 ? static_cast<size_t>(n) : 0;
    }
    return d->copied_ahead;
}

// n more bytes are on the file. Returns false when writing them back failed.
bool wrote(Download *d, ssize_t n) {
    d->written += n;
    return writeback_progress(&d->wb, d->written) == 0;
}

// Adds the whole chunks now on the file (every byte at the end) to the
// counter. A finished chunk starts the time limit of the next one. Returns
// false when the counter would pass INT32_MAX.
bool account(Download *d, bool end) {
    int64_t upto = end ? d->written : d->written - d->written % chunk_size;
    int64_t add = upto - d->counted;
    if (add <= 0)
        return true;
    if (d->counter != nullptr) {
        std::atomic_ref<int32_t> counter(*d->counter);
        if (counter.load(std::memory_order_relaxed) > INT32_MAX - add) {
            ftp_append_text(d->err, "download too large\n");
            return false;
        }
        counter.fetch_add(static_cast<int32_t>(add), std::memory_order_relaxed);
    }
    d->counted = upto;
    if (!end)
        d->limit->arm(d->s->timeout);
    return true;
}

// Writes all n bytes; a short write (full disk, time limit) fails.
bool write_all(Download *d, const char *p, size_t n) {
    while (n > 0) {
        if (d->limit->expired())
            return false;
        ssize_t w = write(d->file, p, n);
        if (w <= 0 || !copy_out(d, p, static_cast<size_t>(w)))
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        if (!wrote(d, w))
            return false;
    }
    return true;
}

// Writes the whole chunks of the buffer and keeps the rest at its start, so a
// write never splits a chunk that is still arriving.
bool write_whole_chunks(Download *d, size_t *have) {
    size_t whole = *have - *have % chunk_size;
    if (whole == 0)
        return true;
    if (!write_all(d, d->buf, whole))
        return false;
    memmove(d->buf, d->buf + whole, *have - whole);
    *have -= whole;
    return account(d, false);
}

// recv into the buffer, which holds `have` bytes already.
int plain_loop(Download *d, size_t have) {
    for (;;) {
        if (!write_whole_chunks(d, &have))
            return FTP_ERR_DOWNLOAD;
        ssize_t n = ftp_internal::recv_within(d->sock, d->buf + have, buffer_size - have);
        if (n < 0)
            return FTP_ERR_DOWNLOAD; // EINTR is the time limit
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
    }
    if (!write_all(d, d->buf, have) || !account(d, true))
        return FTP_ERR_DOWNLOAD;
    return FTP_OK;
}

bool allocate_buffer(Download *d) {
    if (d->buf == nullptr)
        d->buf = static_cast<char *>(malloc(buffer_size));
    return d->buf != nullptr;
}

// The file takes no splice: what is in the pipe goes out through the buffer,
// then the plain loop takes over.
int fall_back(Download *d, int from, size_t left) {
    if (!allocate_buffer(d))
        return FTP_ERR_DOWNLOAD;
    size_t have = 0;
    while (left > 0) {
        ssize_t n = read(from, d->buf + have, std::min(left, buffer_size - have));
        if (n <= 0)
            return FTP_ERR_DOWNLOAD;
        have += static_cast<size_t>(n);
        left -= static_cast<size_t>(n);
        if (!write_whole_chunks(d, &have))
            return FTP_ERR_DOWNLOAD;
    }
    return plain_loop(d, have);
}

int splice_loop(Download *d) {
    UniquePipe p;
    int capacity = pipe_open(&p, pipe_size);
    if (capacity <= 0)
        return fall_back(d, -1, 0);
    for (bool moved = false;;) {
        if (ftp_internal::wait_ready(d->sock, POLLIN) < 0)
            return FTP_ERR_DOWNLOAD; // the time limit, or a stop request
        ssize_t n = splice(d->sock, nullptr, p.write_end.fd, nullptr, static_cast<size_t>(capacity),
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0 && errno == EINVAL && !moved)
            return fall_back(d, -1, 0);
        if (n <= 0)
            return n == 0 && account(d, true) ? FTP_OK : FTP_ERR_DOWNLOAD;
        moved = true;
        auto left = static_cast<size_t>(n);
        while (left > 0) {
            if (d->limit->expired())
                return FTP_ERR_DOWNLOAD;
            size_t take = copy_ahead(d, p.read_end.fd, left);
            if (take == 0)
                return FTP_ERR_DOWNLOAD;
            ssize_t m = splice(p.read_end.fd, nullptr, d->file, nullptr, take, SPLICE_F_MOVE);
            if (m < 0 && errno == EINVAL)
                return fall_back(d, p.read_end.fd, left);
            if (m <= 0)
                return FTP_ERR_DOWNLOAD;
            left -= static_cast<size_t>(m);
            d->copied_ahead -= std::min(d->copied_ahead, static_cast<size_t>(m));
            if (!wrote(d, m) || !account(d, false))
                return FTP_ERR_DOWNLOAD;
        }
    }
}

} // namespace

namespace ftp_internal {

int download_data(FtpSession *s, int fd, int32_t *counter, int64_t *total, char **err) {
    TimeLimit limit(s->timeout);
    Download d{s, s->data_fd, fd, counter, err, &limit, 0, 0, nullptr, {}, ftp_download_copy_fd, 0};
    if (ftp_device_writeback != 0)
        writeback_begin(&d.wb, fd);
    // Every read waits for its data first; a socket that never blocks makes
    // sure none waits beyond the limit all the same.
    int flags = fcntl(d.sock, F_GETFL);
    if (flags >= 0)
        fcntl(d.sock, F_SETFL, flags | O_NONBLOCK);
    int rc = download_splice ? splice_loop(&d)
                             : (allocate_buffer(&d) ? plain_loop(&d, 0) : FTP_ERR_DOWNLOAD);
    if (flags >= 0)
        fcntl(d.sock, F_SETFL, flags);
    free(d.buf);
    *total = d.written;
    return rc;
}

} // namespace ftp_internal
