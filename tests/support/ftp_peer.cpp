// Scripted FTP server thread for the tests.

#include "ftp_peer.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Step {
    int action;
    std::string text;
    std::string arg;
    bool has_arg;
    int ms;
};

} // namespace

struct FtpPeer {
    std::vector<Step> steps;
    int listen_fd = -1;
    bool own_listener = false;
    int ctrl = -1;
    int pasv_listener = -1;
    int filler = -1; // keeps a full PASV listener full
    int data = -1;
    int stop_pipe[2] = {-1, -1};
    std::string pending; // control bytes read but not yet a whole line
    std::thread thread;
    bool joined = false;

    std::mutex lock;
    std::condition_variable finished_cv;
    bool finished = false;
    std::string transcript;
    std::string received;
    std::string notes;
};

namespace {

void close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void append(FtpPeer *p, std::string FtpPeer::*field, const std::string &text) {
    std::lock_guard<std::mutex> g(p->lock);
    (p->*field) += text;
}

// Waits until fd is readable (or writable) or the peer is stopped, at most ms
// (-1: no limit). Returns 1 ready, 0 timed out, -1 stopped.
int wait_fd(FtpPeer *p, int fd, short events, int ms) {
    pollfd fds[2] = {{fd, events, 0}, {p->stop_pipe[0], POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[1].revents != 0)
            return -1;
        return n == 0 ? 0 : 1;
    }
}

bool send_all(FtpPeer *p, int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (wait_fd(p, fd, POLLOUT, -1) != 1)
            return false;
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads one command line from the control connection. Returns false at EOF or stop.
bool read_command(FtpPeer *p, std::string *line) {
    for (;;) {
        size_t nl = p->pending.find('\n');
        if (nl != std::string::npos) {
            *line = p->pending.substr(0, nl + 1);
            p->pending.erase(0, nl + 1);
            return true;
        }
        if (p->ctrl < 0 || wait_fd(p, p->ctrl, POLLIN, -1) != 1)
            return false;
        char buf[2048];
        ssize_t n = read(p->ctrl, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p->pending.append(buf, static_cast<size_t>(n));
    }
}

int make_listener(const char *address, int backlog, uint16_t *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address, &sa.sin_addr);
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, backlog) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

int connect_to(const sockaddr_in &to, const char *from) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Address and port of the last PORT line in the transcript.
bool last_port(FtpPeer *p, sockaddr_in *to) {
    std::string t;
    {
        std::lock_guard<std::mutex> g(p->lock);
        t = p->transcript;
    }
    size_t at = t.rfind("PORT ");
    unsigned n[6];
    if (at == std::string::npos || sscanf(t.c_str() + at + 5, "%u,%u,%u,%u,%u,%u", &n[0], &n[1],
                                          &n[2], &n[3], &n[4], &n[5]) != 6)
        return false;
    *to = sockaddr_in{};
    to->sin_family = AF_INET;
    to->sin_addr.s_addr = htonl(n[0] << 24 | n[1] << 16 | n[2] << 8 | n[3]);
    to->sin_port = htons(static_cast<uint16_t>(n[4] * 256 + n[5]));
    return true;
}

bool pasv(FtpPeer *p, const Step &st, bool full) {
    close_fd(p->pasv_listener);
    close_fd(p->filler);
    uint16_t port = 0;
    p->pasv_listener = make_listener("127.0.0.1", full ? 0 : 4, &port);
    if (p->pasv_listener < 0)
        return false;
    if (full) {
        // A backlog of 0 holds one connection; ours takes that place so the
        // kernel drops the client's SYN and its connect waits.
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        p->filler = connect_to(to, "127.0.0.1");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    char group[64];
    snprintf(group, sizeof group, "%s,%u,%u", st.has_arg ? st.arg.c_str() : "127,0,0,1",
             port / 256u, port % 256u);
    std::string reply = st.text;
    size_t at = reply.find("{}");
    if (at != std::string::npos)
        reply.replace(at, 2, group);
    return send_all(p, p->ctrl, reply);
}

// Plays one step. Returns false when the script must end.
bool play(FtpPeer *p, const Step &st) {
    switch (st.action) {
    case FTP_PEER_SEND:
        return send_all(p, p->ctrl, st.text);
    case FTP_PEER_RECV: {
        std::string line;
        if (!read_command(p, &line))
            return false;
        append(p, &FtpPeer::transcript, line);
        return true;
    }
    case FTP_PEER_CLOSE:
        close_fd(p->ctrl);
        return false;
    case FTP_PEER_STALL:
        wait_fd(p, p->stop_pipe[0], POLLIN, -1);
        return false;
    case FTP_PEER_SLEEP: {
        pollfd fd{p->stop_pipe[0], POLLIN, 0};
        return poll(&fd, 1, st.ms) == 0;
    }
    case FTP_PEER_PASV:
    case FTP_PEER_PASV_FULL:
        return pasv(p, st, st.action == FTP_PEER_PASV_FULL);
    case FTP_PEER_ACCEPT:
        if (p->pasv_listener < 0 || wait_fd(p, p->pasv_listener, POLLIN, -1) != 1)
            return false;
        close_fd(p->data);
        p->data = accept(p->pasv_listener, nullptr, nullptr);
        return p->data >= 0;
    case FTP_PEER_CONNECT: {
        sockaddr_in to{};
        const char *from = st.has_arg ? st.arg.c_str() : "127.0.0.1";
        close_fd(p->data);
        p->data = last_port(p, &to) ? connect_to(to, from) : -1;
        append(p, &FtpPeer::notes,
               p->data >= 0 ? "connected from " + std::string(from) + "\n" : "connect failed\n");
        return true;
    }
    case FTP_PEER_DATA_SEND:
        return p->data >= 0 && send_all(p, p->data, st.text);
    case FTP_PEER_DATA_RECV:
        for (;;) {
            if (p->data < 0 || wait_fd(p, p->data, POLLIN, -1) != 1)
                return false;
            char buf[4096];
            ssize_t n = read(p->data, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return true;
            append(p, &FtpPeer::received, std::string(buf, static_cast<size_t>(n)));
        }
    case FTP_PEER_DATA_CLOSE:
        close_fd(p->data);
        return true;
    case FTP_PEER_EXPECT_DATA_CLOSED: {
        bool closed = false;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(st.ms);
        while (p->data >= 0 && !closed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            int r = wait_fd(p, p->data, POLLIN, left.count() > 0 ? int(left.count()) : 0);
            if (r != 1)
                break;
            char buf[512];
            ssize_t n = read(p->data, buf, sizeof buf);
            closed = n <= 0;
        }
        append(p, &FtpPeer::notes, closed ? "data closed\n" : "data open\n");
        return true;
    }
    }
    return false;
}

void run(FtpPeer *p) {
    if (wait_fd(p, p->listen_fd, POLLIN, -1) == 1)
        p->ctrl = accept(p->listen_fd, nullptr, nullptr);
    if (p->ctrl >= 0) {
        bool going = true;
        for (const Step &st : p->steps) {
            if (!(going = play(p, st)))
                break;
        }
        // Anything sent after the script is recorded, unanswered.
        std::string line;
        while (going && read_command(p, &line))
            append(p, &FtpPeer::transcript, line);
    }
    std::lock_guard<std::mutex> g(p->lock);
    p->finished = true;
    p->finished_cv.notify_all();
}

} // namespace

FtpPeer *ftp_peer_start(const FtpPeerStep *steps, size_t count, int listen_fd) {
    auto *p = new FtpPeer;
    for (size_t i = 0; i < count; ++i) {
        const FtpPeerStep &s = steps[i];
        Step st{s.action, "", "", s.arg != nullptr, s.ms};
        if (s.text != nullptr)
            st.text.assign(s.text, s.len != 0 ? s.len : strlen(s.text));
        if (s.arg != nullptr)
            st.arg = s.arg;
        p->steps.push_back(st);
    }
    if (listen_fd >= 0) {
        p->listen_fd = listen_fd;
    } else {
        uint16_t port;
        p->listen_fd = make_listener("127.0.0.1", 4, &port);
        p->own_listener = true;
    }
    if (p->listen_fd < 0 || pipe2(p->stop_pipe, O_CLOEXEC) < 0) {
        ftp_peer_free(p);
        return nullptr;
    }
    p->thread = std::thread(run, p);
    return p;
}

uint16_t ftp_peer_port(const FtpPeer *peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(peer->listen_fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
        return 0;
    return ntohs(sa.sin_port);
}

bool ftp_peer_wait(FtpPeer *peer, int ms) {
    std::unique_lock<std::mutex> g(peer->lock);
    return peer->finished_cv.wait_for(g, std::chrono::milliseconds(ms),
                                      [peer] { return peer->finished; });
}

void ftp_peer_stop(FtpPeer *peer) {
    if (peer->joined)
        return;
    if (peer->thread.joinable()) {
        char c = 1;
        (void)!write(peer->stop_pipe[1], &c, 1);
        peer->thread.join();
    }
    peer->joined = true;
    // What the client sent that no step read is still part of the transcript.
    if (peer->ctrl >= 0) {
        char buf[2048];
        ssize_t n;
        while ((n = recv(peer->ctrl, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            peer->pending.append(buf, static_cast<size_t>(n));
    }
    append(peer, &FtpPeer::transcript, peer->pending);
    peer->pending.clear();
}

std::string ftp_peer_transcript(FtpPeer *peer) {
    std::lock_guard<std::mutex> g(peer->lock);
    return peer->transcript;
}

std::string ftp_peer_received(FtpPeer *peer) {
    std::lock_guard<std::mutex> g(peer->lock);
    return peer->received;
}

std::string ftp_peer_notes(FtpPeer *peer) {
    std::lock_guard<std::mutex> g(peer->lock);
    return peer->notes;
}

void ftp_peer_free(FtpPeer *peer) {
    if (peer == nullptr)
        return;
    ftp_peer_stop(peer);
    close_fd(peer->ctrl);
    close_fd(peer->data);
    close_fd(peer->pasv_listener);
    close_fd(peer->filler);
    if (peer->own_listener)
        close_fd(peer->listen_fd);
    close_fd(peer->stop_pipe[0]);
    close_fd(peer->stop_pipe[1]);
    delete peer;
}
