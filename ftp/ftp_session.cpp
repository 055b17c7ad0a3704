// Session record, time limit, text out-parameters and the control connection.

#include "ftp.h"
#include "ftp_internal.h"

#include "base.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

int ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
int ftp_device_writeback = 0;

namespace {

constexpr int quit_accepted[] = {221, 0};
constexpr int quit_refused[] = {500, 0};

ssize_t cookie_write(void *cookie, const char *buf, size_t size) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    size_t done = 0;
    while (done < size) {
        ssize_t n = ftp_internal::send_within(fd, buf + done, size - done);
        if (n < 0)
            break; // EINTR is the time limit: give up rather than retry
        done += static_cast<size_t>(n);
    }
    return done > 0 ? static_cast<ssize_t>(done) : -1;
}

int cookie_close(void *cookie) {
    return close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

// Read side of a data connection: the stream reads through this record's own
// large buffer, so a download costs few system calls per megabyte.
constexpr size_t data_buffer_size = 64 * 1024;
struct DataReader {
    int fd;
    char buffer[data_buffer_size];
};

// The limit is never renewed here: it covers a whole reply or listing line,
// or a server trickling a byte now and then would hold us forever.
ssize_t reader_read(void *cookie, char *buf, size_t size) {
    return ftp_internal::recv_within(static_cast<DataReader *>(cookie)->fd, buf, size);
}

ssize_t control_read(void *cookie, char *buf, size_t size) {
    return ftp_internal::recv_within(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buf,
                                     size);
}

FILE *control_read_stream(int fd) {
    cookie_io_functions_t io{};
    io.read = control_read;
    io.close = cookie_close;
    return fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), "r", io);
}

int reader_close(void *cookie) {
    auto *r = static_cast<DataReader *>(cookie);
    int rc = close(r->fd);
    free(r);
    return rc;
}

enum LineResult { LINE_READ, LINE_CLOSED, LINE_TIMED_OUT };

// Reads one line of at most FTP_LINE_MAX - 1 characters, under the caller's
// time limit.
LineResult next_line(FtpSession *s, char (&buf)[FTP_LINE_MAX]) {
    if (fgets(buf, sizeof buf, s->ctrl_in) != nullptr)
        return LINE_READ;
    return ferror(s->ctrl_in) && errno == EINTR ? LINE_TIMED_OUT : LINE_CLOSED;
}

// Reads the lines after first, the first line of a multi-line reply, up to
// the one that ends it, into info. That is the first line beginning with the
// same three characters and a blank: servers that begin every line of a long
// reply with its code ("230-" motd lines before "230 ") go on after a "230-".
LineResult rest_of_reply(FtpSession *s, const char *first, char **info) {
    char line[FTP_LINE_MAX];
    do {
        LineResult r = next_line(s, line);
        if (r != LINE_READ)
            return r;
        ftp_append_text(info, line);
    } while (strncmp(line, first, 3) != 0 || line[3] != ' ');
    return LINE_READ;
}

bool continues(const char *line) {
    return strlen(line) >= 4 && line[3] == '-';
}

// Line-end appended when a refused greeting carries none of its own.
void append_line(char **text, const char *line) {
    ftp_append_text(text, line);
    size_t len = strlen(line);
    if (len == 0 || line[len - 1] != '\n')
        ftp_append_text(text, "\n");
}

} // namespace

namespace ftp_internal {

int format_command(char (&buf)[FTP_LINE_MAX], const char *verb, const char *arg, bool arg_optional,
                   char **err) {
    int n;
    if (arg == nullptr) {
        if (!arg_optional) {
            ftp_append_text(err, "missing command argument\n");
            return FTP_ERR;
        }
        n = snprintf(buf, sizeof buf, "%s\r\n", verb);
    } else {
        // A line break inside an argument would smuggle in a second command.
        if (strpbrk(arg, "\r\n") != nullptr) {
            ftp_append_text(err, "line break in command argument refused\n");
            return FTP_ERR;
        }
        n = snprintf(buf, sizeof buf, "%s %s\r\n", verb, arg);
    }
    if (n < 0 || n >= static_cast<int>(sizeof buf)) {
        ftp_append_text(err, "command line too long\n");
        return FTP_ERR;
    }
    return FTP_OK;
}

FILE *socket_write_stream(int fd) {
    cookie_io_functions_t io{};
    io.write = cookie_write;
    io.close = cookie_close;
    return fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), "w", io);
}

FILE *socket_read_stream(int fd) {
    auto *r = static_cast<DataReader *>(malloc(sizeof(DataReader)));
    if (r == nullptr)
        return nullptr;
    r->fd = fd;
    cookie_io_functions_t io{};
    io.read = reader_read;
    io.close = reader_close;
    FILE *f = fopencookie(r, "r", io);
    if (f == nullptr) {
        free(r);
        return nullptr;
    }
    setvbuf(f, r->buffer, _IOFBF, sizeof r->buffer);
    return f;
}

void close_control(FtpSession *s) {
    if (s->ctrl_out != nullptr)
        fclose(s->ctrl_out);
    if (s->ctrl_in != nullptr)
        fclose(s->ctrl_in);
    s->ctrl_out = nullptr;
    s->ctrl_in = nullptr;
}

