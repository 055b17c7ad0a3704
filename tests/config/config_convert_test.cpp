// Upgrading configuration files to the current layout version.

#include "config.h"
#include "config_test_support.h"

#include <gtest/gtest.h>
#include <memory>

using namespace cfgtest;

namespace {

std::unique_ptr<nimbotex_config> read_back(const std::string &path) {
    auto c = std::make_unique<nimbotex_config>();
    config_set_defaults(c.get());
    config_read_file(path.c_str(), c.get());
    return c;
}

TEST(ConfigConvert, CurrentVersionIsLeftByteForByte) {
    TempDir dir;
    std::string path = dir / "config";
    auto c = std::make_unique<nimbotex_config>();
    config_set_defaults(c.get());
    std::strcpy(c->sntp_activate, "0"); // a 1.2.0 fix-up must not touch it
    std::strcpy(c->snmp_host[0], "10.1.1.1");
    ASSERT_EQ(config_write_file(path.c_str(), c.get()), 0);
    std::string before = read_text(path) + "trailing rubbish\n";
    write_text(path, before);
    EXPECT_EQ(config_convert(path.c_str()), 0);
    EXPECT_EQ(read_text(path), before);

    write_text(path, "no version line here\n" + field_line(1, "10.2.2.2"));
    EXPECT_EQ(config_convert(path.c_str()), 0);
    EXPECT_EQ(read_text(path), "no version line here\n" + field_line(1, "10.2.2.2"));
}

TEST(ConfigConvert, OtherVersionsOnlyGetTheNewVersion) {
    for (const char *version : {"1.1.0", "", "1.2.0 ", "1.2.30", "2.0.0"}) {
        TempDir dir;
        std::string path = dir / "config";
        write_text(path, field_line(0, version) + field_line(1, "10.3.3.3") + field_line(31, "0") +
                             field_line(39, "public") + field_line(25, "4") +
                             field_line(43, "nms"));
        EXPECT_EQ(config_convert(path.c_str()), 1) << version;
        auto c = read_back(path);
        EXPECT_STREQ(c->config_version, "1.2.3") << version;
        EXPECT_STREQ(c->management_ip, "10.3.3.3") << version;
        EXPECT_STREQ(c->sntp_activate, "0") << version;
        EXPECT_STREQ(c->channel1_mode, "4") << version;
        EXPECT_EQ(text_of(c->snmp_community_read), scrambled("public")) << version;
        EXPECT_STREQ(c->snmp_community_write, "juniper") << version; // absent: default
        EXPECT_EQ(host_list(*c), std::vector<std::string>{"nms"}) << version;
    }
}

TEST(ConfigConvert, Version120FixUps) {
    struct Case {
        const char *name;
        std::string lines;                                 // besides the version line
        std::vector<std::pair<int, std::string>> expected; // label number, value read back
    } cases[] = {
        {"empty location becomes Nimbotex everywhere",
         field_line(52, "") + field_line(14, "a") + field_line(24, "b") + field_line(36, "c"),
         {{52, "Nimbotex"}, {14, "Nimbotex"}, {24, "Nimbotex"}, {36, "Nimbotex"}}},
        {"location copied to station names and sysname",
         field_line(52, "Roof-7") + field_line(14, "a"),
         {{52, "Roof-7"}, {14, "Roof-7"}, {24, "Roof-7"}, {36, "Roof-7"}}},
        {"sntp zeros get defaults",
         field_line(31, "0") + field_line(32, "0"),
         {{31, "2"}, {32, "3600"}}},
        {"other sntp values stay",
         field_line(31, "1") + field_line(32, "60"),
         {{31, "1"}, {32, "60"}}},
        {"plain communities",
         field_line(39, "pub") + field_line(40, "priv") + field_line(41, "trap") +
             field_line(42, "remote"),
         {{39, "pub"}, {40, "priv"}, {41, "trap"}, {42, "remote"}}},
        {"missing remote community gets walnut",
         field_line(39, "pub"),
         {{42, "walnut"}, {39, "pub"}}},
        {"modes become 1", field_line(15, "3") + field_line(25, "2"), {{15, "1"}, {25, "1"}}},
    };
    for (const Case &tc : cases) {
        TempDir dir;
        std::string path = dir / "config";
        write_text(path, field_line(0, "1.2.0") + tc.lines);
        ASSERT_EQ(config_convert(path.c_str()), 1) << tc.name;
        std::string text = read_text(path);
        auto c = read_back(path);
        EXPECT_STREQ(c->config_version, "1.2.3") << tc.name;
        for (auto &[label, value] : tc.expected) {
            int n = label < 43 ? label : label + 99;
            const char *f = reinterpret_cast<const char *>(c.get()) + n * CONFIG_FIELD_SIZE;
            EXPECT_EQ(text_of(f), value) << tc.name << ", label " << label;
            bool secret = label >= 39 && label <= 42;
            EXPECT_NE(text.find(field_line(label, secret ? scrambled(value) : value)),
                      std::string::npos)
                << tc.name << ", label " << label;
        }
    }
}

TEST(ConfigConvert, UnreadableFileFails) {
    TempDir dir;
    EXPECT_EQ(config_convert((dir / "missing").c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
    EXPECT_EQ(config_convert(dir.path.c_str()), -1);
}

} // namespace
