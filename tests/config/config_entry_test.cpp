// The entry points that work on the fixed /cfg files, each run in a child
// whose root is a scratch directory.

#include "config.h"
#include "config_test_support.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

using namespace cfgtest;

namespace {

const std::string DONE = "\t\t\t\t\t\t\tdone\r\n";
const std::string FAILED = "\t\t\t\t\t\t\tfailed\r\n";

// A scratch root with an empty cfg/ directory.
struct Root {
    TempDir dir;
    Root() {
        std::filesystem::create_directory(dir / "cfg");
    }
    std::string cfg(const char *name) const {
        return dir / (std::string("cfg/") + name);
    }
};

// Writes a configuration with the given hosts and a company name to path.
void write_config(const std::string &path, int hosts, const char *management_ip = "10.0.0.1") {
    auto c = std::make_unique<nimbotex_config>();
    config_set_defaults(c.get());
    std::strcpy(c->management_ip, management_ip);
    std::strcpy(c->snmp_company, "Company");
    for (int k = 0; k < hosts; ++k)
        std::snprintf(c->snmp_host[k], CONFIG_FIELD_SIZE, "h%d", k);
    ASSERT_EQ(config_write_file(path.c_str(), c.get()), 0);
}

std::unique_ptr<nimbotex_config> read_config(const std::string &path) {
    auto c = std::make_unique<nimbotex_config>();
    EXPECT_EQ(config_read_file(path.c_str(), c.get()), 0) << path;
    return c;
}

std::vector<std::string> hosts_named(std::initializer_list<int> numbers) {
    std::vector<std::string> v;
    for (int n : numbers)
        v.push_back("h" + std::to_string(n));
    return v;
}

std::vector<std::string> hosts_upto(int count) {
    std::vector<std::string> v;
    for (int n = 0; n < count; ++n)
        v.push_back("h" + std::to_string(n));
    return v;
}

TEST(ConfigLoad, FallsBackAndReportsEachStep) {
    const std::string A = "load /cfg/config.active\r";
    const std::string D = "load /cfg/config.default\r";
    struct Case {
        const char *name;
        bool active, def;
        CfgMount mount;
        std::string out;
        std::string result; // code and management ip after the load
        long default_size;  // afterwards; -1 when absent
    } cases[] = {
        {"active only", true, false, CfgMount::plain, A + DONE, "0 10.0.0.1", -1},
        {"both", true, true, CfgMount::plain, A + DONE, "0 10.0.0.1", 2963},
        {"default only", false, true, CfgMount::plain, A + FAILED + D + DONE, "0 10.0.0.2", 2963},
        {"neither", false, false, CfgMount::plain,
         A + FAILED + D + FAILED + "create /cfg/config.default\r" + DONE +
             "loading /cfg/config.default\r" + DONE,
         "0 0.0.0.0", 2955},
        {"neither, read-only", false, false, CfgMount::readonly,
         A + FAILED + D + FAILED + "create /cfg/config.default\r" + FAILED, "1 caller", -1},
    };
    for (const Case &tc : cases) {
        Root root;
        if (tc.active)
            write_config(root.cfg("config.active"), 0, "10.0.0.1");
        if (tc.def)
            write_config(root.cfg("config.default"), 0, "10.0.0.2");
        std::string def_before = read_text(root.cfg("config.default"));
        CFG_RUN_IN_ROOT(
            run, root.dir.path,
            [] {
                auto c = std::make_unique<nimbotex_config>();
                std::strcpy(c->management_ip, "caller");
                int rc = config_load(c.get());
                return std::to_string(rc) + " " + c->management_ip;
            },
            tc.mount);
        EXPECT_EQ(run.out, tc.out) << tc.name;
        EXPECT_EQ(run.result, tc.result) << tc.name;
        bool exists = std::filesystem::exists(root.cfg("config.default"));
        EXPECT_EQ(exists ? static_cast<long>(read_text(root.cfg("config.default")).size()) : -1L,
                  tc.default_size)
            << tc.name;
        if (tc.def) {
            EXPECT_EQ(read_text(root.cfg("config.default")), def_before) << tc.name;
        }
    }
}

TEST(ConfigLoad, CreatedDefaultsFillTheRecord) {
    Root root;
    CFG_RUN_IN_ROOT(run, root.dir.path, [] {
        auto c = std::make_unique<nimbotex_config>();
        std::memset(c.get(), 'x', sizeof *c);
        auto d = std::make_unique<nimbotex_config>();
        config_set_defaults(d.get());
        int rc = config_load(c.get());
        int differing = 0;
        for (int n = 0; n < CONFIG_FIELD_COUNT; ++n) {
            const char *a = reinterpret_cast<const char *>(c.get()) + n * CONFIG_FIELD_SIZE;
            const char *b = reinterpret_cast<const char *>(d.get()) + n * CONFIG_FIELD_SIZE;
            if (n >= 43 && n <= 142)
                continue; // a file without host lines keeps the caller's list
            differing += text_of(a) != text_of(b);
        }
        return std::to_string(rc) + " " + std::to_string(differing);
    });
    EXPECT_EQ(run.result, "0 0");
}

struct ListCase {
    const char *name;
    int hosts; // in /cfg/config.active beforehand, -1 for no file
    CfgMount mount;
    std::string arg; // host to add or remove
    int rc;
    std::string out;
    std::vector<std::string> list; // afterwards; unused when the file must stay as it was
    bool unchanged;
};

void run_list_cases(const std::vector<ListCase> &cases, int (*op)(const char *)) {
    for (const ListCase &tc : cases) {
        Root root;
        std::string path = root.cfg("config.active");
        if (tc.hosts >= 0)
            write_config(path, tc.hosts);
        std::string before = read_text(path);
        std::string arg = tc.arg;
        cfgtest::ChildRun run = cfgtest::run_in_root(
            root.dir.path, [&] { return std::to_string(op(arg.c_str())); }, tc.mount);
        if (run.skipped)
            GTEST_SKIP() << run.reason;
        ASSERT_TRUE(run.reason.empty()) << run.reason;
        EXPECT_EQ(run.result, std::to_string(tc.rc)) << tc.name;
        EXPECT_EQ(run.out, tc.out) << tc.name;
        if (tc.unchanged) {
            EXPECT_EQ(read_text(path), before) << tc.name;
            continue;
        }
        auto c = read_config(path);
        EXPECT_EQ(host_list(*c), tc.list) << tc.name;
        std::string text = read_text(path);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
                  112 + static_cast<long>(tc.list.size()))
            << tc.name;
        if (tc.hosts >= 0) {
            EXPECT_STREQ(c->snmp_company, "Company") << tc.name;
        }
    }
}

