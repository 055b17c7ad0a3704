// Data connections (PASV, PORT, open, close) and the transfers built on them.

#include "ftp.h"
#include "ftp_internal.h"

#include "base.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using ftp_internal::TimeLimit;

constexpr int pasv_accepted[] = {227, 0};
constexpr int pasv_refused[] = {421, 500, 501, 502, 0};
constexpr int port_accepted[] = {200, 0};
constexpr int port_refused[] = {421, 500, 501, 530, 0};
constexpr int transfer_accepted[] = {125, 150, 0};
constexpr int transfer_refused[] = {421, 425, 426, 450, 451, 452, 500, 501,
                                    502, 530, 532, 550, 551, 552, 553, 0};

constexpr size_t chunk_size = 4096;
constexpr int list_line_max = 1022;
constexpr size_t list_initial_lines = 20;
constexpr size_t port_address_max = 19;

bool peer_address(int fd, in_addr *out) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0 || sa.sin_family != AF_INET)
        return false;
    *out = sa.sin_addr;
    return true;
}

// Wraps the connected data socket in its two streams.
int attach_data_streams(FtpSession *s, int fd) {
    s->data_fd = fd;
    s->data_in = ftp_internal::socket_read_stream(fd);
    if (s->data_in == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
        return FTP_ERR_STREAM;
    }
    s->data_dup_fd = dup(fd);
    if (s->data_dup_fd < 0) {
        ftp_internal::close_data_streams(s);
        return FTP_ERR_DUP;
    }
    s->data_out = ftp_internal::socket_write_stream(s->data_dup_fd);
    if (s->data_out == nullptr) {
        int saved = errno;
        close(s->data_dup_fd);
        ftp_internal::close_data_streams(s);
        errno = saved;
        return FTP_ERR_STREAM;
    }
    return FTP_OK;
}

// ftp_close_data, also telling the final reply's code (-14 on the time limit).
int close_data(FtpSession *s, int *final_code, char **info, char **err) {
    ftp_internal::close_data_streams(s);
    char *line = nullptr;
    int code = ftp_read_reply(s, &line, info, err);
    if (final_code != nullptr)
        *final_code = code;
    int rc = FTP_OK;
    if (code != 226 && code != 250) {
        if (line != nullptr) {
            ftp_append_text(err, line);
            if (line[0] == '\0' || line[strlen(line) - 1] != '\n')
                ftp_append_text(err, "\n");
        }
        rc = FTP_ERR_DATA;
    }
    free(line);
    return rc;
}

// Step 3 of the common transfer frame: the opener failed.
int opener_failure(int rc, int code, char **err) {
    if (rc < 0 && rc != FTP_ERR_DATA)
        ftp_internal::append_errno(err, errno);
    // A reply without a number must not read as success.
    return code == 0 ? FTP_ERR : code;
}

// The transfer command and where its outcome goes, for the three ways of
// opening a data connection.
struct Opener {
    FtpSession *s;
    const char *command;
    int *code;
    char **reply_line;
    char **info;
    char **err;
};

constexpr int open_new = 1; // not a result: a new connection is needed

int fail(const Opener &o, int rc) {
    *o.code = rc;
    return rc;
}

bool send_transfer(const Opener &o) {
    return ftp_command(o.s, o.command, transfer_accepted, transfer_refused, o.code, o.reply_line,
                       o.info, o.err) == FTP_OK;
}

// A data connection left open by an earlier failure: the command goes first.
// Returns 0 (125: the transfer uses it), -9, or open_new (425: it is gone).
int reuse_data(const Opener &o) {
    send_transfer(o);
    int reply = *o.code;
    if (reply == 125) {
        clearerr(o.s->data_in); // the failure that left it open is over
        o.s->data_opened = 1;
        return FTP_OK;
    }
    if (reply == 426) {
        ftp_internal::close_data_streams(o.s);
        return FTP_ERR_DATA;
    }
    if (reply != 425)
        return FTP_ERR_DATA;
    ftp_internal::close_data_streams(o.s);
    if (o.reply_line != nullptr) {
        free(*o.reply_line);
        *o.reply_line = nullptr;
    }
    return open_new;
}

// Data connections only ever go to, or come from, the control peer: a PASV
// reply naming another host or a stranger connecting to our port is ignored.

