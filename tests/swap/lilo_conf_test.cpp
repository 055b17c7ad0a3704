#include "lilo_conf.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr PartitionInfo standby = {"/dev/hda2", "RFS-2.2.6.gz", "bzImage-2.4.31"};
constexpr PartitionInfo active = {"/dev/hda1", "RFS-2.2.5.gz", "bzImage-2.4.20"};

constexpr const char *expected = R"(boot = /dev/hda
install = /standby_partition/boot.b
backup=/dev/null
map = /standby_partition/map

serial=0,9600n8
prompt
timeout=20

read-only
vga = normal

image = /standby_partition/bzImage-2.4.31
initrd = /standby_partition/RFS-2.2.6.gz
root = /dev/ram0
label = new
append = "BOOTDEV=/dev/ram0 INITRD=RFS-2.2.6.gz PARTITION=/dev/hda2 DEBUG=off"

image = /standby_partition/bzImage-2.4.31
initrd = /standby_partition/RFS-2.2.6.gz
root = /dev/ram0
label = new.debug
append = "BOOTDEV=/dev/ram0 INITRD=RFS-2.2.6.gz PARTITION=/dev/hda2 DEBUG=on"

image = /active_partition/bzImage-2.4.20
initrd = /active_partition/RFS-2.2.5.gz
root = /dev/ram0
label = old
append = "BOOTDEV=/dev/ram0 INITRD=RFS-2.2.5.gz PARTITION=/dev/hda1 DEBUG=off"

image = /active_partition/bzImage-2.4.20
initrd = /active_partition/RFS-2.2.5.gz
root = /dev/ram0
label = old.debug
append = "BOOTDEV=/dev/ram0 INITRD=RFS-2.2.5.gz PARTITION=/dev/hda1 DEBUG=on"

)";

TEST(LiloConf, WritesTheFourEntriesByteForByte) {
    TempDir dir;
    ASSERT_EQ(lilo_conf_write((dir / "lilo.conf").c_str(), &standby, &active), LILO_CONF_OK);
    EXPECT_EQ(read_text(dir / "lilo.conf"), expected);
}

TEST(LiloConf, ReplacesAnExistingFileWhole) {
    TempDir dir;
    write_text(dir / "lilo.conf", std::string(8192, 'x'));
    ASSERT_EQ(lilo_conf_write((dir / "lilo.conf").c_str(), &standby, &active), LILO_CONF_OK);
    EXPECT_EQ(read_text(dir / "lilo.conf"), expected);
}

TEST(LiloConf, FieldsGoInUnchanged) {
    struct Case {
        PartitionInfo record;
        const char *line;
    } cases[] = {
        {{"/dev/hda2", "RFS%s%n", "bzImage%d%%"}, "image = /standby_partition/bzImage%d%%\n"},
        {{"/dev/hda2", "RFS%s%n", "bzImage%d%%"},
         "INITRD=RFS%s%n PARTITION=/dev/hda2 DEBUG=on\"\n"},
        // A field that no line filled is written empty.
        {{}, "image = /standby_partition/\ninitrd = /standby_partition/\n"},
        {{}, "\"BOOTDEV=/dev/ram0 INITRD= PARTITION= DEBUG=off\"\n"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        ASSERT_EQ(lilo_conf_write((dir / "lilo.conf").c_str(), &c.record, &active), LILO_CONF_OK);
        EXPECT_NE(read_text(dir / "lilo.conf").find(c.line), std::string::npos) << c.line;
    }
}

TEST(LiloConf, UnopenablePathFails) {
    TempDir dir;
    EXPECT_EQ(lilo_conf_write((dir / "no/lilo.conf").c_str(), &standby, &active), LILO_CONF_FAILED);
}

TEST(LiloConf, FullFileSystemLeavesNoFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private tmpfs";
    TempDir dir;
    std::string mnt = dir / "mnt";
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    std::string conf = mnt + "/lilo.conf";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The mount lives only in this child's namespace and dies with it.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8k") != 0)
            _exit(10);
        {
            // An earlier run's file must not be what the installer then reads.
            std::ofstream(conf) << "image = /standby_partition/old\n";
            std::ofstream filler(mnt + "/filler", std::ios::binary);
            filler << std::string(4096, 'f');
        }
        int rc = lilo_conf_write(conf.c_str(), &standby, &active);
        _exit(rc != LILO_CONF_FAILED ? 11 : access(conf.c_str(), F_OK) == 0 ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10)
        GTEST_SKIP() << "no private tmpfs here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "11: not reported, 12: partial file left";
}

} // namespace
