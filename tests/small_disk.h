#pragma once
// Scratch space of a test's own: a folder, and a block device (a loop device
// on a file in a fresh tmpfs, made in a child with a mount namespace of its
// own, so that no mount or loop device outlives the test, also when it
// fails). Writes past `room` bytes of the device fail on the disk, as on a
// failing or full one. The device needs root.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

// A fresh folder, removed with all in it at the end of the scope.
struct ScratchDir {
    std::string path = [] {
        char t[] = "/tmp/nimbo_test.XXXXXX";
        return std::string(mkdtemp(t) != nullptr ? t : "/nonexistent");
    }();
    ~ScratchDir() {
        std::filesystem::remove_all(path);
    }
};

// The bytes of the file at path, "" when it cannot be read.
inline std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

constexpr int SMALL_DISK_NO_SETUP = 99;

// What command writes on its standard output.
inline std::string small_disk_output(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p != nullptr)
        pclose(p);
    return out;
}

// Runs body(device path) in the child and returns what it returned (0..98),
// or SMALL_DISK_NO_SETUP when the disk could not be made.
inline int on_small_disk(size_t device_bytes, size_t room,
                         const std::function<int(const char *)> &body) {
    char dir[] = "/tmp/small_disk.XXXXXX";
    pid_t pid = mkdtemp(dir) != nullptr ? fork() : -1;
    if (pid == 0) {
        std::string size = "size=" + std::to_string(room), file = std::string(dir) + "/disk";
        int fd = -1;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir, "tmpfs", 0, size.c_str()) != 0 ||
            (fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)) < 0 ||
            ftruncate(fd, off_t(device_bytes)) != 0)
            _exit(SMALL_DISK_NO_SETUP);
        std::string device = small_disk_output("losetup --find --show " + file);
        device = device.substr(0, device.find('\n'));
        // Held open while detached: the device clears itself when we exit.
        int hold = device.empty() ? -1 : open(device.c_str(), O_RDONLY | O_CLOEXEC);
        if (hold < 0 || std::system(("losetup -d " + device).c_str()) != 0)
            _exit(SMALL_DISK_NO_SETUP);
        _exit(body(device.c_str()));
    }
    int status = 0;
    bool ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    rmdir(dir);
    return ok ? WEXITSTATUS(status) : SMALL_DISK_NO_SETUP;
}

// Runs body(device, mount point) with an empty ext2 file system of kib KiB
// mounted there, on a small disk of its own. Returns as on_small_disk.
inline int on_small_ext2(size_t kib, const std::function<int(const char *, const char *)> &body) {
    char mnt[] = "/tmp/small_ext2.XXXXXX";
    if (mkdtemp(mnt) == nullptr)
        return SMALL_DISK_NO_SETUP;
    int rc = on_small_disk(kib * 1024, kib * 1024, [&](const char *device) {
        std::string mkfs = "mke2fs -q -F -t ext2 " + std::string(device) + " >/dev/null 2>&1";
        if (std::system(mkfs.c_str()) != 0 || mount(device, mnt, "ext2", 0, nullptr) != 0)
            return SMALL_DISK_NO_SETUP;
        return body(device, mnt);
    });
    rmdir(mnt); // the mount went with the child's namespace
    return rc;
}

// The file name at the root of the ext2 file system on device as a power cut
// now would leave it ("" when absent): the device's blocks read past the page
// cache. A direct read writes the device's own dirty blocks (the metadata)
// first: the cut at its worst for ext2, file data there only if it was synced.
inline std::string after_power_cut(const char *device, const char *name) {
    int copy = memfd_create("power-cut", 0);
    std::string at = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(copy);
    std::string out = small_disk_output("dd if=" + std::string(device) + " of=" + at +
                                        " iflag=direct bs=64K status=none && debugfs -R 'cat /" +
                                        name + "' " + at + " 2>/dev/null");
    close(copy);
    return out;
}
