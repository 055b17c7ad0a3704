// The throwaway appliance. The host side builds the root folder and the
// partition images and attaches the loop devices; a child enters new
// namespaces and forks process 1, which mounts what the appliance expects,
// starts vsftpd and then only records signals and reaps orphans. Programs run
// inside by entering process 1's namespaces and chrooting.

#include "appliance.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef NIMBO_UPDATE_BIN
#define NIMBO_UPDATE_BIN ""
#endif
#ifndef NIMBO_SWAP_BIN
#define NIMBO_SWAP_BIN ""
#endif

namespace {

constexpr const char *kQemu = "/usr/bin/qemu-i386-static";

struct Job {
    pid_t outer = -1; // our child, in the host's pid namespace
    int out = -1, err = -1;
    std::string out_text, err_text;
};

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool put(const std::string &path, const std::string &content, unsigned mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, content.data(), content.size()) == ssize_t(content.size());
    ok = fchmod(fd, mode) == 0 && ok;
    return close(fd) == 0 && ok;
}

bool get(const std::string &path, std::string *content) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content->clear();
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        content->append(buf, size_t(n));
    close(fd);
    return n == 0;
}

bool sh(const std::string &cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Output of a host command, "" when it fails.
std::string sh_out(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    return pclose(p) == 0 ? out : "";
}

const char *lilo_script =
    "#!/bin/sh\n"
    "# Stands in for the boot-loader installer: records how it was called\n"
    "# and which boot files named in its configuration are missing.\n"
    ": >/var/lilo/args; : >/var/lilo/missing; rm -f /var/lilo/conf\n"
    "for a in \"$@\"; do echo \"$a\" >>/var/lilo/args; done\n"
    "conf=/etc/lilo.conf; while [ $# -gt 0 ]; do\n"
    "[ \"$1\" = -C ] && { conf=$2; shift; }; shift; done\n"
    "[ -r \"$conf\" ] || { echo \"lilo: cannot open $conf\" >&2; exit 1; }\n"
    "cp \"$conf\" /var/lilo/conf; bad=0\n"
    "while IFS= read -r line; do\n"
    "    case $line in image*=*|initrd*=*) ;; *) continue ;; esac\n"
    "    key=${line%%=*}; set -- $key; key=$1\n"
    "    val=${line#*=}; set -- $val; val=$1\n"
    "    case $key in image|initrd)\n"
    "        [ -e \"$val\" ] || { echo \"missing $val\" >>/var/lilo/missing; bad=1; } ;;\n"
    "    esac; done <\"$conf\"\n"
    "[ $bad = 0 ] || exit 1; exit ";

int signal_log = -1;

void record_signal(int sig) {
    if (sig == SIGCHLD)
        return; // only wakes the reaping loop
    char text[3] = {char('0' + sig / 10), char('0' + sig % 10), '\n'};
    (void)!write(signal_log, sig < 10 ? text + 1 : text, sig < 10 ? 2 : 3);
}

bool mknod_dev(const std::string &path, mode_t mode, const std::string &device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0)
        return false;
    return mknod(path.c_str(), mode, st.st_rdev) == 0;
}

bool wait_for_ftp() {
    for (int i = 0; i < 500; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(21);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        close(s);
        if (up)
            return true;
        usleep(20000);
    }
    return false;
}

// Returns "" when the appliance is ready, else what went wrong.
std::string init_setup(const Appliance &a, const ApplianceOptions &o);
bool start_vsftpd(const Appliance &a);
bool start_dnsmasq(const Appliance &a, const ApplianceOptions &o);

} // namespace

struct Appliance {
    std::string base, root;
    std::string loops[4]; // /dev/loopN behind hda1, hda2, ram1, hda3 ("" when none)
    // Held open as on a running system: a program's close never flushes the cache.
    int loop_fds[4] = {-1, -1, -1, -1};
    pid_t mid = -1, init = -1;
    std::map<int, Job> jobs;

    // Process 1 is chrooted: its root is the appliance's "/".
    std::string inside(const std::string &path) const {
        return "/proc/" + std::to_string(init) + "/root" + path;
    }
};

