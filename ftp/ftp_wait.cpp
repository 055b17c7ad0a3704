// Time limits of the blocking steps. Each wait for the server is a poll for
// the time left, so a limit holds by construction: no signal has to land in
// the right place at the right moment, and a thread that blocks SIGALRM gets
// its limits all the same.

#include "ftp.h"
#include "ftp_internal.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>

namespace {

constexpr int64_t ns_per_second = 1000000000;
constexpr int64_t ns_per_ms = 1000000;
constexpr int64_t no_limit = -1;

// Monotonic nanoseconds at which the calling thread's limit passes. A limit
// belongs to the thread that runs the operation, so another thread's quit
// (update's termination) does not disturb it.
thread_local int64_t deadline = no_limit;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * ns_per_second + ts.tv_nsec;
}

int64_t limit_ns(int seconds) {
    if (seconds < 1)
        seconds = ftp_default_timeout > 0 ? ftp_default_timeout : FTP_DEFAULT_TIMEOUT;
    return int64_t(seconds) * ns_per_second;
}

} // namespace

namespace ftp_internal {

TimeLimit::TimeLimit(int seconds) : outer_(deadline) {
    arm(seconds);
}

TimeLimit::~TimeLimit() {
    deadline = outer_;
}

void TimeLimit::arm(int seconds) {
    deadline = now_ns() + limit_ns(seconds);
}

void TimeLimit::disarm() {
    deadline = no_limit;
}

bool TimeLimit::expired() const {
    return deadline != no_limit && now_ns() >= deadline;
}

int wait_ready(int fd, short events) {
    int64_t until = deadline != no_limit ? deadline : now_ns() + limit_ns(0);
    for (;;) {
        int64_t left = until - now_ns();
        if (left <= 0) {
            errno = EINTR;
            return -1;
        }
        // Rounded up: a poll that ends early only comes round again.
        int64_t ms = left / ns_per_ms + 1;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, ms > INT_MAX ? INT_MAX : int(ms));
        if (n > 0)
            return 0;
        // An interrupted wait ends the step: update's stop request arrives
        // as a signal and must not be waited out.
        if (n < 0)
            return -1;
    }
}

ssize_t recv_within(int fd, void *buf, size_t size) {
    for (;;) {
        if (wait_ready(fd, POLLIN) < 0)
            return -1;
        ssize_t n = recv(fd, buf, size, MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n;
    }
}

ssize_t send_within(int fd, const void *buf, size_t size) {
    for (;;) {
        if (wait_ready(fd, POLLOUT) < 0)
            return -1;
        ssize_t n = send(fd, buf, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n;
    }
}

int connect_within(int fd, const sockaddr *addr, socklen_t len, int seconds) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    TimeLimit limit(seconds);
    int rc = connect(fd, addr, len);
    if (rc < 0 && errno == EINPROGRESS) {
        rc = wait_ready(fd, POLLOUT);
        int error = 0;
        socklen_t error_len = sizeof error;
        if (rc == 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) < 0)
            rc = -1;
        else if (rc == 0 && error != 0) {
            errno = error;
            rc = -1;
        }
    }
    int saved = errno;
    fcntl(fd, F_SETFL, flags);
    errno = saved;
    return rc;
}

} // namespace ftp_internal