// PASV, connect, then the transfer command. Returns 0 with *data_fd, or the
// opener's negative code.
int open_passive(const Opener &o, UniqueFd *sock, int *data_fd) {
    FtpSession *s = o.s;
    in_addr server{};
    if (ftp_pasv(s, o.info, o.err) != FTP_OK)
        return fail(o, FTP_ERR_DATA);
    if (!peer_address(s->ctrl_fd, &server))
        return fail(o, FTP_ERR_CONNECT);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = server;
    sa.sin_port = htons(s->pasv_port);
    s->data_fd = sock->fd;
    int rc = ftp_internal::connect_within(sock->fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa,
                                          s->timeout);
    if (rc < 0) {
        if (errno != EINTR)
            return fail(o, FTP_ERR_CONNECT);
        ftp_append_text(o.err, "timeout during connect.\n");
        errno = EINTR;
        return fail(o, FTP_TIMEOUT_CONNECT);
    }
    if (!send_transfer(o))
        return FTP_ERR_DATA;
    *data_fd = sock->release();
    return FTP_OK;
}

// Waits for the control peer to connect to the listening sock (which does
// not block), under one time limit for the whole wait, strangers included.
// Returns 0 with *data_fd, -13 or -8.
int accept_from(const Opener &o, int sock, in_addr server, int *data_fd) {
    TimeLimit limit(o.s->timeout);
    for (;;) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        int fd = -1;
        if (ftp_internal::wait_ready(sock, POLLIN) == 0)
            fd = accept(sock, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED))
            continue; // a connection that went away before we took it
        if (fd < 0) {
            if (errno != EINTR)
                return FTP_ERR_ACCEPT;
            ftp_append_text(o.err, "timeout waiting for data channel\n");
            errno = EINTR;
            return FTP_TIMEOUT_ACCEPT;
        }
        if (from.sin_family == AF_INET && from.sin_addr.s_addr == server.s_addr) {
            *data_fd = fd;
            return FTP_OK;
        }
        close(fd);
    }
}

