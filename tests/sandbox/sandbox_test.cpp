// Tests of the appliance sandbox itself, with busybox and a small i386
// probe program in place of update and swap.

#include "sandbox.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct SandboxDeleter {
    void operator()(Sandbox *sb) const {
        sandbox_destroy(sb);
    }
};
using SandboxPtr = std::unique_ptr<Sandbox, SandboxDeleter>;

SandboxPtr make_sandbox(const SandboxOptions &o) {
    std::string err;
    SandboxPtr sb(sandbox_create(o, &err));
    EXPECT_NE(sb, nullptr) << err;
    return sb;
}

SandboxOptions busybox_options() {
    SandboxOptions o = sandbox_default_options();
    // These tests must not depend on what update and swap do.
    o.update_bin = NIMBO_I386_PROBE;
    o.swap_bin.clear();
    return o;
}

// A temporary host folder, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir() {
        const char *t = getenv("TMPDIR");
        path = std::string(t && *t ? t : "/tmp") + "/nimbo-sbtest.XXXXXX";
        if (!mkdtemp(path.data()))
            path.clear();
    }
    ~TempDir() {
        if (!path.empty())
            (void)!system(("rm -rf '" + path + "'").c_str());
    }
    void put(const std::string &name, const std::string &content) const {
        FILE *f = fopen((path + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
};

bool exited_with(const SandboxResult &r, int code) {
    return !r.timed_out && r.status >= 0 && WIFEXITED(r.status) && WEXITSTATUS(r.status) == code;
}

std::string host_output(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// Loop devices whose backing file lies below dir (from sysfs, as losetup -a).
std::vector<std::string> loops_below(const std::string &dir) {
    std::vector<std::string> found;
    DIR *d = opendir("/sys/block");
    if (!d)
        return found;
    while (dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "loop", 4) != 0)
            continue;
        std::string p = std::string("/sys/block/") + e->d_name + "/loop/backing_file";
        FILE *f = fopen(p.c_str(), "r");
        if (!f)
            continue;
        char line[4096] = "";
        if (fgets(line, sizeof line, f) && strncmp(line, dir.c_str(), dir.size()) == 0)
            found.push_back(e->d_name);
        fclose(f);
    }
    closedir(d);
    return found;
}

// Processes (seen from the host) whose root directory is root.
int processes_rooted_at(const std::string &root) {
    int count = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        char link[4096];
        std::string p = std::string("/proc/") + e->d_name + "/root";
        ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, size_t(n)) == root)
            count++;
    }
    if (d)
        closedir(d);
    return count;
}

std::string parent_dir(const std::string &p) {
    return p.substr(0, p.rfind('/'));
}

TEST(SandboxLifecycle, DestroyLeavesNoLoopMountProcessOrFolder) {
    SandboxOptions o = busybox_options();
    Sandbox *sb = sandbox_create(o, nullptr);
    ASSERT_NE(sb, nullptr);
    const std::string root = sandbox_root(sb);
    const std::string base = parent_dir(root);
    // Something to kill on the way out.
    ASSERT_GT(sandbox_spawn(sb, {"sleep", "1000"}), 0);
    EXPECT_EQ(loops_below(base).size(), 3u) << "hda1, hda2 and ram1 while it lives";
    EXPECT_GE(processes_rooted_at(root), 2);
    sandbox_destroy(sb);

    EXPECT_TRUE(loops_below(base).empty());
    EXPECT_EQ(host_output("losetup -a").find(base), std::string::npos);
    EXPECT_EQ(processes_rooted_at(root), 0);
    EXPECT_EQ(host_output("cat /proc/mounts").find(base), std::string::npos);
    struct stat st;
    EXPECT_NE(stat(base.c_str(), &st), 0) << base << " still there";
}

TEST(SandboxLifecycle, NothingOutlivesAKilledTestProcess) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        SandboxOptions o = busybox_options();
        Sandbox *sb = sandbox_create(o, nullptr);
        std::string root = sb ? sandbox_root(sb) : "";
        if (sb)
            sandbox_spawn(sb, {"sleep", "1000"});
        (void)!write(fds[1], root.c_str(), root.size());
        close(fds[1]);
        kill(getpid(), SIGKILL);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    ASSERT_GT(n, 0);
    const std::string root(buf, size_t(n)), base = parent_dir(root);
    struct stat st;
    bool gone = false;
    for (int i = 0; i < 500 && !gone; i++) {
        gone = loops_below(base).empty() && processes_rooted_at(root) == 0 &&
               stat(base.c_str(), &st) != 0;
        if (!gone)
            usleep(20000);
    }
    EXPECT_TRUE(gone) << "left behind: " << loops_below(base).size() << " loops, "
                      << processes_rooted_at(root) << " processes, folder "
                      << (stat(base.c_str(), &st) == 0 ? "present" : "gone");
}

