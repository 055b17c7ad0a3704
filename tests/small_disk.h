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
