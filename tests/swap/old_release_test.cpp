#include "old_release.h"
#include "temp_dir.h"

#include <cstring>
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

class ConvertConfig : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "config.active";
    nimbotex_config written{}, work{};

    void SetUp() override {
        config_set_defaults(&written);
        std::strcpy(written.config_version, "1.2.3");
        std::strcpy(written.channel0_mode, "ap");
        std::strcpy(written.channel1_mode, "sta");
        std::strcpy(written.snmp_community_read, "public");
        std::strcpy(written.snmp_community_write, "private");
        std::strcpy(written.snmp_community_trap, "traps");
        std::strcpy(written.snmp_remote_community_read, "remote");
        std::strcpy(written.channel0_encryption_key, "secretkey0");
        std::strcpy(written.email_passwd_1, "mailpass1");
        ASSERT_EQ(config_write_file(path.c_str(), &written), CONFIG_OK);
        config_set_defaults(&work);
    }
};

TEST_F(ConvertConfig, EmptiesChannelModesAndUnscramblesTheCommunities) {
    ASSERT_EQ(convert_config_for_old_release(path.c_str(), &work), OLD_RELEASE_CONVERTED);
    const std::string text = read_text(path);
    for (const char *line : {
             "[0] mode..................: \n",
             "[1] mode..................: \n",
             "snmp community read.......: public\n",
             "snmp community write......: private\n",
             "snmp community trap.......: traps\n",
             "snmp remote community read: remote\n",
             "config version............: 1.2.3\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Keys and passwords stay scrambled: plain neither in the file nor lost.
    EXPECT_EQ(text.find("secretkey0"), std::string::npos);
    EXPECT_EQ(text.find("mailpass1"), std::string::npos);
    nimbotex_config back{};
    ASSERT_EQ(config_read_file(path.c_str(), &back), CONFIG_OK);
    EXPECT_STREQ(back.channel0_encryption_key, "secretkey0");
    EXPECT_STREQ(back.email_passwd_1, "mailpass1");
    EXPECT_STREQ(back.management_ip, written.management_ip);
}

TEST_F(ConvertConfig, UnreadableFileIsNotFabricated) {
    const std::string missing = dir / "config.default";
    EXPECT_EQ(convert_config_for_old_release(missing.c_str(), &work), OLD_RELEASE_READ_FAILED);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

} // namespace
