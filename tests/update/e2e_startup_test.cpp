// update in the appliance sandbox, up to its first FTP contact: the command
// line, the start-up checks and their exit codes.
#include "e2e_util.h"

namespace {

const std::string usage = "\n"
                          "  Syntax: update [options]\n"
                          "\n"
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
                          "  -v               The version of program is displayed\n"
                          "\n";
const std::string failed = "\n  update: The application is terminated through an error\n\n";
const std::string untouched = "left by an earlier run\n";

struct CmdCase {
    const char *name;
    std::vector<std::string> args;
    int exit;
    std::string out;
    std::string state;
};

const CmdCase cmd_cases[] = {
    {"Version", {"-v"}, 0, "\n  update: v2.02 by the appliance maintenance team\n\n", untouched},
    {"VersionStopsBeforeBadOption",
     {"-v", "-x"},
     0,
     "\n  update: v2.02 by the appliance maintenance team\n\n",
     untouched},
    {"BadOptionStopsBeforeVersion",
     {"-x", "-v"},
     2,
     "\n  update: Invalid argument\n\n" + usage,
     "Invalid argument\n"},
    {"Usage", {"-H"}, 0, usage, untouched},
    {"LoneDash", {"-"}, 2, "\n  update: Invalid argument\n\n" + usage, "Invalid argument\n"},
    {"NoDash", {"d"}, 2, "\n  update: Invalid argument\n\n" + usage, "Invalid argument\n"},
    {"DebugBeforeBadOption",
     {"-d", "-q"},
     2,
     "\n  update: Invalid argument\n\n" + usage + failed,
     "Invalid argument\n"},
    {"HostAloneAddsUsage",
     {"-h"},
     3,
     "\n  update: Missing host IP\n\n" + usage,
     "Missing host IP\n"},
    {"HostAfterDebug",
     {"-d", "-h"},
     3,
     "\n  update: Missing host IP\n\n" + failed,
     "Missing host IP\n"},
    {"MissingFilename", {"-f"}, 3, "\n  update: Missing filename\n\n", "Missing filename\n"},
    {"MissingMode", {"-D", "-m"}, 3, "\n  update: Missing mode\n\n", "Missing mode\n"},
    {"MissingPassword", {"-p"}, 3, "\n  update: Missing password\n\n", "Missing password\n"},
    {"MissingUsername", {"-u"}, 3, "\n  update: Missing username\n\n", "Missing username\n"},
    {"ModeThree", {"-m", "3"}, 2, "\n  update: Invalid mode\n\n", "Invalid mode\n"},
    {"ModeOverflow", {"-m", "4294967297"}, 2, "\n  update: Invalid mode\n\n", "Invalid mode\n"},
};

// One sandbox for all the cases that stop before any partition is touched.
class UpdateStartup : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sb_ = sandbox_create(update_options(), &err_);
    }
    static void TearDownTestSuite() {
        sandbox_destroy(sb_);
        sb_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(sb_, nullptr) << err_;
        ASSERT_TRUE(sandbox_write_file(sb_, "/cfg/.update.state", untouched));
    }
    SandboxResult run(std::vector<std::string> args) {
        args.insert(args.begin(), "update");
        return sandbox_run(sb_, args, 120);
    }
    std::string state() {
        return sandbox_read_file(sb_, "/cfg/.update.state");
    }
    static Sandbox *sb_;
    static std::string err_;
};
Sandbox *UpdateStartup::sb_ = nullptr;
std::string UpdateStartup::err_;

TEST_F(UpdateStartup, CommandLineTable) {
    for (const CmdCase &c : cmd_cases) {
        ASSERT_TRUE(sandbox_write_file(sb_, "/cfg/.update.state", untouched));
        SandboxResult r = run(c.args);
        EXPECT_TRUE(exited_with(r, c.exit)) << c.name << ": status " << r.status << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(state(), c.state) << c.name;
    }
    // None of them touched the standby partition.
    EXPECT_NE(sandbox_run(sb_, {"cat", "/proc/mounts"}).out.find("/dev/hda2 /standby_partition"),
              std::string::npos);
}

TEST_F(UpdateStartup, DefaultsAndNobodyListening) {
    // -m abc reads as auto; nothing listens on port 21 here.
    SandboxResult r = run({"-d", "-m", "abc"});
    EXPECT_TRUE(exited_with(r, 61)) << r.status;
    EXPECT_EQ(r.out, "\n  update: Starting update v2.02 \n\n"
                     "  update: Host......: 127.0.0.1\n"
                     "  update: User......: anonymous\n"
                     "  update: Password..: updater@nimbotex.lan\n"
                     "  update: Filename..: nimbotex \n"
                     "  update: FTP mode..: auto\n"
                     "  update: Download..: indirect\n"
                     "\n"
                     "  update: Connection refused\n" +
                         failed);
    EXPECT_EQ(state(), "Connection refused\n");

    // Silent without -d; the first message names the mode.
    r = run({"-D", "-m", "2", "-h", "127.0.0.1"});
    EXPECT_TRUE(exited_with(r, 61));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(state(), "Connection refused\n");
}

