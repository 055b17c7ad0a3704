#include "ftp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int listener() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(fd, 4) == 0)
        return fd;
    close(fd);
    return -1;
}

uint16_t port_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

bool close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
    return true;
}

} // namespace

FtpPeer::FtpPeer(std::vector<std::string> script, int listen_fd, int netns_pid)
    : script_(std::move(script)), listen_(listen_fd >= 0 ? listen_fd : listener()),
      netns_pid_(netns_pid) {
    if (pipe2(stop_, O_CLOEXEC) == 0)
        thread_ = std::thread([this] { run(); });
}

FtpPeer::~FtpPeer() {
    transcript();
    for (int *fd : {&listen_, &ctrl_, &pasv_, &data_, &stop_[0], &stop_[1]})
        close_fd(*fd);
}

uint16_t FtpPeer::port() const {
    return port_of(listen_);
}

std::string FtpPeer::transcript() {
    if (thread_.joinable()) {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        // Lines the client sent but no step read belong to the transcript too.
        transcript_ += pending_;
        char buf[4096];
        for (ssize_t n; ctrl_ >= 0 && (n = recv(ctrl_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            transcript_.append(buf, size_t(n));
    }
    return transcript_;
}

std::string FtpPeer::received() {
    return transcript(), received_;
}

// Returns false when the peer was stopped.
bool FtpPeer::wait(int fd, short events, int ms) {
    pollfd p[2] = {{fd, events, 0}, {stop_[0], POLLIN, 0}};
    while (poll(p, 2, ms) < 0) {
    }
    return p[1].revents == 0;
}

bool FtpPeer::send_all(int fd, const std::string &bytes) {
    ssize_t n = 0;
    for (size_t done = 0; done < bytes.size(); done += size_t(n))
        if (fd < 0 || !wait(fd, POLLOUT) ||
            (n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)) <= 0)
            return false;
    return true;
}

bool FtpPeer::read_line(std::string *line) {
    char buf[4096];
    for (ssize_t n; pending_.find('\n') == std::string::npos; pending_.append(buf, size_t(n)))
        if ((n = ctrl_ >= 0 && wait(ctrl_, POLLIN) ? read(ctrl_, buf, sizeof buf) : 0) <= 0)
            return false;
    size_t end = pending_.find('\n') + 1;
    *line = pending_.substr(0, end);
    pending_.erase(0, end);
    return true;
}

bool FtpPeer::step(const std::string &s) {
    std::string line;
    if (s == "<")
        return read_line(&line) && !(transcript_ += line).empty();
    if (s.starts_with("raw:"))
        return send_all(ctrl_, s.substr(4));
    if (s == "pasv") {
        close_fd(pasv_);
        uint16_t p = port_of(pasv_ = listener());
        return send_all(ctrl_, "227 Entering Passive Mode (127,0,0,1," + std::to_string(p / 256) +
                                   "," + std::to_string(p % 256) + ")\r\n");
    }
    if (s == "accept") {
        close_fd(data_);
        data_ =
            pasv_ >= 0 && wait(pasv_, POLLIN) ? accept4(pasv_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        return data_ >= 0;
    }
    if (s == "port") {
        unsigned n[6];
        size_t at = transcript_.rfind("PORT ");
        if (at == std::string::npos || sscanf(transcript_.c_str() + at + 5, "%u,%u,%u,%u,%u,%u",
                                              &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6)
            return false;
        uint32_t addr = n[0] << 24 | n[1] << 16 | n[2] << 8 | n[3];
        sockaddr_in sa = {AF_INET, htons(uint16_t(n[4] * 256 + n[5])), {htonl(addr)}, {}};
        close_fd(data_);
        data_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return connect(data_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    if (s.starts_with("data:"))
        return send_all(data_, s.substr(5));
    if (s == "recv-data") {
        char buf[4096];
        for (ssize_t n;
             data_ >= 0 && wait(data_, POLLIN) && (n = read(data_, buf, sizeof buf)) > 0;)
            received_.append(buf, size_t(n));
        return true;
    }
    if (s == "close-data")
        return close_fd(data_);
    if (s == "close")
        return !close_fd(ctrl_); // ends the script
    if (s.starts_with("sleep:"))
        return wait(-1, 0, std::stoi(s.substr(6)));
    if (s == "stall")
        return wait(stop_[0], POLLIN) && false;
    return send_all(ctrl_, s + "\r\n");
}

void FtpPeer::run() {
    if (netns_pid_ > 0) {
        int ns = open(("/proc/" + std::to_string(netns_pid_) + "/ns/net").c_str(), O_RDONLY);
        // Data connections of the client inside are reachable from there only.
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0)
            close(ns);
    }
    if (listen_ < 0 || !wait(listen_, POLLIN))
        return;
    ctrl_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    bool going = ctrl_ >= 0;
    for (size_t i = 0; going && i < script_.size(); ++i)
        going = step(script_[i]);
    std::string line;
    while (going && read_line(&line))
        transcript_ += line;
}
