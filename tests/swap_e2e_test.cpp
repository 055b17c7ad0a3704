// swap as shipped, on the appliance: the boot-loader configuration it hands
// to /sbin/lilo, the old-release conversion (also what an interrupted run
// left of one), FIFOs in place of its files, and the restart signal.
#include "e2e.h"

#include <csignal>

namespace {

const std::string swapped = "\n  System is swapped.\n  We are going to reboot.\n\n";

// A run that ends with 0 has had lilo install the boot loader and signalled
// process 1; one that fails has signalled nothing.
struct SwapCase {
    const char *name, *prep; // prep: after the verdict and the default configuration
    std::vector<std::pair<const char *, std::string>> leftovers; // as an interrupted run left them
    int lilo_status, exit;
    std::string console;
    bool converted; // both configuration files end in their old-release form
};
void PrintTo(const SwapCase &c, std::ostream *os) {
    *os << c.name;
}

#define OLD_RELEASE "echo nimbotex.1.1.1 > /standby_partition/.version\n"
const std::string old_console = "\n  swap: swap to an old system\n";
const std::string old_failed = old_console + "\n  swap: swap to an old system failed\n";
const std::string old_form = golden("config.old-release"), default_form = golden("config.default");
// Whatever a run leaves in /cfg beyond this is a leftover.
const std::string cfg_files = ".update.lock\n.update.state\nconfig.active\nconfig.default\n";

// clang-format off
const SwapCase swap_cases[] = {
    {"InstallsTheStandbyAndRestarts", "", {}, 0, 0, swapped, false},
    {"MarkerWithoutLineEnd", "printf /dev/hda2 > /.standby_partition", {}, 0, 0, swapped, false},
    {"StateFileRefuses", "echo \"Don't swap the system\" >/cfg/.update.state", {}, 0, 1,
     "  swap: error on installed standby system\n\n", false},
    {"StateFileThatIsAFifo", "rm /cfg/.update.state; mkfifo /cfg/.update.state", {}, 0, 1,
     "  swap: cannot read or create /cfg/.update.state, not swapping\n\n", false},
    {"MarkerThatIsAFifo", "rm /.active_partition; mkfifo /.active_partition", {}, 0, 2, "", false},
    {"StaleListingThatIsAFifo", "mkfifo /.sp_contens", {}, 0, 0, swapped, false},
    {"VersionFileThatIsAFifo", "rm /standby_partition/.version; mkfifo /standby_partition/.version",
     {}, 0, 1, "  swap: /standby_partition/.version is not a regular file, not swapping\n", false},
    {"FailingInstallerChangesNoConfiguration", OLD_RELEASE, {}, 1, 1,
     old_console + "  swap: failed (/bin/sh -c \"/sbin/lilo -C /.lilo.conf > /dev/null\" [256])\n",
     false},
    {"MissingMarkerEndsSilently", "rm /.active_partition", {}, 0, 2, "", false},
    {"OldReleaseConvertsBothConfigurations", OLD_RELEASE, {}, 0, 0, old_console + swapped, true},
    {"FailedConversionLeavesTheBootLoaderAlone", OLD_RELEASE "mount -o bind /cfg /cfg && "
     "mount -o remount,bind,ro /cfg", {}, 0, 1, old_failed, false},
    // Stopped between the two renames: config.default is converted already.
    {"FinishesACommittedConversion", OLD_RELEASE, {{"/cfg/config.default", old_form},
     {"/cfg/config.active.swap", old_form}, {"/cfg/.swap.commit", ""}}, 0, 0,
     old_console + swapped, true},
    // Stopped before the boot loader was installed: nothing is taken from it.
    // A temporary file of a writer that died goes too.
    {"DiscardsAnUncommittedConversion", "", {{"/cfg/config.default.swap", old_form},
     {"/cfg/config.active.swap", "[0] mode...\n"}, {"/cfg/config.active.tmp777.0", "half"}}, 0, 0,
     swapped, false},
};
// clang-format on

// A box whose standby partition holds a current release; prep can make it an old one.
ApplianceOptions swap_options(const Scratch &tmp, int lilo_status) {
    EXPECT_TRUE(!make_image(tmp.path, "active.img", "nimbotex.2.0.0").empty() &&
                !make_image(tmp.path, "standby.img", "nimbotex.3.3.0").empty());
    ApplianceOptions o = appliance_default_options();
    o.active_tree = tmp.path + "/tree-active.img";
    o.standby_tree = tmp.path + "/tree-standby.img";
    o.lilo_status = lilo_status;
    return o;
}

// The verdict, the default configuration in both configuration files, the
// lock file an earlier update left, then prep.
bool prepare(Appliance *a, const std::string &prep) {
    return appliance_write_file(a, "/cfg/.update.state", "You can swap the system\n") &&
           appliance_write_file(a, "/cfg/.update.lock", "") &&
           appliance_write_file(a, "/cfg/config.default", default_form) &&
           appliance_write_file(a, "/cfg/config.active", default_form) && sh_in(a, prep);
}

// One swap run: its exit code and console, the files lilo was handed.
void swap_once(Appliance *a, int exit, const std::string &console, bool lilo_ran) {
    ApplianceResult r = appliance_run(a, {"swap"}, 20);
    EXPECT_EQ(exit_code(r), exit);
    EXPECT_EQ(r.out, console);
    bool ran;
    std::string args = appliance_read_file(a, "/var/lilo/args", &ran);
    EXPECT_EQ(ran, lilo_ran);
    if (exit == 0) {
        EXPECT_EQ(args, "-C\n/.lilo.conf\n");
        EXPECT_EQ(appliance_read_file(a, "/var/lilo/conf"), golden("lilo.conf"));
        EXPECT_EQ(appliance_run(a, {"ls", "-a", "/"}).out.find("contens"), std::string::npos);
    }
    EXPECT_EQ(appliance_run(a, {"ls", "-A", "/cfg"}).out, cfg_files);
}

class SwapRun : public ::testing::TestWithParam<SwapCase> {};

TEST_P(SwapRun, ConsoleInstallerAndSignals) {
    const SwapCase &c = GetParam();
    Scratch tmp;
    Appliance1 box(swap_options(tmp, c.lilo_status));
    Appliance *a = box.a;
    ASSERT_TRUE(a != nullptr && prepare(a, c.prep));
    for (const auto &[path, content] : c.leftovers)
        EXPECT_TRUE(appliance_write_file(a, path, content));
    swap_once(a, c.exit, c.console, c.exit == 0 || c.lilo_status != 0);
    EXPECT_EQ(appliance_init_signals(a),
              c.exit == 0 ? std::vector<int>{SIGPWR} : std::vector<int>{});
    EXPECT_EQ(appliance_read_file(a, "/cfg/config.default"), c.converted ? old_form : default_form);
    EXPECT_EQ(appliance_read_file(a, "/cfg/config.active"), c.converted ? old_form : default_form);
}

INSTANTIATE_TEST_SUITE_P(Runs, SwapRun, ::testing::ValuesIn(swap_cases), row_name);

// The operator's way out of a failed conversion: repair the file, swap again.
TEST(SwapAgain, AfterAFailedConversionEachFileIsConvertedOnce) {
    Scratch tmp;
    Appliance1 box(swap_options(tmp, 0));
    Appliance *a = box.a;
    ASSERT_TRUE(a != nullptr && prepare(a, OLD_RELEASE "ln -sf config.active /cfg/config.active"));
    swap_once(a, 1, old_failed, false);
    EXPECT_EQ(appliance_read_file(a, "/cfg/config.default"), default_form);
    ASSERT_TRUE(sh_in(a, "rm /cfg/config.active") &&
                appliance_write_file(a, "/cfg/config.active", default_form, 0600));
    swap_once(a, 0, old_console + swapped, true);
    EXPECT_EQ(appliance_read_file(a, "/cfg/config.default"), old_form);
    EXPECT_EQ(appliance_read_file(a, "/cfg/config.active"), old_form);
    // The converted file takes the place of the old one, and its permissions.
    EXPECT_EQ(appliance_run(a, {"stat", "-c", "%a", "/cfg/config.active"}).out, "600\n");
    EXPECT_EQ(appliance_init_signals(a), std::vector<int>{SIGPWR});
}

} // namespace