TEST(SandboxLifecycle, TwoAtOnceAreIndependent) {
    SandboxPtr a = make_sandbox(busybox_options());
    SandboxPtr b = make_sandbox(busybox_options());
    ASSERT_TRUE(a && b);
    const std::string base_a = parent_dir(sandbox_root(a.get()));
    ASSERT_TRUE(sandbox_write_file(a.get(), "/cfg/which", "a"));
    bool exists = true;
    sandbox_read_file(b.get(), "/cfg/which", &exists);
    EXPECT_FALSE(exists);
    EXPECT_EQ(sandbox_run(b.get(), {"cat", "/proc/mounts"}).out.find(base_a), std::string::npos);
    // The first goes completely although the second, made later, lives on.
    a.reset();
    struct stat st;
    EXPECT_NE(stat(base_a.c_str(), &st), 0);
    EXPECT_TRUE(loops_below(base_a).empty());
    EXPECT_TRUE(exited_with(sandbox_run(b.get(), {"true"}), 0));
}

TEST(SandboxLifecycle, WithoutRamdiskOnlyTwoLoops) {
    SandboxOptions o = busybox_options();
    o.ramdisk_kib = 0;
    SandboxPtr sb = make_sandbox(o);
    ASSERT_TRUE(sb);
    EXPECT_EQ(loops_below(parent_dir(sandbox_root(sb.get()))).size(), 2u);
    SandboxResult r = sandbox_run(sb.get(), {"ls", "/dev"});
    EXPECT_EQ(r.out.find("ram1"), std::string::npos) << r.out;
}

TEST(SandboxLifecycle, BadOptionsFailWithReason) {
    SandboxOptions o = busybox_options();
    o.update_bin = "/nonexistent/update";
    std::string err;
    Sandbox *sb = sandbox_create(o, &err);
    EXPECT_EQ(sb, nullptr);
    EXPECT_NE(err.find("/nonexistent/update"), std::string::npos) << err;
    sandbox_destroy(sb);
}

class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sb_ = make_sandbox(busybox_options());
        ASSERT_TRUE(sb_);
    }
    Sandbox *sb() {
        return sb_.get();
    }
    SandboxPtr sb_;
};

