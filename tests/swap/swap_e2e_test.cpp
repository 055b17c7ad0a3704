// swap on a simulated appliance: the shipped binary, the real shell and ls,
// a recording /sbin/lilo and an init stand-in that records its signals.

#include "config.h"
#include "lilo_conf.h"
#include "sandbox.h"
#include "temp_dir.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

constexpr const char *allowed = "You can swap the system\n";
constexpr const char *swapped = "\n  System is swapped.\n  We are going to reboot.\n\n";
constexpr const char *refused = "  swap: error on installed standby system\n\n";
constexpr int timeout_s = 120;

int exit_code(const SandboxResult &r) {
    return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

class SwapRun : public ::testing::Test {
  protected:
    TempDir host;
    Sandbox *box = nullptr;

    // Two partitions as a field unit has them; the standby one holds two
    // kernels, of which ls lists bzImage-2.6.9 last.
    SandboxOptions options() {
        std::filesystem::create_directories(host / "active");
        std::filesystem::create_directories(host / "standby");
        for (const char *f : {"bzImage-2.4.20", "RFS-2.2.5.gz", "boot.b", "map"})
            write_text(host / "active/" + f, f);
        for (const char *f : {"bzImage-2.4.20", "bzImage-2.6.9", "RFS-2.2.6.gz", "boot.b", "map"})
            write_text(host / "standby/" + f, f);
        write_text(host / "standby/.version", "nimbotex.2.2.6\n");
        SandboxOptions o = sandbox_default_options();
        o.update_bin.clear(); // not needed here
        o.active_tree = host / "active";
        o.standby_tree = host / "standby";
        return o;
    }
    void start(const SandboxOptions &o) {
        std::string err;
        box = sandbox_create(o, &err);
        ASSERT_NE(box, nullptr) << err;
    }
    void TearDown() override {
        if (box)
            sandbox_destroy(box);
    }
    SandboxResult swap(std::vector<std::string> args = {}) {
        args.insert(args.begin(), "swap");
        return sandbox_run(box, args, timeout_s);
    }
    bool exists(const std::string &path) {
        bool found = false;
        sandbox_read_file(box, path, &found);
        return found;
    }
    std::string expected_lilo_conf(const char *standby_device) {
        PartitionInfo standby{}, active{};
        std::strcpy(standby.device, standby_device);
        std::strcpy(standby.initrd, "RFS-2.2.6.gz");
        std::strcpy(standby.kernel, "bzImage-2.6.9");
        std::strcpy(active.device, "/dev/hda1");
        std::strcpy(active.initrd, "RFS-2.2.5.gz");
        std::strcpy(active.kernel, "bzImage-2.4.20");
        lilo_conf_write((host / "expected.conf").c_str(), &standby, &active);
        return read_text(host / "expected.conf");
    }
};

TEST_F(SwapRun, CommandLineOnlyTheLastArgumentCounts) {
    ASSERT_NO_FATAL_FAILURE(start(options()));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    const std::string banner = "\n  swap: v1.10 (nimbotex maintenance)\n\n";
    const std::string usage = "\n  usage:  -v  for Version\n          -h  for help\n\n";
    const std::string invalid = "\n  invalid argument\n\n";
    struct Case {
        std::vector<std::string> args;
        const std::string &out;
        int code;
    } cases[] = {
        {{"-v"}, banner, 0},       {{"-h"}, usage, 0},         {{"-x"}, invalid, 1},
        {{"-x", "-v"}, banner, 0}, {{"-v", "-x"}, invalid, 1}, {{"-v", "-h"}, usage, 0},
        {{"-vv"}, invalid, 1},     {{""}, invalid, 1},
    };
    for (const Case &c : cases) {
        SandboxResult r = swap(c.args);
        EXPECT_EQ(r.out, c.out) << c.args.back();
        EXPECT_EQ(exit_code(r), c.code) << c.args.back();
    }
    // Arguments never swap.
    EXPECT_FALSE(exists("/.ap_contens"));
    EXPECT_FALSE(exists("/var/lilo/args"));
    EXPECT_TRUE(sandbox_init_signals(box).empty());
}

TEST_F(SwapRun, InstallsTheStandbyPartitionAndSignalsInit) {
    ASSERT_NO_FATAL_FAILURE(start(options()));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    SandboxResult r = swap();
    EXPECT_EQ(r.out, swapped);
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_EQ(sandbox_read_file(box, "/var/lilo/args"), "-C\n/.lilo.conf\n");
    EXPECT_EQ(sandbox_read_file(box, "/var/lilo/conf"), expected_lilo_conf("/dev/hda2"));
    EXPECT_EQ(sandbox_read_file(box, "/var/lilo/missing"), "");
    for (const char *tmp : {"/.ap_contens", "/.sp_contens", "/.lilo.conf"})
        EXPECT_FALSE(exists(tmp)) << tmp;
    EXPECT_EQ(sandbox_read_file(box, "/cfg/.update.state"), allowed);
    EXPECT_EQ(sandbox_init_signals(box), std::vector<int>{30});
}

TEST_F(SwapRun, MarkerWithoutLineEndKeepsItsLastDigit) {
    SandboxOptions o = options();
    o.standby_marker_text = "/dev/hda2";
    ASSERT_NO_FATAL_FAILURE(start(o));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    SandboxResult r = swap();
    EXPECT_EQ(exit_code(r), 0) << r.out << r.err;
    EXPECT_EQ(sandbox_read_file(box, "/var/lilo/conf"), expected_lilo_conf("/dev/hda2"));
}

TEST_F(SwapRun, StateFileDecides) {
    ASSERT_NO_FATAL_FAILURE(start(options()));
    const std::string state = sandbox_root(box) + "/cfg/.update.state";
    const char *second_line = "Download progress 100%\nYou can swap the system\n";
    struct Case {
        const char *content; // nullptr: no file; "->": a link into a missing directory
        const char *out;
        const char *after; // nullptr: no readable file afterwards
    } cases[] = {
        {nullptr, refused, "Don't swap the system\n"},
        {second_line, refused, second_line},
        {"->", "  swap: cannot read or create /cfg/.update.state, not swapping\n\n", nullptr},
    };
    for (const Case &c : cases) {
        std::filesystem::remove(state);
        if (c.content && std::strcmp(c.content, "->") == 0) {
            ASSERT_EQ(symlink("/no/such/dir/.update.state", state.c_str()), 0);
        } else if (c.content) {
            ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", c.content));
        }
        SandboxResult r = swap();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(exit_code(r), 1);
        bool found = false;
        std::string after = sandbox_read_file(box, "/cfg/.update.state", &found);
        EXPECT_EQ(found, c.after != nullptr);
        if (c.after) {
            EXPECT_EQ(after, c.after);
        }
    }
    EXPECT_FALSE(exists("/.ap_contens"));
    EXPECT_TRUE(sandbox_init_signals(box).empty());
}

TEST_F(SwapRun, FailingInstallerChangesNothing) {
    SandboxOptions o = options();
    o.lilo_status = 1;
    write_text(host / "standby/.version", "nimbotex.1.1.1\n");
    ASSERT_NO_FATAL_FAILURE(start(o));
    const std::string config = "[0] mode..................: ap\n";
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/config.active", config));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    SandboxResult r = swap();
    EXPECT_EQ(r.out,
              "\n  swap: swap to an old system\n"
              "  swap: failed (/bin/sh -c \"/sbin/lilo -C /.lilo.conf > /dev/null\" [256])\n");
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(sandbox_read_file(box, "/cfg/config.active"), config);
    for (const char *tmp : {"/.ap_contens", "/.sp_contens", "/.lilo.conf"})
        EXPECT_TRUE(exists(tmp)) << tmp;
    EXPECT_TRUE(sandbox_init_signals(box).empty());
}

TEST_F(SwapRun, MissingMarkerFileEndsSilentlyWithTwo) {
    SandboxOptions o = options();
    o.standby_marker = false;
    ASSERT_NO_FATAL_FAILURE(start(o));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    SandboxResult r = swap();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(exit_code(r), 2);
    ASSERT_TRUE(sandbox_write_file(box, "/.standby_partition", "/dev/hda2\n"));
    ASSERT_EQ(exit_code(sandbox_run(box, {"rm", "/.active_partition"})), 0);
    r = swap();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(exit_code(r), 2);
    EXPECT_FALSE(exists("/.lilo.conf"));
    EXPECT_TRUE(sandbox_init_signals(box).empty());
}

TEST_F(SwapRun, OldReleaseConvertsBothConfigurationFiles) {
    ASSERT_NO_FATAL_FAILURE(start(options()));
    nimbotex_config config{};
    config_set_defaults(&config);
    std::strcpy(config.channel0_mode, "ap");
    std::strcpy(config.channel1_mode, "sta");
    std::strcpy(config.snmp_community_read, "public");
    std::strcpy(config.snmp_community_write, "private");
    std::strcpy(config.snmp_community_trap, "traps");
    std::strcpy(config.snmp_remote_community_read, "remote");
    std::strcpy(config.channel0_encryption_key, "secretkey0");
    std::strcpy(config.email_passwd_1, "mailpass1");
    ASSERT_EQ(config_write_file((host / "config").c_str(), &config), CONFIG_OK);
    const std::string original = read_text(host / "config");
    struct Case {
        const char *version; // nullptr: no version file
        bool converted;
    } cases[] = {
        {"nimbotex.1.1.1\n", true},
        {"nimbotex.1.1.10 beta build for the field\n", true},
        {"nimbotex.1.0.1\n", false},
        {nullptr, false},
    };
    for (const Case &c : cases) {
        const char *label = c.version ? c.version : "(no .version)";
        for (const char *path : {"/cfg/config.default", "/cfg/config.active"})
            ASSERT_TRUE(sandbox_write_file(box, path, original));
        if (c.version) {
            ASSERT_TRUE(sandbox_write_file(box, "/standby_partition/.version", c.version));
        } else {
            ASSERT_EQ(exit_code(sandbox_run(box, {"rm", "/standby_partition/.version"})), 0);
        }
        ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
        SandboxResult r = swap();
        EXPECT_EQ(r.out,
                  std::string(c.converted ? "\n  swap: swap to an old system\n" : "") + swapped)
            << label;
        EXPECT_EQ(exit_code(r), 0) << label;
        for (const char *path : {"/cfg/config.default", "/cfg/config.active"}) {
            const std::string text = sandbox_read_file(box, path);
            if (!c.converted) {
                EXPECT_EQ(text, original) << label << path;
                continue;
            }
            const std::string lines[] = {
                "[0] mode..................: \n",
                "[1] mode..................: \n",
                "snmp community read.......: public\n",
                "snmp community write......: private\n",
                "snmp community trap.......: traps\n",
                "snmp remote community read: remote\n",
                std::string(config_labels[0]) + config.config_version + "\n",
            };
            for (const std::string &line : lines)
                EXPECT_NE(text.find(line), std::string::npos) << path << line;
            EXPECT_EQ(text.find("secretkey0"), std::string::npos) << path;
            EXPECT_EQ(text.find("mailpass1"), std::string::npos) << path;
            write_text(host / "back", text);
            nimbotex_config back{};
            ASSERT_EQ(config_read_file((host / "back").c_str(), &back), CONFIG_OK);
            EXPECT_STREQ(back.channel0_encryption_key, "secretkey0") << path;
            EXPECT_STREQ(back.email_passwd_1, "mailpass1") << path;
        }
    }
}

TEST_F(SwapRun, UnreadableConfigurationIsNotFabricated) {
    SandboxOptions o = options();
    write_text(host / "standby/.version", "nimbotex.1.0.0\n");
    ASSERT_NO_FATAL_FAILURE(start(o));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    SandboxResult r = swap();
    EXPECT_EQ(exit_code(r), 0) << r.out;
    EXPECT_FALSE(exists("/cfg/config.default"));
    EXPECT_FALSE(exists("/cfg/config.active"));
}

} // namespace

