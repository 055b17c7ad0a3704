// swap's readers of its text files and its command line.
#include "old_release.h"
#include "partition.h"
#include "swap_run.h"

#include "small_disk.h"

#include <fstream>
#include <gtest/gtest.h>
#include <optional>

namespace {

// Only the first 49 characters of the first line count; a missing file is
// made, saying no.
TEST(SwapStateFile, TheVerdictInTheFirst49CharactersOfTheFirstLine) {
    const std::string verdict = "You can swap the system\n", no = "Don't swap the system\n";
    // clang-format off
    const std::pair<std::optional<std::string>, int> cases[] = {
        {verdict, 0}, {std::string(26, '.') + verdict, 0}, {std::string(27, '.') + verdict, 1},
        {no + verdict, 1}, {"", 1}, {std::nullopt, 1},
    };
    // clang-format on
    for (const auto &[content, rc] : cases) {
        ScratchDir d;
        std::string state = d.path + "/.update.state";
        if (content)
            std::ofstream(state) << *content;
        testing::internal::CaptureStdout();
        EXPECT_EQ(swap_check_state("swap", state.c_str()), rc) << content.value_or("none");
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  rc == 0 ? "" : "  swap: error on installed standby system\n\n");
        EXPECT_EQ(file_text(state), content.value_or(no));
    }
}

TEST(SwapPartitionFiles, LastMatchingLineWinsWithoutItsLineEnd) {
    ScratchDir d;
    std::ofstream(d.path + "/marker") << "/dev/hda1\n/dev/hda2\nnothing\n";
    std::ofstream(d.path + "/listing") << "RFS-1.gz\nbzImage-1\nRFS-2.gz\nbzImage-2\nlost+found\n";
    PartitionInfo info{};
    ASSERT_EQ(read_partition_device((d.path + "/marker").c_str(), &info), 0);
    EXPECT_STREQ(info.device, "/dev/hda2");
    ASSERT_EQ(scan_partition_listing((d.path + "/listing").c_str(), &info), 0);
    EXPECT_STREQ(info.initrd, "RFS-2.gz");
    EXPECT_STREQ(info.kernel, "bzImage-2");
}

TEST(SwapOldRelease, FourReleasesAnywhereInTheLine) {
    for (const char *line :
         {"nimbotex.1.0.0\n", "nimbotex.1.0.2", "x nimbotex.1.1.0", "nimbotex.1.1.1"})
        EXPECT_TRUE(swap_is_old_release(line)) << line;
    for (const char *line : {"nimbotex.1.2.0\n", "nimbotex.1.0.1", "nimbotex.3.3.0", ""})
        EXPECT_FALSE(swap_is_old_release(line)) << line;
}

TEST(SwapCommandLine, OnlyTheLastArgumentCounts) {
    const std::tuple<std::vector<const char *>, int, std::string> cases[] = {
        {{"swap", "-v"}, 0, "\n  swap: v1.10 (nimbotex maintenance)\n\n"},
        {{"swap", "-x", "-h"}, 0, "\n  usage:  -v  for Version\n          -h  for help\n\n"},
        {{"swap", "-h", "-x"}, 1, "\n  invalid argument\n\n"},
    };
    for (auto [args, rc, out] : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(swap_command_line("swap", int(args.size()), const_cast<char **>(args.data())),
                  rc);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
    }
}

} // namespace
