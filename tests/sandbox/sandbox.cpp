// The appliance sandbox. The host side (this test process) prepares a
// directory tree, partition images and loop devices, then clones the init
// stand-in into fresh mount, pid, network and uts namespaces. The init
// mounts what the appliance expects, chroots and then serves the host's
// requests over a socketpair. Everything mounted lives only in the private
// mount namespace, the loop devices clear themselves on last close, and a
// small reaper process removes the directory should the test process die
// without sandbox_destroy.

#include "sandbox.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <crypt.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <linux/loop.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef NIMBO_UPDATE_BIN
#define NIMBO_UPDATE_BIN ""
#endif
#ifndef NIMBO_SWAP_BIN
#define NIMBO_SWAP_BIN ""
#endif

namespace {

constexpr const char *kBusybox = "/bin/busybox";
constexpr const char *kQemu = "/usr/bin/qemu-i386-static";
constexpr const char *kVsftpd = "/usr/sbin/vsftpd";
constexpr const char *kMke2fs = "/sbin/mke2fs";
constexpr int kReadyTimeoutMs = 30000;

// Requests of the host to the init, and the init's one reply to each.
enum Op : int32_t {
    OP_READY = 1,
    OP_SPAWN,
    OP_KILL,
    OP_WAIT,
    OP_READ,
    OP_WRITE,
    OP_SIGNALS,
    OP_LISTEN,
    OP_CONNECT,
};

struct Msg {
    int32_t op = 0;
    std::vector<int64_t> nums;
    std::vector<std::string> strs;
};

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

struct Loop {
    int fd = -1;       // held until destroy; the device clears itself on last close
    int number = -1;   // N of /dev/loopN
    dev_t rdev = 0;    // what the nodes inside are made with
    std::string image; // backing file
};

struct Output {
    int out_fd = -1, err_fd = -1;
    std::string out, err;
};

} // namespace

struct Sandbox {
    std::string base; // mkdtemp directory holding everything below
    std::string root; // base + "/root", "/" inside
    Loop loops[3];    // hda1, hda2, ram1
    bool have_ram = false;
    pid_t init_pid = -1; // host pid of process 1 inside
    pid_t mid_pid = -1;  // its parent, our child
    int ctl = -1;        // socketpair end to the init
    pid_t reaper_pid = -1;
    int reaper_fd = -1; // the reaper removes base when this closes
    std::map<int, Output> outputs;
};

namespace {

// ---- small helpers ------------------------------------------------------

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string errno_text(const std::string &what) {
    return what + ": " + strerror(errno);
}

// Moves all len bytes with io (read or write), through short counts and
// interrupted calls. Returns false on an error or an early end.
template <typename Byte, typename Io> bool io_all(Io io, int fd, Byte *p, size_t len) {
    while (len > 0) {
        ssize_t n = io(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

bool write_all(int fd, const void *data, size_t len) {
    return io_all(write, fd, static_cast<const char *>(data), len);
}

bool read_all(int fd, void *data, size_t len) {
    return io_all(read, fd, static_cast<char *>(data), len);
}

// Returns true when the whole file could be written.
bool put_file(const std::string &path, const std::string &content, mode_t mode) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.fd < 0)
        return false;
    if (!write_all(fd.fd, content.data(), content.size()))
        return false;
    fchmod(fd.fd, mode);
    return close(fd.release()) == 0;
}

// Returns true and the content when the file could be read.
bool get_file(const std::string &path, std::string *content) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return false;
    content->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        content->append(buf, size_t(n));
    }
}

bool copy_file(const std::string &from, const std::string &to, mode_t mode) {
    std::string data;
    return get_file(from, &data) && put_file(to, data, mode);
}

int remove_entry(const char *path, const struct stat *, int type, struct FTW *) {
    if (type == FTW_DP)
        rmdir(path);
    else
        unlink(path);
    return 0;
}