// Bind, PORT, listen, the transfer command, then the server's connection.
// Returns 0 with *data_fd, or the opener's negative code.
int open_active(const Opener &o, UniqueFd *sock, int *data_fd) {
    FtpSession *s = o.s;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = 0;
    if (bind(sock->fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
        return fail(o, FTP_ERR_BIND);
    socklen_t len = sizeof sa;
    if (getsockname(sock->fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
        return fail(o, FTP_ERR_SOCKNAME);
    s->local_data_port = ntohs(sa.sin_port);
    if (ftp_port(s, nullptr, o.info, o.err) != FTP_OK)
        return fail(o, FTP_ERR_DATA);
    in_addr server{};
    if (!peer_address(s->ctrl_fd, &server))
        return fail(o, FTP_ERR_SOCKNAME);
    if (listen(sock->fd, 1) < 0 || fcntl(sock->fd, F_SETFL, O_NONBLOCK) < 0)
        return fail(o, FTP_ERR_LISTEN);
    if (!send_transfer(o))
        return FTP_ERR_DATA;
    // The listener closes when the caller's sock goes out of scope.
    return accept_from(o, sock->fd, server, data_fd);
}

} // namespace

int ftp_parse_pasv(const char *line, uint32_t *addr, uint16_t *port) {
    if (line == nullptr || strlen(line) < 4)
        return FTP_ERR;
    const char *p = line + 4;
    for (;;) {
        while (*p != '\0' && !isdigit(static_cast<unsigned char>(*p)))
            ++p;
        if (*p == '\0')
            return FTP_ERR;
        const char *run = p;
        int commas = 0;
        while (isdigit(static_cast<unsigned char>(*p)) || *p == ',') {
            if (*p == ',')
                ++commas;
            ++p;
        }
        if (commas < 5)
            continue;
        if (commas > 5)
            return FTP_ERR;
        // A number above 255 would spill into its neighbour and send the
        // data connection to a port nobody announced.
        uint32_t n[6] = {};
        int i = 0;
        for (const char *q = run; q < p; ++q) {
            if (*q == ',') {
                ++i;
                continue;
            }
            n[i] = n[i] * 10 + static_cast<uint32_t>(*q - '0');
            if (n[i] > 255)
                return FTP_ERR;
        }
        uint32_t host = (n[0] << 24) + (n[1] << 16) + (n[2] << 8) + n[3];
        *addr = htonl(host);
        *port = static_cast<uint16_t>(n[4] * 256 + n[5]);
        return FTP_OK;
    }
}

int64_t ftp_announced_size(const char *line) {
    if (line == nullptr)
        return -1;
    int64_t size = -1;
    for (const char *p = strchr(line, '('); p != nullptr; p = strchr(p + 1, '(')) {
        const char *q = p + 1;
        int64_t n = 0;
        bool overflow = false;
        for (; isdigit(static_cast<unsigned char>(*q)); ++q) {
            int digit = *q - '0';
            if (n > (INT64_MAX - digit) / 10)
                overflow = true;
            else
                n = n * 10 + digit;
        }
        if (q == p + 1 || strncmp(q, " bytes)", 7) != 0)
            continue;
        size = overflow ? -1 : n;
    }
    return size;
}

int ftp_pasv(FtpSession *s, char **info, char **err) {
    char *line = nullptr;
    int code = 0;
    if (ftp_command(s, "PASV\r\n", pasv_accepted, pasv_refused, &code, &line, info, err) !=
        FTP_OK) {
        free(line);
        return FTP_ERR;
    }
    uint32_t addr = 0;
    uint16_t port = 0;
    int rc = ftp_parse_pasv(line, &addr, &port);
    free(line);
    if (rc != FTP_OK) {
        ftp_append_text(err, "can't interprete response from server\n");
        return FTP_ERR;
    }
    s->pasv_addr = addr;
    s->pasv_port = port;
    s->passive = 1;
    return FTP_OK;
}

int ftp_port(FtpSession *s, const char *address, char **info, char **err) {
    char text[port_address_max + 1];
    if (address == nullptr) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        if (getsockname(s->ctrl_fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
            ftp_internal::append_errno(err, errno);
            return FTP_ERR;
        }
        snprintf(text, sizeof text, "%s", inet_ntoa(sa.sin_addr));
        for (char *c = text; *c != '\0'; ++c)
            if (*c == '.')
                *c = ',';
    } else {
        if (strlen(address) > port_address_max) {
            ftp_append_text(err, "PORT address too long\n");
            return FTP_ERR;
        }
        snprintf(text, sizeof text, "%s", address);
    }
    char arg[FTP_LINE_MAX];
    snprintf(arg, sizeof arg, "%s,%i,%i", text, s->local_data_port / 256, s->local_data_port % 256);
    char line[FTP_LINE_MAX];
    if (ftp_internal::format_command(line, "PORT", arg, false, err) != FTP_OK)
        return FTP_ERR;
    int code = 0;
    int rc = ftp_command(s, line, port_accepted, port_refused, &code, nullptr, info, err);
    if (rc != FTP_OK)
        return ftp_internal::command_result(rc, code);
    s->passive = 0;
    return FTP_OK;
}

int ftp_open_data(FtpSession *s, const char *command, int *code, char **reply_line, char **info,
                  char **err) {
    int local_code = 0;
    Opener o = {s, command, code != nullptr ? code : &local_code, reply_line, info, err};
    if (reply_line != nullptr)
        *reply_line = nullptr;
    s->data_opened = 0;
    if (s->data_in != nullptr && s->data_out != nullptr) {
        int rc = reuse_data(o);
        if (rc != open_new)
            return rc;
    }
    UniqueFd sock(socket(AF_INET, SOCK_STREAM, 0));
    if (sock.fd < 0)
        return fail(o, FTP_ERR_SOCKET);
    int data_fd = -1;
    int rc = s->passive ? open_passive(o, &sock, &data_fd) : open_active(o, &sock, &data_fd);
    if (rc != FTP_OK)
        return rc;
    rc = attach_data_streams(s, data_fd);
    s->data_opened = rc == FTP_OK;
    return rc;
}

int ftp_close_data(FtpSession *s, char **info, char **err) {
    return close_data(s, nullptr, info, err);
}

int ftp_list(FtpSession *s, const char *path, int names_only, char ***lines, char **info,
             char **err) {
    s->data_opened = 0;
    size_t capacity = list_initial_lines;
    size_t count = 0;
    char **array = static_cast<char **>(calloc(capacity + 1, sizeof(char *)));
    *lines = array;
    if (array == nullptr) {
        ftp_append_text(err, "out of memory\n");
        return FTP_ERR;
    }

    char command[FTP_LINE_MAX];
    if (ftp_internal::format_command(command, names_only ? "NLST" : "LIST", path, true, err) !=
        FTP_OK)
        return FTP_ERR;
    int code = 0;
    int rc = ftp_open_data(s, command, &code, nullptr, info, err);
    if (rc != FTP_OK)
        return opener_failure(rc, code, err);

    bool timed_out = false;
    bool out_of_memory = false;
    char buf[FTP_LINE_MAX];
    TimeLimit limit(s->timeout);
    for (;;) {
        limit.arm(s->timeout);
        char *got = fgets(buf, list_line_max + 1, s->data_in);
        bool interrupted = ferror(s->data_in) && errno == EINTR;
        limit.disarm();
        if (got == nullptr) {
            timed_out = interrupted;
            break;
        }
        if (count == capacity) {
            auto *grown = static_cast<char **>(realloc(array, (capacity * 2 + 1) * sizeof(char *)));
            if (grown == nullptr) {
                out_of_memory = true;
                break;
            }
            array = grown;
            *lines = array;
            capacity *= 2;
        }
        array[count] = strdup(buf);
        if (array[count] == nullptr) {
            out_of_memory = true;
            break;
        }
        array[++count] = nullptr;
        if (interrupted) {
            timed_out = true;
            break;
        }
    }

    int final_code = 0;
    rc = close_data(s, &final_code, info, err);
    if (timed_out || final_code == FTP_TIMEOUT_READ) {
        ftp_append_text(err, "timeout reading data\n");
        return FTP_TIMEOUT_READ;
    }
    if (out_of_memory) {
        ftp_append_text(err, "out of memory\n");
        return FTP_ERR;
    }
    return rc;
}

int ftp_get(FtpSession *s, const char *local_path, const char *remote_path, char **info, char **err,
            int32_t *counter) {
    s->data_opened = 0;
    char command[FTP_LINE_MAX];
    if (ftp_internal::format_command(command, "RETR", remote_path, false, err) != FTP_OK)
        return FTP_ERR;
    // What fopen(path, "w") does, without a stream: the data loop writes itself.
    UniqueFd local(local_path != nullptr
                       ? open(local_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                       : -1);
    if (local.fd < 0) {
        ftp_append_text(err, "can't open file\n");
        return FTP_ERR_LOCAL_FILE;
    }
    int code = 0;
    char *opening = nullptr;
    int rc = ftp_open_data(s, command, &code, &opening, info, err);
    int64_t announced = ftp_announced_size(opening);
    free(opening);
    if (rc != FTP_OK)
        return opener_failure(rc, code, err);

    int64_t received = 0;
    if (ftp_internal::download_data(s, local.fd, counter, &received, err) != FTP_OK)
        return FTP_ERR_DOWNLOAD; // the local file closes on the way out

    bool stored = close(local.release()) == 0;
    int final_code = 0;
    rc = close_data(s, &final_code, info, err);
    if (final_code == FTP_TIMEOUT_READ) {
        ftp_append_text(err, "timeout reading data\n");
        return FTP_TIMEOUT_READ;
    }
    if (!stored)
        return FTP_ERR_DOWNLOAD;
    // A connection that broke off early looks like a normal end of the data.
    if (announced >= 0 && received != announced) {
        ftp_append_text(err, "download incomplete: size differs from the announced size\n");
        return FTP_ERR_DOWNLOAD;
    }
    return rc;
}

int ftp_put(FtpSession *s, const char *local_path, const char *remote_path, char **info,
            char **err) {
    s->data_opened = 0;
    char command[FTP_LINE_MAX];
    if (ftp_internal::format_command(command, "STOR", remote_path, false, err) != FTP_OK)
        return FTP_ERR;
    FilePtr local(local_path != nullptr ? fopen(local_path, "r") : nullptr);
    if (!local) {
        ftp_append_text(err, "can't open file\n");
        return FTP_ERR_LOCAL_FILE;
    }
    int code = 0;
    int rc = ftp_open_data(s, command, &code, nullptr, info, err);
    if (rc != FTP_OK)
        return opener_failure(rc, code, err);

    // Chunks rather than single bytes: the stream batches them the same way,
    // and the time limit still covers every write that can block.
    bool timed_out = false;
    bool send_failed = false;
    bool read_failed = false;
    char buf[chunk_size];
    {
        TimeLimit limit(s->timeout);
        for (;;) {
            size_t n = fread(buf, 1, sizeof buf, local.get());
            if (n == 0) {
                read_failed = ferror(local.get()) != 0;
                break;
            }
            limit.arm(s->timeout);
            if (fwrite(buf, 1, n, s->data_out) != n) {
                timed_out = errno == EINTR;
                send_failed = true;
                break;
            }
        }
        // The last buffered bytes go out under the time limit too, so a
        // stalled server cannot hang the close.
        if (!send_failed) {
            limit.arm(s->timeout);
            if (fflush(s->data_out) != 0) {
                timed_out = errno == EINTR;
                send_failed = true;
            }
        }
    }
    int saved = errno;
    local.reset();
    if (send_failed) {
        // Drop what is still buffered instead of retrying it on close.
        __fpurge(s->data_out);
        fclose(s->data_out);
        s->data_out = nullptr;
    }
    int final_code = 0;
    rc = close_data(s, &final_code, info, err);
    if (timed_out || final_code == FTP_TIMEOUT_READ) {
        ftp_append_text(err, "timeout sending data\n");
        return FTP_TIMEOUT_SEND;
    }
    // The server may still say 226 for a file it got only in part.
    if (send_failed) {
        ftp_internal::append_errno(err, saved);
        return FTP_ERR_DATA;
    }
    if (read_failed) {
        ftp_append_text(err, "can't read file\n");
        return FTP_ERR_LOCAL_FILE;
    }
    return rc;
}
