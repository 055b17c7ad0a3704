// update against hostile servers and unlucky operators, on the shipped binary
// in the sandbox: the verdict only ever follows a whole image on the standby
// device, and nothing a server says can pose as it.
#include "e2e_util.h"

#include <chrono>
#include <csignal>
#include <regex>
#include <thread>

namespace {

const std::string verdict = "You can swap the system\n";
const std::string login = "USER anonymous\r\nPASS updater@nimbotex.lan\r\nTYPE I\r\n";
// Every case serves this one image: 512 KiB of ext2 and 300 bytes after it.
constexpr size_t image_size = 512 * 1024 + 300;

std::vector<FtpPeerStep> logged_in(std::vector<FtpPeerStep> more, const char *greeting) {
    std::vector<FtpPeerStep> s = {ftp_step_send(greeting),        ftp_step_recv(),
                                  ftp_step_send("331 pass\r\n"),  ftp_step_recv(),
                                  ftp_step_send("230 in\r\n"),    ftp_step_recv(),
                                  ftp_step_send("200 binary\r\n")};
    s.insert(s.end(), more.begin(), more.end());
    return s;
}

// PASV, RETR answered with opening, data: what send() adds, then the final reply and QUIT.
std::vector<FtpPeerStep> retr(const char *opening, std::vector<FtpPeerStep> data, const char *final,
                              const char *greeting = "220 scripted\r\n") {
    std::vector<FtpPeerStep> s = {
        ftp_step_recv(), ftp_step(FTP_PEER_PASV, "227 Entering Passive Mode ({})\r\n"),
        ftp_step_recv(), ftp_step_send(opening), ftp_step(FTP_PEER_ACCEPT)};
    s.insert(s.end(), data.begin(), data.end());
    for (FtpPeerStep step : {ftp_step(FTP_PEER_DATA_CLOSE), ftp_step_send(final), ftp_step_recv(),
                             ftp_step_send("221 bye\r\n")})
        s.push_back(step);
    return logged_in(s, greeting);
}

std::vector<FtpPeerStep> send(const std::string &image, size_t n) {
    return {ftp_step_data_send(image.data(), n)};
}

struct HostileCase {
    const char *name;
    std::vector<std::string> args;
    std::vector<FtpPeerStep> (*script)(const std::string &image);
    int exit;
    std::string state;
    std::string transcript; // a regular expression: PORT names a port of our choosing
    bool installed;         // the device holds the image
    unsigned ramdisk_kib = 16384;
};

const std::string passive = login + "PASV\r\nRETR nimbotex\r\nQUIT\r\n";

const HostileCase hostile_cases[] = {
    {"ShortDownloadAgainstTheAnnouncedSize",
     {"-D", "-m", "2"},
     [](const std::string &img) {
         return retr("150 Opening BINARY mode data connection for nimbotex (524588 bytes).\r\n",
                     send(img, image_size / 2), "226 done\r\n");
     },
     64,
     "download incomplete: size differs from the announced size\n",
     passive,
     false},
    {"ShortDownloadWithoutASize",
     {"-m", "2"},
     [](const std::string &img) {
         return retr("150 here\r\n", send(img, 300 * 1024), "226 done\r\n");
     },
     64,
     "The installed image is incomplete\n",
     passive,
     false},
    {"EmptyDownload",
     {"-D", "-m", "2"},
     [](const std::string &) { return retr("150 here\r\n", {}, "226 done\r\n"); },
     64,
     "The downloaded image is empty\n",
     passive,
     false},
    {"JunkDownload",
     {"-D", "-m", "2"},
     [](const std::string &) {
         static const std::string junk(1000, 'j');
         return retr("150 here\r\n", send(junk, junk.size()), "226 done\r\n");
     },
     64,
     "The installed image is incomplete\n",
     passive,
     false},
    {"VerdictInARefusedGreeting",
     {"-D"},
     [](const std::string &) {
         return std::vector<FtpPeerStep>{ftp_step_send("421 You can swap the system\r\n")};
     },
     61,
     "421 (verdict text withheld)\n",
     "",
     false},
    {"VerdictAsTheGreeting",
     {"-D"},
     [](const std::string &) {
         return std::vector<FtpPeerStep>{ftp_step_send("You can swap the system\r\n")};
     },
     61,
     "(verdict text withheld)\n",
     "",
     false},
    {"VerdictWithEscapesRefusingPasv",
     {"-D", "-m", "2"},
     [](const std::string &) {
         return logged_in({ftp_step_recv(),
                           ftp_step_send("502 \x1b[2JYou can\x01 swap the\r system\r\n"),
                           ftp_step_recv(), ftp_step_send("221 bye\r\n")},
                          "220 scripted\r\n");
     },
     64,
     "502 [2J(verdict text withheld)\n",
     login + "PASV\r\nQUIT\r\n",
     false},
    {"VerdictInTheFinalReplyOfATruncatedDownload",
     {"-D", "-m", "2"},
     [](const std::string &img) {
         return retr("150 here\r\n", send(img, image_size / 2), "451 You can swap the system\r\n");
     },
     64,
     "451 (verdict text withheld)\n",
     passive,
     false},
    {"TwoLineClientTextIsOneLine",
     {"-D", "-m", "1"},
     [](const std::string &) {
         return logged_in({ftp_step_recv(), ftp_step_send("200 PORT ok\r\n"), ftp_step_recv(),
                           ftp_step_send("150 never connecting\r\n"), ftp_step_recv(),
                           ftp_step_send("221 bye\r\n")},
                          "220 scripted\r\n");
     },
     64,
     "timeout waiting for data channel; Interrupted system call\n",
     login + "PORT 127,0,0,1,[0-9]+,[0-9]+\r\nRETR nimbotex\r\nQUIT\r\n",
     false},
    {"TricklingServerMeetsTheTimeLimit",
     {"-D", "-m", "2"},
     [](const std::string &img) {
         std::vector<FtpPeerStep> drip;
         for (int i = 0; i < 12; ++i)
             for (FtpPeerStep step : {ftp_step_data_send(img.data() + i, 1),
                                      ftp_step(FTP_PEER_SLEEP, nullptr, nullptr, 5000)})
                 drip.push_back(step);
         return retr("150 here\r\n", drip, "226 done\r\n");
     },
     64,
     "Download stopped: the target took less data or the data connection failed\n",
     passive,
     false},
    {"PasvNumbersAbove255",
     {"-D", "-m", "2"},
     [](const std::string &) {
         return logged_in({ftp_step_recv(),
                           ftp_step_send("227 Entering Passive Mode (127,0,0,1,300,10)\r\n"),
                           ftp_step_recv(), ftp_step_send("221 bye\r\n")},
                          "220 scripted\r\n");
     },
     64,
     "can't interprete response from server\n",
     login + "PASV\r\nQUIT\r\n",
     false},
    {"MultiLineGreeting",
     {"-D", "-m", "2"},
     [](const std::string &img) {
         return retr("150 here\r\n", send(img, img.size()), "226 done\r\n",
                     "220-Welcome\r\n to the box\r\n220 ready\r\n");
     },
     0,
     verdict,
     passive,
     true},
    // The RAM disk holds one image but not the broken attempt's part on top.
    {"AutoModeBrokenActiveThenGoodPassive",
     {"-d"},
     [](const std::string &img) {
         static const std::string part(400 * 1024, 'x');
         std::vector<FtpPeerStep> active = {ftp_step_recv(),
                                            ftp_step_send("200 PORT ok\r\n"),
                                            ftp_step_recv(),
                                            ftp_step_send("150 here\r\n"),
                                            ftp_step(FTP_PEER_CONNECT),
                                            ftp_step_data_send(part.data(), part.size()),
                                            ftp_step(FTP_PEER_DATA_CLOSE),
                                            ftp_step_send("426 aborted\r\n")};
         std::vector<FtpPeerStep> s = retr("150 here\r\n", send(img, img.size()), "226 done\r\n");
         s.insert(s.begin() + 7, active.begin(), active.end());
         return s;
     },
     0,
     verdict,
     login + "PORT 127,0,0,1,[0-9]+,[0-9]+\r\nRETR nimbotex\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n",
     true,
     600},
};

void PrintTo(const HostileCase &c, std::ostream *os) {
    *os << c.name;
}

class UpdateHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(UpdateHostile, VerdictOnlyForTheWholeImage) {
    const HostileCase &c = GetParam();
    TempDir tmp;
    std::string image = make_image(tmp.path + "/swi", {"nimbotex.3.3.0\n", 512, 300});
    ASSERT_EQ(image.size(), image_size);
    SandboxOptions o = sandbox_default_options();
    o.ramdisk_kib = c.ramdisk_kib;
    SandboxPtr sb = make_sandbox(o);
    ASSERT_TRUE(sb);
    InsidePeer peer;
    ASSERT_TRUE(start_inside_peer(sb.get(), c.script(image), &peer));

    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "update");
    auto start = std::chrono::steady_clock::now();
    SandboxResult r = sandbox_run(sb.get(), args, 180);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(exited_with(r, c.exit)) << r.status << "\n" << r.out;
    // Within the 20 s limit and the 20 s wait for a goodbye; the trickle
    // alone lasts 60 s.
    EXPECT_LT(took, std::chrono::seconds(45)) << r.out;
    std::string state = sandbox_read_file(sb.get(), "/cfg/.update.state");
    EXPECT_EQ(state, c.state);
    ftp_peer_stop(peer.peer);
    std::string t = ftp_peer_transcript(peer.peer);
    EXPECT_TRUE(std::regex_match(t, std::regex(c.transcript))) << t;

