// Start-up checks on plain text: the standby device path, old image names,
// and which leftover of a failed download may be removed.
#include "update_test_util.h"

namespace {

TEST(StartupChecks, StandbyDeviceMustNameAPartition) {
    struct {
        const char *text;
        bool want;
    } cases[] = {{"/dev/hda2", true},  {"/dev/hda3", true}, {"/dev/hdax", false},
                 {"/dev/hdb2", false}, {"/dev/hda", false}, {"", false}};
    for (auto c : cases)
        EXPECT_EQ(standby_device_valid(c.text), c.want) << c.text;
}

TEST(StartupChecks, OldVersionsAreExactNames) {
    EXPECT_EQ(old_version_index("nimbotex.2.2.5"), 9);
    EXPECT_EQ(old_version_index("nimbotex.1.0.0"), 0);
    EXPECT_EQ(old_version_index("nimbotex.2.2.6"), -1);
    EXPECT_EQ(old_version_index("NIMBOTEX.2.2.5"), -1);
    EXPECT_EQ(old_version_index("nimbotex.2.2.5\n"), -1);
}

TEST(Leftover, OnlyPlainNamesInTheWorkingDirectoryAreRemoved) {
    struct {
        const char *name;
        bool want;
    } cases[] = {{"nimbotex", true},
                 {"nimbotex.3.0.0", true},
                 {"dev/ram1", false},
                 {"/etc/passwd", false},
                 {"../nimbotex", false},
                 {".standby_partition", false},
                 {"", false}};
    for (auto c : cases)
        EXPECT_EQ(leftover_removable(c.name), c.want) << c.name;
}

} // namespace
