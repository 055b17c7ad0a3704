#pragma once
// A block device of a test's own: a loop device on a file in a fresh tmpfs,
// set up in a child process with a mount namespace of its own, so that no
// mount or loop device outlives the test, also when it fails. Writes past
// `room` bytes of the device fail on the disk, as on a failing or full one.
// Needs root.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr int SMALL_DISK_NO_SETUP = 99;

// Runs body(device path) in the child and returns what it returned (0..98),
// or SMALL_DISK_NO_SETUP when the disk could not be made.
inline int on_small_disk(size_t device_bytes, size_t room,
                         const std::function<int(const char *)> &body) {
    char dir[] = "/tmp/small_disk.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return SMALL_DISK_NO_SETUP;
    pid_t pid = fork();
    if (pid == 0) {
        std::string size = "size=" + std::to_string(room);
        std::string file = std::string(dir) + "/disk";
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir, "tmpfs", 0, size.c_str()) != 0)
            _exit(SMALL_DISK_NO_SETUP);
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || ftruncate(fd, off_t(device_bytes)) != 0)
            _exit(SMALL_DISK_NO_SETUP);
        close(fd);
        FILE *p = popen(("losetup --find --show " + file).c_str(), "r");
        char dev[64] = "";
        bool found = p != nullptr && fgets(dev, sizeof dev, p) != nullptr;
        if (p != nullptr)
            pclose(p);
        std::string device(dev, found ? strcspn(dev, "\n") : 0);
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

// Runs body(mount point) with an empty ext2 file system of kib KiB mounted
// there, on a small disk of its own. Returns what body returned (0..98), or
// SMALL_DISK_NO_SETUP.
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
// now would leave it: the device's blocks as they stand, read past the page
// cache; what the file system has not written yet is lost. Direct reads
// write the device's own dirty blocks (the file system's metadata) first,
// so this is the cut at its worst for ext2: names and inodes on the disk,
// file data only if it was synced. Returns the file's bytes, "" when the
// file is not there.
inline std::string after_power_cut(const char *device, const char *name) {
    int dev = open(device, O_RDONLY | O_DIRECT | O_CLOEXEC);
    off_t size = dev >= 0 ? lseek(dev, 0, SEEK_END) : -1;
    void *blocks = size > 0 ? mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                            : MAP_FAILED;
    int copy = memfd_create("power-cut", 0);
    bool ok = blocks != MAP_FAILED && copy >= 0 &&
              pread(dev, blocks, size_t(size), 0) == ssize_t(size) &&
              write(copy, blocks, size_t(size)) == ssize_t(size);
    if (blocks != MAP_FAILED)
        munmap(blocks, size_t(size));
    close(dev);
    std::string out;
    std::string cmd = "debugfs -R 'cat /" + std::string(name) + "' /proc/" +
                      std::to_string(getpid()) + "/fd/" + std::to_string(copy) + " 2>/dev/null";
    FILE *p = ok ? popen(cmd.c_str(), "r") : nullptr;
    if (p != nullptr) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    close(copy);
    return out;
}