void remove_tree(const std::string &path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// In a forked child: closes every descriptor above 2 except those listed,
// which move to 3, 4, ... (the pointers are updated). Other sandboxes'
// descriptors must not stay open in our processes.
void keep_only_fds(std::initializer_list<int *> keep) {
    std::vector<int> high;
    for (int *fd : keep)
        high.push_back(fcntl(*fd, F_DUPFD, 1024));
    syscall(SYS_close_range, 3U, 1023U, 0U);
    int next = 3;
    size_t i = 0;
    for (int *fd : keep) {
        dup2(high[i++], next);
        *fd = next++;
    }
    syscall(SYS_close_range, unsigned(next), ~0U, 0U);
}

// Runs a host tool with stdout and stderr captured into *output. Returns
// its wait status, or -1 when it could not be started.
int run_host(const std::vector<std::string> &argv, std::string *output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    output->clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            output->append(buf, size_t(n));
    close(fds[0]);
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

// ---- messages over the control socket -----------------------------------

void put_u32(std::string *s, uint32_t v) {
    s->append(reinterpret_cast<const char *>(&v), 4);
}

bool msg_send(int sock, const Msg &m, const std::vector<int> &fds = {}) {
    std::string body;
    put_u32(&body, uint32_t(m.op));
    put_u32(&body, uint32_t(m.nums.size()));
    for (int64_t v : m.nums)
        body.append(reinterpret_cast<const char *>(&v), 8);
    put_u32(&body, uint32_t(m.strs.size()));
    for (const std::string &s : m.strs) {
        put_u32(&body, uint32_t(s.size()));
        body += s;
    }
    uint32_t len = uint32_t(body.size());
    // The descriptors ride on the length word, so that the receiver finds
    // them with its first, fixed-size recvmsg.
    iovec iov{&len, 4};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int) * 4)];
    if (!fds.empty()) {
        mh.msg_control = cbuf;
        mh.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr *c = CMSG_FIRSTHDR(&mh);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n;
    while ((n = sendmsg(sock, &mh, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (n != 4)
        return false;
    const char *p = body.data();
    size_t left = body.size();
    while (left > 0) {
        n = send(sock, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

bool take_u32(const std::string &b, size_t *pos, uint32_t *v) {
    if (b.size() - *pos < 4)
        return false;
    memcpy(v, b.data() + *pos, 4);
    *pos += 4;
    return true;
}

// Returns false on end of stream or a malformed message.
bool msg_recv(int sock, Msg *m, std::vector<int> *fds = nullptr) {
    uint32_t len;
    iovec iov{&len, 4};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int) * 4)];
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof cbuf;
    ssize_t n;
    while ((n = recvmsg(sock, &mh, MSG_CMSG_CLOEXEC | MSG_WAITALL)) < 0 && errno == EINTR) {
    }
    if (n != 4)
        return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (fds)
                fds->push_back(fd);
            else
                close(fd);
        }
    }
    std::string body(len, '\0');
    if (!read_all(sock, body.data(), len))
        return false;
    size_t pos = 0;
    uint32_t v, count;
    if (!take_u32(body, &pos, &v))
        return false;
    m->op = int32_t(v);
    if (!take_u32(body, &pos, &count) || (body.size() - pos) / 8 < count)
        return false;
    m->nums.resize(count);
    for (uint32_t i = 0; i < count; i++, pos += 8)
        memcpy(&m->nums[i], body.data() + pos, 8);
    if (!take_u32(body, &pos, &count))
        return false;
    m->strs.clear();
    for (uint32_t i = 0; i < count; i++) {
        if (!take_u32(body, &pos, &v) || body.size() - pos < v)
            return false;
        m->strs.emplace_back(body.data() + pos, v);
        pos += v;
    }
    return true;
}

// ---- the init stand-in (process 1 of the sandbox) ------------------------

// Process 1 only gets the signals it has handlers for; each one is kept in
// order for sandbox_init_signals.
constexpr int kMaxSignals = 4096;
volatile sig_atomic_t init_signal_log[kMaxSignals];
volatile sig_atomic_t init_signal_count;
int init_wake_fd = -1; // write end of the self-pipe that wakes init_serve
int init_wake_rd = -1;

void init_on_signal(int sig) {
    int saved = errno;
    if (sig != SIGCHLD && init_signal_count < kMaxSignals) {
        init_signal_log[init_signal_count] = sig;
        init_signal_count = init_signal_count + 1;
    }
    char b = 0;
    (void)!write(init_wake_fd, &b, 1);
    errno = saved;
}

struct Child {
    bool done = false;
    int status = 0;
    bool timed_out = false;
    bool waiting = false; // the host waits for it
    int64_t deadline = 0;
};

struct Init {
    const Sandbox *sb;
    const SandboxOptions *opt;
    int ctl;
    std::map<pid_t, Child> children;
};

bool is_elf32(const std::string &path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    unsigned char h[5];
    return fd.fd >= 0 && read(fd.fd, h, 5) == 5 &&
           memcmp(h,
                  "\x7f"
                  "ELF",
                  4) == 0 &&
           h[4] == 1;
}

// In the child that becomes the program: never returns.
[[noreturn]] void init_exec(const std::vector<std::string> &argv, int out, int err) {
    for (int s = 1; s < NSIG; s++)
        signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0 && in != 0) {
        dup2(in, 0);
        close(in);
    }
    dup2(out, 1);
    dup2(err, 2);
    syscall(SYS_close_range, 3U, ~0U, 0U);

    std::string path = argv[0];
    if (path.find('/') == std::string::npos) {
        for (const char *dir : {"/sbin/", "/bin/"}) {
            std::string p = dir + argv[0];
            if (access(p.c_str(), X_OK) == 0) {
                path = p;
                break;
            }
        }
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    char env0[] = "PATH=/sbin:/bin";
    char *envp[] = {env0, nullptr};
    execve(path.c_str(), args.data(), envp);
    if (errno == ENOEXEC && is_elf32(path)) {
        // This kernel does not run i386 files; qemu-user does, as the same
        // process, so signals still reach the program.
        std::vector<char *> q;
        q.push_back(const_cast<char *>("qemu-i386-static"));
        q.push_back(const_cast<char *>("-0"));
        q.push_back(const_cast<char *>(argv[0].c_str()));
        q.push_back(const_cast<char *>(path.c_str()));
        for (size_t i = 1; i < argv.size(); i++)
            q.push_back(const_cast<char *>(argv[i].c_str()));
        q.push_back(nullptr);
        execve(kQemu, q.data(), envp);
    }
    dprintf(2, "sandbox: cannot run %s: %s\n", argv[0].c_str(), strerror(errno));
    _exit(127);
}

void init_reap(Init *in) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        auto it = in->children.find(pid);
        if (it == in->children.end())
            continue;
        it->second.done = true;
        it->second.status = status;
        if (it->second.waiting) {
            Msg r;
            r.op = OP_WAIT;
            r.nums = {status, it->second.timed_out ? 1 : 0};
            msg_send(in->ctl, r);
            in->children.erase(it);
        }
    }
}

int init_socket(const std::string &addr, int port, const std::string &from, bool listening) {
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1)
        return -1;
    if (listening) {
        int one = 1;
        setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s.fd, 16) != 0)
            return -1;
        return s.release();
    }
    if (!from.empty()) {
        sockaddr_in fa{};
        fa.sin_family = AF_INET;
        if (inet_pton(AF_INET, from.c_str(), &fa.sin_addr) != 1 ||
            bind(s.fd, reinterpret_cast<sockaddr *>(&fa), sizeof fa) != 0)
            return -1;
    }
    // Loopback answers at once or refuses; the limit only guards against a
    // full backlog.
    int fl = fcntl(s.fd, F_GETFL);
    fcntl(s.fd, F_SETFL, fl | O_NONBLOCK);
    if (connect(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return -1;
        pollfd p{s.fd, POLLOUT, 0};
        int e = 0;
        socklen_t el = sizeof e;
        if (poll(&p, 1, 5000) != 1 || getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &e, &el) != 0 || e)
            return -1;
    }
    fcntl(s.fd, F_SETFL, fl);
    return s.release();
}

