// Option parsing: values, overrides, and where it stops.
#include "update_test_util.h"

#include <vector>

namespace {

struct ParseCase {
    std::vector<const char *> args; // after argv[0]
    int want;
    char want_letter;
    uint32_t want_flags;
    const char *want_image;
    int want_mode;
};

const ParseCase parse_cases[] = {
    {{}, CMDLINE_OK, 0, 0, "nimbotex", 0},
    {{"-dx", "-D", "-F"}, CMDLINE_OK, 0, RUN_DEBUG | RUN_DIRECT | RUN_FORCED, "nimbotex", 0},
    {{"-f", "-d"}, CMDLINE_OK, 0, 0, "-d", 0}, // a value may begin with "-"
    {{"-f", "a", "-f", "b"}, CMDLINE_OK, 0, 0, "b", 0},
    {{"-m", "2", "-m", "1"}, CMDLINE_OK, 0, 0, "nimbotex", 1},
    {{"-m", "abc"}, CMDLINE_OK, 0, 0, "nimbotex", 0},
    {{"-m", " 2x"}, CMDLINE_OK, 0, 0, "nimbotex", 2},
    {{"-m", "3"}, CMDLINE_INVALID_MODE, 0, 0, "nimbotex", 0},
    {{"-m", "-1"}, CMDLINE_INVALID_MODE, 0, 0, "nimbotex", 0},
    // Would wrap into range through a 32-bit atoi.
    {{"-m", "4294967297"}, CMDLINE_INVALID_MODE, 0, 0, "nimbotex", 0},
    {{"-m", "-4294967295"}, CMDLINE_INVALID_MODE, 0, 0, "nimbotex", 0},
    {{"-v", "-x"}, CMDLINE_VERSION, 0, 0, "nimbotex", 0},
    {{"-x", "-v"}, CMDLINE_INVALID_ARGUMENT, 0, 0, "nimbotex", 0},
    {{"-d", "-H", "-x"}, CMDLINE_USAGE, 0, RUN_DEBUG, "nimbotex", 0},
    {{"-"}, CMDLINE_INVALID_ARGUMENT, 0, 0, "nimbotex", 0},
    {{"d"}, CMDLINE_INVALID_ARGUMENT, 0, 0, "nimbotex", 0},
    {{"-d", "-h"}, CMDLINE_MISSING_VALUE, 'h', RUN_DEBUG, "nimbotex", 0},
    {{"-f"}, CMDLINE_MISSING_VALUE, 'f', 0, "nimbotex", 0},
    {{"-m"}, CMDLINE_MISSING_VALUE, 'm', 0, "nimbotex", 0},
    {{"-p"}, CMDLINE_MISSING_VALUE, 'p', 0, "nimbotex", 0},
    {{"-u"}, CMDLINE_MISSING_VALUE, 'u', 0, "nimbotex", 0},
};

TEST(CommandLine, ParseTable) {
    for (const ParseCase &c : parse_cases) {
        std::vector<char *> argv{const_cast<char *>("update")};
        for (const char *a : c.args)
            argv.push_back(const_cast<char *>(a));
        run_flags.store(0);
        UpdateSettings s = {DEFAULT_HOST, DEFAULT_USER, DEFAULT_PASSWORD, DEFAULT_IMAGE, 0};
        char letter = 0;
        std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(parse_command_line(static_cast<int>(argv.size()), argv.data(), &s, &letter),
                  c.want)
            << label;
        EXPECT_EQ(letter, c.want_letter) << label;
        EXPECT_EQ(run_flags.load(), c.want_flags) << label;
        EXPECT_STREQ(s.image, c.want_image) << label;
        EXPECT_EQ(s.mode, c.want_mode) << label;
    }
    run_flags.store(0);
}

TEST(CommandLine, HostUserPasswordTakenUnchanged) {
    const char *args[] = {"update", "-h", "10.0.0.1", "-u", "nimbo", "-p", "-secret"};
    UpdateSettings s = {DEFAULT_HOST, DEFAULT_USER, DEFAULT_PASSWORD, DEFAULT_IMAGE, 0};
    char letter = 0;
    ASSERT_EQ(parse_command_line(7, const_cast<char **>(args), &s, &letter), CMDLINE_OK);
    EXPECT_STREQ(s.host, "10.0.0.1");
    EXPECT_STREQ(s.user, "nimbo");
    EXPECT_STREQ(s.password, "-secret");
    EXPECT_EQ(strlen(DEFAULT_PASSWORD), 20u);
}

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
