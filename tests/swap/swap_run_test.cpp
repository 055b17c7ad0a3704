#include "swap_run.h"
#include "temp_dir.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

std::string captured_stdout() {
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TEST(ShellCommand, ReportsTheWaitStatusAsSystemReturnsIt) {
    struct Case {
        const char *command;
        int result;
        const char *out;
    } cases[] = {
        {"/bin/sh -c \"exit 0\"", SWAP_OK, ""},
        {"/bin/sh -c \"exit 1\"", SWAP_FAILED, "  swap: failed (/bin/sh -c \"exit 1\" [256])\n"},
        {"/bin/sh -c \"exit 3\"", SWAP_FAILED, "  swap: failed (/bin/sh -c \"exit 3\" [768])\n"},
    };
    for (const Case &c : cases) {
        ::testing::internal::CaptureStdout();
        int result = run_shell_command("swap", c.command);
        EXPECT_EQ(captured_stdout(), c.out);
        EXPECT_EQ(result, c.result) << c.command;
    }
}

TEST(StateFile, OnlyTheFirst49CharactersOfTheFirstLineCount) {
    const std::string refused = "  swap: error on installed standby system\n\n";
    struct Case {
        std::string content; // "-" for no file
        int result;
        std::string after; // the state file afterwards
    } cases[] = {
        {"You can swap the system\n", SWAP_OK, "You can swap the system\n"},
        {"ok: You can swap the system", SWAP_OK, "ok: You can swap the system"},
        {"Download progress 100%\nYou can swap the system\n", SWAP_FAILED, ""},
        {std::string(30, '.') + "You can swap the system\n", SWAP_FAILED, ""},
        {"you can swap the system\n", SWAP_FAILED, ""},
        {"", SWAP_FAILED, ""},
        {"-", SWAP_FAILED, "Don't swap the system\n"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string path = dir / ".update.state";
        if (c.content != "-")
            write_text(path, c.content);
        ::testing::internal::CaptureStdout();
        int result = swap_check_state("swap", path.c_str());
        EXPECT_EQ(captured_stdout(), c.result == SWAP_OK ? "" : refused) << c.content;
        EXPECT_EQ(result, c.result) << c.content;
        EXPECT_EQ(read_text(path), c.after.empty() ? c.content : c.after);
    }
}

TEST(StateFile, NeitherReadableNorCreatableRefusesOnce) {
    TempDir dir;
    const std::string path = dir / "cfg/.update.state";
    ::testing::internal::CaptureStdout();
    int result = swap_check_state("swap", path.c_str());
    EXPECT_EQ(captured_stdout(), "  swap: cannot read or create " + path + ", not swapping\n\n");
    EXPECT_EQ(result, SWAP_FAILED);
}

} // namespace
