// swap as shipped, on the appliance: the boot-loader configuration it hands
// to /sbin/lilo, the old-release conversion (also what an interrupted run
// left of one), FIFOs in place of its files, and the restart signal.
#include "e2e.h"

#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

const std::string swapped = "\n  System is swapped.\n  We are going to reboot.\n\n";

// A file as an interrupted run left it.
struct Leftover {
    const char *path;
    std::string content;
};

struct SwapCase {
    const char *name, *state, *prep;
    std::vector<Leftover> leftovers;
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
const std::string old_failed = old_console + "\n  swap: swap to an old system failed\n";
const std::string old_form = golden("config.old-release");
// Whatever a run leaves in /cfg beyond this is a leftover.
const std::string cfg_files = ".update.lock\n.update.state\nconfig.active\nconfig.default\n";

// clang-format off
const SwapCase swap_cases[] = {
    {"InstallsTheStandbyAndRestarts", verdict, "", {}, 0, 0, swapped, {SIGPWR}, true, false},
    {"MarkerWithoutLineEnd", verdict, "printf /dev/hda2 > /.standby_partition", {}, 0, 0, swapped,
     {SIGPWR}, true, false},
    {"StateFileRefuses", "Don't swap the system\n", "", {}, 0, 1,
     "  swap: error on installed standby system\n\n", {}, false, false},
    {"StateFileThatIsAFifo", "", "rm /cfg/.update.state; mkfifo /cfg/.update.state", {}, 0, 1,
     "  swap: cannot read or create /cfg/.update.state, not swapping\n\n", {}, false, false},
    {"MarkerThatIsAFifo", verdict, "rm /.active_partition; mkfifo /.active_partition", {}, 0, 2,
     "", {}, false, false},
    {"StaleListingThatIsAFifo", verdict, "mkfifo /.sp_contens", {}, 0, 0, swapped, {SIGPWR}, true,
     false},
    {"VersionFileThatIsAFifo", verdict,
     "rm /standby_partition/.version; mkfifo /standby_partition/.version", {}, 0, 1,
     "  swap: /standby_partition/.version is not a regular file, not swapping\n", {}, false, false},
    {"FailingInstallerChangesNoConfiguration", verdict, old_release, {}, 1, 1,
     old_console + "  swap: failed (/bin/sh -c \"/sbin/lilo -C /.lilo.conf > /dev/null\" [256])\n",
     {}, true, false},
    {"MissingMarkerEndsSilently", verdict, "rm /.active_partition", {}, 0, 2, "", {}, false, false},
    {"OldReleaseConvertsBothConfigurations", verdict, old_release, {}, 0, 0, old_console + swapped,
     {SIGPWR}, true, true},
    {"FailedConversionLeavesTheBootLoaderAlone", verdict,
     "echo nimbotex.1.1.1 > /standby_partition/.version\n"
     "mount -o bind /cfg /cfg && mount -o remount,bind,ro /cfg",
     {}, 0, 1, old_failed, {}, false, false},
    // Stopped between the two renames: config.default is converted already.
    {"FinishesACommittedConversion", verdict, old_release,
     {{"/cfg/config.default", old_form}, {"/cfg/config.active.swap", old_form},
      {"/cfg/.swap.commit", ""}},
     0, 0, old_console + swapped, {SIGPWR}, true, true},
    // Stopped before the boot loader was installed: nothing is taken from it.
    {"DiscardsAnUncommittedConversion", verdict, "",
     {{"/cfg/config.default.swap", old_form}, {"/cfg/config.active.swap", "[0] mode...\n"}},
     0, 0, swapped, {SIGPWR}, true, false},
};
// clang-format on

// A box whose standby partition holds a current release; a test's prep can make it an old one.
ApplianceOptions swap_options(const Scratch &tmp, int lilo_status) {
    EXPECT_FALSE(make_image(tmp.path, "active.img", "nimbotex.2.0.0").empty());
    EXPECT_FALSE(make_image(tmp.path, "standby.img", "nimbotex.3.3.0").empty());
    ApplianceOptions o = appliance_default_options();
    o.active_tree = tmp.path + "/tree-active.img";
    o.standby_tree = tmp.path + "/tree-standby.img";
    o.lilo_status = lilo_status;
    return o;
}

// The state file, the default configuration in both configuration files, the
// lock file an earlier update left, then prep.
bool prepare(Appliance *a, const char *state, const std::string &prep) {
    return appliance_write_file(a, "/cfg/.update.state", state) &&
           appliance_write_file(a, "/cfg/.update.lock", "") &&
           appliance_write_file(a, "/cfg/config.default", golden("config.default")) &&
           appliance_write_file(a, "/cfg/config.active", golden("config.default")) &&
           exit_code(appliance_run(a, {"sh", "-c", prep + "\n:"})) == 0;
}

class SwapRun : public ::testing::TestWithParam<SwapCase> {};

TEST_P(SwapRun, ConsoleInstallerAndSignals) {
    const SwapCase &c = GetParam();
    Scratch tmp;
    Appliance1 box(swap_options(tmp, c.lilo_status));
    ASSERT_NE(box.a, nullptr);
    ASSERT_TRUE(prepare(box.a, c.state, c.prep));
    for (const Leftover &l : c.leftovers)
        ASSERT_TRUE(appliance_write_file(box.a, l.path, l.content));

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
    EXPECT_EQ(appliance_run(box.a, {"ls", "-A", "/cfg"}).out, cfg_files);
    if (c.exit == 0) {
        EXPECT_EQ(args, "-C\n/.lilo.conf\n");
        EXPECT_EQ(appliance_read_file(box.a, "/var/lilo/conf"), golden("lilo.conf"));
        EXPECT_EQ(appliance_run(box.a, {"ls", "-a", "/"}).out.find("contens"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, SwapRun, ::testing::ValuesIn(swap_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The operator's way out of a failed conversion: repair the file, swap again.
TEST(SwapAgain, AfterAFailedConversionEachFileIsConvertedOnce) {
    Scratch tmp;
    Appliance1 box(swap_options(tmp, 0));
    ASSERT_NE(box.a, nullptr);
    ASSERT_TRUE(prepare(box.a, verdict,
                        old_release + std::string("rm /cfg/config.active\n"
                                                  "ln -s config.active /cfg/config.active")));
    ApplianceResult r = appliance_run(box.a, {"swap"}, 20);
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.out, old_failed);
    bool ran;
    appliance_read_file(box.a, "/var/lilo/args", &ran);
    EXPECT_FALSE(ran);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.default"), golden("config.default"));
    EXPECT_EQ(appliance_run(box.a, {"ls", "-A", "/cfg"}).out, cfg_files);

    ASSERT_EQ(exit_code(appliance_run(box.a, {"rm", "/cfg/config.active"})), 0);
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/config.active", golden("config.default"), 0600));
    r = appliance_run(box.a, {"swap"}, 20);
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.out, old_console + swapped);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.default"), old_form);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/config.active"), old_form);
    // The converted file takes the place of the old one, and its permissions.
    EXPECT_EQ(appliance_run(box.a, {"stat", "-c", "%a", "/cfg/config.active"}).out, "600\n");
    EXPECT_EQ(appliance_init_signals(box.a), std::vector<int>{SIGPWR});
}

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
