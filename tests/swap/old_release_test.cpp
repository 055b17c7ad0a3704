#include "old_release.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace {

TEST(OldRelease, RecognisedAnywhereInTheFirstLine) {
    struct Case {
        std::string version; // content of the version file; "-" for no file
        bool old;
    } cases[] = {
        {"nimbotex.1.0.0\n", true},
        {"nimbotex.1.0.2\n", true},
        {"nimbotex.1.1.0\n", true},
        {"nimbotex.1.1.1\n", true},
        {"nimbotex.1.1.10 beta build for the field\n", true},
        {"release nimbotex.1.0.0", true},
        {"nimbotex.1.0.1\n", false},
        {"nimbotex.2.2.5\n", false},
        {"NIMBOTEX.1.1.1\n", false},
        {"nimbotex.2.2.5\nnimbotex.1.1.1\n", false},
        {std::string(40, ' ') + "nimbotex.1.1.1\n", false}, // beyond one 49-character read
        {"", false},
        {"-", false},
    };
    for (const Case &c : cases) {
        TempDir dir;
        if (c.version != "-")
            write_text(dir / ".version", c.version);
        EXPECT_EQ(swap_standby_is_old_release((dir / ".version").c_str()), c.old) << c.version;
    }
}

// Content of a conversion is checked end to end, on both files.
TEST(ConvertConfig, UnreadableFileIsNotFabricated) {
    TempDir dir;
    nimbotex_config work{};
    config_set_defaults(&work);
    const std::string missing = dir / "config.default";
    EXPECT_EQ(convert_config_for_old_release(missing.c_str(), &work), OLD_RELEASE_READ_FAILED);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

} // namespace