void close_data_streams(FtpSession *s) {
    if (s->data_in != nullptr)
        fclose(s->data_in);
    if (s->data_out != nullptr)
        fclose(s->data_out);
    s->data_in = nullptr;
    s->data_out = nullptr;
}

bool code_in(int code, const int *list) {
    for (; *list != 0; ++list)
        if (*list == code)
            return true;
    return false;
}

void append_errno(char **err, int errnum) {
    ftp_append_text(err, strerror(errnum));
    ftp_append_text(err, "\n");
}

} // namespace ftp_internal

void ftp_alarm_handler(int) {
    // The limits need no signal any more; a stray SIGALRM only interrupts.
    int saved = errno;
    keep_thread_pointer();
    errno = saved;
}

FtpSignalHandler ftp_set_signal_handler(int signum, FtpSignalHandler handler) {
    struct sigaction act {};
    struct sigaction old {};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0; // no SA_RESTART: the interrupted call must fail with EINTR
    if (sigaction(signum, &act, &old) < 0)
        return SIG_ERR;
    return old.sa_handler;
}

void ftp_append_text(char **text, const char *piece) {
    if (text == nullptr || piece == nullptr)
        return;
    size_t old_len = *text != nullptr ? strlen(*text) : 0;
    size_t piece_len = strlen(piece);
    char *grown = static_cast<char *>(malloc(old_len + piece_len + 1));
    if (grown == nullptr)
        return; // the text is lost, the operation's result still tells
    if (*text != nullptr)
        memcpy(grown, *text, old_len);
    memcpy(grown + old_len, piece, piece_len + 1);
    free(*text);
    *text = grown;
}

int ftp_reply_code(const char *line) {
    if (line == nullptr)
        return 0;
    std::string_view head(line, strnlen(line, 3));
    size_t i = 0;
    while (i < head.size() && isspace(static_cast<unsigned char>(head[i])))
        ++i;
    // Digits only: a sign would let a reply pose as a negative local result.
    int code = 0;
    while (i < head.size() && isdigit(static_cast<unsigned char>(head[i])))
        code = code * 10 + (head[i++] - '0');
    return code;
}

FtpSession *ftp_session_new() {
    auto *s = static_cast<FtpSession *>(calloc(1, sizeof(FtpSession)));
    if (s == nullptr)
        return nullptr;
    s->port = FTP_DEFAULT_PORT;
    s->pasv_port = 20;
    // Zero or less is no limit worth the name.
    s->timeout = ftp_default_timeout > 0 ? ftp_default_timeout : FTP_DEFAULT_TIMEOUT;
    return s;
}

int ftp_open_control(const char *host, FtpSession *s, int *resolver_error, int timeout) {
    sockaddr_in addr{};
    int resolved =
        host != nullptr ? ftp_internal::resolve_host(host, &addr.sin_addr) : HOST_NOT_FOUND;
    if (resolved != 0) {
        if (resolver_error != nullptr)
            *resolver_error = resolved;
        return FTP_ERR;
    }
    s->ctrl_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (s->ctrl_fd < 0)
        return FTP_ERR_SOCKET;
    addr.sin_family = AF_INET;
    addr.sin_port = htons(s->port);

    ftp_set_signal_handler(SIGALRM, ftp_alarm_handler);
    int rc = ftp_internal::connect_within(s->ctrl_fd, reinterpret_cast<sockaddr *>(&addr),
                                          sizeof addr, timeout);
    auto fail = [s](int result) {
        int saved = errno;
        if (s->ctrl_in != nullptr)
            fclose(s->ctrl_in); // closes ctrl_fd
        else
            close(s->ctrl_fd);
        s->ctrl_in = nullptr;
        errno = saved;
        return result;
    };
    if (rc < 0)
        return fail(errno == EINTR ? FTP_TIMEOUT_CONNECT : FTP_ERR_CONNECT);

    s->ctrl_in = control_read_stream(s->ctrl_fd);
    s->ctrl_dup_fd = dup(s->ctrl_fd);
    if (s->ctrl_dup_fd < 0)
        return fail(FTP_ERR_DUP);
    s->ctrl_out = ftp_internal::socket_write_stream(s->ctrl_dup_fd);
    if (s->ctrl_in == nullptr || s->ctrl_out == nullptr) {
        int saved = errno;
        if (s->ctrl_out != nullptr)
            fclose(s->ctrl_out);
        else
            close(s->ctrl_dup_fd);
        s->ctrl_out = nullptr;
        errno = saved;
        return fail(FTP_ERR_STREAM);
    }
    return FTP_OK;
}