namespace {

std::string init_setup(const Appliance &a, const ApplianceOptions &o) {
    const std::string &r = a.root;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "private mounts";
    // Device nodes on a tmpfs of our own: the host's folder may be nodev.
    if (mount("appliance-dev", (r + "/dev").c_str(), "tmpfs", MS_NOSUID, "mode=755") != 0)
        return "tmpfs on /dev";
    if (!mknod_dev(r + "/dev/null", S_IFCHR | 0666, "/dev/null") ||
        !mknod_dev(r + "/dev/zero", S_IFCHR | 0666, "/dev/zero") ||
        !mknod_dev(r + "/dev/hda1", S_IFBLK | 0660, a.loops[0]) ||
        !mknod_dev(r + "/dev/hda2", S_IFBLK | 0660, a.loops[1]) ||
        (!a.loops[2].empty() && !mknod_dev(r + "/dev/ram1", S_IFBLK | 0660, a.loops[2])) ||
        (!a.loops[3].empty() && !mknod_dev(r + "/dev/hda3", S_IFBLK | 0660, a.loops[3])))
        return "device nodes";
    if (mount((r + "/dev/hda1").c_str(), (r + "/active_partition").c_str(), "ext2", 0, nullptr) ||
        (o.mount_standby &&
         mount((r + "/dev/hda2").c_str(), (r + "/standby_partition").c_str(), "ext2", 0, nullptr)))
        return "mounting the partitions";
    if (mount("proc", (r + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr))
        return "proc";
    if (access(kQemu, X_OK) == 0 &&
        mount(kQemu, (r + kQemu).c_str(), nullptr, MS_BIND, nullptr) != 0)
        return "qemu";
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP | IFF_RUNNING;
    bool lo_up = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    if (!lo_up)
        return "loopback";
    sethostname("nimbotex", 8);
    if (!o.ftp_dir.empty() && !start_vsftpd(a))
        return "vsftpd does not answer on 127.0.0.1:21";
    if (!o.dns_records.empty() && !start_dnsmasq(a, o))
        return "dnsmasq does not start on 127.0.0.1:53";
    return chroot(r.c_str()) == 0 && chdir("/") == 0 ? "" : "chroot";
}

// Starts a host program with none of our descriptors and no blocked signals.
// Returns its pid, or -1.
pid_t spawn_server(const char *path, char *const argv[]) {
    pid_t pid = fork();
    if (pid == 0) {
        syscall(SYS_close_range, 3U, ~0U, 0U);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(path, argv);
        _exit(127);
    }
    return pid;
}

// vsftpd sees the host's files (it is linked dynamically) and the appliance's network.
bool start_vsftpd(const Appliance &a) {
    std::string conf = a.base + "/vsftpd.conf";
    char name[] = "vsftpd";
    char *const argv[] = {name, conf.data(), nullptr};
    return spawn_server("/usr/sbin/vsftpd", argv) > 0 && wait_for_ftp();
}

// Like vsftpd, dnsmasq sees the host's files, so it is told to read none of
// them and to leave no pid file. Its foreground part ends once the server
// listens; the server itself is an orphan of process 1 and dies with it.
bool start_dnsmasq(const Appliance &a, const ApplianceOptions &o) {
    std::vector<std::string> args = {"dnsmasq",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--local=/#/",
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--pid-file=",
                                     "--user=root",
                                     "--log-queries",
                                     "--log-facility=" + a.root + "/var/log/dnsmasq.log"};
    for (const std::string &r : o.dns_records)
        args.push_back("--host-record=" + r);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = spawn_server("/usr/sbin/dnsmasq", argv.data());
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

[[noreturn]] void init_main(const Appliance &a, const ApplianceOptions &o, int ready) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    signal_log =
        open((a.base + "/signals").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string why = init_setup(a, o);
    (void)!write(ready, why.empty() ? "ok" : why.c_str(), why.empty() ? 2 : why.size());
    close(ready);
    if (!why.empty())
        _exit(1);
    struct sigaction sa {};
    sa.sa_handler = record_signal;
    sigfillset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &sa, nullptr);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (;;) {
        pause();
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
}

bool start_init(Appliance *a, const ApplianceOptions &o, std::string *err) {
    int pid_pipe[2], ready_pipe[2];
    if (pipe2(pid_pipe, O_CLOEXEC) != 0 || pipe2(ready_pipe, O_CLOEXEC) != 0)
        return false;
    a->mid = fork();
    if (a->mid == 0) {
        // Nothing of the test process stays open in here; ctest waits for its pipes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(pid_pipe[1], 3);
        dup2(ready_pipe[1], 4);
        syscall(SYS_close_range, 5U, ~0U, 0U);
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            dup2(null, fd);
        pid_t init = -1;
        if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWUTS) == 0)
            init = fork();
        if (init == 0) {
            close(3);
            init_main(*a, o, 4);
        }
        (void)!write(3, &init, sizeof init);
        close(3);
        close(4);
        while (init > 0 && waitpid(init, nullptr, 0) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(pid_pipe[1]);
    close(ready_pipe[1]);
    pid_t init = -1;
    if (read(pid_pipe[0], &init, sizeof init) != sizeof init)
        init = -1;
    close(pid_pipe[0]);
    char why[256] = "";
    ssize_t n = init > 0 ? read(ready_pipe[0], why, sizeof why - 1) : -1;
    close(ready_pipe[0]);
    a->init = init;
    if (n == 2 && memcmp(why, "ok", 2) == 0)
        return true;
    *err = init <= 0 ? "cannot enter new namespaces" : "set-up inside failed: " + std::string(why);
    return false;
}

bool build_root(Appliance *a, const ApplianceOptions &o, std::string *err) {
    const std::string &r = a->root;
    for (const char *d :
         {"", "/bin", "/sbin", "/cfg", "/dev", "/etc", "/proc", "/tmp", "/var", "/var/lilo",
          "/var/log", "/usr", "/usr/bin", "/active_partition", "/standby_partition"})
        if (mkdir((r + d).c_str(), 0755) != 0) {
            *err = "mkdir " + r + d;
            return false;
        }
    chmod((r + "/tmp").c_str(), 01777);
    if (!sh("cp /bin/busybox " + r + "/bin/busybox")) {
        *err = "busybox";
        return false;
    }
    std::string applets = sh_out("/bin/busybox --list");
    for (size_t at = 0, nl; (nl = applets.find('\n', at)) != std::string::npos; at = nl + 1)
        (void)!symlink("busybox", (r + "/bin/" + applets.substr(at, nl - at)).c_str());
    for (auto [from, to] : {std::pair{o.update_bin, "/sbin/update"}, {o.swap_bin, "/sbin/swap"}})
        if (!from.empty() && !sh("cp '" + from + "' " + r + to)) {
            *err = "cannot copy " + from;
            return false;
        }
    bool ok = put(r + kQemu, "", 0755) &&
              put(r + "/sbin/lilo", lilo_script + std::to_string(o.lilo_status) + "\n", 0755);
    if (o.smsc_marker)
        ok = ok && put(r + "/.smsc91c111", "", 0644);
    if (!o.dns_records.empty())
        ok = ok && put(r + "/etc/resolv.conf", "nameserver 127.0.0.1\n", 0644);
    if (o.standby_marker != "-")
        ok = ok && put(r + "/.standby_partition", o.standby_marker, 0644);
    if (o.active_marker != "-")
        ok = ok && put(r + "/.active_partition", o.active_marker, 0644);
    if (!o.ftp_dir.empty()) {
        // The server reads the folder as an unprivileged user.
        chmod(o.ftp_dir.c_str(), 0755);
        ok = ok && mkdir((a->base + "/empty").c_str(), 0555) == 0 &&
             put(a->base + "/vsftpd.conf",
                 "listen=YES\nlisten_address=127.0.0.1\nlisten_port=21\nbackground=NO\n"
                 "anonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\nanon_root=" +
                     o.ftp_dir +
                     "\npasv_enable=YES\nport_enable=YES\npasv_address=127.0.0.1\n"
                     "connect_from_port_20=NO\nseccomp_sandbox=NO\nisolate=NO\n"
                     "isolate_network=NO\nsecure_chroot_dir=" +
                     a->base +
                     "/empty\nxferlog_enable=YES\nlog_ftp_protocol=YES\n"
                     "vsftpd_log_file=" +
                     r + "/var/log/vsftpd.log\n",
                 0600);
    }
    if (!ok)
        *err = "files in " + r;
    return ok;
}

// Makes the image file and attaches it to a free loop device.
bool make_disk(Appliance *a, int n, unsigned kib, const std::string &tree, bool ext2,
               std::string *err) {
    // The RAM disk is memory on a real appliance: its file is too, and goes as
    // soon as the loop device holds it.
    bool ram = !ext2 && access("/dev/shm", W_OK) == 0;
    std::string dir = ram ? "/dev/shm/appliance." + std::to_string(getpid()) : a->base + "/disk";
    std::string image = dir + std::to_string(n) + ".img";
    if (!sh("truncate -s " + std::to_string(kib) + "K " + image) ||
        (ext2 &&
         !sh("/sbin/mke2fs -q -F -t ext2 " + (tree.empty() ? "" : "-d '" + tree + "' ") + image))) {
        *err = "cannot make " + image;
        return false;
    }
    std::string dev = sh_out("losetup --find --show " + image);
    if (ram)
        unlink(image.c_str());
    if (dev.empty() || dev.back() != '\n') {
        *err = "no loop device for " + image;
        return false;
    }
    a->loops[n] = dev.substr(0, dev.size() - 1);
    a->loop_fds[n] = open(a->loops[n].c_str(), O_RDONLY | O_CLOEXEC);
    // Detaching a device in use marks it to clear itself once nobody holds it,
    // even if this process dies without appliance_destroy.
    return a->loop_fds[n] >= 0 && sh("losetup -d " + a->loops[n]);
}

} // namespace

ApplianceOptions appliance_default_options() {
    ApplianceOptions o;
    o.update_bin = NIMBO_UPDATE_BIN;
    o.swap_bin = NIMBO_SWAP_BIN;
    return o;
}

Appliance *appliance_create(const ApplianceOptions &o, std::string *err) {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/appliance.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        *err = "mkdtemp " + templ;
        return nullptr;
    }
    auto *a = new Appliance;
    a->base = templ;
    a->root = templ + "/root";
    bool ok = build_root(a, o, err) && make_disk(a, 0, o.active_kib, o.active_tree, true, err) &&
              make_disk(a, 1, o.standby_kib, o.standby_tree, true, err) &&
              (o.ramdisk_kib == 0 || make_disk(a, 2, o.ramdisk_kib, "", false, err)) &&
              (o.spare_kib == 0 || make_disk(a, 3, o.spare_kib, "", true, err)) &&
              start_init(a, o, err);
    if (!ok) {
        appliance_destroy(a);
        return nullptr;
    }
    return a;
}

void appliance_destroy(Appliance *a) {
    if (a == nullptr)
        return;
    for (auto &[handle, job] : a->jobs) {
        kill(-handle, SIGKILL); // its group, and itself should it not have one yet
        kill(handle, SIGKILL);
        waitpid(job.outer, nullptr, 0);
        close(job.out);
        close(job.err);
    }
    // Process 1 ending ends everything in its namespaces, and the mounts go with them.
    if (a->init > 0)
        kill(a->init, SIGKILL);
    if (a->mid > 0)
        while (waitpid(a->mid, nullptr, 0) < 0 && errno == EINTR) {
        }
    // The devices clear themselves once the namespace's mounts are gone.
    for (int fd : a->loop_fds)
        if (fd >= 0)
            close(fd);
    for (const std::string &dev : a->loops) {
        if (dev.empty())
            continue;
        std::string backing = "/sys/block/" + dev.substr(5) + "/loop/backing_file", file;
        for (int64_t until = now_ms() + 10000; now_ms() < until; usleep(10000))
            if (!get(backing, &file) || file.find(a->base) != 0)
                break;
    }
    sh("rm -rf " + a->base);
    delete a;
}

const std::string &appliance_root(const Appliance *a) {
    return a->root;
}

int appliance_init_pid(const Appliance *a) {
    return a->init;
}

int appliance_spawn(Appliance *a, const std::vector<std::string> &argv) {
    if (argv.empty())
        return -1;
    // Everything the children need is made before fork: other threads may hold locks.
    std::vector<std::string> ns;
    for (const char *n : {"mnt", "uts", "net", "pid"})
        ns.push_back("/proc/" + std::to_string(a->init) + "/ns/" + n);
    std::vector<std::string> paths = {argv[0], "/sbin/" + argv[0], "/bin/" + argv[0]};
    std::vector<const char *> args, qemu_args = {"qemu-i386-static", "-0", argv[0].c_str(), ""};
    for (const std::string &s : argv)
        args.push_back(s.c_str());
    qemu_args.insert(qemu_args.end(), args.begin() + 1, args.end());
    args.push_back(nullptr);
    qemu_args.push_back(nullptr);
    const char *env[] = {"PATH=/sbin:/bin", nullptr};
    int out[2], err[2], id[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(id, O_CLOEXEC) != 0)
        return -1;
    pid_t outer = fork();
    if (outer == 0) {
        for (const std::string &n : ns) {
            int fd = open(n.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, 0) != 0)
                _exit(126);
            close(fd);
        }
        pid_t inner = fork();
        if (inner == 0) {
            if (chroot(a->root.c_str()) != 0 || chdir("/") != 0)
                _exit(126);
            setpgid(0, 0);
            for (int sig = 1; sig < NSIG; ++sig)
                signal(sig, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
            for (const std::string &p : paths) {
                if (p.find('/') == std::string::npos || access(p.c_str(), X_OK) != 0)
                    continue;
                execve(p.c_str(), const_cast<char **>(args.data()), const_cast<char **>(env));
                // An i386 program on a kernel without i386 support.
                qemu_args[3] = p.c_str();
                execve(kQemu, const_cast<char **>(qemu_args.data()), const_cast<char **>(env));
            }
            dprintf(2, "appliance: cannot run %s\n", argv[0].c_str());
            _exit(127);
        }
        (void)!write(id[1], &inner, sizeof inner);
        int status = 0;
        while (inner > 0 && waitpid(inner, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status))
            _exit(WEXITSTATUS(status));
        // Pass the program's signal on as our own wait status.
        signal(WTERMSIG(status), SIG_DFL);
        prctl(PR_SET_DUMPABLE, 0);
        kill(getpid(), WTERMSIG(status));
        _exit(128 + WTERMSIG(status));
    }
    close(out[1]);
    close(err[1]);
    close(id[1]);
    pid_t inner = -1;
    if (outer < 0 || read(id[0], &inner, sizeof inner) != sizeof inner || inner <= 0) {
        close(out[0]);
        close(err[0]);
        close(id[0]);
        if (outer > 0)
            waitpid(outer, nullptr, 0);
        return -1;
    }
    close(id[0]);
    a->jobs[inner] = Job{outer, out[0], err[0], "", ""};
    return inner;
}

int appliance_kill(Appliance *a, int handle, int sig) {
    return a->jobs.count(handle) != 0 ? kill(handle, sig) : -1;
}

ApplianceResult appliance_wait(Appliance *a, int handle, int timeout_s) {
    ApplianceResult res;
    auto it = a->jobs.find(handle);
    if (it == a->jobs.end())
        return res;
    Job &j = it->second;
    int64_t deadline = now_ms() + int64_t(timeout_s) * 1000, drained_by = 0;
    bool ended = false;
    for (;;) {
        if (!ended && waitpid(j.outer, &res.status, WNOHANG) == j.outer) {
            ended = true;
            drained_by = now_ms() + 2000; // a background child may keep the pipes open
        }
        if (ended && ((j.out < 0 && j.err < 0) || now_ms() > drained_by))
            break;
        if (!ended && !res.timed_out && now_ms() > deadline) {
            kill(-handle, SIGKILL);
            kill(handle, SIGKILL);
            res.timed_out = true;
        }
        pollfd p[2] = {{j.out, POLLIN, 0}, {j.err, POLLIN, 0}};
        poll(p, 2, 10);
        std::string *text[2] = {&j.out_text, &j.err_text};
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                text[i]->append(buf, size_t(n));
            } else {
                close(p[i].fd);
                (i == 0 ? j.out : j.err) = -1;
            }
        }
    }
    if (j.out >= 0)
        close(j.out);
    if (j.err >= 0)
        close(j.err);
    res.out = std::move(j.out_text);
    res.err = std::move(j.err_text);
    a->jobs.erase(it);
    return res;
}

