// update as shipped, on the appliance: console, state file and exit code of
// whole runs, against vsftpd and against scripted hostile servers.
#include "e2e.h"
#include "ftp_peer.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <optional>
#include <sys/file.h>
#include <thread>

namespace {

const std::string usage = golden("usage.txt");
const std::string report = "\n  update: Starting update v2.02 \n\n"
                           "  update: Host......: 127.0.0.1\n"
                           "  update: User......: anonymous\n"
                           "  update: Password..: updater@nimbotex.lan\n"
                           "  update: Filename..: ";
const std::string defaults = report + "nimbotex \n  update: FTP mode..: auto\n"
                                      "  update: Download..: indirect\n\n";
const std::string failed = "\n  update: The application is terminated through an error\n\n";

// Whole runs; the state file says "untouched" before each. The image
// "nimbotex" (1 MiB of ext2 and 300 bytes more) is served by vsftpd, or by a
// scripted server whose steps ('|' between them) may send it: "data:@N" its
// first N bytes, "data:@all" all of it, "data:*N" N bytes of junk,
// "data:@dev" the standby device's own first 200 KiB.
struct RunCase {
    const char *name, *args = "";
    const char *script = ""; // "": nobody listens; "vsftpd"
    int exit = 0;
    const char *state = "You can swap the system\n";
    const char *transcript = "";             // what the scripted server got
    std::optional<std::string> console = {}; // settled
    const char *version = "nimbotex.3.3.0";  // "-": the image is 1 MiB of zeros
    unsigned standby_kib = 8192, ramdisk_kib = 16384;
    const char *standby_marker = "/dev/hda2\n", *active_marker = "/dev/hda1\n", *prep = "";
    bool mount_standby = true;
    int sig = 0;                      // sent once the state file holds wait_state
    const char *wait_state = nullptr; // null: 1.5 s after the start
    bool installs = true;             // an exit code of 0 means an installation
    unsigned image_extra = 300;       // bytes after the image's file system
    unsigned spare_kib = 0;           // > 0: a /dev/hda3 for the preparation to mount
    bool untouched = false;           // the mounts and the RAM disk end as they began
};
void PrintTo(const RunCase &c, std::ostream *os) {
    *os << c.name;
}

#define LOGIN "220 scripted|<|331 password|<|230 in|<|200 binary"
#define LOGGED_IN "USER anonymous\r\nPASS updater@nimbotex.lan\r\nTYPE I\r\n"
#define RETR(opening, data, final)                                                                 \
    LOGIN "|<|pasv|<|" opening "|accept|" data "|close-data|" final "|<|221 bye"
#define PASSIVE LOGGED_IN "PASV\r\nRETR nimbotex\r\nQUIT\r\n"

// clang-format off
const RunCase run_cases[] = {
    {.name = "VersionLeavesStateAlone", .args = "-v", .state = "untouched\n",
     .console = "\n  update: v2.02 by the appliance maintenance team\n\n", .installs = false},
    {.name = "UsageLeavesStateAlone", .args = "-H", .state = "untouched\n", .console = usage,
     .installs = false},
    {.name = "UnknownOption", .args = "-x", .exit = 2, .state = "Invalid argument\n",
     .console = "\n  update: Invalid argument\n\n" + usage},
    {.name = "LoneDash", .args = "-d -", .exit = 2, .state = "Invalid argument\n",
     .console = "\n  update: Invalid argument\n\n" + usage + failed},
    {.name = "ModeAboveTwo", .args = "-m 3", .exit = 2, .state = "Invalid mode\n",
     .console = "\n  update: Invalid mode\n\n"},
    {.name = "ModeBelowZero", .args = "-m -1", .exit = 2, .state = "Invalid mode\n",
     .console = "\n  update: Invalid mode\n\n"},
    {.name = "ModeThatWouldWrapAround", .args = "-m 4294967298", .exit = 2,
     .state = "Invalid mode\n", .console = "\n  update: Invalid mode\n\n"},
    {.name = "MissingFilename", .args = "-f", .exit = 3, .state = "Missing filename\n",
     .console = "\n  update: Missing filename\n\n"},
    {.name = "MissingHostAloneAddsUsage", .args = "-h", .exit = 3, .state = "Missing host IP\n",
     .console = "\n  update: Missing host IP\n\n" + usage},
    {.name = "MissingHostAfterAnOption", .args = "-D -h", .exit = 3, .state = "Missing host IP\n",
     .console = "\n  update: Missing host IP\n\n"},
    {.name = "MissingPassword", .args = "-p", .exit = 3, .state = "Missing password\n",
     .console = "\n  update: Missing password\n\n"},
    {.name = "FirstOldImageName", .args = "-f nimbotex.1.0.0", .exit = 4,
     .state = "Please download a newer SWI\n", .console = ""},
    {.name = "LastOldImageName", .args = "-d -f nimbotex.2.2.5", .exit = 4,
     .state = "Please download a newer SWI\n",
     .console = report + "nimbotex.2.2.5 \n  update: FTP mode..: auto\n  update: Download..: "
                "indirect\n\n  update: Please download a newer SWI\n" + failed},
    {.name = "NearOldNameIsNew", .args = "-f nimbotex.2.2.6", .exit = 61,
     .state = "Connection refused\n", .console = ""},
    {.name = "ForcedModeSkipsTheNameCheck", .args = "-F -f nimbotex.1.0.0", .exit = 61,
     .state = "Connection refused\n", .console = ""},
    {.name = "NoSmscMarkerMeansForced", .args = "-f nimbotex.1.0.0", .exit = 61,
     .state = "Connection refused\n", .console = "", .prep = "rm /.smsc91c111"},
    {.name = "StandbyMarkerWithoutDigit", .args = "-d", .exit = 22, .state = "Error 22 (Target)\n",
     .console = defaults + "  update: No partition named in /.standby_partition\n" + failed,
     .prep = "echo /dev/hda > /.standby_partition"},
    {.name = "StandbyMarkerTwoDigits", .exit = 22, .state = "Error 22 (Target)\n", .console = "",
     .prep = "printf /dev/hda23 > /.standby_partition"},
    {.name = "StandbyMarkerMissing", .args = "-d", .exit = 21, .state = "Error 21 (Target)\n",
     .console = defaults + "  update: Cannot open /.standby_partition\n" + failed,
     .prep = "rm /.standby_partition"},
    {.name = "StateFileCannotBeOpened", .args = "-d", .exit = 21, .state = "",
     .console = defaults + "  update: Cannot open /cfg/.update.state\n" + failed,
     .prep = "rm /cfg/.update.state; mkdir /cfg/.update.state"},
    {.name = "IndirectAuto", .args = "-d", .script = "vsftpd",
     .console = report + "nimbotex \n  update: FTP mode..: auto\n  update: Download..: indirect\n\n"
                "  update: Download progress 25%\n  update: Installation progress 100%\n"
                "  update: You can swap the system\n\n  update: The application is terminated\n\n"},
    {.name = "DirectActive", .args = "-D -m 1", .script = "vsftpd"},
    {.name = "IndirectPassive", .args = "-m 2", .script = "vsftpd"},
    {.name = "InstalledOldVersion", .script = "vsftpd", .exit = 4,
     .state = "Please download a newer SWI\n", .version = "nimbotex.1.0.0"},
    {.name = "ForcedKeepsInstalledOldVersion", .args = "-F", .script = "vsftpd",
     .version = "nimbotex.1.0.0"},
    {.name = "InstalledWithoutVersionFile", .script = "vsftpd", .exit = 21,
     .state = "Error 21 (.version)\n", .version = ""},
    {.name = "ImageThatCannotBeMounted", .args = "-D", .script = "vsftpd", .exit = 42,
     .state = "Error 42 (Exit)\n", .version = "-"},
    {.name = "DeviceTooSmallForDirect", .args = "-D -m 2", .script = "vsftpd", .exit = 64,
     .state = "Download stopped: the target took less data or the data connection failed\n",
     .standby_kib = 1024},
    {.name = "DeviceTooSmallForCopy", .script = "vsftpd", .exit = 23,
     .state = "Installation progress 99%\n", .standby_kib = 1024}, // the monitor's line follows
    {.name = "StandbyMarkerNamesTheActiveDirect", .args = "-D", .script = "vsftpd", .exit = 22,
     .state = "Error 22 (Target)\n", .standby_marker = "/dev/hda1\n"},
    {.name = "StandbyMarkerNamesTheActiveIndirect", .script = "vsftpd", .exit = 22,
     .state = "Error 22 (Target)\n", .standby_marker = "/dev/hda1\n"},
    // Without the active marker the mount table still shows it in use:
    // refused before the standby partition is unmounted.
    {.name = "StandbyMarkerNamesTheMountedDirect", .args = "-D", .script = "vsftpd", .exit = 22,
     .state = "Error 22 (Target)\n", .standby_marker = "/dev/hda1\n", .active_marker = "-",
     .untouched = true},
    {.name = "StandbyMarkerNamesTheMountedIndirect", .script = "vsftpd", .exit = 22,
     .state = "Error 22 (Target)\n", .standby_marker = "/dev/hda1\n", .active_marker = "-",
     .untouched = true},
    {.name = "StandbyMarkerNamesAPartitionMountedElsewhere", .args = "-d", .script = "vsftpd",
     .exit = 22, .state = "Error 22 (Target)\n",
     .console = defaults + "  update: /dev/hda3 is mounted at /mnt/data\n" + failed,
     .standby_marker = "/dev/hda3\n", .prep = "mkdir -p /mnt/data && mount -t ext2 /dev/hda3 /mnt/data",
     .spare_kib = 1024, .untouched = true},
    {.name = "StandbyMarkerNamesAPartitionMountedUnderAnotherName", .args = "-D",
     .script = "vsftpd", .exit = 22, .state = "Error 22 (Target)\n",
     .standby_marker = "/dev/hda3\n",
     .prep = "mknod /dev/data b $((0x$(stat -c %t /dev/hda3))) $((0x$(stat -c %T /dev/hda3))) "
             "&& mkdir -p /mnt/data && mount -t ext2 /dev/data /mnt/data",
     .spare_kib = 1024, .untouched = true},
    // Nothing that is no regular file is ever opened so that it could hold the run.
    {.name = "StandbyMarkerThatIsAFifo", .exit = 21, .state = "Error 21 (Target)\n",
     .console = "", .prep = "rm /.standby_partition; mkfifo /.standby_partition",
     .untouched = true},
    {.name = "ActiveMarkerThatIsAFifoIsNoMarker", .script = "vsftpd",
     .prep = "rm /.active_partition; mkfifo /.active_partition"},
    {.name = "SmscMarkerThatIsAFifoStillCounts", .args = "-f nimbotex.1.0.0", .exit = 4,
     .state = "Please download a newer SWI\n", .console = "",
     .prep = "rm /.smsc91c111; mkfifo /.smsc91c111", .untouched = true},
    {.name = "InstalledVersionThatIsAFifo", .script = "vsftpd", .exit = 21,
     .state = "Error 21 (.version)\n", .version = "|"},
    {.name = "LockFileThatIsAFifo", .args = "-d", .exit = 21, .state = "untouched\n",
     .console = "\n  update: Cannot open /cfg/.update.lock\n\n" + failed,
     .prep = "mkfifo /cfg/.update.lock", .untouched = true},
    {.name = "StandbyNotMountedDirect", .args = "-D", .script = "vsftpd", .mount_standby = false},
    {.name = "StandbyNotMountedIndirect", .script = "vsftpd", .mount_standby = false},
    {.name = "FullCfgLeavesNoOldVerdict", .args = "-D", .script = "vsftpd", .exit = 21, .state = "",
     .prep = "mount -t tmpfs -o size=64k cfg /cfg && echo 'You can swap the system' "
             ">/cfg/.update.state && dd if=/dev/zero of=/cfg/fill bs=1k; true"},
    {.name = "RefusedLoginIsLoginFailed", .script = "220 s|<|331 pw|<|530 no|<|221 bye",
     .exit = 62, .state = "Login failed\n",
     .transcript = "USER anonymous\r\nPASS updater@nimbotex.lan\r\nQUIT\r\n"},
    {.name = "RefusedType", .script = "220 s|<|331 pw|<|230 in|<|504 not that|<|221 bye",
     .exit = 63, .state = "Parameter invalid for command\n", .transcript = LOGGED_IN "QUIT\r\n"},
    // A failed download leaves no file named like the image in the working folder.
    {.name = "MissingFileIsUnavailable", .args = "-m 2",
     .script = LOGIN "|<|pasv|<|550 no such file|<|221 bye", .exit = 64,
     .state = "File unavailable\n", .transcript = PASSIVE, .prep = "echo part > /nimbotex"},
    {.name = "ShortDownloadAgainstTheAnnouncedSize", .args = "-D -m 2",
     .script = RETR("150 Opening BINARY mode data connection for nimbotex (1048876 bytes).",
                    "data:@524288", "226 done"),
     .exit = 64, .state = "download incomplete: size differs from the announced size\n",
     .transcript = PASSIVE},
    {.name = "ShortDownloadWithoutASize", .args = "-m 2",
     .script = RETR("150 here", "data:@307200", "226 done"), .exit = 64,
     .state = "The installed image is incomplete\n", .transcript = PASSIVE},
    // The copy's last whole chunk would fill the gap from the RAM disk.
    {.name = "ShortByAFewBytesWithoutASize", .args = "-m 2",
     .script = RETR("150 here", "data:@1048476", "226 done"), .exit = 64,
     .state = "The installed image is incomplete\n", .transcript = PASSIVE, .image_extra = 0},
    {.name = "EmptyDownload", .args = "-D -m 2", .script = RETR("150 here", "", "226 done"),
     .exit = 64, .state = "The downloaded image is empty\n", .transcript = PASSIVE},
    {.name = "JunkDownload", .args = "-D -m 2",
     .script = RETR("150 here", "data:*1000", "226 done"), .exit = 64,
     .state = "The installed image is incomplete\n", .transcript = PASSIVE},
    {.name = "VerdictInARefusedGreeting", .args = "-D", .script = "421 You can swap the system",
     .exit = 61, .state = "421 (verdict text withheld)\n"},
    {.name = "VerdictAsTheGreeting", .args = "-D", .script = "You can swap the system", .exit = 61,
     .state = "(verdict text withheld)\n"},
    {.name = "VerdictWithEscapesRefusingPasv", .args = "-D -m 2",
     .script = LOGIN "|<|502 \x1b[2JYou can\x01 swap the\r system|<|221 bye", .exit = 64,
     .state = "502 [2J(verdict text withheld)\n", .transcript = LOGGED_IN "PASV\r\nQUIT\r\n"},
    {.name = "VerdictInTheFinalReplyOfATruncatedDownload", .args = "-D -m 2",
     .script = RETR("150 here", "data:@524288", "451 You can swap the system"), .exit = 64,
     .state = "451 (verdict text withheld)\n", .transcript = PASSIVE},
    {.name = "TwoLineClientTextIsOneLine", .args = "-D -m 1",
     .script = LOGIN "|<|200 PORT ok|<|150 never connecting|<|221 bye", .exit = 64,
     .state = "timeout waiting for data channel; Interrupted system call\n",
     .transcript = LOGGED_IN "PORT 127,0,0,1,P\r\nRETR nimbotex\r\nQUIT\r\n"},
    // Auto mode tries passively only when no active data connection could be had.
    {.name = "AutoModeBrokenActiveIsReported",
     .script = LOGIN "|<|200 PORT ok|<|150 here|port|data:*409600|close-data|426 aborted"
               "|<|221 bye",
     .exit = 64, .state = "426 aborted\n",
     .transcript = LOGGED_IN "PORT 127,0,0,1,P\r\nRETR nimbotex\r\nQUIT\r\n"},
    {.name = "AutoModeRefusedActiveThenPassive",
     .script = LOGIN "|<|500 no PORT|<|pasv|<|150 here|accept|data:@all|close-data|226 done"
               "|<|221 bye",
     .transcript = LOGGED_IN "PORT 127,0,0,1,P\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n"},
    {.name = "SigtermWhileTheServerIsSilent", .script = "220 scripted|<|stall", .exit = 1,
     .state = "Terminated by the user\n", .transcript = "USER anonymous\r\n", .sig = SIGTERM},
    {.name = "SigintDuringADirectDownloadRemounts", .args = "-D -m 2",
     .script = LOGIN "|<|pasv|<|150 here|accept|data:@dev|stall", .exit = 1,
     .state = "Download progress 5%\n", .transcript = PASSIVE, .sig = SIGINT,
     .wait_state = "Download progress 5%\n"},
    {.name = "SighupDuringADirectDownloadRemounts", .args = "-D -m 2",
     .script = LOGIN "|<|pasv|<|150 here|accept|data:@dev|stall", .exit = 1,
     .state = "Download progress 5%\n", .transcript = PASSIVE, .sig = SIGHUP,
     .wait_state = "Download progress 5%\n"},
};
// clang-format on

class UpdateRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(UpdateRun, StateConsoleTranscriptAndExit) {
    const RunCase &c = GetParam();
    Scratch tmp;
    std::string image = c.version == std::string("-")
                            ? std::string(1 << 20, '\0')
                            : make_image(tmp.path, "nimbotex", c.version, 1024, c.image_extra);
    if (c.version == std::string("-"))
        std::ofstream(tmp.path + "/nimbotex") << image;
    ASSERT_FALSE(image.empty());
    ApplianceOptions o = appliance_default_options();
    bool vsftpd = c.script == std::string("vsftpd"), scripted = !vsftpd && *c.script != '\0';
    o.ftp_dir = vsftpd ? tmp.path : "";
    o.standby_kib = c.standby_kib;
    o.ramdisk_kib = c.ramdisk_kib;
    o.standby_marker = c.standby_marker;
    o.active_marker = c.active_marker;
    o.mount_standby = c.mount_standby;
    o.spare_kib = c.spare_kib;
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/.update.state", "untouched\n"));
    ASSERT_EQ(exit_code(appliance_run(box.a, {"sh", "-c", std::string(c.prep) + "\n:"})), 0);
    const std::string active = appliance_read_file(box.a, "/dev/hda1");
    const std::string mounts = c.untouched ? appliance_run(box.a, {"cat", "/proc/mounts"}).out : "";
    const std::string ram = c.untouched ? appliance_read_file(box.a, "/dev/ram1") : "";
    const std::string dev = appliance_read_file(box.a, "/dev/hda2").substr(0, 204800);
    std::vector<std::string> script;
    for (std::string step : ftp_script(scripted ? c.script : "")) {
        if (step.rfind("data:@", 0) == 0 || step.rfind("data:*", 0) == 0) {
            std::string n = step.substr(6);
            std::string from = step[5] == '*' ? std::string(1 << 20, 'x')
                               : n == "dev"   ? dev
                                              : image;
            step = "data:" + from.substr(0, isdigit(n[0]) ? std::stoul(n) : std::string::npos);
        }
        script.push_back(step);
    }
    std::string transcript;
    ApplianceResult r;
    {
        std::unique_ptr<FtpPeer> peer;
        if (scripted)
            peer = std::make_unique<FtpPeer>(script, appliance_listen(box.a, "127.0.0.1", 21),
                                             appliance_init_pid(box.a));
        int h = appliance_spawn(box.a, ftp_script(std::string("update ") + c.args, ' '));
        for (int i = 0; c.sig != 0 && i < 300; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (c.wait_state == nullptr
                    ? i == 15
                    : appliance_read_file(box.a, "/cfg/.update.state") == c.wait_state)
                break;
        }
        if (c.sig != 0)
            appliance_kill(box.a, h, c.sig);
        r = appliance_wait(box.a, h, 120);
        if (peer != nullptr)
            transcript = std::regex_replace(
                peer->transcript(), std::regex("PORT 127,0,0,1,\\d+,\\d+"), "PORT 127,0,0,1,P");
    }
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), c.state);
    EXPECT_EQ(transcript, c.transcript);
    if (c.console) {
        EXPECT_EQ(settled(r.out), *c.console);
    }
    EXPECT_TRUE(appliance_read_file(box.a, "/dev/hda1") == active) << "the active one changed";
    if (c.untouched) {
        EXPECT_EQ(appliance_run(box.a, {"cat", "/proc/mounts"}).out, mounts);
        EXPECT_TRUE(appliance_read_file(box.a, "/dev/ram1") == ram) << "the RAM disk changed";
    }
    bool leftover;
    appliance_read_file(box.a, "/nimbotex", &leftover);
    EXPECT_FALSE(leftover);
    if (c.exit == 0 || c.sig != 0) {
        EXPECT_NE(appliance_run(box.a, {"cat", "/proc/mounts"})
                      .out.find("/dev/hda2 /standby_partition ext2 rw"),
                  std::string::npos);
    }
    if (c.exit == 0 && c.installs) {
        // What reached the disk, not the cache. Mounting and reading rewrite
        // the superblock and inode times; the UUID and the data blocks stay.
        std::string disk = slurp(appliance_disk_image(box.a, 2));
        EXPECT_TRUE(disk.size() >= image.size() && disk.compare(1128, 16, image, 1128, 16) == 0 &&
                    disk.compare(65536, image.size() - 65536, image, 65536) == 0)
            << "the standby device does not hold the image";
    } else if (c.exit != 0 && c.exit != 4) {
        // No verdict without a whole image: swap refuses and restarts nothing.
        EXPECT_EQ(exit_code(appliance_run(box.a, {"swap"})), 1);
        EXPECT_EQ(appliance_init_signals(box.a), std::vector<int>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateRun, ::testing::ValuesIn(run_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// While another run holds the lock (here the test, as a running update or
// swap would), neither program touches the state file, a mount or the RAM
// disk, and -v needs no lock. Once it is free, the lock file left behind
// stops nothing, and each program removes its own stale temporary files.
TEST(RunLock, UpdateAndSwapOneAtATime) {
    Scratch tmp;
    ASSERT_FALSE(make_image(tmp.path, "nimbotex", "nimbotex.3.3.0", 1024, 300).empty());
    ASSERT_FALSE(make_image(tmp.path, "active.img", "nimbotex.2.0.0").empty());
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = tmp.path;
    o.active_tree = tmp.path + "/tree-active.img";
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    const std::string verdict = "You can swap the system\n";
    ASSERT_TRUE(appliance_write_file(box.a, "/cfg/.update.state", verdict));
    const std::string mounts = appliance_run(box.a, {"cat", "/proc/mounts"}).out;
    const std::string ram = appliance_read_file(box.a, "/dev/ram1");
    int lock = open((appliance_root(box.a) + "/cfg/.update.lock").c_str(),
                    O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const std::string busy = "\n  update: Another update or swap is running\n\n";
    // clang-format off
    const std::tuple<std::vector<std::string>, int, std::string> held[] = {
        {{"update", "-D"}, 6, busy},
        {{"update", "-d", "-x"}, 6, busy + failed},
        {{"swap"}, 1, "  swap: another update or swap is running, not swapping\n\n"},
        {{"update", "-v"}, 0, "\n  update: v2.02 by the appliance maintenance team\n\n"},
    };
    // clang-format on
    for (const auto &[argv, exit, console] : held) {
        ApplianceResult r = appliance_run(box.a, argv);
        EXPECT_EQ(exit_code(r), exit) << argv[0];
        EXPECT_EQ(r.out, console) << argv[0];
    }
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), verdict);
    EXPECT_EQ(appliance_init_signals(box.a), std::vector<int>{});
    EXPECT_EQ(appliance_run(box.a, {"cat", "/proc/mounts"}).out, mounts);
    EXPECT_TRUE(appliance_read_file(box.a, "/dev/ram1") == ram) << "the RAM disk changed";
    close(lock);

    const char *stale[] = {"/cfg/.update.state.tmp777.0", "/cfg/config.active.tmp777.0"};
    for (const char *path : stale)
        ASSERT_TRUE(appliance_write_file(box.a, path, "half a line"));
    EXPECT_EQ(exit_code(appliance_run(box.a, {"update"})), 0);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), verdict);
    EXPECT_EQ(exit_code(appliance_run(box.a, {"swap"})), 0);
    EXPECT_EQ(appliance_init_signals(box.a), std::vector<int>{SIGPWR});
    for (const char *path : stale) {
        bool left;
        appliance_read_file(box.a, path, &left);
        EXPECT_FALSE(left) << path;
    }
}

} // namespace
