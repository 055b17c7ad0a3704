#pragma once
// Scratch space of a test's own: a folder, and a block device, a loop device
// on a file in a fresh tmpfs made in a child with a mount namespace of its
// own, so that no mount or loop device outlives the test, also when it fails.
// Writes past `room` bytes of the device fail, as on a failing or full disk.
// The device needs root.
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
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

// Runs body(device path) in the child and returns what it returned (0..98),
// or SMALL_DISK_NO_SETUP when the disk could not be made.
inline int on_small_disk(size_t device_bytes, size_t room,
                         const std::function<int(const char *)> &body) {
    ScratchDir dir; // the tmpfs on fs goes with the child's namespace
    std::string fs = dir.path + "/fs", file = fs + "/disk", named = dir.path + "/device";
    pid_t pid = mkdir(fs.c_str(), 0700) == 0 ? fork() : -1;
    if (pid == 0) {
        std::string size = "size=" + std::to_string(room);
        int fd = -1;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", fs.c_str(), "tmpfs", 0, size.c_str()) != 0 ||
            (fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)) < 0 ||
            ftruncate(fd, off_t(device_bytes)) != 0 ||
            std::system(("losetup --find --show " + file + " >" + named).c_str()) != 0)
            _exit(SMALL_DISK_NO_SETUP);
        std::string device = file_text(named);
        device = device.substr(0, device.find('\n'));
        // Held open while detached: the device clears itself when we exit.
        int hold = device.empty() ? -1 : open(device.c_str(), O_RDONLY | O_CLOEXEC);
        if (hold < 0 || std::system(("losetup -d " + device).c_str()) != 0)
            _exit(SMALL_DISK_NO_SETUP);
        _exit(body(device.c_str()));
    }
    int status = 0;
    bool ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    return ok ? WEXITSTATUS(status) : SMALL_DISK_NO_SETUP;
}

// Runs body(device, mount point) with an empty ext2 file system of kib KiB
// mounted there, on a small disk of its own. Returns as on_small_disk.
inline int on_small_ext2(size_t kib, const std::function<int(const char *, const char *)> &body) {
    ScratchDir mnt; // the mount goes with the child's namespace
    return on_small_disk(kib * 1024, kib * 1024, [&](const char *device) {
        std::string mkfs = "mke2fs -q -F -t ext2 " + std::string(device) + " >/dev/null 2>&1";
        if (std::system(mkfs.c_str()) != 0 ||
            mount(device, mnt.path.c_str(), "ext2", 0, nullptr) != 0)
            return SMALL_DISK_NO_SETUP;
        return body(device, mnt.path.c_str());
    });
}

// The file name at the root of the ext2 file system on device as a power cut
// now would leave it ("" when absent): the device's blocks read past the page
// cache. A direct read writes the device's own dirty blocks (the metadata)
// first: the cut at its worst for ext2, file data there only if it was synced.
inline std::string after_power_cut(const char *device, const char *name) {
    ScratchDir d;
    std::string blocks = d.path + "/blocks", out = d.path + "/out";
    std::string cut = "dd if=" + std::string(device) + " of=" + blocks +
                      " iflag=direct bs=64K status=none && debugfs -R 'cat /" + name + "' " +
                      blocks + " >" + out + " 2>/dev/null";
    return std::system(cut.c_str()) == 0 ? file_text(out) : "";
}