    std::string dev = read_host_file(sandbox_partition_image(sb.get(), 2), image.size());
    EXPECT_EQ(device_holds(dev, image), c.installed);
    if (c.exit != 0) {
        SandboxResult s = sandbox_run(sb.get(), {"swap"}, 60);
        EXPECT_EQ(s.out, "  swap: error on installed standby system\n\n");
        EXPECT_EQ(sandbox_init_signals(sb.get()), std::vector<int>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, UpdateHostile, ::testing::ValuesIn(hostile_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The standby device's bytes, for checks that it is left alone.
std::string partition(Sandbox *sb, int n) {
    return read_host_file(sandbox_partition_image(sb, n), 8192 * 1024);
}

bool mounted(Sandbox *sb, const char *line) {
    return sandbox_run(sb, {"cat", "/proc/mounts"}).out.find(line) != std::string::npos;
}

// vsftpd serving one good image as "nimbotex".
struct Served {
    TempDir dir;
    std::string image = make_image(dir.path + "/nimbotex", {"nimbotex.3.3.0\n", 512, 300});
    SandboxOptions options() {
        SandboxOptions o = sandbox_default_options();
        o.vsftpd = true;
        o.ftp_dir = dir.path;
        return o;
    }
};

TEST(UpdateTarget, MarkerNamingTheActivePartitionTouchesNothing) {
    struct Case {
        std::vector<std::string> args;
        bool active_marker;
        int exit;
        const char *state;
    } cases[] = {
        {{"update", "-D"}, true, 22, "Error 22 (Target)\n"},
        {{"update"}, true, 22, "Error 22 (Target)\n"},
        // Without the active marker the kernel still refuses: it is mounted.
        {{"update", "-D"}, false, 21, "Error 21 (Direct)\n"},
        {{"update"}, false, 21, "Error 21 (Indirect)\n"},
    };
    for (const Case &c : cases) {
        Served served;
        SandboxOptions o = served.options();
        o.standby_marker_text = "/dev/hda1\n";
        o.active_marker = c.active_marker;
        SandboxPtr sb = make_sandbox(o);
        ASSERT_TRUE(sb);
        std::string before = partition(sb.get(), 1);
        SandboxResult r = sandbox_run(sb.get(), c.args, 120);
        EXPECT_TRUE(exited_with(r, c.exit)) << r.status << " " << c.args.size();
        EXPECT_EQ(sandbox_read_file(sb.get(), "/cfg/.update.state"), c.state);
        EXPECT_TRUE(device_holds(partition(sb.get(), 1), before));
    }
}

TEST(UpdateTarget, StandbyNotMountedAtTheStartIsInstalledAndMounted) {
    for (const char *mode : {"-D", "-d"}) {
        Served served;
        SandboxOptions o = served.options();
        o.mount_standby = false;
        SandboxPtr sb = make_sandbox(o);
        ASSERT_TRUE(sb);
        SandboxResult r = sandbox_run(sb.get(), {"update", mode}, 120);
        EXPECT_TRUE(exited_with(r, 0)) << r.status << " " << mode;
        EXPECT_EQ(sandbox_read_file(sb.get(), "/cfg/.update.state"), verdict);
        EXPECT_TRUE(device_holds(partition(sb.get(), 2), served.image));
        EXPECT_TRUE(mounted(sb.get(), "/dev/hda2 /standby_partition ext2 rw"));
    }
}

TEST(UpdateStateFile, FullCfgLeavesNoOldVerdict) {
    Served served;
    SandboxPtr sb = make_sandbox(served.options());
    ASSERT_TRUE(sb);
    SandboxResult fill = sandbox_run(
        sb.get(), {"sh", "-c",
                   "mount -t tmpfs -o size=64k cfg /cfg && echo 'You can swap the system' "
                   ">/cfg/.update.state && dd if=/dev/zero of=/cfg/fill bs=1k 2>/dev/null; true"});
    ASSERT_TRUE(exited_with(fill, 0)) << fill.err;
    ASSERT_EQ(sandbox_read_file(sb.get(), "/cfg/.update.state"), verdict);
    SandboxResult r = sandbox_run(sb.get(), {"update", "-D"}, 120);
    EXPECT_TRUE(exited_with(r, 21)) << r.status;
    bool exists = true;
    sandbox_read_file(sb.get(), "/cfg/.update.state", &exists);
    EXPECT_FALSE(exists);
    SandboxResult s = sandbox_run(sb.get(), {"swap"}, 60);
    EXPECT_TRUE(exited_with(s, 1)) << s.out;
    EXPECT_EQ(sandbox_init_signals(sb.get()), std::vector<int>{});
}

TEST(UpdateSignals, InterruptOrHangupDuringADirectDownloadRemounts) {
    for (int sig : {SIGINT, SIGHUP}) {
        SandboxPtr sb = make_sandbox(update_options());
        ASSERT_TRUE(sb);
        // The partition's own first bytes (5% of 4,096,000): what is left
        // there still mounts.
        const std::string part = partition(sb.get(), 2).substr(0, 200 * 1024);
        InsidePeer peer;
        ASSERT_TRUE(start_inside_peer(
            sb.get(),
            logged_in({ftp_step_recv(),
                       ftp_step(FTP_PEER_PASV, "227 Entering Passive Mode ({})\r\n"),
                       ftp_step_recv(), ftp_step_send("150 here\r\n"), ftp_step(FTP_PEER_ACCEPT),
                       ftp_step_data_send(part.data(), part.size()), ftp_step(FTP_PEER_STALL)},
                      "220 scripted\r\n"),
            &peer));
        int h = sandbox_spawn(sb.get(), {"update", "-D", "-m", "2"});
        ASSERT_GT(h, 0);
        for (int i = 0; i < 600 && sandbox_read_file(sb.get(), "/cfg/.update.state") !=
                                       "Download progress 5%\n";
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(sandbox_kill(sb.get(), h, sig), 0);
        SandboxResult r = sandbox_wait(sb.get(), h, 120);
        EXPECT_TRUE(exited_with(r, 1)) << r.status << " signal " << sig;
        EXPECT_EQ(sandbox_read_file(sb.get(), "/cfg/.update.state"), "Download progress 5%\n");
        EXPECT_TRUE(mounted(sb.get(), "/dev/hda2 /standby_partition ext2 rw")) << sig;
    }
}

} // namespace