TEST(ConfigAddSnmpHost, AppendsUntilFull) {
    std::vector<std::string> h99 = hosts_upto(99);
    h99.push_back("new");
    const std::string long_host = "host.with.a.rather.long.name.example";
    run_list_cases(
        {
            {"to two", 2, CfgMount::plain, "new", 0, "", {"h0", "h1", "new"}, false},
            {"duplicate", 2, CfgMount::plain, "h1", 0, "", {"h0", "h1", "h1"}, false},
            {"long name cut",
             2,
             CfgMount::plain,
             long_host,
             0,
             "",
             {"h0", "h1", long_host.substr(0, 29)},
             false},
            {"to 99", 99, CfgMount::plain, "new", 0, "", h99, false},
            {"to 100", 100, CfgMount::plain, "new", 12, "", {}, true},
            {"no file",
             -1,
             CfgMount::plain,
             "new",
             0,
             "can't get struct nimbotex_config\n",
             {"new"},
             false},
            {"read-only",
             2,
             CfgMount::readonly,
             "new",
             1,
             "can't write struct nimbotex_config\n",
             {},
             true},
        },
        config_add_snmp_host);
}

// Lists the cfg directory so that left-over temporary files show.
std::string listing(const char *dir) {
    std::vector<std::string> names;
    for (auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string s;
    for (auto &n : names)
        s += n + ",";
    return s;
}

// A file that is there but cannot be read must not be replaced by a record
// that holds nothing but the edit.
TEST(ConfigAddSnmpHost, NeverReplacesAnUnreadableFile) {
    Root root;
    std::string path = root.cfg("config.active");
    write_config(path, 2);
    std::string before = read_text(path);
    ASSERT_EQ(chmod(root.dir.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(root.cfg("").c_str(), 0777), 0);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    CFG_RUN_IN_ROOT(run, root.dir.path, [] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return std::string("cannot drop root");
        std::string r = std::to_string(config_add_snmp_host("new"));
        return r + " " + std::to_string(config_remove_snmp_host("h0"));
    });
    EXPECT_EQ(run.result, "1 1");
    EXPECT_EQ(run.out, "can't get struct nimbotex_config\ncan't get nimbotex_config\n");
    EXPECT_EQ(read_text(path), before);
    EXPECT_EQ(listing(root.cfg("").c_str()), "config.active,");
}

TEST(ConfigRemoveSnmpHost, ClosesTheGap) {
    std::vector<std::string> h99 = hosts_upto(100);
    h99.erase(h99.begin() + 50);
    run_list_cases(
        {
            {"middle", 3, CfgMount::plain, "h1", 0, "", hosts_named({0, 2}), false},
            {"first", 3, CfgMount::plain, "h0", 0, "", hosts_named({1, 2}), false},
            {"last", 3, CfgMount::plain, "h2", 0, "", hosts_named({0, 1}), false},
            {"missing", 3, CfgMount::plain, "h7", 22, "", {}, true},
            {"prefix only", 3, CfgMount::plain, "h", 22, "", {}, true},
            {"empty host", 3, CfgMount::plain, "", 22, "", {}, true},
            {"from full", 100, CfgMount::plain, "h50", 0, "", h99, false},
            {"last of full", 100, CfgMount::plain, "h99", 0, "", hosts_upto(99), false},
            {"no file", -1, CfgMount::plain, "h1", 22, "can't get nimbotex_config\n", {}, true},
            {"read-only",
             3,
             CfgMount::readonly,
             "h1",
             1,
             "can't write nimbotex_config\n",
             {},
             true},
        },
        config_remove_snmp_host);
}

TEST(ConfigPrint, ShowsTheFileWithSecretsInPlain) {
    Root root;
    auto c = std::make_unique<nimbotex_config>();
    config_set_defaults(c.get());
    std::strcpy(c->channel0_encryption_key, "wep-0");
    std::strcpy(c->email_passwd_4, "mail-pass");
    std::strcpy(c->snmp_host[0], "10.9.9.9");
    c->snmp_host[1][0] = '\0';
    ASSERT_EQ(config_write_file(root.cfg("config.active").c_str(), c.get()), 0);

    // The console shows the file with the ten secrets toggled back and two
    // shorter underlines.
    std::string expected = read_text(root.cfg("config.active"));
    auto replace = [&](const std::string &from, const std::string &to) {
        std::size_t at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    };
    replace("email:\n------\n", "email:\n-----\n");
    replace("event:\n------\n", "event:\n-----\n");
    const std::pair<int, std::string> secrets[] = {
        {17, "wep-0"},  {27, ""}, {39, "walnut"}, {40, "juniper"}, {41, "walnut"},
        {42, "walnut"}, {61, ""}, {66, ""},       {71, ""},        {76, "mail-pass"},
    };
    for (auto &[label, plain] : secrets)
        replace(field_line(label, scrambled(plain)), field_line(label, plain));

    CFG_RUN_IN_ROOT(run, root.dir.path,
                    [] { return std::to_string(config_print("/cfg/config.active")); });
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, expected);
    EXPECT_NE(run.out.find(field_line(43, "10.9.9.9")), std::string::npos);
}