struct OldNameCase {
    const char *name;
    bool smsc_marker;
    std::vector<std::string> args;
    int exit;
    std::string state;
    bool forced_shown;
};

TEST(UpdateStartupMarkers, OldImageNames) {
    const OldNameCase cases[] = {
        {"MarkerPresent",
         true,
         {"-d", "-f", "nimbotex.2.2.5"},
         4,
         "Please download a newer SWI\n",
         false},
        {"MarkerPresentOldest",
         true,
         {"-f", "nimbotex.1.0.0"},
         4,
         "Please download a newer SWI\n",
         false},
        {"NotOld", true, {"-d", "-f", "nimbotex.2.2.6"}, 61, "Connection refused\n", false},
        // Forced: the image is fetched (and here nobody answers).
        {"ForcedByOption",
         true,
         {"-d", "-F", "-f", "nimbotex.2.2.5"},
         61,
         "Connection refused\n",
         true},
        {"ForcedByMissingMarker",
         false,
         {"-d", "-f", "nimbotex.2.2.5"},
         61,
         "Connection refused\n",
         false},
    };
    for (bool marker : {true, false}) {
        SandboxOptions o = update_options();
        o.smsc_marker = marker;
        SandboxPtr sb = make_sandbox(o);
        ASSERT_TRUE(sb);
        for (const OldNameCase &c : cases) {
            if (c.smsc_marker != marker)
                continue;
            std::vector<std::string> argv = c.args;
            argv.insert(argv.begin(), "update");
            SandboxResult r = sandbox_run(sb.get(), argv, 120);
            EXPECT_TRUE(exited_with(r, c.exit)) << c.name << ": " << r.status;
            EXPECT_EQ(sandbox_read_file(sb.get(), "/cfg/.update.state"), c.state) << c.name;
            bool debug = c.args[0] == "-d";
            if (!debug)
                continue;
            EXPECT_EQ(r.out.find("(forced mode)") != std::string::npos, c.forced_shown) << c.name;
            if (c.exit == 4) {
                EXPECT_NE(r.out.find("  update: Please download a newer SWI\n" + failed),
                          std::string::npos)
                    << c.name << r.out;
            }
        }
    }
}

TEST(UpdateStartupMarkers, ReadOnlyCfgEndsWith21BeforeAnyFtpContact) {
    SandboxPtr sb = make_sandbox(update_options());
    ASSERT_TRUE(sb);
    InsidePeer peer;
    ASSERT_TRUE(
        start_inside_peer(sb.get(), {ftp_step_send("220 ready\r\n"), ftp_step_recv()}, &peer));
    SandboxResult m = sandbox_run(
        sb.get(), {"sh", "-c", "mount --bind /cfg /cfg && mount -o remount,ro,bind /cfg"});
    ASSERT_TRUE(exited_with(m, 0)) << m.err;

    SandboxResult r = sandbox_run(sb.get(), {"update", "-d", "-D"}, 120);
    EXPECT_TRUE(exited_with(r, 21)) << r.status;
    EXPECT_NE(r.out.find("  update: Cannot open /cfg/.update.state\n" + failed), std::string::npos)
        << r.out;
    ftp_peer_stop(peer.peer);
    EXPECT_EQ(ftp_peer_transcript(peer.peer), "");
    EXPECT_NE(sandbox_run(sb.get(), {"cat", "/proc/mounts"}).out.find("/standby_partition"),
              std::string::npos);
    // Same on a command-line error: its message is the first.
    r = sandbox_run(sb.get(), {"update", "-m", "7"}, 120);
    EXPECT_TRUE(exited_with(r, 21)) << r.status;
}

struct MarkerCase {
    const char *name;
    bool present;
    std::string text;
    int exit;
    std::string state;
};

TEST(UpdateStartupMarkers, StandbyMarker) {
    const MarkerCase cases[] = {
        {"Missing", false, "", 21, "Error 21 (Target)\n"},
        // An empty file names no partition: stop before unmounting anything.
        {"Empty", true, "", 22, "Error 22 (Target)\n"},
        {"NoPartitionNumber", true, "/dev/hda\n", 22, "Error 22 (Target)\n"},
        {"PartitionTwelveIsNotOne", true, "/dev/hda12\n", 22, "Error 22 (Target)\n"},
        // A good marker goes on to the server (nobody listens).
        {"Good", true, "/dev/hda2\n", 61, "Connection refused\n"},
    };
    for (const MarkerCase &c : cases) {
        SandboxOptions o = update_options();
        o.standby_marker = c.present;
        o.standby_marker_text = c.text;
        SandboxPtr sb = make_sandbox(o);
        ASSERT_TRUE(sb);
        SandboxResult r = sandbox_run(sb.get(), {"update", "-D"}, 120);
        EXPECT_TRUE(exited_with(r, c.exit)) << c.name << ": " << r.status;
        EXPECT_EQ(sandbox_read_file(sb.get(), "/cfg/.update.state"), c.state) << c.name;
        EXPECT_NE(sandbox_run(sb.get(), {"cat", "/proc/mounts"}).out.find("/standby_partition"),
                  std::string::npos)
            << c.name;
    }
}

} // namespace
