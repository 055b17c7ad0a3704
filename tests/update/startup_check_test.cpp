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

namespace {

TEST(InstalledImage, Ext2MustEndWithinTheDownload) {
    // blocks count at 4, log block size at 24, magic 0xEF53 at 56.
    auto superblock = [](uint32_t blocks, uint32_t log_block, uint16_t magic) {
        std::vector<unsigned char> sb(1024);
        for (int i = 0; i < 4; ++i) {
            sb[4 + i] = static_cast<unsigned char>(blocks >> (8 * i));
            sb[24 + i] = static_cast<unsigned char>(log_block >> (8 * i));
        }
        sb[56] = static_cast<unsigned char>(magic);
        sb[57] = static_cast<unsigned char>(magic >> 8);
        return sb;
    };
    struct {
        uint32_t blocks, log_block;
        uint16_t magic;
        int64_t limit;
        bool want;
    } cases[] = {
        {512, 0, 0xEF53, 524288, true},           {512, 0, 0xEF53, 524287, false},
        {128, 2, 0xEF53, 524288, true},           {129, 2, 0xEF53, 524288, false},
        {512, 0, 0x53EF, 1 << 30, false},         {0, 0, 0xEF53, 1 << 30, false},
        {0xFFFFFFFF, 6, 0xEF53, INT64_MAX, true}, {1, 7, 0xEF53, INT64_MAX, false},
    };
    for (auto c : cases)
        EXPECT_EQ(ext2_image_fits(superblock(c.blocks, c.log_block, c.magic).data(), c.limit),
                  c.want)
            << c.blocks << " " << c.log_block << " " << c.limit;
}

} // namespace
