// swap as shipped, on the appliance: the boot-loader configuration it hands
// to /sbin/lilo, the old-release conversion and the restart signal.
#include "e2e.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string golden(const char *name) {
    return slurp(std::string(NIMBO_GOLDEN_DIR) + "/" + name);
}

const std::string swapped = "\n  System is swapped.\n  We are going to reboot.\n\n";

struct SwapCase {
    const char *name, *state, *standby_version, *prep;
    int lilo_status, exit;
    std::string console;
    std::vector<int> signals;
};
void PrintTo(const SwapCase &c, std::ostream *os) { *os << c.name; }

const SwapCase swap_cases[] = {
    {"InstallsTheStandbyAndRestarts", "You can swap the system\n", "nimbotex.3.3.0", "", 0, 0,
     swapped, {SIGPWR}},
    {"MarkerWithoutLineEnd", "You can swap the system\n", "nimbotex.3.3.0",
     "printf /dev/hda2 > /.standby_partition", 0, 0, swapped, {SIGPWR}},
    {"StateFileRefuses", "Don't swap the system\n", "nimbotex.3.3.0", "", 0, 1,
     "  swap: error on installed standby system\n\n", {}},
    {"FailingInstallerStopsBeforeTheRestart", "You can swap the system\n", "nimbotex.3.3.0", "",
     1, 1, "  swap: failed (/bin/sh -c \"/sbin/lilo -C /.lilo.conf > /dev/null\" [256])\n", {}},
    {"MissingMarkerEndsSilently", "You can swap the system\n", "nimbotex.3.3.0",
     "rm /.active_partition", 0, 2, "", {}},
    {"OldReleaseConvertsBothConfigurations", "You can swap the system\n", "nimbotex.1.1.1",
     "echo nimbotex.1.1.1 > /standby_partition/.version",
     0, 0, "\n  swap: swap to an old system\n" + swapped, {SIGPWR}},
};

class SwapRun : public ::testing::TestWithParam<SwapCase> {};

TEST_P(SwapRun, ConsoleInstallerAndSignals) {
    const SwapCase &c = GetParam();
    Scratch tmp;
    ASSERT_FALSE(make_image(tmp.path, "active.img", "nimbotex.2.0.0").empty());
    ASSERT_FALSE(make_image(tmp.path, "standby.img", "nimbotex.3.3.0").empty());
    ApplianceOptions o = appliance_default_options();
    o.active_tree = tmp.path + "/tree-active.img";
    o.standby_tree = tmp.path + "/tree-standby.img";
    o.lilo_status = c.lilo_status;
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    const std::string config = golden("config.default");
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/.update.state", c.state));
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/config.default", config));
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/config.active", config));
    ASSERT_EQ(exit_code(appliance_run(box.a, {"sh", "-c", std::string(c.prep) + "\n:"})), 0);

    ApplianceResult r = appliance_run(box.a, {"swap"});
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(r.out, c.console);
    EXPECT_EQ(appliance_init_signals(box.a), c.signals);
    bool ran;
    std::string args = appliance_read_file(box.a, "/var/lilo/args", &ran);
    EXPECT_EQ(ran, c.exit == 0 || c.lilo_status != 0);
    if (c.exit == 0) {
        EXPECT_EQ(args, "-C\n/.lilo.conf\n");
        EXPECT_EQ(appliance_read_file(box.a, "/var/lilo/conf"), golden("lilo.conf"));
        EXPECT_EQ(appliance_run(box.a, {"ls", "-a", "/"}).out.find("contens"), std::string::npos);
        bool old = c.standby_version == std::string("nimbotex.1.1.1");
        std::string want = old ? golden("config.old-release") : config;
        EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.default"), want);
        EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.active"), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, SwapRun, ::testing::ValuesIn(swap_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Host processes (by command line), loop devices and folders that name base.
std::string traces(const std::string &base) {
    std::string found;
    for (const char *dir : {"/proc", "/sys/block"}) {
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            std::string p = e.path().string();
            std::string file = slurp(p + (dir[1] == 'p' ? "/cmdline" : "/loop/backing_file"));
            if (file.find(base) != std::string::npos)
                found += p + "\n";
        }
    }
    return found + (std::filesystem::exists(base) ? base : "");
}

TEST(ApplianceLifecycle, DestroyLeavesNoMountLoopProcessOrFolder) {
    Scratch ftp;
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = ftp.path;
    std::string err;
    Appliance *a = appliance_create(o, &err);
    ASSERT_NE(a, nullptr) << err;
    std::string base = appliance_root(a).substr(0, appliance_root(a).rfind('/'));
    int init = appliance_init_pid(a);
    appliance_spawn(a, {"sleep", "60"});
    EXPECT_NE(traces(base), ""); // vsftpd and the loop devices are found while it lives
    appliance_destroy(a);
    EXPECT_EQ(traces(base), "");
    EXPECT_NE(kill(init, 0), 0);
    std::ifstream mounts("/proc/self/mountinfo");
    std::string all((std::istreambuf_iterator<char>(mounts)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find(base), std::string::npos);
}

} // namespace