void init_request(Init *in, const Msg &m, std::vector<int> &fds) {
    Msg r;
    r.op = m.op;
    std::vector<int> out_fds;
    switch (m.op) {
    case OP_SPAWN: {
        pid_t pid = -1;
        if (fds.size() == 2 && !m.strs.empty()) {
            // A signal for the new program must not land in our handlers
            // before the child has reset them; init_exec unblocks.
            sigset_t all, old;
            sigfillset(&all);
            sigprocmask(SIG_SETMASK, &all, &old);
            pid = fork();
            if (pid == 0)
                init_exec(m.strs, fds[0], fds[1]);
            sigprocmask(SIG_SETMASK, &old, nullptr);
            if (pid > 0)
                in->children[pid] = Child{};
        }
        r.nums = {pid > 0 ? pid : -1};
        break;
    }
    case OP_KILL: {
        auto it = in->children.find(pid_t(m.nums.at(0)));
        bool alive = it != in->children.end() && !it->second.done;
        r.nums = {alive ? kill(it->first, int(m.nums.at(1))) : -1};
        break;
    }
    case OP_WAIT: {
        auto it = in->children.find(pid_t(m.nums.at(0)));
        if (it == in->children.end()) {
            r.nums = {-1, 0};
            break;
        }
        if (it->second.done) {
            r.nums = {it->second.status, 0};
            in->children.erase(it);
            break;
        }
        it->second.waiting = true;
        it->second.deadline = now_ms() + m.nums.at(1);
        return; // answered by init_reap
    }
    case OP_READ: {
        std::string content;
        bool ok = get_file(m.strs.at(0), &content);
        r.nums = {ok ? 1 : 0};
        r.strs = {content};
        break;
    }
    case OP_WRITE:
        r.nums = {put_file(m.strs.at(0), m.strs.at(1), mode_t(m.nums.at(0))) ? 1 : 0};
        break;
    case OP_SIGNALS:
        for (int i = 0; i < init_signal_count; i++)
            r.nums.push_back(init_signal_log[i]);
        break;
    case OP_LISTEN:
    case OP_CONNECT: {
        int s = init_socket(m.strs.at(0), int(m.nums.at(0)), m.strs.size() > 1 ? m.strs[1] : "",
                            m.op == OP_LISTEN);
        r.nums = {s >= 0 ? 0 : -1};
        if (s >= 0)
            out_fds.push_back(s);
        break;
    }
    default:
        r.nums = {-1};
    }
    msg_send(in->ctl, r, out_fds);
    for (int fd : out_fds)
        close(fd);
}

[[noreturn]] void init_serve(Init *in) {
    for (;;) {
        int64_t now = now_ms();
        int timeout = -1;
        for (auto &[pid, c] : in->children) {
            if (!c.waiting || c.done)
                continue;
            if (c.deadline <= now && !c.timed_out) {
                c.timed_out = true;
                kill(-pid, SIGKILL);
                kill(pid, SIGKILL);
            }
            if (!c.timed_out) {
                int64_t left = c.deadline - now;
                timeout = timeout < 0 ? int(left) : std::min(timeout, int(left));
            }
        }
        pollfd p[2] = {{in->ctl, POLLIN, 0}, {init_wake_rd, POLLIN, 0}};
        int n = poll(p, 2, timeout);
        if (n < 0 && errno != EINTR)
            _exit(1);
        if (p[1].revents & POLLIN) {
            char buf[256];
            while (read(p[1].fd, buf, sizeof buf) > 0) {
            }
        }
        init_reap(in);
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            Msg m;
            std::vector<int> fds;
            // The host is gone: process 1 exiting takes the whole sandbox along.
            if (!msg_recv(in->ctl, &m, &fds))
                _exit(0);
            try {
                init_request(in, m, fds);
            } catch (const std::exception &) {
                Msg r;
                r.op = m.op;
                r.nums = {-1};
                msg_send(in->ctl, r);
            }
            for (int fd : fds)
                close(fd);
        }
    }
}

bool init_mknod(const std::string &path, mode_t mode, dev_t dev, std::string *err) {
    if (mknod(path.c_str(), mode, dev) != 0) {
        *err = errno_text("mknod " + path);
        return false;
    }
    chmod(path.c_str(), mode & 07777);
    return true;
}

bool init_bind(const std::string &from, const std::string &to, std::string *err) {
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        *err = errno_text("bind " + from + " on " + to);
        return false;
    }
    return true;
}

