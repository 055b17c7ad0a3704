// The configuration text file: labels, key, writer, reader, defaults.

#include "config.h"
#include "config_test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

using namespace cfgtest;

namespace {

// Label numbers of the fields the file holds scrambled.
constexpr int scrambled_labels[] = {17, 27, 39, 40, 41, 42, 61, 66, 71, 76};

std::unique_ptr<nimbotex_config> defaults() {
    auto c = std::make_unique<nimbotex_config>();
    config_set_defaults(c.get());
    return c;
}

const char *field(const nimbotex_config &c, int n) {
    return reinterpret_cast<const char *>(&c) + n * CONFIG_FIELD_SIZE;
}

char *field(nimbotex_config &c, int n) {
    return reinterpret_cast<char *>(&c) + n * CONFIG_FIELD_SIZE;
}

// Returns the number of the first field whose texts differ, or -1.
// The host lists are compared as lists (43 when they differ).
int first_difference(const nimbotex_config &a, const nimbotex_config &b) {
    for (int n = 0; n < CONFIG_FIELD_COUNT; ++n) {
        if (n >= 43 && n <= 142)
            continue;
        if (text_of(field(a, n)) != text_of(field(b, n)))
            return n;
    }
    return host_list(a) == host_list(b) ? -1 : 43;
}

int count_lines(const std::string &text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ConfigLabels, WidthDotsAndAccountDigit) {
    for (int i = 0; i < CONFIG_LABEL_COUNT; ++i) {
        std::string label = config_labels[i];
        ASSERT_EQ(label.size(), 28u) << i;
        EXPECT_EQ(label.substr(26), ": ") << i;
        std::string words = label.substr(
            0, label.find_first_of('.') == std::string::npos ? 26 : label.find_first_of('.'));
        EXPECT_EQ(label.substr(words.size(), 26 - words.size()),
                  std::string(26 - words.size(), '.'))
            << i;
        if (i >= 59 && i <= 78) {
            EXPECT_EQ(label[14], '1' + (i - 59) / 5) << i;
        }
    }
    EXPECT_STREQ(config_labels[42], "snmp remote community read: ");
    EXPECT_STREQ(config_labels[43], "snmp host.................: ");
    EXPECT_STREQ(config_labels[81], "event internal powersupply: ");
    EXPECT_STREQ(config_labels[88], "event tp1 interface.......: ");
}

TEST(ConfigScramble, KeyBytesAreNonZeroControlCodes) {
    for (unsigned char k : config_scramble_key) {
        EXPECT_NE(k, 0);
        EXPECT_LT(k, 0x20);
    }
}

TEST(ConfigScramble, TogglesPrintableTextAndCapsTheField) {
    char f[CONFIG_FIELD_SIZE] = "walnut";
    config_scramble_field(f);
    EXPECT_EQ(std::string(f), scrambled("walnut"));
    config_scramble_field(f);
    EXPECT_STREQ(f, "walnut");

    // Every printable character stays printable, in its block of 32.
    for (int c = 0x20; c < 0x7f; ++c) {
        char all[CONFIG_FIELD_SIZE];
        std::memset(all, c, sizeof all);
        EXPECT_EQ(config_scramble_field(all), 0);
        EXPECT_EQ(all[29], '\0');
        for (int i = 0; i < 29; ++i) {
            EXPECT_EQ(all[i] & ~0x1f, c & ~0x1f) << c << " at " << i;
            EXPECT_GE(all[i], 0x20);
        }
    }
}

TEST(ConfigWriteFile, DefaultFileHasItsExactShape) {
    TempDir dir;
    auto c = defaults();
    std::memcpy(c->snmp_host[1], "stale", 6); // behind the end mark: not written
    ASSERT_EQ(config_write_file((dir / "config").c_str(), c.get()), 0);
    std::string text = read_text(dir / "config");
    EXPECT_EQ(count_lines(text), 112);
    EXPECT_EQ(text.size(), 2955u);
    EXPECT_EQ(text.rfind("\n\n"), text.size() - 2);
    EXPECT_EQ(text.find("config info:\n------------\nconfig version............: 1.2.3\n\n"
                        "management:\n-----------\nmanagement ip.............: 0.0.0.0\n"),
              0u);
    EXPECT_NE(text.find("\n\nemail:\n------\nemail mydomain............: \n"), std::string::npos);
    EXPECT_NE(text.find("\n\nevent:\n------\nevent heating.............: 0\n"), std::string::npos);
    EXPECT_NE(text.find(field_line(38, "") + field_line(39, scrambled("walnut")) +
                        field_line(40, scrambled("juniper")) + field_line(41, scrambled("walnut")) +
                        field_line(42, scrambled("walnut")) + field_line(44, "")),
              std::string::npos);
    EXPECT_EQ(text.find("walnut"), std::string::npos);
    EXPECT_EQ(text.find("stale"), std::string::npos);

    auto back = std::make_unique<nimbotex_config>();
    std::memset(back.get(), 'x', sizeof *back);
    back->snmp_host[0][0] = '\0'; // a file without host lines keeps the caller's list
    ASSERT_EQ(config_read_file((dir / "config").c_str(), back.get()), 0);
    EXPECT_EQ(first_difference(*back, *defaults()), -1);
}

TEST(ConfigWriteFile, OneLinePerHost) {
    TempDir dir;
    auto c = defaults();
    std::strcpy(c->snmp_host[0], "10.0.0.1");
    std::strcpy(c->snmp_host[1], "10.0.0.2");
    std::strcpy(c->snmp_host[2], "nms.example");
    c->snmp_host[3][0] = '\0';
    ASSERT_EQ(config_write_file((dir / "config").c_str(), c.get()), 0);
    std::string text = read_text(dir / "config");
    EXPECT_EQ(count_lines(text), 115);
    EXPECT_NE(text.find(field_line(42, scrambled("walnut")) + field_line(43, "10.0.0.1") +
                        field_line(43, "10.0.0.2") + field_line(43, "nms.example") +
                        field_line(44, "")),
              std::string::npos);
}

// Values made of every printable character, including the label's own
// ": " and dots, at lengths 0 to 29.
TEST(ConfigRoundTrip, EveryFieldSurvives) {
    for (bool full_length : {true, false}) {
        TempDir dir;
        auto c = std::make_unique<nimbotex_config>();
        for (int n = 0; n < CONFIG_FIELD_COUNT; ++n) {
            int len = full_length ? 29 : (n % 30);
            if (n >= 43 && n <= 142)
                len = std::max(len, 1); // an empty host would end the list
            char *f = field(*c, n);
            for (int i = 0; i < len; ++i)
                f[i] = static_cast<char>(0x20 + (n * 7 + i * 13) % 95);
            f[len] = '\0';
        }
        ASSERT_EQ(config_write_file((dir / "config").c_str(), c.get()), 0);
        auto back = defaults();
        ASSERT_EQ(config_read_file((dir / "config").c_str(), back.get()), 0);
        EXPECT_EQ(first_difference(*back, *c), -1) << "full length " << full_length;
        EXPECT_EQ(host_list(*back).size(), 100u);
    }
}

TEST(ConfigWriteFile, ScrambledFieldsUnreadableInFilePlainInRecord) {
    TempDir dir;
    auto c = defaults();
    for (int label : scrambled_labels) {
        int n = label < 43 ? label : label + 99;
        std::snprintf(field(*c, n), CONFIG_FIELD_SIZE, "secret-%d", label);
    }
    auto before = std::make_unique<nimbotex_config>(*c);
    ASSERT_EQ(config_write_file((dir / "config").c_str(), c.get()), 0);
    EXPECT_EQ(std::memcmp(c.get(), before.get(), sizeof *c), 0);
    std::string text = read_text(dir / "config");
    EXPECT_EQ(text.find("secret"), std::string::npos);
    for (int label : scrambled_labels) {
        std::string plain = "secret-" + std::to_string(label);
        EXPECT_NE(text.find(field_line(label, scrambled(plain))), std::string::npos) << label;
    }
    auto back = defaults();
    ASSERT_EQ(config_read_file((dir / "config").c_str(), back.get()), 0);
    EXPECT_EQ(first_difference(*back, *c), -1);
}

TEST(ConfigWriteFile, KeepsPermissionsAndLeavesNoTemporary) {
    TempDir dir;
    std::string path = dir / "config.active";
    write_text(path, "old\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(config_write_file(path.c_str(), defaults().get()), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_text(path).size(), 2955u);
    int entries = 0;
    for (auto &e : std::filesystem::directory_iterator(dir.path))
        entries += e.path().filename() == "config.active" ? 1 : 100;
    EXPECT_EQ(entries, 1);
}

TEST(ConfigWriteFile, UnwritablePlacesFailAndChangeNothing) {
    TempDir dir;
    std::filesystem::create_directory(dir / "cfg");
    struct Case {
        const char *name;
        std::string path;
    } cases[] = {
        {"missing directory", dir / "nowhere/config"},
        {"target is a directory", dir / "cfg"},
        {"empty path", ""},
    };
    for (const Case &tc : cases) {
        EXPECT_EQ(config_write_file(tc.path.c_str(), defaults().get()), 1) << tc.name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "cfg"));
    int entries = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator(dir.path))
        ++entries;
    EXPECT_EQ(entries, 1);
}

