#pragma once
// Pieces shared by the files of the FTP client; not part of its interface.

#include "ftp.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace ftp_internal {

// The time limit of the calling thread's blocking steps. Every wait for the
// server (wait_ready and the calls built on it) ends when it passes, with
// EINTR, whatever signals do meanwhile. A limit inside another one gives the
// outer one back when it ends. Outside any limit a wait still ends after the
// default limit of a session.
class TimeLimit {
  public:
    explicit TimeLimit(int seconds);
    ~TimeLimit();
    TimeLimit(const TimeLimit &) = delete;
    TimeLimit &operator=(const TimeLimit &) = delete;
    // Starts the limit again: seconds from now (below 1: the default).
    void arm(int seconds);
    // Lifts the limit until the next arm.
    void disarm();
    // True once the limit has passed.
    bool expired() const;

  private:
    int64_t outer_; // the enclosing limit, given back at the end
};

// Waits until fd is ready for events (POLLIN, POLLOUT), an error or a hang-up
// included. Returns 0; -1 with EINTR when the limit passed or a signal
// interrupted the wait, so a stop request is never waited out; -1 with
// poll's errno otherwise.
int wait_ready(int fd, short events);

// recv and send that never block beyond the limit: each waits with
// wait_ready, then moves what is there. They return the bytes moved (recv: 0
// at the end of the data), or -1 with errno (EINTR: the limit or a signal).
ssize_t recv_within(int fd, void *buf, size_t size);
ssize_t send_within(int fd, const void *buf, size_t size);

// connect under a limit of its own of seconds. Returns 0, or -1 with errno
// (EINTR: the limit passed).
int connect_within(int fd, const sockaddr *addr, socklen_t len, int seconds);

// Builds "<verb> <arg>\r\n" (or "<verb>\r\n" when arg is null and optional) in
// buf. Returns 0, or -1 with a message in err when arg is missing, holds CR or
// LF, or the line would not fit.
int format_command(char (&buf)[FTP_LINE_MAX], const char *verb, const char *arg, bool arg_optional,
                   char **err);

// Opens a write stream on a socket descriptor whose writes never raise SIGPIPE
// (a closed peer shows as a write error instead) and wait no longer than the
// running time limit (EINTR). Closing the stream closes fd. Returns nullptr
// on failure.
FILE *socket_write_stream(int fd);

// Opens the read stream of a data connection on fd, with a large buffer;
// each read waits no longer than the running time limit (EINTR). Closing the
// stream closes fd. Returns nullptr on failure.
FILE *socket_read_stream(int fd);

// The data loop of ftp_get: moves the data connection's bytes onto fd until the
// server closes it, the time limit covering each 4096-byte chunk, and adds
// whole chunks (the last one at the end) to *counter when given. *total gets
// the bytes written. Returns 0 at the end of the data; -16 on a read error or
// the time limit, a short write, or a counter that would pass INT32_MAX
// ("download too large\n" in err).
int download_data(FtpSession *s, int fd, int32_t *counter, int64_t *total, char **err);

// Whether download_data may splice; tests turn it off to run the plain loop.
extern bool download_splice;

// Looks host up as the name service does with "hosts: files dns": an IPv4
// address in dotted form, the names and aliases of /etc/hosts, then the DNS
// servers of /etc/resolv.conf (first A record). Returns 0 with the address in
// *out, or the resolver's error number for hstrerror (HOST_NOT_FOUND,
// TRY_AGAIN when no server answered, NO_DATA, NO_RECOVERY).
int resolve_host(const char *host, in_addr *out);

// The address on the first line of the hosts file at path that gives host as
// its name or an alias, compared without regard to case. Returns true when found.
bool hosts_file_lookup(const char *path, const char *host, in_addr *out);

// Closes both control streams and clears their fields.
void close_control(FtpSession *s);

// Closes both data streams (if open) and clears their fields.
void close_data_streams(FtpSession *s);

// True when code is in the zero-terminated list.
bool code_in(int code, const int *list);

// Appends strerror(errnum) and "\n" to err.
void append_errno(char **err, int errnum);

// Result of a command operation: 0 when accepted, otherwise the reported code,
// where a reply without a number (code 0) becomes -1 so it never reads as success.
inline int command_result(int rc, int code) {
    if (rc == 0)
        return FTP_OK;
    return code == 0 ? FTP_ERR : code;
}

} // namespace ftp_internal