// Starts vsftpd with the host's file system view (it is a dynamic program)
// but the sandbox's network, and waits until it accepts on port 21.
bool init_vsftpd(Init *in, std::string *err) {
    const std::string etc = in->sb->base + "/etc";
    for (const char *f : {"passwd", "shadow", "group"})
        if (!init_bind(etc + "/" + f, std::string("/etc/") + f, err))
            return false;
    if (!init_bind(etc + "/pam.d", "/etc/pam.d", err))
        return false;
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    if (pid != 0)
        sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        *err = errno_text("fork");
        return false;
    }
    if (pid == 0) {
        int log = open((in->sb->base + "/vsftpd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        dup2(log, 1);
        dup2(log, 2);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        for (int s = 1; s < NSIG; s++)
            signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::string conf = etc + "/vsftpd.conf";
        execl(kVsftpd, "vsftpd", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int64_t until = now_ms() + 15000;
    while (now_ms() < until) {
        int s = init_socket("127.0.0.1", 21, "", false);
        if (s >= 0) {
            close(s);
            return true;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::string out;
            get_file(in->sb->base + "/vsftpd.out", &out);
            *err = "vsftpd ended at start: " + out;
            return false;
        }
        usleep(20000);
    }
    *err = "vsftpd does not accept on 127.0.0.1:21";
    return false;
}

bool init_setup(Init *in, std::string *err) {
    const Sandbox *sb = in->sb;
    const SandboxOptions &o = *in->opt;
    const std::string &root = sb->root;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *err = errno_text("make / private");
        return false;
    }
    // Device nodes on a tmpfs of our own: the host's file systems may be nodev.
    const std::string dev = root + "/dev";
    if (mount("sandbox-dev", dev.c_str(), "tmpfs", MS_NOSUID, "mode=755") != 0) {
        *err = errno_text("mount tmpfs on " + dev);
        return false;
    }
    if (!init_mknod(dev + "/null", S_IFCHR | 0666, makedev(1, 3), err) ||
        !init_mknod(dev + "/zero", S_IFCHR | 0666, makedev(1, 5), err) ||
        !init_mknod(dev + "/hda1", S_IFBLK | 0660, sb->loops[0].rdev, err) ||
        !init_mknod(dev + "/hda2", S_IFBLK | 0660, sb->loops[1].rdev, err))
        return false;
    if (sb->have_ram && !init_mknod(dev + "/ram1", S_IFBLK | 0660, sb->loops[2].rdev, err))
        return false;
    struct {
        bool want;
        const char *node, *dir;
    } parts[] = {{o.mount_active, "/dev/hda1", "/active_partition"},
                 {o.mount_standby, "/dev/hda2", "/standby_partition"}};
    for (const auto &p : parts) {
        if (!p.want)
            continue;
        std::string node = root + p.node, dir = root + p.dir;
        if (mount(node.c_str(), dir.c_str(), "ext2", 0, nullptr) != 0) {
            *err = errno_text(std::string("mount ") + p.node + " on " + p.dir);
            return false;
        }
    }
    if (mount("proc", (root + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) != 0) {
        *err = errno_text("mount proc");
        return false;
    }
    if (access(kQemu, X_OK) == 0 && !init_bind(kQemu, root + kQemu, err))
        return false;
    // The host's libraries, read-only, so that a dynamically linked host
    // build of update and swap (with sanitizers) runs inside as well.
    for (const char *lib : {"/usr/lib", "/usr/lib64"}) {
        struct stat st;
        if (stat(lib, &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        std::string to = root + lib;
        if (!init_bind(lib, to, err))
            return false;
        if (mount(nullptr, to.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            *err = errno_text("read-only " + to);
            return false;
        }
    }

    Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    if (s.fd < 0 || ioctl(s.fd, SIOCGIFFLAGS, &ifr) != 0) {
        *err = errno_text("loopback flags");
        return false;
    }
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(s.fd, SIOCSIFFLAGS, &ifr) != 0) {
        *err = errno_text("loopback up");
        return false;
    }
    sethostname("nimbotex", 8);

    if (o.vsftpd && !init_vsftpd(in, err))
        return false;
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
        *err = errno_text("chroot " + root);
        return false;
    }
    return true;
}

[[noreturn]] void init_main(Sandbox *sb, const SandboxOptions &opt, int ctl) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Keep nothing of the host process: the control socket only.
    keep_only_fds({&ctl});
    fcntl(ctl, F_SETFD, FD_CLOEXEC);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        _exit(1);
    init_wake_rd = wake[0];
    init_wake_fd = wake[1];
    struct sigaction sa {};
    sa.sa_handler = init_on_signal;
    sigfillset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    for (int s = 1; s < NSIG; s++)
        if (s != SIGKILL && s != SIGSTOP)
            sigaction(s, &sa, nullptr);

    Init in{sb, &opt, ctl, {}};
    std::string err;
    Msg ready;
    ready.op = OP_READY;
    if (!init_setup(&in, &err)) {
        ready.nums = {-1};
        ready.strs = {err};
        msg_send(ctl, ready);
        _exit(1);
    }
    ready.nums = {0};
    msg_send(ctl, ready);
    init_serve(&in);
}

// ---- host side ----------------------------------------------------------

// Attaches image to a free loop device that clears itself on last close.
// Returns false with *err set on failure.
bool loop_attach(Sandbox *sb, Loop *lp, std::string *err) {
    Fd ctl(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (ctl.fd < 0) {
        *err = errno_text("/dev/loop-control");
        return false;
    }
    Fd backing(open(lp->image.c_str(), O_RDWR | O_CLOEXEC));
    if (backing.fd < 0) {
        *err = errno_text(lp->image);
        return false;
    }
    // Another process may take the free device before us; then ask again.
    for (int attempt = 0; attempt < 50; attempt++) {
        int n = ioctl(ctl.fd, LOOP_CTL_GET_FREE);
        if (n < 0) {
            *err = errno_text("LOOP_CTL_GET_FREE");
            return false;
        }
        std::string name = "/dev/loop" + std::to_string(n);
        Fd fd(open(name.c_str(), O_RDWR | O_CLOEXEC));
        if (fd.fd < 0 && errno == ENOENT) {
            // Only a few nodes exist in /dev here; make our own.
            unsigned maj = 7, min = unsigned(n);
            std::string devno;
            if (get_file("/sys/class/block/loop" + std::to_string(n) + "/dev", &devno))
                sscanf(devno.c_str(), "%u:%u", &maj, &min);
            name = sb->base + "/loop" + std::to_string(n);
            unlink(name.c_str());
            if (mknod(name.c_str(), S_IFBLK | 0600, makedev(maj, min)) != 0) {
                *err = errno_text("mknod " + name);
                return false;
            }
            fd.fd = open(name.c_str(), O_RDWR | O_CLOEXEC);
        }
        if (fd.fd < 0) {
            *err = errno_text("open " + name);
            return false;
        }
        loop_config cfg{};
        cfg.fd = uint32_t(backing.fd);
        cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        snprintf(reinterpret_cast<char *>(cfg.info.lo_file_name), LO_NAME_SIZE, "%s",
                 lp->image.c_str());
        int rc = ioctl(fd.fd, LOOP_CONFIGURE, &cfg);
        if (rc != 0 && (errno == EINVAL || errno == ENOTTY)) {
            // Kernels before 5.8 know only the two-step way.
            rc = ioctl(fd.fd, LOOP_SET_FD, backing.fd);
            if (rc == 0 && ioctl(fd.fd, LOOP_SET_STATUS64, &cfg.info) != 0) {
                ioctl(fd.fd, LOOP_CLR_FD, 0);
                rc = -1;
            }
        }
        if (rc != 0) {
            if (errno == EBUSY)
                continue;
            *err = errno_text("attach " + lp->image + " to " + name);
            return false;
        }
        struct stat st;
        fstat(fd.fd, &st);
        lp->rdev = st.st_rdev;
        lp->number = n;
        lp->fd = fd.release();
        return true;
    }
    *err = "no free loop device";
    return false;
}

// Whether loopN still has image as its backing file.
bool loop_bound_to(int n, const std::string &image) {
    std::string backing;
    if (!get_file("/sys/block/loop" + std::to_string(n) + "/loop/backing_file", &backing))
        return false;
    return backing.rfind(image, 0) == 0;
}

bool make_image(const std::string &path, unsigned kib, const std::string &tree, bool ext2,
                std::string *err) {
    {
        Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.fd < 0 || ftruncate(fd.fd, off_t(kib) * 1024) != 0) {
            *err = errno_text(path);
            return false;
        }
    }
    if (!ext2)
        return true;
    std::vector<std::string> argv = {kMke2fs, "-q", "-F", "-t", "ext2"};
    if (!tree.empty()) {
        argv.push_back("-d");
        argv.push_back(tree);
    }
    argv.push_back(path);
    std::string out;
    int status = run_host(argv, &out);
    if (status != 0) {
        *err = "mke2fs " + path + " failed: " + out;
        return false;
    }
    return true;
}

std::string lilo_script(int status) {
    char tail[64];
    snprintf(tail, sizeof tail, "exit %d\n", status);
    return std::string(
               "#!/bin/sh\n"
               "# Stands in for the boot-loader installer: records how it was called\n"
               "# and which boot files named in its configuration are missing.\n"
               "mkdir -p /var/lilo\n"
               ": >/var/lilo/args\n"
               ": >/var/lilo/missing\n"
               "rm -f /var/lilo/conf\n"
               "for a in \"$@\"; do echo \"$a\" >>/var/lilo/args; done\n"
               "conf=/etc/lilo.conf\n"
               "while [ $# -gt 0 ]; do\n"
               "    case $1 in\n"
               "    -C) [ $# -ge 2 ] || { echo 'lilo: option -C needs a file' >&2; exit 1; }\n"
               "        conf=$2; shift ;;\n"
               "    esac\n"
               "    shift\n"
               "done\n"
               "[ -r \"$conf\" ] || { echo \"lilo: cannot open $conf\" >&2; exit 1; }\n"
               "cp \"$conf\" /var/lilo/conf\n"
               "bad=0\n"
               "while IFS= read -r line; do\n"
               "    case $line in *=*) ;; *) continue ;; esac\n"
               "    key=${line%%=*}; val=${line#*=}\n"
               "    set -- $key; key=$1\n"
               "    set -- $val; val=$1\n"
               "    val=${val#\\\"}; val=${val%\\\"}\n"
               "    case $key in\n"
               "    image|initrd)\n"
               "        if [ ! -e \"$val\" ]; then echo \"missing $val\" >>/var/lilo/missing; "
               "bad=1; fi ;;\n"
               "    esac\n"
               "done <\"$conf\"\n"
               "[ $bad = 0 ] || exit 1\n") +
           tail;
}

std::string sha512_hash(const std::string &password, std::string *err) {
    static const char chars[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    unsigned char raw[16];
    Fd r(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (r.fd < 0 || !read_all(r.fd, raw, sizeof raw)) {
        *err = errno_text("/dev/urandom");
        return "";
    }
    std::string setting = "$6$";
    for (unsigned char c : raw)
        setting += chars[c % 64];
    setting += "$";
    crypt_data data{};
    const char *h = crypt_r(password.c_str(), setting.c_str(), &data);
    if (!h || h[0] != '$') {
        *err = "crypt() cannot make a SHA-512 hash";
        return "";
    }
    return h;
}

bool write_vsftpd_files(Sandbox *sb, const SandboxOptions &o, std::string *err) {
    const std::string etc = sb->base + "/etc";
    const std::string &dir = o.ftp_dir;
    struct stat st;
    if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = "ftp_dir is no directory: " + dir;
        return false;
    }
    // The server reads as the users "ftp" and "nimbo", not as root.
    chmod(dir.c_str(), (st.st_mode & 07777) | 0555);
    std::string hash = sha512_hash("nimbo-secret", err);
    if (hash.empty())
        return false;
    std::string passwd = "root:x:0:0:root:/root:/bin/sh\n"
                         "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
                         "ftp:x:64010:64010:ftp:" +
                         dir +
                         ":/usr/sbin/nologin\n"
                         "nimbo:x:64011:64011:nimbo:" +
                         dir + ":/bin/sh\n";
    std::string shadow = "root:*:19000:0:99999:7:::\n"
                         "nobody:*:19000:0:99999:7:::\n"
                         "ftp:*:19000:0:99999:7:::\n"
                         "nimbo:" +
                         hash + ":19000:0:99999:7:::\n";
    std::string group = "root:x:0:\nnogroup:x:65534:\nftp:x:64010:\nnimbo:x:64011:\n";
    std::string pam = "auth required pam_unix.so\n"
                      "account required pam_unix.so\n"
                      "session required pam_permit.so\n";
    std::string conf = "listen=YES\n"
                       "listen_ipv6=NO\n"
                       "listen_address=127.0.0.1\n"
                       "listen_port=21\n"
                       "background=NO\n"
                       "anonymous_enable=YES\n"
                       "anon_root=" +
                       dir +
                       "\n"
                       "ftp_username=ftp\n"
                       "local_enable=YES\n"
                       "chroot_local_user=YES\n"
                       "allow_writeable_chroot=YES\n"
                       "write_enable=NO\n"
                       "pam_service_name=vsftpd\n"
                       "userlist_enable=NO\n"
                       "pasv_enable=YES\n"
                       "port_enable=YES\n"
                       "pasv_address=127.0.0.1\n"
                       "connect_from_port_20=NO\n"
                       "seccomp_sandbox=NO\n"
                       "isolate=NO\n"
                       "isolate_network=NO\n"
                       "nopriv_user=nobody\n"
                       "secure_chroot_dir=" +
                       etc +
                       "/empty\n"
                       "xferlog_enable=YES\n"
                       "log_ftp_protocol=YES\n"
                       "vsftpd_log_file=" +
                       sb->root + "/var/log/vsftpd.log\n";
    if (mkdir(etc.c_str(), 0755) != 0 || mkdir((etc + "/pam.d").c_str(), 0755) != 0 ||
        mkdir((etc + "/empty").c_str(), 0555) != 0 || !put_file(etc + "/passwd", passwd, 0644) ||
        !put_file(etc + "/shadow", shadow, 0640) || !put_file(etc + "/group", group, 0644) ||
        !put_file(etc + "/pam.d/vsftpd", pam, 0644) ||
        !put_file(etc + "/vsftpd.conf", conf, 0600)) {
        *err = errno_text("vsftpd files in " + etc);
        return false;
    }
    return true;
}

bool build_root(Sandbox *sb, const SandboxOptions &o, std::string *err) {
    const std::string &r = sb->root;
    for (const char *d : {"", "/bin", "/sbin", "/cfg", "/dev", "/proc", "/tmp", "/var", "/var/lilo",
                          "/var/log", "/usr", "/usr/bin", "/usr/lib", "/usr/lib64",
                          "/active_partition", "/standby_partition"}) {
        if (mkdir((r + d).c_str(), 0755) != 0) {
            *err = errno_text("mkdir " + r + d);
            return false;
        }
    }
    chmod((r + "/tmp").c_str(), 01777);
    if (symlink("usr/lib", (r + "/lib").c_str()) != 0 ||
        symlink("usr/lib64", (r + "/lib64").c_str()) != 0) {
        *err = errno_text("symlink in " + r);
        return false;
    }
    if (!copy_file(kBusybox, r + "/bin/busybox", 0755)) {
        *err = errno_text(std::string("copy ") + kBusybox);
        return false;
    }
    std::string list;
    if (run_host({kBusybox, "--list"}, &list) != 0) {
        *err = "busybox --list failed";
        return false;
    }
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find('\n', pos);
        if (end == std::string::npos)
            end = list.size();
        std::string applet = list.substr(pos, end - pos);
        pos = end + 1;
        if (!applet.empty() && applet != "busybox")
            (void)!symlink("busybox", (r + "/bin/" + applet).c_str());
    }
    // Placeholder for the qemu binary the init mounts over it.
    if (!put_file(r + kQemu, "", 0755)) {
        *err = errno_text(r + kQemu);
        return false;
    }
    struct {
        const std::string &from;
        const char *to;
    } bins[] = {{o.update_bin, "/sbin/update"}, {o.swap_bin, "/sbin/swap"}};
    for (const auto &b : bins) {
        if (!b.from.empty() && !copy_file(b.from, r + b.to, 0755)) {
            *err = errno_text("copy " + b.from);
            return false;
        }
    }
    if (!put_file(r + "/sbin/lilo", lilo_script(o.lilo_status), 0755) ||
        (o.smsc_marker && !put_file(r + "/.smsc91c111", "", 0644)) ||
        (o.standby_marker && !put_file(r + "/.standby_partition", o.standby_marker_text, 0644)) ||
        (o.active_marker && !put_file(r + "/.active_partition", o.active_marker_text, 0644))) {
        *err = errno_text("files in " + r);
        return false;
    }
    return true;
}

// Sends a request and returns the init's reply, meanwhile collecting the
// output of spawned programs so that none of them stalls on a full pipe.
bool host_request(Sandbox *sb, const Msg &m, Msg *reply, std::vector<int> *fds = nullptr,
                  const std::vector<int> &send_fds = {}) {
    if (sb->ctl < 0 || !msg_send(sb->ctl, m, send_fds))
        return false;
    for (;;) {
        std::vector<pollfd> p = {{sb->ctl, POLLIN, 0}};
        std::vector<std::pair<std::string *, int *>> targets;
        for (auto &[h, o] : sb->outputs) {
            if (o.out_fd >= 0) {
                p.push_back({o.out_fd, POLLIN, 0});
                targets.push_back({&o.out, &o.out_fd});
            }
            if (o.err_fd >= 0) {
                p.push_back({o.err_fd, POLLIN, 0});
                targets.push_back({&o.err, &o.err_fd});
            }
        }
        if (poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (size_t i = 1; i < p.size(); i++) {
            if (!p[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                targets[i - 1].first->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(*targets[i - 1].second);
                *targets[i - 1].second = -1;
            }
        }
        if (p[0].revents) {
            if (!msg_recv(sb->ctl, reply, fds))
                return false;
            return reply->op == m.op;
        }
    }
}

// Reads what is left in the pipes of a program that has ended; a
// background child that keeps them open is given a moment, no more.
void drain(Output *o) {
    int64_t until = now_ms() + 2000;
    while ((o->out_fd >= 0 || o->err_fd >= 0) && now_ms() < until) {
        pollfd p[2] = {{o->out_fd, POLLIN, 0}, {o->err_fd, POLLIN, 0}};
        if (poll(p, 2, int(until - now_ms())) <= 0)
            break;
        struct {
            int *fd;
            std::string *s;
        } t[2] = {{&o->out_fd, &o->out}, {&o->err_fd, &o->err}};
        for (int i = 0; i < 2; i++) {
            if (*t[i].fd < 0 || !p[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(*t[i].fd, buf, sizeof buf);
            if (n > 0) {
                t[i].s->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(*t[i].fd);
                *t[i].fd = -1;
            }
        }
    }
    for (int *fd : {&o->out_fd, &o->err_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

// Forks the process that removes base once *keep is closed: at
// sandbox_destroy, or when this process dies without it.
pid_t start_reaper(const std::string &base, int *keep) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        keep_only_fds({&fds[0]});
        char b;
        while (read(fds[0], &b, 1) != 0 && errno == EINTR) {
        }
        remove_tree(base);
        _exit(0);
    }
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return -1;
    }
    *keep = fds[1];
    return pid;
}

} // namespace

SandboxOptions sandbox_default_options() {
    SandboxOptions o;
    o.update_bin = NIMBO_UPDATE_BIN;
    o.swap_bin = NIMBO_SWAP_BIN;
    return o;
}

Sandbox *sandbox_create(const SandboxOptions &opt, std::string *err) {
    std::string dummy;
    if (!err)
        err = &dummy;
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/nimbo-sandbox.XXXXXX";
    if (!mkdtemp(templ.data())) {
        *err = errno_text("mkdtemp " + templ);
        return nullptr;
    }
    Sandbox *sb = new Sandbox;
    sb->base = templ;
    sb->root = templ + "/root";
    sb->reaper_pid = start_reaper(sb->base, &sb->reaper_fd);
    if (sb->reaper_pid < 0) {
        *err = errno_text("fork");
        remove_tree(sb->base);
        delete sb;
        return nullptr;
    }
    const std::string names[3] = {"hda1.img", "hda2.img", "ram1.img"};
    for (int i = 0; i < 3; i++)
        sb->loops[i].image = sb->base + "/" + names[i];
    sb->have_ram = opt.ramdisk_kib > 0;

    bool ok = build_root(sb, opt, err) &&
              make_image(sb->loops[0].image, opt.active_kib, opt.active_tree, true, err) &&
              make_image(sb->loops[1].image, opt.standby_kib, opt.standby_tree, true, err) &&
              (!sb->have_ram || make_image(sb->loops[2].image, opt.ramdisk_kib, "", false, err)) &&
              (!opt.vsftpd || write_vsftpd_files(sb, opt, err)) &&
              loop_attach(sb, &sb->loops[0], err) && loop_attach(sb, &sb->loops[1], err) &&
              (!sb->have_ram || loop_attach(sb, &sb->loops[2], err));
    int sp[2] = {-1, -1};
    if (ok && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp) != 0) {
        *err = errno_text("socketpair");
        ok = false;
    }
    if (ok) {
        // fork and unshare rather than a raw clone: a test may run other
        // threads, and only fork takes the allocator's locks along safely.
        // The middle process stays in the host's pid namespace so that the
        // init can be waited for completely (see sandbox_destroy).
        int pp[2];
        pid_t mid = -1;
        if (pipe2(pp, O_CLOEXEC) == 0) {
            mid = fork();
            if (mid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                keep_only_fds({&sp[1], &pp[1]});
                // Nothing in the sandbox may hold the test's output open
                // (ctest waits for it to close).
                int nul = open("/dev/null", O_RDWR);
                for (int i = 0; i < 3 && nul >= 0; i++)
                    dup2(nul, i);
                if (nul > 2)
                    close(nul);
                pid_t init = -1;
                if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWUTS) == 0)
                    init = fork();
                if (init == 0) {
                    close(pp[1]);
                    init_main(sb, opt, sp[1]);
                }
                close(sp[1]);
                write_all(pp[1], &init, sizeof init);
                close(pp[1]);
                while (init > 0 && waitpid(init, nullptr, 0) < 0 && errno == EINTR) {
                }
                _exit(0);
            }
            close(pp[1]);
        }
        close(sp[1]);
        pid_t init = -1;
        if (mid > 0) {
            sb->mid_pid = mid;
            if (!read_all(pp[0], &init, sizeof init))
                init = -1;
        }
        if (mid >= 0 || pp[0] >= 0)
            close(pp[0]);
        if (init <= 0) {
            *err = errno_text("entering new namespaces");
            close(sp[0]);
            ok = false;
        } else {
            sb->init_pid = init;
            sb->ctl = sp[0];
            pollfd p{sb->ctl, POLLIN, 0};
            Msg ready;
            if (poll(&p, 1, kReadyTimeoutMs) != 1 || !msg_recv(sb->ctl, &ready) ||
                ready.op != OP_READY || ready.nums.empty()) {
                *err = "the sandbox's init did not report";
                ok = false;
            } else if (ready.nums[0] != 0) {
                *err = ready.strs.empty() ? "sandbox set-up failed" : ready.strs[0];
                ok = false;
            }
        }
    }
    if (!ok) {
        sandbox_destroy(sb);
        return nullptr;
    }
    return sb;
}

void sandbox_destroy(Sandbox *sb) {
    if (!sb)
        return;
    // Process 1 ending kills all in its namespace; the middle process ends
    // once process 1 is reaped, which is after all of them have gone.
    if (sb->init_pid > 0)
        kill(sb->init_pid, SIGKILL);
    if (sb->mid_pid > 0) {
        kill(sb->mid_pid, SIGKILL);
        while (waitpid(sb->mid_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (sb->ctl >= 0)
        close(sb->ctl);
    for (auto &[h, o] : sb->outputs)
        for (int fd : {o.out_fd, o.err_fd})
            if (fd >= 0)
                close(fd);
    for (Loop &lp : sb->loops)
        if (lp.fd >= 0)
            close(lp.fd);
    // The namespace's mounts go away asynchronously; the devices clear
    // themselves after that. Wait for it, so the next test finds them free.
    int64_t until = now_ms() + 10000;
    for (Loop &lp : sb->loops)
        while (lp.number >= 0 && loop_bound_to(lp.number, lp.image) && now_ms() < until)
            usleep(10000);
    remove_tree(sb->base);
    if (sb->reaper_fd >= 0)
        close(sb->reaper_fd);
    if (sb->reaper_pid > 0)
        while (waitpid(sb->reaper_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    delete sb;
}

const std::string &sandbox_root(const Sandbox *sb) {
    return sb->root;
}

int sandbox_spawn(Sandbox *sb, const std::vector<std::string> &argv) {
    if (argv.empty())
        return -1;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    Msg m, r;
    m.op = OP_SPAWN;
    m.strs = argv;
    bool ok = host_request(sb, m, &r, nullptr, {out[1], err[1]});
    close(out[1]);
    close(err[1]);
    if (!ok || r.nums.empty() || r.nums[0] <= 0) {
        close(out[0]);
        close(err[0]);
        return -1;
    }
    int handle = int(r.nums[0]);
    Output &o = sb->outputs[handle];
    o.out_fd = out[0];
    o.err_fd = err[0];
    return handle;
}

int sandbox_kill(Sandbox *sb, int handle, int sig) {
    Msg m, r;
    m.op = OP_KILL;
    m.nums = {handle, sig};
    if (!host_request(sb, m, &r) || r.nums.empty())
        return -1;
    return int(r.nums[0]);
}

SandboxResult sandbox_wait(Sandbox *sb, int handle, int timeout_s) {
    SandboxResult res{-1, "", "", false};
    Msg m, r;
    m.op = OP_WAIT;
    m.nums = {handle, int64_t(timeout_s) * 1000};
    bool ok = host_request(sb, m, &r) && r.nums.size() == 2;
    auto it = sb->outputs.find(handle);
    if (it != sb->outputs.end()) {
        drain(&it->second);
        res.out = std::move(it->second.out);
        res.err = std::move(it->second.err);
        sb->outputs.erase(it);
    }
    if (ok) {
        res.status = int(r.nums[0]);
        res.timed_out = r.nums[1] != 0;
    }
    return res;
}

SandboxResult sandbox_run(Sandbox *sb, const std::vector<std::string> &argv, int timeout_s) {
    int h = sandbox_spawn(sb, argv);
    if (h < 0)
        return SandboxResult{-1, "", "sandbox: cannot start the program\n", false};
    return sandbox_wait(sb, h, timeout_s);
}

std::string sandbox_read_file(Sandbox *sb, const std::string &path, bool *exists) {
    Msg m, r;
    m.op = OP_READ;
    m.strs = {path};
    bool ok = host_request(sb, m, &r) && r.nums.size() == 1 && r.nums[0] == 1 && r.strs.size() == 1;
    if (exists)
        *exists = ok;
    return ok ? r.strs[0] : std::string();
}

bool sandbox_write_file(Sandbox *sb, const std::string &path, const std::string &content,
                        unsigned mode) {
    Msg m, r;
    m.op = OP_WRITE;
    m.strs = {path, content};
    m.nums = {mode};
    return host_request(sb, m, &r) && r.nums.size() == 1 && r.nums[0] == 1;
}

std::vector<int> sandbox_init_signals(Sandbox *sb) {
    Msg m, r;
    m.op = OP_SIGNALS;
    std::vector<int> sigs;
    if (host_request(sb, m, &r))
        for (int64_t s : r.nums)
            sigs.push_back(int(s));
    return sigs;
}

std::string sandbox_partition_image(const Sandbox *sb, int n) {
    if (n != 1 && n != 2)
        return "";
    // Push what was written to the block device on into the image file.
    if (sb->loops[n - 1].fd >= 0)
        fsync(sb->loops[n - 1].fd);
    return sb->loops[n - 1].image;
}

namespace {

int socket_request(Sandbox *sb, int op, const char *addr, int port, const char *from) {
    Msg m, r;
    m.op = op;
    m.nums = {port};
    m.strs = {addr ? addr : ""};
    if (from)
        m.strs.push_back(from);
    std::vector<int> fds;
    bool ok = host_request(sb, m, &r, &fds) && r.nums.size() == 1 && r.nums[0] == 0;
    if (!ok || fds.size() != 1) {
        for (int fd : fds)
            close(fd);
        return -1;
    }
    return fds[0];
}

} // namespace

int sandbox_listen(Sandbox *sb, const char *addr, int port) {
    return socket_request(sb, OP_LISTEN, addr, port, nullptr);
}

int sandbox_connect(Sandbox *sb, const char *addr, int port, const char *from_addr) {
    return socket_request(sb, OP_CONNECT, addr, port, from_addr);
}

int sandbox_init_pid(const Sandbox *sb) {
    return sb->init_pid;
}
