// The configuration store against literal files: the default file byte for
// byte, the 1.2.0 conversion, reading and writing the host list and its
// edits on /cfg/config.active (run in a child chrooted into a scratch folder).
#include "config.h"

#include "small_disk.h"

#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string defaults = file_text(NIMBO_GOLDEN_DIR "/config.default");

// The text with the value of the line that starts with label replaced; a null value drops the line.
std::string with(std::string text, const std::string &label, std::optional<std::string> value) {
    size_t at = text.find("\n" + label) + 1, end = text.find('\n', at) + 1;
    text.replace(at, end - at, value ? text.substr(at, 28) + *value + "\n" : "");
    return text;
}

std::string host(const std::string &name) {
    return "snmp host.................: " + name + "\n";
}

// The default file with these host lines where the store writes them.
std::string with_hosts(const std::string &lines) {
    return with(defaults, "snmp remote community read",
                "ddw`wm\n" + lines.substr(0, lines.size() - 1));
}

struct ConfigFiles : ::testing::Test {
    ScratchDir root;
    void SetUp() override {
        ASSERT_EQ(mkdir((root.path + "/cfg").c_str(), 0755), 0);
    }
    std::string file(const char *name) {
        return root.path + "/cfg/" + name;
    }
    // Runs f in a child whose root is the scratch folder; returns its result.
    int in_root(int (*f)()) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(chroot(root.path.c_str()) == 0 && chdir("/") == 0 ? f() : 99);
        int status = 0;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(ConfigFiles, DefaultFileByteForByte) {
    ASSERT_EQ(in_root([] { return config_write_default(); }), 0);
    EXPECT_EQ(file_text(file("config.default")), defaults);
}

// 1.2.0 kept the communities plain and had no remote one.
TEST_F(ConfigFiles, Version120GetsItsFixUps) {
    std::string old = with(defaults, "snmp remote community read", std::nullopt);
    // clang-format off
    for (auto [label, value] : {std::pair{"config version", "1.2.0"}, {"snmp location name", ""},
             {"[0] station name", "x"}, {"[0] mode", "5"}, {"sntp activate", "0"}, {"sntp interval", "0"},
             {"snmp community read", "walnut"}, {"snmp community write", "juniper"},
             {"snmp community trap", "walnut"}})
        old = with(old, label, value);
    // clang-format on
    for (const std::string &text : {old, with(defaults, "config version", "1.1.9")}) {
        std::ofstream(file("c")) << text;
        EXPECT_EQ(config_convert(file("c").c_str()), 1);
        EXPECT_EQ(file_text(file("c")), defaults);
        EXPECT_EQ(config_convert(file("c").c_str()), 0); // current now: left alone
    }
}

TEST_F(ConfigFiles, HostListReadWrittenAndEdited) {
    std::string full, rest;
    for (int i = 0; i < 100; ++i) {
        full += host("h" + std::to_string(i));
        rest += i == 50 ? "" : host("h" + std::to_string(i));
    }
    // Host lines after the hundredth are ignored.
    std::ofstream(file("in")) << defaults << full << host("h100");
    nimbotex_config c{};
    ASSERT_EQ(config_read_file(file("in").c_str(), &c), 0);
    EXPECT_STREQ(c.snmp_community_write, "juniper");
    EXPECT_EQ(config_read_file(file("missing").c_str(), &c), 2);
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0644), 0);
    EXPECT_EQ(config_read_file(file("fifo").c_str(), &c), 2); // no writer: must not wait for one
    ASSERT_EQ(config_write_file(file("out").c_str(), &c), 0);
    EXPECT_EQ(file_text(file("out")), with_hosts(full));

    std::ofstream(file("config.active"))
        << defaults << host("10.0.0.10") << host("10.0.0.1") << host("10.0.0.2");
    EXPECT_EQ(in_root([] { return config_remove_snmp_host("10.0.0.1"); }), 0);
    EXPECT_EQ(in_root([] { return config_remove_snmp_host("10.0.0.3"); }), 22);
    EXPECT_EQ(in_root([] { return config_add_snmp_host("10.0.0.4"); }), 0);
    EXPECT_EQ(file_text(file("config.active")),
              with_hosts(host("10.0.0.10") + host("10.0.0.2") + host("10.0.0.4")));

    // A full list: the last entry moves up one place and must not stay behind as well.
    std::ofstream(file("config.active")) << defaults << full;
    EXPECT_EQ(in_root([] { return config_add_snmp_host("one too many"); }), 12);
    EXPECT_EQ(in_root([] { return config_remove_snmp_host("h50"); }), 0);
    EXPECT_EQ(file_text(file("config.active")), with_hosts(rest));

    // An unreadable file is never replaced.
    ASSERT_EQ(unlink(file("config.active").c_str()), 0);
    ASSERT_EQ(symlink("config.active", file("config.active").c_str()), 0); // a loop
    EXPECT_EQ(in_root([] { return config_add_snmp_host("10.0.0.4"); }), 1);
    struct stat st;
    EXPECT_TRUE(lstat(file("config.active").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

} // namespace