TEST_F(SandboxTest, RunCapturesOutputErrorAndStatus) {
    SandboxResult r = sandbox_run(sb(), {"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_TRUE(exited_with(r, 3));
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");

    // Large output must not stall the program or get lost.
    r = sandbox_run(sb(), {"sh", "-c", "seq 1 100000"});
    EXPECT_TRUE(exited_with(r, 0));
    EXPECT_EQ(r.out.size(), 588895u);
}

TEST_F(SandboxTest, RunSeesAppliancesEnvironment) {
    SandboxResult r = sandbox_run(sb(), {"env"});
    EXPECT_EQ(r.out, "PATH=/sbin:/bin\n");
    r = sandbox_run(sb(), {"sh", "-c", "pwd; echo $0; hostname; ls /sbin"});
    EXPECT_EQ(r.out, "/\nsh\nnimbotex\nlilo\nupdate\n");
    // Process ids of the sandbox's own namespace.
    r = sandbox_run(sb(), {"sh", "-c", "echo $$; cat /proc/1/cmdline | tr '\\0' ' '"});
    int pid = atoi(r.out.c_str());
    EXPECT_GT(pid, 1);
    EXPECT_LT(pid, 100);
}

TEST_F(SandboxTest, RunReportsMissingProgramAndTimeout) {
    SandboxResult r = sandbox_run(sb(), {"no-such-program"});
    EXPECT_TRUE(exited_with(r, 127));
    EXPECT_NE(r.err.find("no-such-program"), std::string::npos) << r.err;

    r = sandbox_run(sb(), {"sleep", "30"}, 1);
    EXPECT_TRUE(r.timed_out);
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL);
}

TEST_F(SandboxTest, Layout) {
    bool exists = false;
    EXPECT_EQ(sandbox_read_file(sb(), "/.standby_partition", &exists), "/dev/hda2\n");
    EXPECT_TRUE(exists);
    EXPECT_EQ(sandbox_read_file(sb(), "/.active_partition"), "/dev/hda1\n");
    sandbox_read_file(sb(), "/.smsc91c111", &exists);
    EXPECT_TRUE(exists);

    SandboxResult r = sandbox_run(sb(), {"cat", "/proc/mounts"});
    EXPECT_NE(r.out.find("/dev/hda1 /active_partition ext2 rw"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/dev/hda2 /standby_partition ext2 rw"), std::string::npos) << r.out;

    // Block devices as the programs open them; "dev/ram1" relative to "/".
    r = sandbox_run(sb(), {"sh", "-c",
                           "for d in /dev/hda1 /dev/hda2 dev/ram1; do test -b $d || echo no $d; "
                           "done; test -c /dev/null || echo no null; for d in dev/ram1 "
                           "/dev/hda1 /dev/hda2; do blockdev --getsize64 $d; done"});
    EXPECT_EQ(r.out, "16777216\n8388608\n8388608\n");

    r = sandbox_run(sb(), {"sh", "-c", "ls -d /cfg /tmp /var/lilo /sbin/lilo /sbin/update"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
}

TEST(SandboxOptionsTest, MarkersTreesSizesAndMounts) {
    TempDir active, standby;
    active.put("bzImage-2.2.4", "kernel");
    standby.put(".version", "nimbotex.2.2.6\n");
    SandboxOptions o = busybox_options();
    o.smsc_marker = false;
    o.active_marker = false;
    o.standby_marker_text = "/dev/hda3\n";
    o.active_tree = active.path;
    o.standby_tree = standby.path;
    o.standby_kib = 4096;
    o.ramdisk_kib = 2048;
    o.mount_standby = false;
    SandboxPtr sb = make_sandbox(o);
    ASSERT_TRUE(sb);
    bool exists = true;
    sandbox_read_file(sb.get(), "/.smsc91c111", &exists);
    EXPECT_FALSE(exists);
    sandbox_read_file(sb.get(), "/.active_partition", &exists);
    EXPECT_FALSE(exists);
    EXPECT_EQ(sandbox_read_file(sb.get(), "/.standby_partition"), "/dev/hda3\n");
    EXPECT_EQ(sandbox_read_file(sb.get(), "/active_partition/bzImage-2.2.4"), "kernel");
    sandbox_read_file(sb.get(), "/standby_partition/.version", &exists);
    EXPECT_FALSE(exists) << "standby partition must not be mounted";

    SandboxResult r =
        sandbox_run(sb.get(), {"sh", "-c",
                               "blockdev --getsize64 /dev/hda2 && blockdev --getsize64 dev/ram1 && "
                               "mount -t ext2 /dev/hda2 "
                               "/standby_partition && cat /standby_partition/.version"});
    EXPECT_EQ(r.out, "4194304\n2097152\nnimbotex.2.2.6\n") << r.err;
}

TEST_F(SandboxTest, ReadAndWriteFiles) {
    EXPECT_TRUE(sandbox_write_file(sb(), "/cfg/config.active", "a=b\n", 0600));
    SandboxResult r =
        sandbox_run(sb(), {"sh", "-c", "stat -c %a /cfg/config.active; cat /cfg/config.active"});
    EXPECT_EQ(r.out, "600\na=b\n");
    EXPECT_EQ(sandbox_read_file(sb(), "/cfg/config.active"), "a=b\n");

    // Through the mount, not the host folder below it.
    EXPECT_TRUE(sandbox_write_file(sb(), "/standby_partition/.version", "nimbotex.2.2.6\n"));
    r = sandbox_run(sb(), {"cat", "/standby_partition/.version"});
    EXPECT_EQ(r.out, "nimbotex.2.2.6\n");
    struct stat st;
    EXPECT_NE(stat((sandbox_root(sb()) + "/standby_partition/.version").c_str(), &st), 0);

    bool exists = true;
    EXPECT_EQ(sandbox_read_file(sb(), "/cfg/none", &exists), "");
    EXPECT_FALSE(exists);
    EXPECT_FALSE(sandbox_write_file(sb(), "/no/such/dir/file", "x"));

    // The state file as a host-side test sees it, too.
    EXPECT_TRUE(sandbox_write_file(sb(), "/cfg/.update.state", "You can swap the system\n"));
    FILE *f = fopen((sandbox_root(sb()) + "/cfg/.update.state").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[64] = "";
    EXPECT_NE(fgets(line, sizeof line, f), nullptr);
    fclose(f);
    EXPECT_STREQ(line, "You can swap the system\n");
}

TEST_F(SandboxTest, SpawnKillWait) {
    int h = sandbox_spawn(sb(), {"sleep", "100"});
    ASSERT_GT(h, 0);
    EXPECT_EQ(sandbox_kill(sb(), h, SIGTERM), 0);
    SandboxResult r = sandbox_wait(sb(), h, 10);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGTERM) << r.status;
    // Gone now.
    EXPECT_EQ(sandbox_kill(sb(), h, SIGTERM), -1);
    EXPECT_EQ(sandbox_wait(sb(), h, 1).status, -1);
}

TEST_F(SandboxTest, WaitForProgramThatEndedEarlier) {
    int h = sandbox_spawn(sb(), {"sh", "-c", "echo early; exit 4"});
    ASSERT_GT(h, 0);
    // Meanwhile other requests are served.
    EXPECT_TRUE(exited_with(sandbox_run(sb(), {"sleep", "0.2"}), 0));
    SandboxResult r = sandbox_wait(sb(), h);
    EXPECT_TRUE(exited_with(r, 4));
    EXPECT_EQ(r.out, "early\n");
}

TEST_F(SandboxTest, I386ProgramSeesItsNameAndArguments) {
    SandboxResult r = sandbox_run(sb(), {"update", "exit", "5"});
    EXPECT_TRUE(exited_with(r, 5)) << r.status << r.err;
    EXPECT_EQ(r.out, "argv0=update pointer-bits=32\narg1=exit\narg2=5\n");
    EXPECT_EQ(r.err, "probe on stderr\n");
}

TEST_F(SandboxTest, KillReachesI386Program) {
    int h = sandbox_spawn(sb(), {"update", "wait"});
    ASSERT_GT(h, 0);
    bool ready = false;
    for (int i = 0; i < 300 && !ready; i++) {
        sandbox_read_file(sb(), "/tmp/probe.ready", &ready);
        if (!ready)
            usleep(20000);
    }
    ASSERT_TRUE(ready) << "the probe did not start";
    EXPECT_EQ(sandbox_kill(sb(), h, SIGTERM), 0);
    SandboxResult r = sandbox_wait(sb(), h, 30);
    EXPECT_TRUE(exited_with(r, 7)) << r.status << r.err;
    EXPECT_EQ(r.out, "argv0=update pointer-bits=32\narg1=wait\nready\ngot SIGTERM\n");
}

TEST_F(SandboxTest, InitRecordsSignalsAndSurvives) {
    EXPECT_TRUE(sandbox_init_signals(sb()).empty());
    SandboxResult r = sandbox_run(sb(), {"kill", "-30", "1"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    EXPECT_EQ(sandbox_init_signals(sb()), std::vector<int>{SIGPWR});
    // Signals pending at the same moment arrive lowest first; these do not.
    r = sandbox_run(sb(), {"sh", "-c", "kill -TERM 1; sleep 0.2; kill -HUP 1; kill -KILL 1"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    EXPECT_EQ(sandbox_init_signals(sb()), (std::vector<int>{SIGPWR, SIGTERM, SIGHUP}));
    // Process 1 kept running and reaps orphans.
    r = sandbox_run(sb(), {"sh", "-c", "(sleep 0.1 &); echo alive"});
    EXPECT_EQ(r.out, "alive\n");
    r = sandbox_run(sb(), {"sh", "-c", "sleep 0.3; ps | grep -c '[s]leep 0.1'"});
    EXPECT_EQ(r.out, "0\n");
}

TEST_F(SandboxTest, SocketsLiveInTheSandboxNetwork) {
    int ls = sandbox_listen(sb(), "127.0.0.1", 0);
    ASSERT_GE(ls, 0);
    sockaddr_in a{};
    socklen_t al = sizeof a;
    ASSERT_EQ(getsockname(ls, reinterpret_cast<sockaddr *>(&a), &al), 0);
    int port = ntohs(a.sin_port);

    int c = sandbox_connect(sb(), "127.0.0.1", port, "127.0.0.2");
    ASSERT_GE(c, 0);
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    int s = accept(ls, reinterpret_cast<sockaddr *>(&peer), &pl);
    ASSERT_GE(s, 0);
    char ip[32];
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    EXPECT_STREQ(ip, "127.0.0.2");
    ASSERT_EQ(write(c, "220 hello\r\n", 11), 11);
    char buf[32] = "";
    EXPECT_EQ(read(s, buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "220 hello\r\n");
    close(s);
    close(c);

    // A program inside reaches the listener as well.
    int nc = sandbox_spawn(sb(), {"sh", "-c", "echo hi | nc 127.0.0.1 " + std::to_string(port)});
    ASSERT_GT(nc, 0);
    s = accept(ls, nullptr, nullptr);
    ASSERT_GE(s, 0);
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(read(s, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "hi\n");
    close(s);
    EXPECT_TRUE(exited_with(sandbox_wait(sb(), nc, 10), 0));

    // The host's network does not see the port: connecting fails, binding works.
    int h = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(connect(h, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    close(h);
    h = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(bind(h, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    close(h);
    close(ls);

    EXPECT_EQ(sandbox_connect(sb(), "127.0.0.1", port, nullptr), -1) << "nobody listens now";
    EXPECT_EQ(sandbox_listen(sb(), "not-an-address", 21), -1);
}

TEST(SandboxFtp, VsftpdServesAnonymousAndNimbo) {
    TempDir ftp;
    ftp.put("image.swi", std::string(100000, 'x') + "end");
    SandboxOptions o = busybox_options();
    o.vsftpd = true;
    o.ftp_dir = ftp.path;
    SandboxPtr sb = make_sandbox(o);
    ASSERT_TRUE(sb);

    SandboxResult r = sandbox_run(sb.get(), {"ftpget", "127.0.0.1", "/tmp/a", "image.swi"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    EXPECT_EQ(sandbox_read_file(sb.get(), "/tmp/a"), std::string(100000, 'x') + "end");

    r = sandbox_run(sb.get(), {"ftpget", "-u", "nimbo", "-p", "nimbo-secret", "127.0.0.1", "/tmp/b",
                               "image.swi"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    EXPECT_EQ(sandbox_read_file(sb.get(), "/tmp/b").size(), 100003u);

    r = sandbox_run(sb.get(),
                    {"ftpget", "-u", "nimbo", "-p", "wrong", "127.0.0.1", "/tmp/c", "image.swi"});
    EXPECT_FALSE(exited_with(r, 0));
    EXPECT_NE(r.err.find("530"), std::string::npos) << r.err;

    r = sandbox_run(sb.get(), {"ftpget", "127.0.0.1", "/tmp/d", "missing.swi"});
    EXPECT_FALSE(exited_with(r, 0));
    EXPECT_NE(r.err.find("550"), std::string::npos) << r.err;

    // Active mode, spoken by hand: the server connects back to a listener
    // that this process holds inside the sandbox.
    int ctl = sandbox_connect(sb.get(), "127.0.0.1", 21, nullptr);
    ASSERT_GE(ctl, 0);
    int data = sandbox_listen(sb.get(), "127.0.0.1", 2021);
    ASSERT_GE(data, 0);
    std::string transcript, pending;
    // Sends cmd (if any) and takes the next reply line's code.
    auto say = [&](const std::string &cmd) {
        if (!cmd.empty()) {
            EXPECT_EQ(write(ctl, cmd.data(), cmd.size()), ssize_t(cmd.size()));
        }
        size_t eol;
        while ((eol = pending.find("\r\n")) == std::string::npos) {
            char buf[512];
            ssize_t n = read(ctl, buf, sizeof buf);
            if (n <= 0)
                return;
            pending.append(buf, size_t(n));
        }
        transcript += pending.substr(0, 4);
        pending.erase(0, eol + 2);
    };
    say("");
    say("USER anonymous\r\n");
    say("PASS x@y\r\n");
    say("TYPE I\r\n");
    say("PORT 127,0,0,1,7,229\r\n");
    say("RETR image.swi\r\n");
    int conn = accept(data, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = read(conn, buf, sizeof buf)) > 0)
        got.append(buf, size_t(n));
    close(conn);
    say("");
    close(data);
    close(ctl);
    EXPECT_EQ(transcript, "220 331 230 200 200 150 226 ");
    EXPECT_EQ(got.size(), 100003u);

    // The host's own accounts are untouched.
    EXPECT_EQ(host_output("grep -c '^nimbo:' /etc/passwd"), "0\n");
    EXPECT_NE(sandbox_read_file(sb.get(), "/var/log/vsftpd.log").find("RETR image.swi"),
              std::string::npos);
}

TEST(SandboxPartitions, DeviceWritesShowInImage) {
    SandboxOptions o = busybox_options();
    o.mount_standby = false;
    SandboxPtr sb = make_sandbox(o);
    ASSERT_TRUE(sb);
    SandboxResult r =
        sandbox_run(sb.get(), {"sh", "-c",
                               "printf 'SWI-IMAGE' | dd of=/dev/hda2 bs=512 seek=3 conv=notrunc "
                               "2>/dev/null && sync"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    std::string img = sandbox_partition_image(sb.get(), 2);
    FILE *f = fopen(img.c_str(), "rb");
    ASSERT_NE(f, nullptr) << img;
    char buf[10] = "";
    fseek(f, 1536, SEEK_SET);
    EXPECT_EQ(fread(buf, 1, 9, f), 9u);
    fclose(f);
    EXPECT_STREQ(buf, "SWI-IMAGE");
    EXPECT_EQ(sandbox_partition_image(sb.get(), 3), "");
}

TEST_F(SandboxTest, FilesOnMountedPartitionReachImageAfterSync) {
    EXPECT_TRUE(sandbox_write_file(sb(), "/active_partition/hello", "from inside\n"));
    EXPECT_TRUE(exited_with(sandbox_run(sb(), {"sync"}), 0));
    std::string img = sandbox_partition_image(sb(), 1);
    EXPECT_EQ(host_output("/sbin/debugfs -R 'cat /hello' " + img + " 2>/dev/null"),
              "from inside\n");
}

TEST_F(SandboxTest, LiloDoubleRecordsArgsConfAndMissingFiles) {
    std::string conf = "boot = /dev/hda\n"
                       "image = /standby_partition/bzImage\n"
                       "initrd = /standby_partition/RFS.gz\n"
                       "label = new\n"
                       "append = \"INITRD=RFS.gz\"\n"
                       "image=/active_partition/bzImage\n";
    ASSERT_TRUE(sandbox_write_file(sb(), "/.lilo.conf", conf));
    SandboxResult r = sandbox_run(sb(), {"sh", "-c", "/sbin/lilo -C /.lilo.conf > /dev/null"});
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(sandbox_read_file(sb(), "/var/lilo/args"), "-C\n/.lilo.conf\n");
    EXPECT_EQ(sandbox_read_file(sb(), "/var/lilo/conf"), conf);
    EXPECT_EQ(sandbox_read_file(sb(), "/var/lilo/missing"), "missing /standby_partition/bzImage\n"
                                                            "missing /standby_partition/RFS.gz\n"
                                                            "missing /active_partition/bzImage\n");

    ASSERT_TRUE(sandbox_write_file(sb(), "/standby_partition/bzImage", "k"));
    ASSERT_TRUE(sandbox_write_file(sb(), "/standby_partition/RFS.gz", "i"));
    ASSERT_TRUE(sandbox_write_file(sb(), "/active_partition/bzImage", "k"));
    r = sandbox_run(sb(), {"lilo", "-C", "/.lilo.conf"});
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    EXPECT_EQ(sandbox_read_file(sb(), "/var/lilo/missing"), "");

    r = sandbox_run(sb(), {"lilo", "-C", "/nonexistent.conf"});
    EXPECT_TRUE(exited_with(r, 1));
    bool exists = true;
    sandbox_read_file(sb(), "/var/lilo/conf", &exists);
    EXPECT_FALSE(exists);
}

TEST(SandboxLilo, StatusComesFromOptions) {
    SandboxOptions o = busybox_options();
    o.lilo_status = 3;
    SandboxPtr sb = make_sandbox(o);
    ASSERT_TRUE(sb);
    ASSERT_TRUE(sandbox_write_file(sb.get(), "/.lilo.conf", "boot = /dev/hda\n"));
    EXPECT_TRUE(exited_with(sandbox_run(sb.get(), {"lilo", "-C", "/.lilo.conf"}), 3));
}

} // namespace

namespace {

// The binaries end-to-end tests get by default (the product's, when the
// build names them): installed as /sbin/update and /sbin/swap and started
// under the names the programs print.
TEST(SandboxProduct, DefaultBinariesRunUnderTheirNames) {
    SandboxPtr sb = make_sandbox(sandbox_default_options());
    ASSERT_TRUE(sb);
    SandboxResult r = sandbox_run(sb.get(), {"update", "-v"});
    EXPECT_TRUE(exited_with(r, 0)) << r.status << r.err;
    EXPECT_EQ(r.out.rfind("\n  update: ", 0), 0u) << r.out;
    r = sandbox_run(sb.get(), {"swap", "-h"});
    EXPECT_TRUE(exited_with(r, 0)) << r.status << r.err;
    EXPECT_EQ(r.out, "\n  usage:  -v  for Version\n          -h  for help\n\n");
}

} // namespace