TEST(ConfigWriteFile, FullDiskKeepsTheOldFile) {
    Root root;
    CFG_RUN_IN_ROOT(
        run, root.dir.path,
        [] {
            auto c = std::make_unique<nimbotex_config>();
            config_set_defaults(c.get());
            if (config_write_file("/cfg/config.active", c.get()) != 0)
                return std::string("old file not written");
            std::string before = read_text("/cfg/config.active");
            int fd = open("/cfg/filler", O_WRONLY | O_CREAT, 0600);
            char block[512] = {};
            while (write(fd, block, sizeof block) > 0) {
            }
            close(fd);
            std::strcpy(c->management_ip, "10.7.7.7");
            for (int k = 0; k < CONFIG_SNMP_HOSTS; ++k)
                std::snprintf(c->snmp_host[k], CONFIG_FIELD_SIZE, "host-%d", k);
            int rc = config_write_file("/cfg/config.active", c.get());
            int add = config_add_snmp_host("10.1.1.1");
            bool same = read_text("/cfg/config.active") == before;
            return std::to_string(rc) + " " + std::to_string(add) + " " +
                   (same ? "same " : "changed ") + listing("/cfg");
        },
        CfgMount::tmpfs_8k);
    EXPECT_EQ(run.result, "1 1 same config.active,filler,");
    EXPECT_EQ(run.out, "can't write struct nimbotex_config\n");
}

TEST(ConfigWriteFile, ReadOnlyCfgKeepsTheOldFiles) {
    Root root;
    write_config(root.cfg("config.active"), 2);
    write_text(root.cfg("config.old"), field_line(0, "1.1.0"));
    std::string active = read_text(root.cfg("config.active"));
    CFG_RUN_IN_ROOT(
        run, root.dir.path,
        [] {
            auto c = std::make_unique<nimbotex_config>();
            config_set_defaults(c.get());
            return std::to_string(config_write_file("/cfg/config.active", c.get())) + " " +
                   std::to_string(config_convert("/cfg/config.old")) + " " +
                   std::to_string(config_write_default()) + " " + listing("/cfg");
        },
        CfgMount::readonly);
    EXPECT_EQ(run.result, "1 -1 1 config.active,config.old,");
    EXPECT_EQ(read_text(root.cfg("config.active")), active);
    EXPECT_EQ(read_text(root.cfg("config.old")), field_line(0, "1.1.0"));
}

} // namespace
