// swap as shipped, on the appliance: the boot-loader configuration it hands
// to /sbin/lilo, the old-release conversion and the restart signal.
#include "e2e.h"

#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

const std::string swapped = "\n  System is swapped.\n  We are going to reboot.\n\n";

struct SwapCase {
    const char *name, *state, *prep;
    int lilo_status, exit;
    std::string console;
    std::vector<int> signals;
    bool lilo_ran;
    bool converted; // both configuration files end in their old-release form
};
void PrintTo(const SwapCase &c, std::ostream *os) {
    *os << c.name;
}

const char *const verdict = "You can swap the system\n";
const char *const old_release = "echo nimbotex.1.1.1 > /standby_partition/.version\n";
const std::string old_console = "\n  swap: swap to an old system\n";

// clang-format off
const SwapCase swap_cases[] = {
    {"InstallsTheStandbyAndRestarts", verdict, "", 0, 0, swapped, {SIGPWR}, true, false},
    {"MarkerWithoutLineEnd", verdict, "printf /dev/hda2 > /.standby_partition", 0, 0, swapped,
     {SIGPWR}, true, false},
    {"StateFileRefuses", "Don't swap the system\n", "", 0, 1,
     "  swap: error on installed standby system\n\n", {}, false, false},
    {"StateFileThatIsAFifo", "", "rm /cfg/.update.state; mkfifo /cfg/.update.state", 0, 1,
     "  swap: cannot read or create /cfg/.update.state, not swapping\n\n", {}, false, false},
    {"FailingInstallerStopsBeforeTheRestart", verdict, old_release, 1, 1,
     old_console + "  swap: failed (/bin/sh -c \"/sbin/lilo -C /.lilo.conf > /dev/null\" [256])\n",
     {}, true, false},
    {"MissingMarkerEndsSilently", verdict, "rm /.active_partition", 0, 2, "", {}, false, false},
    {"OldReleaseConvertsBothConfigurations", verdict, old_release, 0, 0, old_console + swapped,
     {SIGPWR}, true, true},
    {"FailedConversionStopsBeforeTheRestart", verdict,
     "echo nimbotex.1.1.1 > /standby_partition/.version\n"
     "mount -o bind /cfg /cfg && mount -o remount,bind,ro /cfg",
     0, 1, old_console + "\n  swap: swap to an old system failed\n", {}, true, false},
};
// clang-format on

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
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/.update.state", c.state));
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/config.default", golden("config.default")));
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/config.active", golden("config.default")));
    ASSERT_EQ(exit_code(appliance_run(box.a, {"sh", "-c", std::string(c.prep) + "\n:"})), 0);

    ApplianceResult r = appliance_run(box.a, {"swap"}, 20);
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(r.out, c.console);
    EXPECT_EQ(appliance_init_signals(box.a), c.signals);
    bool ran;
    std::string args = appliance_read_file(box.a, "/var/lilo/args", &ran);
    EXPECT_EQ(ran, c.lilo_ran);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.default"),
              golden(c.converted ? "config.old-release" : "config.default"));
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.active"),
              golden(c.converted ? "config.old-release" : "config.default"));
    if (c.exit == 0) {
        EXPECT_EQ(args, "-C\n/.lilo.conf\n");
        EXPECT_EQ(appliance_read_file(box.a, "/var/lilo/conf"), golden("lilo.conf"));
        EXPECT_EQ(appliance_run(box.a, {"ls", "-a", "/"}).out.find("contens"), std::string::npos);
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
    if (slurp("/proc/self/mountinfo").find(base) != std::string::npos)
        found += "a mount\n";
    return found + (std::filesystem::exists(base) ? base : "");
}

TEST(ApplianceLifecycle, DestroyLeavesNoMountLoopProcessOrFolder) {
    Scratch ftp;
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = ftp.path;
    o.dns_records = {"ftp.example.test,127.0.0.1"};
    std::string err;
    Appliance *a = appliance_create(o, &err);
    ASSERT_NE(a, nullptr) << err;
    std::string base = appliance_root(a).substr(0, appliance_root(a).rfind('/'));
    int init = appliance_init_pid(a);
    appliance_spawn(a, {"sleep", "60"});
    EXPECT_NE(traces(base), ""); // the servers and the loop devices are found while it lives
    appliance_destroy(a);
    EXPECT_EQ(traces(base), "");
    EXPECT_NE(kill(init, 0), 0);
}

} // namespace
