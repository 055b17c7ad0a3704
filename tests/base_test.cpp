// The shared pieces update and swap rely on for their runs: the run lock,
// the atomic writer through a power cut and the removal of its leftovers.
#include "base.h"

#include "small_disk.h"

#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(RunLock, OneHolderAtATimeAndNeverATrap) {
    ScratchDir dir;
    std::string lock = dir.path + "/.update.lock";
    int held = run_lock_take(lock.c_str());
    ASSERT_GE(held, 0);
    EXPECT_EQ(run_lock_take(lock.c_str()), RUN_LOCK_BUSY);
    close(held); // as a crashed holder's descriptors close
    held = run_lock_take(lock.c_str());
    EXPECT_GE(held, 0);
    close(held);
    // clang-format off
    struct { const char *name, *make; int err; } traps[] = {
        {"fifo", "mkfifo", EINVAL}, {"folder", "mkdir", EISDIR}, {"link", "ln -s fifo", ELOOP},
    };
    // clang-format on
    for (const auto &t : traps) {
        std::string path = dir.path + "/" + t.name;
        ASSERT_EQ(std::system((std::string(t.make) + " " + path).c_str()), 0);
        errno = 0;
        EXPECT_EQ(run_lock_take(path.c_str()), -1) << t.name;
        EXPECT_EQ(errno, t.err) << t.name;
        EXPECT_EQ(open_regular(path.c_str()), -1) << t.name;
    }
}

int write_text(FILE *out, const void *text) {
    return fputs(static_cast<const char *>(text), out) >= 0 ? 0 : -1;
}

// Through a power cut a replaced file is the old one or the new, whole
// (configuration files and the boot-loader configuration are replaced this
// way). Then: a lock file made by an earlier run still locks when the folder
// has gone read-only; a missing one cannot be made, and nobody can hold it.
TEST(OnADisk, ReplacedFilesSurvivePowerCutsAndLocksAReadOnlyFolder) {
    int rc = on_small_ext2(1024, [](const char *device, const char *mnt) {
        std::string path = std::string(mnt) + "/config.active", seen;
        for (const char *text : {"first version\n", "second version\n"}) {
            if (file_replace(path.c_str(), 0644, write_text, text) != 0)
                return 1;
            seen += after_power_cut(device, "config.active");
        }
        std::string made = std::string(mnt) + "/made", missing = std::string(mnt) + "/missing";
        int first = run_lock_take(made.c_str());
        if (first < 0 || mount(nullptr, mnt, nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return SMALL_DISK_NO_SETUP;
        close(first);
        return (seen == "first version\nsecond version\n" ? 0 : 2) +
               (run_lock_take(made.c_str()) >= 0 ? 0 : 4) +
               (run_lock_take(missing.c_str()) == RUN_LOCK_NONE ? 0 : 8);
    });
    EXPECT_EQ(rc, 0);
}

TEST(FileReplaceClean, OnlyOurOwnLeftoversGo) {
    ScratchDir dir;
    // A process id that no process can have, and ours, which has written nothing yet.
    std::string dead = "99999999", self = std::to_string(getpid());
    // clang-format off
    const std::pair<std::string, bool> names[] = {
        {".update.state.tmp" + dead + ".0", true}, {".update.state.tmp" + self + ".12", true},
        {".update.state.tmp1.0", false},  // process 1 is alive: its writer may be at work
        {".update.state", false}, {".update.state.tmp", false}, {".update.state.tmp" + dead, false},
        {".update.state.tmp" + dead + ".", false}, {".update.state.tmp" + dead + ".0x", false},
        {".update.state.tmpx.0", false}, {"config.active.tmp" + dead + ".0", false},
        {"x.update.state.tmp" + dead + ".0", false},
    };
    // clang-format on
    for (const auto &[name, gone] : names)
        std::ofstream(dir.path + "/" + name) << "x";
    std::string folder = dir.path + "/.update.state.tmp" + dead + ".1";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    file_replace_clean((dir.path + "/.update.state").c_str());
    for (const auto &[name, gone] : names)
        EXPECT_EQ(access((dir.path + "/" + name).c_str(), F_OK) != 0, gone) << name;
    EXPECT_EQ(access(folder.c_str(), F_OK), 0);
}

} // namespace
