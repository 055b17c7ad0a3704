#include "e2e_util.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <linux/sockios.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

bool write_host_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

std::string random_bytes(size_t n) {
    static std::mt19937 gen(12345);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

} // namespace

SandboxOptions update_options() {
    SandboxOptions o = sandbox_default_options();
    o.swap_bin.clear();
    return o;
}

SandboxPtr make_sandbox(const SandboxOptions &o) {
    std::string err;
    SandboxPtr sb(sandbox_create(o, &err));
    EXPECT_NE(sb, nullptr) << err;
    return sb;
}

TempDir::TempDir() {
    const char *t = getenv("TMPDIR");
    path = std::string(t && *t ? t : "/tmp") + "/update-e2e.XXXXXX";
    if (mkdtemp(path.data()) == nullptr)
        path.clear();
    else
        chmod(path.c_str(), 0755); // vsftpd serves it
}

TempDir::~TempDir() {
    if (!path.empty())
        (void)!system(("rm -rf '" + path + "'").c_str());
}

std::string make_image(const std::string &path, const ImageRecipe &recipe) {
    std::string tree = path + ".tree";
    if (mkdir(tree.c_str(), 0755) != 0)
        return "";
    bool ok = write_host_file(tree + "/bzImage", random_bytes(40 * 1024)) &&
              write_host_file(tree + "/initrd.gz", random_bytes(60 * 1024));
    if (!recipe.version.empty()) {
        std::string version = tree + "/.version";
        ok = ok && write_host_file(version, recipe.version);
        // The version check reads the file; an access time ahead of the other
        // times keeps relatime from rewriting the inode we compare later.
        timeval times[2];
        gettimeofday(&times[0], nullptr);
        times[1] = times[0];
        times[0].tv_sec += 3 * 86400;
        ok = ok && utimes(version.c_str(), times) == 0;
    }
    std::string cmd = "mke2fs -q -F -b 1024 -t " + std::string(recipe.type) +
                      " -O ^has_journal -d '" + tree + "' '" + path + "' " +
                      std::to_string(recipe.kib) + " >/dev/null 2>&1";
    ok = ok && system(cmd.c_str()) == 0;
    (void)!system(("rm -rf '" + tree + "'").c_str());
    if (!ok)
        return "";
    std::string image = read_host_file(path, static_cast<size_t>(recipe.kib) * 1024);
    image += random_bytes(recipe.extra);
    if (image.size() != static_cast<size_t>(recipe.kib) * 1024 + recipe.extra ||
        !write_host_file(path, image))
        return "";
    chmod(path.c_str(), 0644);
    return image;
}

std::string read_host_file(const std::string &path, size_t n) {
    std::ifstream in(path, std::ios::binary);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    s.resize(static_cast<size_t>(in.gcount()));
    return s;
}

::testing::AssertionResult device_holds(const std::string &device, const std::string &image) {
    if (device.size() < image.size())
        return ::testing::AssertionFailure() << "device holds " << device.size() << " bytes";
    constexpr size_t sb_start = 1024, sb_end = 2048, uuid = sb_start + 104;
    for (size_t i = 0; i < image.size(); ++i) {
        if (i >= sb_start && i < sb_end && (i < uuid || i >= uuid + 16))
            continue;
        if (device[i] != image[i])
            return ::testing::AssertionFailure() << "first difference at byte " << i;
    }
    return ::testing::AssertionSuccess();
}

bool exited_with(const SandboxResult &r, int code) {
    return !r.timed_out && r.status >= 0 && WIFEXITED(r.status) && WEXITSTATUS(r.status) == code;
}

InsidePeer::~InsidePeer() {
    if (peer != nullptr)
        ftp_peer_free(peer);
    if (listen_fd >= 0)
        close(listen_fd);
}

bool start_inside_peer(Sandbox *sb, const std::vector<FtpPeerStep> &steps, InsidePeer *out) {
    out->listen_fd = sandbox_listen(sb, "127.0.0.1", 21);
    if (out->listen_fd < 0)
        return false;
    int netns = ioctl(out->listen_fd, SIOCGSKNS);
    if (netns < 0)
        return false;
    // The peer's thread inherits the network namespace of the thread that
    // starts it; this one enters the sandbox's and ends right after.
    std::thread starter([&] {
        if (setns(netns, CLONE_NEWNET) == 0)
            out->peer = ftp_peer_start(steps.data(), steps.size(), out->listen_fd);
    });
    starter.join();
    close(netns);
    return out->peer != nullptr;
}