namespace {

TEST_F(SwapRun, FailedConversionIsReportedAndDoesNotRestart) {
    SandboxOptions o = options();
    write_text(host / "standby/.version", "nimbotex.1.1.1\n");
    ASSERT_NO_FATAL_FAILURE(start(o));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/config.default", "[0] mode..................: ap\n"));
    ASSERT_TRUE(sandbox_write_file(box, "/cfg/.update.state", allowed));
    ASSERT_EQ(exit_code(sandbox_run(
                  box, {"sh", "-c", "mount -o bind /cfg /cfg && mount -o remount,bind,ro /cfg"})),
              0);
    SandboxResult r = swap();
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.out, "\n  swap: swap to an old system\n\n  swap: swap to an old system failed\n");
    EXPECT_EQ(sandbox_read_file(box, "/cfg/config.default"), "[0] mode..................: ap\n");
    EXPECT_EQ(sandbox_init_signals(box), std::vector<int>{});
}

TEST_F(SwapRun, StateFileThatIsAFifoDoesNotHang) {
    ASSERT_NO_FATAL_FAILURE(start(options()));
    ASSERT_EQ(exit_code(sandbox_run(box, {"mkfifo", "/cfg/.update.state"})), 0);
    SandboxResult r = sandbox_run(box, {"swap"}, 20);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.out, "  swap: cannot read or create /cfg/.update.state, not swapping\n\n");
    EXPECT_EQ(sandbox_init_signals(box), std::vector<int>{});
}

} // namespace