ApplianceResult appliance_run(Appliance *a, const std::vector<std::string> &argv, int timeout_s) {
    int h = appliance_spawn(a, argv);
    if (h < 0) {
        ApplianceResult r;
        r.err = "appliance: cannot start the program\n";
        return r;
    }
    return appliance_wait(a, h, timeout_s);
}

std::string appliance_read_file(Appliance *a, const std::string &path, bool *exists) {
    std::string content;
    bool ok = get(a->inside(path), &content);
    if (exists != nullptr)
        *exists = ok;
    return ok ? content : "";
}

bool appliance_write_file(Appliance *a, const std::string &path, const std::string &content,
                          unsigned mode) {
    return put(a->inside(path), content, mode);
}

std::string appliance_disk_image(const Appliance *a, int n) {
    return a->base + "/disk" + std::to_string(n - 1) + ".img";
}

std::vector<int> appliance_init_signals(Appliance *a) {
    // A signal sent just before may still be pending or in its handler: wait
    // until process 1 sleeps again with nothing pending.
    std::string status, text;
    for (int64_t until = now_ms() + 2000; now_ms() < until; usleep(1000)) {
        if (!get("/proc/" + std::to_string(a->init) + "/status", &status))
            break;
        if (status.find("State:\tS") != std::string::npos &&
            status.find("SigPnd:\t0000000000000000") != std::string::npos &&
            status.find("ShdPnd:\t0000000000000000") != std::string::npos)
            break;
    }
    get(a->base + "/signals", &text);
    std::vector<int> sigs;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        sigs.push_back(atoi(text.c_str() + at));
    return sigs;
}

int appliance_listen(Appliance *a, const char *addr, int port) {
    int fd = -1;
    // Only this short-lived thread enters the appliance's network.
    std::thread([&] {
        int ns = open(("/proc/" + std::to_string(a->init) + "/ns/net").c_str(), O_RDONLY);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            return;
        close(ns);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port));
        if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
            close(fd);
            fd = -1;
        }
    }).join();
    return fd;
}