struct ReadCase {
    const char *name;
    std::string file;
    int field;         // field number expected to change, -1 for none
    std::string value; // its expected text
};

TEST(ConfigReadFile, ValueRule) {
    const std::string mgmt = config_labels[1];
    const std::string thirty = "abcdefghijklmnopqrstuvwxyz0123";
    const ReadCase cases[] = {
        {"plain line", mgmt + "10.0.0.1\n", 1, "10.0.0.1"},
        {"empty value", mgmt + "\n", 1, ""},
        {"last line without line end loses its last character",
         config_labels[88] + std::string("1"), 187, ""},
        {"crlf keeps the carriage return", mgmt + "10.0.0.1\r\n", 1, "10.0.0.1\r"},
        {"label inside the line", "  " + mgmt + "10.1.1.1\n", 1, ": 10.1.1.1"},
        {"second line wins", mgmt + "1.1.1.1\n" + mgmt + "2.2.2.2\n", 1, "2.2.2.2"},
        {"29 characters", mgmt + thirty.substr(0, 29) + "\n", 1, thirty.substr(0, 29)},
        {"30 characters are cut to 29", mgmt + thirty + "\n", 1, thirty.substr(0, 29)},
        {"label alone without line end", mgmt, -1, ""},
        {"scrambled field is stored plain", field_line(17, scrambled("wep-key-1")), 17,
         "wep-key-1"},
        {"headers and rubbish are skipped", "management:\n-----------\n\nmanagement ip: 1\n", -1,
         ""},
        {"empty file", "", -1, ""},
        {"case matters", "Management ip.............: 1.2.3.4\n", -1, ""},
        {"230V is not 48V", field_line(82, "1"), 181, "1"},
    };
    for (const ReadCase &tc : cases) {
        TempDir dir;
        write_text(dir / "config", tc.file);
        auto c = defaults();
        auto expected = defaults();
        if (tc.field >= 0)
            std::snprintf(field(*expected, tc.field), CONFIG_FIELD_SIZE, "%s", tc.value.c_str());
        ASSERT_EQ(config_read_file((dir / "config").c_str(), c.get()), 0) << tc.name;
        EXPECT_EQ(first_difference(*c, *expected), -1) << tc.name;
        if (tc.field >= 0) {
            EXPECT_EQ(text_of(field(*c, tc.field)), tc.value) << tc.name;
        }
    }
}

