#include "partition.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace {

TEST(PartitionDevice, TakesTheLastMatchingLineWithoutItsLineEnd) {
    struct Case {
        const char *file, *device;
    } cases[] = {
        {"/dev/hda2\n", "/dev/hda2"},
        {"/dev/hda2", "/dev/hda2"}, // no line end: the digit stays
        {"# root\n/dev/hda1\nnone\n/dev/hda3\n", "/dev/hda3"},
        {"  /dev/hda4 extra\n", "  /dev/hda4 extra"},
        {"/dev/sda1\n/DEV/HDA1\n", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_text(dir / "marker", c.file);
        PartitionInfo info{};
        ASSERT_EQ(read_partition_device((dir / "marker").c_str(), &info), PARTITION_OK);
        EXPECT_STREQ(info.device, c.device) << c.file;
        EXPECT_STREQ(info.kernel, "");
    }
}

TEST(PartitionListing, TakesTheLastEntryOfEachKind) {
    const std::string long_name = "bzImage-" + std::string(50, 'x') + "\n";
    struct Case {
        std::string file, initrd, kernel;
    } cases[] = {
        {"RFS-2.2.6.gz\nbin\nbzImage-2.4.31\nlost+found\n", "RFS-2.2.6.gz", "bzImage-2.4.31"},
        {"bzImage-2.4.20\nbzImage-2.6.9\n", "", "bzImage-2.6.9"},
        {"RFS.a\nRFS.b\n", "RFS.b", ""},
        {"RFS-bzImage\n", "RFS-bzImage", "RFS-bzImage"},
        {"rfs\nbzimage\nBZIMAGE\n", "", ""},
        {"RFS-1.gz", "RFS-1.gz", ""},
        // Read in 49-character pieces: a longer name arrives cut.
        {long_name, "", long_name.substr(0, 49)},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_text(dir / "listing", c.file);
        PartitionInfo info{};
        ASSERT_EQ(scan_partition_listing((dir / "listing").c_str(), &info), PARTITION_OK);
        EXPECT_EQ(info.initrd, c.initrd) << c.file;
        EXPECT_EQ(info.kernel, c.kernel) << c.file;
        EXPECT_STREQ(info.device, "");
    }
}

TEST(PartitionFiles, MissingFileIsReportedAndLeavesTheRecord) {
    TempDir dir;
    PartitionInfo info = {"/dev/hda1", "RFS", "bzImage"};
    EXPECT_EQ(read_partition_device((dir / "none").c_str(), &info), PARTITION_NO_FILE);
    EXPECT_EQ(scan_partition_listing((dir / "none").c_str(), &info), PARTITION_NO_FILE);
    EXPECT_STREQ(info.device, "/dev/hda1");
    EXPECT_STREQ(info.initrd, "RFS");
}

} // namespace
