// update as shipped, on the appliance: console, state file and exit code of
// whole runs against vsftpd and against scripted hostile servers.
#include "e2e.h"
#include "ftp_peer.h"

#include <chrono>
#include <csignal>
#include <thread>

namespace {

const std::string usage = "\n  Syntax: update [options]\n\n"
                          "  options          descriptions\n"
                          "  ----------------------------------------------------\n"
                          "  -d               The debug messages are turned on\n"
                          "  -D               The file is downloaded directly\n"
                          "                   into the target partition\n"
                          "  -f filename      Will specify the file for the download\n"
                          "  -F               The system is forced to downloading\n"
                          "  -h ip            Will specify the FTP server address\n"
                          "  -H               This help message is displayed\n"
                          "  -m x             Will specify the FTP operation mode\n"
                          "                   [0 = auto, 1 = active, 2 = passive]\n"
                          "  -p password      Will specify the password\n"
                          "  -u username      Will specify the username\n"
                          "  -v               The version of program is displayed\n\n";
const std::string report = "\n  update: Starting update v2.02 \n\n"
                           "  update: Host......: 127.0.0.1\n"
                           "  update: User......: anonymous\n"
                           "  update: Password..: updater@nimbotex.lan\n";
const std::string defaults = report + "  update: Filename..: nimbotex \n"
                                      "  update: FTP mode..: auto\n"
                                      "  update: Download..: indirect\n\n";
const std::string failed = "\n  update: The application is terminated through an error\n\n";
const std::string swappable = "  update: You can swap the system\n\n"
                              "  update: The application is terminated\n\n";

// Runs that end before any FTP contact share one appliance; each row first
// restores the markers and a state file saying "untouched".
struct StartupCase {
    const char *name, *prep;
    std::vector<std::string> args;
    int exit;
    std::string console, state;
};
void PrintTo(const StartupCase &c, std::ostream *os) { *os << c.name; }

const StartupCase startup_cases[] = {
    {"VersionLeavesStateAlone", "", {"-v"}, 0,
     "\n  update: v2.02 by the appliance maintenance team\n\n", "untouched\n"},
    {"UsageLeavesStateAlone", "", {"-H"}, 0, usage, "untouched\n"},
    {"UnknownOption", "", {"-x"}, 2, "\n  update: Invalid argument\n\n" + usage,
     "Invalid argument\n"},
    {"LoneDash", "", {"-d", "-"}, 2, "\n  update: Invalid argument\n\n" + usage + failed,
     "Invalid argument\n"},
    {"ModeAboveTwo", "", {"-m", "3"}, 2, "\n  update: Invalid mode\n\n", "Invalid mode\n"},
    {"ModeBelowZero", "", {"-m", "-1"}, 2, "\n  update: Invalid mode\n\n", "Invalid mode\n"},
    {"MissingFilename", "", {"-f"}, 3, "\n  update: Missing filename\n\n", "Missing filename\n"},
    {"MissingHostAloneAddsUsage", "", {"-h"}, 3, "\n  update: Missing host IP\n\n" + usage,
     "Missing host IP\n"},
    {"MissingHostAfterAnOption", "", {"-D", "-h"}, 3, "\n  update: Missing host IP\n\n",
     "Missing host IP\n"},
    {"MissingPassword", "", {"-p"}, 3, "\n  update: Missing password\n\n", "Missing password\n"},
    {"FirstOldImageName", "", {"-f", "nimbotex.1.0.0"}, 4, "", "Please download a newer SWI\n"},
    {"LastOldImageName", "", {"-d", "-f", "nimbotex.2.2.5"}, 4,
     report + "  update: Filename..: nimbotex.2.2.5 \n  update: FTP mode..: auto\n"
              "  update: Download..: indirect\n\n  update: Please download a newer SWI\n" + failed,
     "Please download a newer SWI\n"},
    {"NearOldNameIsNew", "", {"-f", "nimbotex.2.2.6"}, 61, "", "Connection refused\n"},
    {"ForcedModeSkipsTheNameCheck", "", {"-F", "-f", "nimbotex.1.0.0"}, 61, "",
     "Connection refused\n"},
    {"NoSmscMarkerMeansForced", "rm /.smsc91c111", {"-f", "nimbotex.1.0.0"}, 61, "",
     "Connection refused\n"},
    {"StandbyMarkerWithoutDigit", "echo /dev/hda > /.standby_partition", {"-d"}, 22,
     defaults + "  update: No partition named in /.standby_partition\n" + failed,
     "Error 22 (Target)\n"},
    {"StandbyMarkerTwoDigits", "printf /dev/hda23 > /.standby_partition", {}, 22, "",
     "Error 22 (Target)\n"},
    {"StandbyMarkerMissing", "rm /.standby_partition", {"-d"}, 21,
     defaults + "  update: Cannot open /.standby_partition\n" + failed, "Error 21 (Target)\n"},
    {"StateFileCannotBeOpened", "rm /cfg/.update.state; mkdir /cfg/.update.state", {"-d"}, 21,
     defaults + "  update: Cannot open /cfg/.update.state\n" + failed, ""},
};

class UpdateStartup : public ::testing::TestWithParam<StartupCase> {
  protected:
    static void SetUpTestSuite() { box = new Appliance1(appliance_default_options()); }
    static void TearDownTestSuite() { delete box; }
    static Appliance1 *box;
};
Appliance1 *UpdateStartup::box;

TEST_P(UpdateStartup, ConsoleStateAndExit) {
    const StartupCase &c = GetParam();
    ASSERT_NE(box->a, nullptr);
    std::string prep = "rm -rf /cfg/.update.state; echo untouched > /cfg/.update.state; "
                       "echo /dev/hda2 > /.standby_partition; touch /.smsc91c111; ";
    ASSERT_EQ(exit_code(appliance_run(box->a, {"sh", "-c", prep + c.prep})), 0);
    std::vector<std::string> argv = {"update"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ApplianceResult r = appliance_run(box->a, argv);
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(r.out, c.console);
    EXPECT_EQ(appliance_read_file(box->a, "/cfg/.update.state"), c.state);
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateStartup, ::testing::ValuesIn(startup_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Whole installations from vsftpd; "-" as version makes an image that is no file system.
struct InstallCase {
    const char *name, *version;
    unsigned extra, standby_kib;
    std::vector<std::string> args;
    int exit;
    std::string state, console;
};
void PrintTo(const InstallCase &c, std::ostream *os) { *os << c.name; }

const InstallCase install_cases[] = {
    {"IndirectAuto", "nimbotex.3.3.0", 300, 8192, {"-d", "-f", "swi"}, 0,
     "You can swap the system\n",
     report + "  update: Filename..: swi \n  update: FTP mode..: auto\n"
              "  update: Download..: indirect\n\n  update: Download progress 25%\n"
              "  update: Installation progress 100%\n" + swappable},
    {"DirectActive", "nimbotex.3.3.0", 0, 8192, {"-D", "-m", "1", "-f", "swi"}, 0,
     "You can swap the system\n", ""},
    {"IndirectPassive", "nimbotex.3.3.0", 0, 8192, {"-m", "2", "-f", "swi"}, 0,
     "You can swap the system\n", ""},
    {"InstalledOldVersion", "nimbotex.1.0.0", 0, 8192, {"-f", "swi"}, 4,
     "Please download a newer SWI\n", ""},
    {"ForcedKeepsInstalledOldVersion", "nimbotex.1.0.0", 0, 8192, {"-F", "-f", "swi"}, 0,
     "You can swap the system\n", ""},
    {"InstalledWithoutVersionFile", "", 0, 8192, {"-f", "swi"}, 21, "Error 21 (.version)\n", ""},
    {"ImageThatCannotBeMounted", "-", 0, 8192, {"-D", "-f", "swi"}, 42, "Error 42 (Exit)\n", ""},
    {"DeviceTooSmallForDirect", "nimbotex.3.3.0", 300, 1024, {"-D", "-f", "swi"}, 64,
     "Download stopped: the target took less data or the data connection failed\n", ""},
    {"DeviceTooSmallForCopy", "nimbotex.3.3.0", 300, 1024, {"-f", "swi"}, 23,
     "Installation progress 99%\n", ""}, // the monitor's last line follows the error
};

class UpdateInstall : public ::testing::TestWithParam<InstallCase> {};

TEST_P(UpdateInstall, FromVsftpd) {
    const InstallCase &c = GetParam();
    Scratch tmp;
    bool garbage = c.version == std::string("-");
    std::string image = garbage ? "" : make_image(tmp.path, "swi", c.version, 1024, c.extra);
    ASSERT_EQ(std::system(("head -c 1048576 /dev/zero > " + tmp.path + "/zeros").c_str()), 0);
    ASSERT_TRUE(garbage ? rename((tmp.path + "/zeros").c_str(), (tmp.path + "/swi").c_str()) == 0
                        : !image.empty());
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = tmp.path;
    o.standby_kib = c.standby_kib;
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    std::vector<std::string> argv = {"update"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ApplianceResult r = appliance_run(box.a, argv, 120);
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), c.state);
    if (!c.console.empty()) {
        EXPECT_EQ(settled(r.out), c.console);
    }
    if (c.exit == 0) {
        // Mounting and reading rewrite the superblock and inode times; the
        // file system's UUID and its data blocks stay the image's.
        std::string dev = appliance_read_file(box.a, "/dev/hda2");
        ASSERT_GE(dev.size(), image.size());
        EXPECT_EQ(dev.substr(1128, 16), image.substr(1128, 16));
        EXPECT_TRUE(dev.compare(65536, image.size() - 65536, image, 65536) == 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateInstall, ::testing::ValuesIn(install_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Scripted servers on 127.0.0.1:21 inside: the exact commands update sends.
const std::vector<std::string> login = {"220 scripted", "<", "331 password", "<", "230 in"};
const std::string login_sent = "USER anonymous\r\nPASS updater@nimbotex.lan\r\n";

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ServerCase {
    const char *name, *prep;
    std::vector<std::string> args, script;
    int exit;
    std::string state, transcript;
    int sigterm_after_ms;
};
void PrintTo(const ServerCase &c, std::ostream *os) { *os << c.name; }

const ServerCase server_cases[] = {
    {"RefusedLoginIsLoginFailed", "", {}, {"220 scripted", "<", "331 password", "<", "530 no", "<", "221 bye"},
     62, "Login failed\n", login_sent + "QUIT\r\n", 0},
    {"RefusedType", "", {}, login + std::vector<std::string>{"<", "504 not that", "<", "221 bye"}, 63,
     "Parameter invalid for command\n", login_sent + "TYPE I\r\nQUIT\r\n", 0},
    {"MissingFileIsUnavailableAndTheLeftoverGoes", "echo old > /nimbotex", {"-m", "2"},
     login + std::vector<std::string>{"<", "200 binary", "<", "pasv", "<", "550 no such file", "<",
                                      "221 bye"},
     64, "File unavailable\n", login_sent + "TYPE I\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n", 0},
    {"AutoModeFallsBackToPassive", "", {"-F"},
     login + std::vector<std::string>{"<", "200 binary", "<", "500 no PORT", "<", "pasv", "<",
                                      "150 here", "accept", "data:image bytes", "close-data",
                                      "226 done", "<", "221 bye"},
     0, "You can swap the system\n",
     login_sent + "TYPE I\r\nPORT 127,0,0,1,P\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n", 0},
    {"SigtermWhileTheServerIsSilent", "", {}, {"220 scripted", "<", "stall"}, 1,
     "Terminated by the user\n", "USER anonymous\r\n", 1500},
};

class UpdateServer : public ::testing::TestWithParam<ServerCase> {};

TEST_P(UpdateServer, TranscriptStateAndExit) {
    const ServerCase &c = GetParam();
    Appliance1 box(appliance_default_options());
    ASSERT_NE(box.a, nullptr);
    ASSERT_EQ(exit_code(appliance_run(box.a, {"sh", "-c", std::string(c.prep) + "\n:"})), 0);
    std::string transcript;
    {
        FtpPeer peer(c.script, appliance_listen(box.a, "127.0.0.1", 21),
                     appliance_init_pid(box.a));
        std::vector<std::string> argv = {"update"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        int h = appliance_spawn(box.a, argv);
        if (c.sigterm_after_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.sigterm_after_ms));
            appliance_kill(box.a, h, SIGTERM);
        }
        EXPECT_EQ(exit_code(appliance_wait(box.a, h, 120)), c.exit);
        transcript = std::regex_replace(peer.transcript(),
                                        std::regex("PORT 127,0,0,1,\\d+,\\d+"), "PORT 127,0,0,1,P");
    }
    EXPECT_EQ(transcript, c.transcript);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), c.state);
    bool leftover;
    appliance_read_file(box.a, "/nimbotex", &leftover);
    EXPECT_FALSE(leftover);
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateServer, ::testing::ValuesIn(server_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