FtpSession *ftp_connect(const char *host, uint16_t port, char **info, char **err) {
    FtpSession *s = ftp_session_new();
    if (s == nullptr) {
        ftp_append_text(err, "out of memory\n");
        return nullptr;
    }
    if (port != 0)
        s->port = port;

    int resolver_error = 0;
    int rc = ftp_open_control(host, s, &resolver_error, s->timeout);
    if (rc != FTP_OK) {
        int saved = errno;
        free(s);
        if (rc == FTP_ERR)
            ftp_append_text(err, hstrerror(resolver_error));
        else if (rc == FTP_TIMEOUT_CONNECT)
            ftp_append_text(err, "timeout during connect.");
        else
            ftp_append_text(err, strerror(saved));
        ftp_append_text(err, "\n");
        return nullptr;
    }

    // One time limit for the whole greeting, however many lines it has: a
    // banner of several lines is one reply, and the next command's reply must
    // not be taken from its tail. A refusal is judged on its first line.
    char line[FTP_LINE_MAX];
    int code = -1;
    LineResult r;
    {
        ftp_internal::TimeLimit limit(s->timeout);
        r = next_line(s, line);
        if (r == LINE_READ) {
            ftp_append_text(info, line);
            code = ftp_reply_code(line);
            if (code == 220 && continues(line))
                r = rest_of_reply(s, line, info);
        }
    }
    if (r != LINE_READ) {
        ftp_append_text(err, "unable to read greetings from server\n");
        ftp_internal::close_control(s);
        free(s);
        return nullptr;
    }
    if (code == 220)
        return s;

    if (strlen(line) >= 4)
        line[3] = ' ';
    append_line(err, line);
    ftp_internal::close_control(s);
    free(s);
    return nullptr;
}

int ftp_read_reply(FtpSession *s, char **first_line, char **info, char **err) {
    if (first_line != nullptr)
        *first_line = nullptr;
    if (s->ctrl_in == nullptr) {
        ftp_append_text(err, "command connection is closed\n");
        return FTP_ERR;
    }
    char line[FTP_LINE_MAX];
    auto lost = [&](LineResult r) {
        bool timed_out = r == LINE_TIMED_OUT;
        ftp_append_text(err, timed_out ? "timeout while reading server response\n"
                                       : "server has closed connection\n");
        ftp_internal::close_control(s);
        return timed_out ? FTP_TIMEOUT_READ : FTP_ERR;
    };

    // One time limit for the whole reply: a server sending line after line
    // cannot hold us beyond it.
    ftp_internal::TimeLimit limit(s->timeout);
    LineResult r = next_line(s, line);
    if (r != LINE_READ)
        return lost(r);
    ftp_append_text(info, line);
    if (first_line != nullptr)
        *first_line = strdup(line);
    int code = ftp_reply_code(line);
    if (!continues(line))
        return code;
    // A reply cut short keeps its first-line copy: that line did arrive.
    r = rest_of_reply(s, line, info);
    return r == LINE_READ ? code : lost(r);
}

int ftp_command(FtpSession *s, const char *line, const int *accepted, const int *refused, int *code,
                char **reply_line, char **info, char **err) {
    if (reply_line != nullptr)
        *reply_line = nullptr;
    auto refuse = [&](const char *why) {
        ftp_append_text(err, why);
        if (code != nullptr)
            *code = FTP_ERR;
        return FTP_ERR;
    };
    if (s->ctrl_out == nullptr)
        return refuse("command connection is closed\n");
    if (line == nullptr)
        return refuse("missing command line\n");
    // Exactly one line, ended by the optional "\r\n", fits the line buffer.
    std::string_view text(line);
    if (text.size() >= static_cast<size_t>(FTP_LINE_MAX))
        return refuse("command line too long\n");
    std::string_view body = text;
    if (body.ends_with("\r\n"))
        body.remove_suffix(2);
    if (body.find_first_of("\r\n") != std::string_view::npos)
        return refuse("line break in command argument refused\n");

    ftp_append_text(info, line);
    // Failures show when the reply is read; the stream never raises SIGPIPE.
    {
        ftp_internal::TimeLimit limit(s->timeout);
        fputs(line, s->ctrl_out);
        fflush(s->ctrl_out);
    }

    char *first = nullptr;
    int reply = ftp_read_reply(s, &first, info, err);
    if (code != nullptr)
        *code = reply;
    if (reply == 421)
        ftp_internal::close_control(s);

    int result = FTP_ERR;
    if (reply >= 0 && ftp_internal::code_in(reply, accepted))
        result = FTP_OK;
    else if (reply > 0 && refused != nullptr && ftp_internal::code_in(reply, refused))
        append_line(err, first);
    else if (reply >= 0)
        ftp_append_text(err, "illegal response from server\n");

    if (reply_line != nullptr)
        *reply_line = first;
    else
        free(first);
    return result;
}

int ftp_quit(FtpSession *s, char **info, char **err) {
    if (s == nullptr) {
        ftp_append_text(err, "command connection is closed\n");
        return FTP_ERR;
    }
    // A data connection left open by a failed or interrupted download goes
    // first: a server still pushing data into it cannot answer QUIT.
    ftp_internal::close_data_streams(s);
    int code = 0;
    int rc = ftp_command(s, "QUIT\r\n", quit_accepted, quit_refused, &code, nullptr, info, err);
    if (rc != FTP_OK)
        return ftp_internal::command_result(rc, code);
    ftp_internal::close_control(s);
    free(s);
    return FTP_OK;
}
