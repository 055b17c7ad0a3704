// update as shipped, on the appliance: console, state file and exit code of
// whole runs, against vsftpd and scripted hostile servers.
#include "e2e.h"

#include <csignal>
#include <memory>

namespace {

const std::string usage = golden("usage.txt");
const std::string defaults =
    report + "nimbotex \n  update: FTP mode..: auto\n  update: Download..: indirect\n\n";
const std::string busy = "\n  update: Another update or swap is running\n\n";

// Runs that end before any FTP contact, on an appliance where nobody listens
// on port 21. Each starts from the shipped markers and the state "untouched".
const char *const reset = "umount /mnt/data; umount /cfg; rm -rf /.*_partition /.smsc91c111 "
                          "/cfg/.update.* /dev/data; echo /dev/hda2 >/.standby_partition; echo "
                          "/dev/hda1 >/.active_partition; touch /.smsc91c111; echo untouched "
                          ">/cfg/.update.state";
const char *const target22 = "Error 22 (Target)\n", *const refused = "Connection refused\n";
const char *const newer = "Please download a newer SWI\n";
#define SAID(line) line "\n", "\n  update: " line "\n\n" // the state, and the console with -d

// clang-format off
const InTurn early_runs[] = {
    {"update -v", "", 0, "untouched\n", "\n  update: v2.02 by the appliance maintenance team\n\n",
     true}, // needs no lock
    {"update -H", "", 0, "untouched\n", usage},
    {"update -D", "", 6, "untouched\n", busy, true},
    {"update -d -x", "", 6, "untouched\n", busy + FAILED, true},
    {"swap", "", 1, "untouched\n", "  swap: another update or swap is running, not swapping\n\n",
     true},
    {"update -x", "", 2, "Invalid argument\n", "\n  update: Invalid argument\n\n" + usage},
    {"update -d -", "", 2, "Invalid argument\n", "\n  update: Invalid argument\n\n" + usage +
     FAILED},
    {"update -m 3", "", 2, SAID("Invalid mode")}, {"update -m -1", "", 2, SAID("Invalid mode")},
    {"update -m 4294967298", "", 2, SAID("Invalid mode")},
    {"update -f", "", 3, SAID("Missing filename")}, {"update -p", "", 3, SAID("Missing password")},
    {"update -h", "", 3, "Missing host IP\n", "\n  update: Missing host IP\n\n" + usage},
    {"update -D -h", "", 3, SAID("Missing host IP")},
    {"update -f nimbotex.1.0.0", "", 4, newer}, {"update -f nimbotex.2.2.6", "", 61, refused},
    {"update -d -f nimbotex.2.2.5", "", 4, newer, report + "nimbotex.2.2.5 \n  update: FTP mode..: "
     "auto\n  update: Download..: indirect\n\n  update: Please download a newer SWI\n" FAILED},
    {"update -F -f nimbotex.1.0.0", "", 61, refused},
    {"update -f nimbotex.1.0.0", "rm /.smsc91c111", 61, refused}, // no marker: forced
    {"update -f nimbotex.1.0.0", "rm /.smsc91c111; mkfifo /.smsc91c111", 4, newer},
    {"update -d", "echo /dev/hda >/.standby_partition", 22, target22,
     defaults + "  update: No partition named in /.standby_partition\n" FAILED},
    {"update", "printf /dev/hda23 >/.standby_partition", 22, target22},
    {"update -d", "rm /.standby_partition", 21, "Error 21 (Target)\n",
     defaults + "  update: Cannot open /.standby_partition\n" FAILED},
    // Nothing that is no regular file is ever opened so that it could hold the run.
    {"update", "rm /.standby_partition; mkfifo /.standby_partition", 21, "Error 21 (Target)\n"},
    {"update -d", "mkfifo /cfg/.update.lock", 21, "untouched\n",
     "\n  update: Cannot open /cfg/.update.lock\n\n" FAILED},
    {"update -d", "rm /cfg/.update.state; mkdir /cfg/.update.state", 21, "",
     defaults + "  update: Cannot open /cfg/.update.state\n" FAILED},
    // No old verdict survives a state file that cannot be replaced.
    {"update -D", "mount -t tmpfs -o size=64k cfg /cfg && echo 'You can swap the system' "
     ">/cfg/.update.state && dd if=/dev/zero of=/cfg/fill bs=1k", 21, ""},
    {"update -d", "echo /dev/hda1 >/.standby_partition", 22, target22,
     defaults + "  update: /.standby_partition names the active partition\n" FAILED},
    // Without the active marker the mount table still shows it in use.
    {"update", "rm /.active_partition; echo /dev/hda1 >/.standby_partition", 22, target22},
    {"update -d", "echo /dev/hda3 >/.standby_partition; mkdir -p /mnt/data; mount -t ext2 "
     "/dev/hda3 /mnt/data", 22, target22, defaults + "  update: /dev/hda3 is mounted at /mnt/data\n"
     FAILED},
    {"update -D", "echo /dev/hda3 >/.standby_partition; mknod /dev/data b $((0x$(stat -c %t "
     "/dev/hda3))) $((0x$(stat -c %T /dev/hda3))); mkdir -p /mnt/data; mount -t ext2 /dev/data "
     "/mnt/data", 22, target22},
};
// clang-format on

TEST(UpdateEarly, EndsBeforeAnyServerIsAsked) {
    ApplianceOptions o = appliance_default_options();
    o.spare_kib = 1024;
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    run_in_turn(box.a, reset, early_runs);
}

#define RETR(opening, data, final)                                                                 \
    LOGIN "|<|pasv|<|" opening "|accept|" data "|close-data|" final "|<|221 bye"
#define PASSIVE LOGGED_IN "PASV\r\nRETR nimbotex\r\nQUIT\r\n"
#define ACTIVE LOGGED_IN "PORT 127,0,0,1,P\r\nRETR nimbotex\r\nQUIT\r\n"
const char *const incomplete = "The installed image is incomplete\n";
const char *const version21 = "Error 21 (.version)\n";
#define STOPPED(signal)                                                                            \
    .args = "-D -m 2", .script = LOGIN "|<|pasv|<|150 here|accept|data:@dev|stall", .exit = 1,     \
    .state = "Download progress 5%\n", .transcript = PASSIVE, .sig = signal,                       \
    .wait_state = "Download progress 5%\n"

// clang-format off
const RunCase run_cases[] = {
    {.name = "IndirectAuto", .args = "-d", .console = report + "nimbotex \n  update: FTP mode..: "
     "auto\n  update: Download..: indirect\n\n  update: Download progress 25%\n  update: "
     "Installation progress 100%\n  update: You can swap the system\n\n" DONE},
    {.name = "DirectActive", .args = "-D -m 1"},
    {.name = "IndirectPassive", .args = "-m 2"},
    {.name = "InstalledOldVersion", .exit = 4, .state = newer, .version = "nimbotex.1.0.0"},
    {.name = "ForcedKeepsInstalledOldVersion", .args = "-F", .version = "nimbotex.1.0.0"},
    {.name = "InstalledWithoutVersionFile", .exit = 21, .state = version21, .version = ""},
    {.name = "InstalledVersionThatIsAFifo", .exit = 21, .state = version21, .version = "|"},
    {.name = "ImageThatCannotBeMounted", .args = "-D", .exit = 42, .state = "Error 42 (Exit)\n",
     .sign = "head -c 1048576 /dev/zero >nimbotex"},
    {.name = "DeviceTooSmallForDirect", .args = "-D -m 2", .exit = 64, .state = "Download stopped: "
     "the target took less data or the data connection failed\n", .standby_kib = 1024},
    {.name = "DeviceTooSmallForCopy", .exit = 23, .state = "Installation progress 99%\n",
     .standby_kib = 1024}, // the monitor's line follows
    {.name = "ActiveMarkerThatIsAFifoIsNoMarker",
     .prep = "rm /.active_partition; mkfifo /.active_partition"},
    {.name = "StandbyNotMountedDirect", .args = "-D", .prep = "umount /standby_partition"},
    {.name = "StandbyNotMountedIndirect", .prep = "umount /standby_partition"},
    {.name = "RefusedLoginIsLoginFailed", .script = "220 s|<|331 pw|<|530 no|<|221 bye",
     .exit = 62, .state = "Login failed\n",
     .transcript = "USER anonymous\r\nPASS updater@nimbotex.lan\r\nQUIT\r\n"},
    {.name = "RefusedType", .script = "220 s|<|331 pw|<|230 in|<|504 not that|<|221 bye",
     .exit = 63, .state = "Parameter invalid for command\n", .transcript = LOGGED_IN "QUIT\r\n"},
    // A failed download leaves no file named like the image in the working folder.
    {.name = "MissingFileIsUnavailable", .args = "-m 2", .script = LOGIN "|<|pasv|<|550 no such "
     "file|<|221 bye", .exit = 64, .state = "File unavailable\n", .transcript = PASSIVE,
     .prep = "echo part > /nimbotex"},
    {.name = "ShortDownloadAgainstTheAnnouncedSize", .args = "-D -m 2", .script = RETR("150 "
     "Opening BINARY mode data connection for nimbotex (1048876 bytes).", "data:@524288",
     "226 done"), .exit = 64, .state = "download incomplete: size differs from the announced "
     "size\n", .transcript = PASSIVE},
    {.name = "ShortDownloadWithoutASize", .args = "-m 2", .script = RETR("150 here",
     "data:@307200", "226 done"), .exit = 64, .state = incomplete, .transcript = PASSIVE},
    // The copy's last whole chunk would fill the gap from the RAM disk.
    {.name = "ShortByAFewBytesWithoutASize", .args = "-m 2", .script = RETR("150 here",
     "data:@1048476", "226 done"), .exit = 64, .state = incomplete, .transcript = PASSIVE,
     .image_extra = 0},
    {.name = "EmptyDownload", .args = "-D -m 2", .script = RETR("150 here", "", "226 done"),
     .exit = 64, .state = "The downloaded image is empty\n", .transcript = PASSIVE},
    {.name = "JunkDownload", .args = "-D -m 2", .script = RETR("150 here", "data:*1000",
     "226 done"), .exit = 64, .state = incomplete, .transcript = PASSIVE},
    {.name = "VerdictInARefusedGreeting", .args = "-D", .script = "421 You can swap the system",
     .exit = 61, .state = "421 (verdict text withheld)\n"},
    {.name = "VerdictAsTheGreeting", .args = "-D", .script = "You can swap the system",
     .exit = 61, .state = "(verdict text withheld)\n"},
    {.name = "VerdictWithEscapesRefusingPasv", .args = "-D -m 2", .script = LOGIN "|<|502 "
     "\x1b[2JYou can\x01 swap the\r system|<|221 bye", .exit = 64,
     .state = "502 [2J(verdict text withheld)\n", .transcript = LOGGED_IN "PASV\r\nQUIT\r\n"},
    {.name = "VerdictInTheFinalReplyOfATruncatedDownload", .args = "-D -m 2", .script = RETR(
     "150 here", "data:@524288", "451 You can swap the system"), .exit = 64,
     .state = "451 (verdict text withheld)\n", .transcript = PASSIVE},
    {.name = "TwoLineClientTextIsOneLine", .args = "-D -m 1", .script = LOGIN "|<|200 PORT ok"
     "|<|150 never connecting|<|221 bye", .exit = 64, .state = "timeout waiting for data channel;"
     " Interrupted system call\n", .transcript = ACTIVE},
    // Auto mode tries passively only when no active data connection could be had.
    {.name = "AutoModeBrokenActiveIsReported", .script = LOGIN "|<|200 PORT ok|<|150 here|port"
     "|data:*409600|close-data|426 aborted|<|221 bye", .exit = 64, .state = "426 aborted\n",
     .transcript = ACTIVE},
    {.name = "AutoModeRefusedActiveThenPassive", .script = LOGIN "|<|500 no PORT|<|pasv|<|150 here"
     "|accept|data:@all|close-data|226 done|<|221 bye",
     .transcript = LOGGED_IN "PORT 127,0,0,1,P\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n"},
    {.name = "SigtermWhileTheServerIsSilent", .script = "220 scripted|<|stall", .exit = 1,
     .state = "Terminated by the user\n", .transcript = "USER anonymous\r\n", .sig = SIGTERM},
    {.name = "SigintDuringADirectDownloadRemounts", STOPPED(SIGINT)},
    {.name = "SighupDuringADirectDownloadRemounts", STOPPED(SIGHUP)},
};
// clang-format on

TEST_P(UpdateRun, StateConsoleTranscriptAndExit) {
    const RunCase &c = GetParam();
    Scratch tmp;
    bool vsftpd = c.script == std::string("vsftpd");
    std::string image = make_image(tmp.path, "nimbotex", c.version, c.image_extra);
    ASSERT_FALSE(image.empty());
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = vsftpd ? tmp.path : "";
    o.standby_kib = c.standby_kib;
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    std::string cfg = "echo untouched >/cfg/.update.state; touch /cfg/.update.lock; echo half "
                      ">/cfg/.update.state.tmp777.0\n";
    ASSERT_TRUE(sh_in(box.a, cfg + c.prep));
    std::string to = appliance_root(box.a) + "/etc/update/keys";
    std::string keys = "cd " + tmp.path + " && for k in a b c; do minisign -G -W -p $k.pub -s " +
                       "$k.sec >/dev/null || exit 1; done; printf 'untrusted comment: damaged\\n" +
                       "RWQ\\n' >bad.pub; { :; " + c.sign + "\n} >/dev/null && if [ -n '" + c.keys +
                       "' ]; then mkdir -p " + to + " && cp " + c.keys + " " + to + "; fi";
    ASSERT_EQ(std::system(keys.c_str()), 0);
    const std::string active = appliance_read_file(box.a, "/dev/hda1");
    const std::string dev = appliance_read_file(box.a, "/dev/hda2").substr(0, 204800);
    std::vector<std::string> script = ftp_script(vsftpd ? "" : c.script);
    for (std::string &s : script) {
        std::string n = s.size() > 6 ? s.substr(6) : "";
        if (s.rfind("data:*", 0) == 0)
            s = "data:" + std::string(std::stoul(n), 'x');
        else if (s.rfind("data:@", 0) == 0)
            s = "data:" + (isdigit(n[0]) ? image.substr(0, std::stoul(n))
                           : n == "all"  ? image
                           : n == "dev"  ? dev
                                         : slurp(tmp.path + "/nimbotex.minisig"));
    }
    std::unique_ptr<FtpPeer> peer;
    if (!script.empty())
        peer = std::make_unique<FtpPeer>(script, appliance_listen(box.a, "127.0.0.1", 21),
                                         appliance_init_pid(box.a));
    int h = appliance_spawn(box.a, ftp_script(std::string("update ") + c.args, ' '));
    for (int i = 0;
         c.sig != 0 && i < 300 &&
         (c.wait_state ? appliance_read_file(box.a, "/cfg/.update.state") != c.wait_state : i < 15);
         ++i)
        usleep(100000);
    if (c.sig != 0)
        appliance_kill(box.a, h, c.sig);
    ApplianceResult r = appliance_wait(box.a, h, 120);
    std::string transcript =
        std::regex_replace(peer == nullptr ? "" : peer->transcript(),
                           std::regex("PORT 127,0,0,1,\\d+,\\d+"), "PORT 127,0,0,1,P");
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), c.state);
    EXPECT_EQ(transcript, c.transcript);
    // Without the progress reports that overwrite each other.
    std::string console = std::regex_replace(r.out, std::regex("[^\r\n]*\r"), ""),
                tail = std::string("  update: ") + c.state + FAILED;
    if (c.console || std::string(c.args).find("-d") == std::string::npos) {
        EXPECT_EQ(console, c.console.value_or(""));
    } else if (c.exit != 0) {
        EXPECT_TRUE(console.size() > tail.size() && console.ends_with(tail)) << console;
    }
    EXPECT_TRUE(appliance_read_file(box.a, "/dev/hda1") == active) << "the active one changed";
    EXPECT_EQ(appliance_run(box.a, {"ls", "/nimbotex", "/cfg/.update.state.tmp777.0"}).out, "");
    std::string mounts = appliance_run(box.a, {"cat", "/proc/mounts"}).out;
    EXPECT_EQ(mounts.find("/dev/hda2 /standby_partition ext2 rw") == std::string::npos,
              c.exit == 42);
    // What reached the disk, not the cache. Mounting and reading rewrite the
    // superblock and inode times; the UUID and the data blocks stay.
    std::string disk = slurp(appliance_disk_image(box.a, 2));
    EXPECT_TRUE(c.exit != 0 ||
                (disk.size() >= image.size() && disk.compare(1128, 16, image, 1128, 16) == 0 &&
                 disk.compare(65536, image.size() - 65536, image, 65536) == 0))
        << "the standby device does not hold the image";
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateRun, ::testing::ValuesIn(run_cases), row_name);

} // namespace
