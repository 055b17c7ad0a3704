// swap's readers of its text files and its command line.
#include "old_release.h"
#include "partition.h"
#include "swap_run.h"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct TempFile {
    std::string path = "/tmp/swap_test." + std::to_string(getpid()) + "." + std::to_string(n++);
    static inline int n = 0;
    explicit TempFile(const std::string &content) {
        std::ofstream(path) << content;
    }
    ~TempFile() {
        unlink(path.c_str());
    }
};

const std::string verdict = "You can swap the system\n";

TEST(SwapStateFile, OnlyTheFirst49CharactersOfTheFirstLineCount) {
    const std::pair<std::string, int> cases[] = {
        {verdict, 0},
        {std::string(26, '.') + verdict, 0}, // the phrase ends at character 49
        {std::string(27, '.') + verdict, 1},
        {"Don't swap\n" + verdict, 1},
        {"", 1},
    };
    for (const auto &[content, rc] : cases) {
        TempFile state(content);
        testing::internal::CaptureStdout();
        EXPECT_EQ(swap_check_state("swap", state.path.c_str()), rc) << content;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  rc == 0 ? "" : "  swap: error on installed standby system\n\n");
    }
}

TEST(SwapStateFile, MissingFileIsCreatedSayingNo) {
    TempFile state("");
    unlink(state.path.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(swap_check_state("swap", state.path.c_str()), 1);
    testing::internal::GetCapturedStdout();
    std::ifstream in(state.path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "Don't swap the system\n");
}

TEST(SwapPartitionFiles, LastMatchingLineWinsWithoutItsLineEnd) {
    PartitionInfo info{};
    TempFile marker("/dev/hda1\n/dev/hda2\nnothing\n");
    ASSERT_EQ(read_partition_device(marker.path.c_str(), &info), 0);
    EXPECT_STREQ(info.device, "/dev/hda2");
    TempFile listing("RFS-1.gz\nbzImage-1\nRFS-2.gz\nbzImage-2\nlost+found\n");
    ASSERT_EQ(scan_partition_listing(listing.path.c_str(), &info), 0);
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
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"-v"}, 0, "\n  swap: v1.10 (nimbotex maintenance)\n\n"},
        {{"-x", "-h"}, 0, "\n  usage:  -v  for Version\n          -h  for help\n\n"},
        {{"-h", "-x"}, 1, "\n  invalid argument\n\n"},
    };
    for (const auto &[args, rc, out] : cases) {
        std::vector<char *> argv = {const_cast<char *>("swap")};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        testing::internal::CaptureStdout();
        EXPECT_EQ(swap_command_line("swap", int(argv.size()), argv.data()), rc);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
    }
}

} // namespace
