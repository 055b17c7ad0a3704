// The configuration store against literal files: the default file byte for
// byte, reading back, the host list, the 1.2.0 conversion and the host edits
// on /cfg/config.active (run in a child chrooted into a scratch folder).
#include "config.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string defaults = slurp(NIMBO_GOLDEN_DIR "/config.default");

// The text with the value of the line that starts with label replaced; a null value drops the line.
std::string with(std::string text, const std::string &label, std::optional<std::string> value) {
    size_t at = text.find("\n" + label) + 1, end = text.find('\n', at) + 1;
    text.replace(at, end - at, value ? text.substr(at, 28) + *value + "\n" : "");
    return text;
}

class ConfigFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char t[] = "/tmp/config_test.XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir_ = t;
        mkdir((dir_ + "/cfg").c_str(), 0755);
    }
    void TearDown() override {
        (void)!std::system(("rm -rf " + dir_).c_str());
    }
    // Runs f in a child whose root is the scratch folder; returns its result.
    int in_root(int (*f)()) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(chroot(dir_.c_str()) == 0 && chdir("/") == 0 ? f() : 99);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string file(const char *name) {
        return dir_ + "/cfg/" + name;
    }
    std::string dir_;
};

TEST_F(ConfigFiles, DefaultFileByteForByte) {
    ASSERT_EQ(in_root([] { return config_write_default(); }), 0);
    EXPECT_EQ(slurp(file("config.default")), defaults);
}

TEST_F(ConfigFiles, HostLinesAfterTheHundredthAreIgnored) {
    std::string hosts;
    for (int i = 0; i < 101; ++i)
        hosts += "snmp host.................: h" + std::to_string(i) + "\n";
    std::ofstream(file("in")) << defaults << hosts;
    nimbotex_config c{};
    ASSERT_EQ(config_read_file(file("in").c_str(), &c), 0);
    EXPECT_STREQ(c.snmp_host[0], "h0");
    EXPECT_STREQ(c.snmp_host[99], "h99");
    EXPECT_STREQ(c.snmp_community_write, "juniper");
    EXPECT_EQ(config_read_file(file("missing").c_str(), &c), 2);
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0644), 0);
    EXPECT_EQ(config_read_file(file("fifo").c_str(), &c), 2); // no writer: must not wait for one
    ASSERT_EQ(config_write_file(file("out").c_str(), &c), 0);
    EXPECT_EQ(slurp(file("out")), with(defaults, "snmp remote community read",
                                       "ddw`wm\n" + hosts.substr(0, hosts.rfind("snmp host") - 1)));
}

TEST_F(ConfigFiles, Version120GetsItsFixUps) {
    std::string old = with(defaults, "config version", "1.2.0");
    old = with(old, "snmp location name", "");
    old = with(old, "[0] station name", "x");
    old = with(old, "[0] mode", "5");
    old = with(old, "sntp activate", "0");
    old = with(old, "sntp interval", "0");
    old = with(old, "snmp community read", "walnut"); // 1.2.0 kept them plain
    old = with(old, "snmp community write", "juniper");
    old = with(old, "snmp community trap", "walnut");
    old = with(old, "snmp remote community read", std::nullopt);
    std::ofstream(file("c")) << old;
    EXPECT_EQ(config_convert(file("c").c_str()), 1);
    EXPECT_EQ(slurp(file("c")), defaults);
    EXPECT_EQ(config_convert(file("c").c_str()), 0);
    std::ofstream(file("v")) << with(defaults, "config version", "1.1.9");
    EXPECT_EQ(config_convert(file("v").c_str()), 1);
    EXPECT_EQ(slurp(file("v")), defaults);
}

TEST_F(ConfigFiles, HostEditsOnTheActiveFile) {
    std::string hosts;
    for (const char *h : {"10.0.0.10", "10.0.0.1", "10.0.0.2"})
        hosts += std::string("snmp host.................: ") + h + "\n";
    std::ofstream(file("config.active")) << defaults << hosts;
    EXPECT_EQ(in_root([] { return config_remove_snmp_host("10.0.0.1"); }), 0);
    EXPECT_EQ(in_root([] { return config_remove_snmp_host("10.0.0.3"); }), 22);
    EXPECT_EQ(in_root([] { return config_add_snmp_host("10.0.0.4"); }), 0);
    EXPECT_EQ(slurp(file("config.active")),
              with(defaults, "snmp remote community read",
                   "ddw`wm\nsnmp host.................: 10.0.0.10\n"
                   "snmp host.................: 10.0.0.2\nsnmp host.................: 10.0.0.4"));
}

TEST_F(ConfigFiles, FullHostListEdits) {
    std::string full, rest;
    for (int i = 0; i < 100; ++i) {
        full += "snmp host.................: h" + std::to_string(i) + "\n";
        rest += i == 50 ? "" : "snmp host.................: h" + std::to_string(i) + "\n";
    }
    std::ofstream(file("config.active")) << defaults << full;
    EXPECT_EQ(in_root([] { return config_add_snmp_host("one too many"); }), 12);
    // The last entry moves up one place and must not stay behind as well.
    EXPECT_EQ(in_root([] { return config_remove_snmp_host("h50"); }), 0);
    rest.pop_back();
    EXPECT_EQ(slurp(file("config.active")),
              with(defaults, "snmp remote community read", "ddw`wm\n" + rest));
}

TEST_F(ConfigFiles, UnreadableActiveFileIsNeverReplaced) {
    ASSERT_EQ(symlink("config.active", file("config.active").c_str()), 0); // a loop
    EXPECT_EQ(in_root([] { return config_add_snmp_host("10.0.0.4"); }), 1);
    struct stat st;
    EXPECT_TRUE(lstat(file("config.active").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

} // namespace