TEST(ConfigReadFile, HostList) {
    const std::string host = config_labels[43];
    auto hosts = [&](int from, int to) {
        std::string s;
        for (int i = from; i < to; ++i)
            s += host + "h" + std::to_string(i) + "\n";
        return s;
    };
    struct Case {
        const char *name;
        std::string file;
        std::vector<std::string> list; // the list the record holds afterwards
        int stored;                    // entries written, checked beyond the end mark
    } cases[] = {
        {"no host line keeps the list", field_line(1, "1"), {"keep0", "keep1"}, 0},
        {"three hosts", hosts(0, 3), {"h0", "h1", "h2"}, 3},
        {"empty host ends the list", hosts(0, 1) + host + "\n" + hosts(2, 3), {"h0"}, 3},
        {"first host empty", host + "\n" + hosts(1, 2), {}, 2},
        {"exactly 100", hosts(0, 100), {}, 100},
        {"more than 100 are ignored", hosts(0, 130), {}, 100},
        {"bare label at the end stores nothing", hosts(0, 1) + host, {"h0"}, 1},
    };
    for (Case &tc : cases) {
        TempDir dir;
        write_text(dir / "config", tc.file);
        auto c = defaults();
        std::strcpy(c->snmp_host[0], "keep0");
        std::strcpy(c->snmp_host[1], "keep1");
        std::strcpy(c->snmp_company, "Company");
        ASSERT_EQ(config_read_file((dir / "config").c_str(), c.get()), 0) << tc.name;
        if (tc.stored == 100) {
            for (int i = 0; i < 100; ++i)
                tc.list.push_back("h" + std::to_string(i));
        }
        EXPECT_EQ(host_list(*c), tc.list) << tc.name;
        EXPECT_STREQ(c->snmp_company, "Company") << tc.name;
        if (tc.stored > 0 && tc.stored < 100) {
            EXPECT_EQ(c->snmp_host[tc.stored][0], '\0') << tc.name;
        }
        if (tc.stored == 3) {
            EXPECT_STREQ(c->snmp_host[2], "h2") << tc.name; // stored, perhaps behind the mark
        }
    }
}

TEST(ConfigReadFile, UnreadablePathsLeaveTheRecord) {
    TempDir dir;
    for (std::string path : {dir / "missing", dir.path}) {
        auto c = defaults();
        EXPECT_EQ(config_read_file(path.c_str(), c.get()), 2) << path;
        EXPECT_EQ(first_difference(*c, *defaults()), -1) << path;
    }
}

TEST(ConfigPrint, MissingFilePrintsNothing) {
    TempDir dir;
    testing::internal::CaptureStdout();
    int rc = config_print((dir / "missing").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(rc, 2);
}

} // namespace
