// Runs against a scripted FTP server inside the sandbox: exact command
// transcripts, refusals, and SIGTERM while the server keeps us waiting.
#include "e2e_util.h"

#include <chrono>
#include <csignal>
#include <regex>
#include <thread>

namespace {

const std::string failed = "\n  update: The application is terminated through an error\n\n";
const std::string login_ok = "USER anonymous\r\nPASS updater@nimbotex.lan\r\n";

// Greeting, USER and PASS accepted, TYPE I accepted; then more.
std::vector<FtpPeerStep> binary_ready(std::initializer_list<FtpPeerStep> more) {
    std::vector<FtpPeerStep> steps = {ftp_step_send("220 scripted\r\n"), ftp_step_recv(),
                                      ftp_step_send("331 pass\r\n"),     ftp_step_recv(),
                                      ftp_step_send("230 in\r\n"),       ftp_step_recv(),
                                      ftp_step_send("200 binary\r\n")};
    steps.insert(steps.end(), more);
    return steps;
}

// PASV answered, RETR answered 150 and its data connection accepted.
std::vector<FtpPeerStep> passive_retr_open(std::initializer_list<FtpPeerStep> more) {
    std::vector<FtpPeerStep> steps = {
        ftp_step_recv(), ftp_step(FTP_PEER_PASV, "227 Entering Passive Mode ({})\r\n"),
        ftp_step_recv(), ftp_step_send("150 here it comes\r\n"), ftp_step(FTP_PEER_ACCEPT)};
    steps.insert(steps.end(), more);
    return steps;
}

std::vector<FtpPeerStep> operator+(std::vector<FtpPeerStep> a, const std::vector<FtpPeerStep> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class UpdatePeer : public ::testing::Test {
  protected:
    void SetUp() override {
        sb_ = make_sandbox(update_options());
        ASSERT_TRUE(sb_);
    }
    void play(std::vector<FtpPeerStep> steps) {
        ASSERT_TRUE(start_inside_peer(sb_.get(), steps, &peer_));
    }
    SandboxResult run(std::vector<std::string> args) {
        args.insert(args.begin(), "update");
        return sandbox_run(sb_.get(), args, 180);
    }
    std::string transcript() {
        ftp_peer_stop(peer_.peer);
        return ftp_peer_transcript(peer_.peer);
    }
    std::string state() {
        return sandbox_read_file(sb_.get(), "/cfg/.update.state");
    }
    bool standby_mounted() {
        return sandbox_run(sb_.get(), {"cat", "/proc/mounts"})
                   .out.find("/dev/hda2 /standby_partition ext2 rw") != std::string::npos;
    }
    // Waits up to 60 s for the state file to hold want.
    bool state_becomes(const std::string &want) {
        for (int i = 0; i < 600; ++i) {
            if (state() == want)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    SandboxPtr sb_;
    InsidePeer peer_;
    TempDir tmp_;
};

TEST_F(UpdatePeer, AutoModeFallsBackToPassiveWhenPortIsRefused) {
    std::string image = make_image(tmp_.path + "/swi", {"nimbotex.3.3.0\n", 512, 300});
    ASSERT_FALSE(image.empty());
    play(binary_ready({ftp_step_recv(), ftp_step_send("500 no PORT here\r\n")}) +
         passive_retr_open({ftp_step_data_send(image.data(), image.size()),
                            ftp_step(FTP_PEER_DATA_CLOSE), ftp_step_send("226 done\r\n"),
                            ftp_step_recv(), ftp_step_send("221 bye\r\n")}));
    SandboxResult r = run({"-D"});
    EXPECT_TRUE(exited_with(r, 0)) << r.status;
    EXPECT_EQ(state(), "You can swap the system\n");
    std::string t = transcript();
    EXPECT_TRUE(std::regex_match(t, std::regex(login_ok + "TYPE I\r\n"
                                                          "PORT 127,0,0,1,[0-9]+,[0-9]+\r\n"
                                                          "PASV\r\n"
                                                          "RETR nimbotex\r\n"
                                                          "QUIT\r\n")))
        << t;
    std::string dev = read_host_file(sandbox_partition_image(sb_.get(), 2), image.size());
    EXPECT_TRUE(device_holds(dev, image));
    EXPECT_EQ(sandbox_read_file(sb_.get(), "/standby_partition/.version"), "nimbotex.3.3.0\n");
}

TEST_F(UpdatePeer, AutoModeCountsBothAttempts) {
    std::string image = make_image(tmp_.path + "/swi", {"nimbotex.3.3.0\n", 512, 300});
    ASSERT_FALSE(image.empty());
    std::string part(400 * 1024, 'x');
    play(binary_ready({ftp_step_recv(), ftp_step_send("200 PORT ok\r\n"), ftp_step_recv(),
                       ftp_step_send("150 here it comes\r\n"), ftp_step(FTP_PEER_CONNECT),
                       ftp_step_data_send(part.data(), part.size()), ftp_step(FTP_PEER_DATA_CLOSE),
                       ftp_step_send("426 aborted\r\n")}) +
         passive_retr_open({ftp_step_data_send(image.data(), image.size()),
                            ftp_step(FTP_PEER_DATA_CLOSE), ftp_step_send("226 done\r\n"),
                            ftp_step_recv(), ftp_step_send("221 bye\r\n")}));
    SandboxResult r = run({"-d"});
    EXPECT_TRUE(exited_with(r, 0)) << r.status;
    EXPECT_EQ(state(), "You can swap the system\n");
    int percent = static_cast<int>((part.size() + image.size()) / 40960);
    EXPECT_NE(r.out.find("  update: Download progress " + std::to_string(percent) + "%\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  update: Installation progress 100%\n"), std::string::npos) << r.out;
    std::string dev = read_host_file(sandbox_partition_image(sb_.get(), 2), image.size());
    EXPECT_TRUE(device_holds(dev, image));
}

TEST_F(UpdatePeer, RefusedLoginIsLoginFailed) {
    play({ftp_step_send("220 scripted\r\n"), ftp_step_recv(), ftp_step_send("331 pass\r\n"),
          ftp_step_recv(), ftp_step_send("530 Login incorrect.\r\n"), ftp_step_recv(),
          ftp_step_send("221 bye\r\n")});
    SandboxResult r = run({"-d", "-D", "-u", "bob", "-p", "wrong"});
    EXPECT_TRUE(exited_with(r, 62)) << r.status;
    EXPECT_EQ(state(), "Login failed\n");
    EXPECT_NE(r.out.find("\n  update: Login failed\n" + failed), std::string::npos) << r.out;
    EXPECT_EQ(transcript(), "USER bob\r\nPASS wrong\r\nQUIT\r\n");
    EXPECT_TRUE(standby_mounted());
}

TEST_F(UpdatePeer, LineBreakInAnArgumentIsRefusedAndReported) {
    play({ftp_step_send("220 scripted\r\n"), ftp_step_recv(), ftp_step_send("221 bye\r\n")});
    SandboxResult r = run({"-u", "bob\r\nDELE nimbotex"});
    EXPECT_TRUE(exited_with(r, 62)) << r.status;
    EXPECT_EQ(state(), "line break in command argument refused\n");
    EXPECT_EQ(transcript(), "QUIT\r\n");
}

TEST_F(UpdatePeer, MissingFileIsFileUnavailableAndTheLeftoverGoes) {
    ASSERT_TRUE(sandbox_write_file(sb_.get(), "/swi-x", "left from an older tool"));
    play(binary_ready({ftp_step_recv(), ftp_step_send("200 PORT ok\r\n"), ftp_step_recv(),
                       ftp_step_send("550 No such file.\r\n"), ftp_step_recv(),
                       ftp_step_send("221 bye\r\n")}));
    SandboxResult r = run({"-d", "-D", "-m", "1", "-f", "swi-x"});
    EXPECT_TRUE(exited_with(r, 64)) << r.status;
    EXPECT_EQ(state(), "File unavailable\n");
    EXPECT_NE(r.out.find("  update: File unavailable\n" + failed), std::string::npos) << r.out;
    std::string t = transcript();
    EXPECT_TRUE(std::regex_match(t, std::regex(login_ok + "TYPE I\r\n"
                                                          "PORT 127,0,0,1,[0-9]+,[0-9]+\r\n"
                                                          "RETR swi-x\r\n"
                                                          "QUIT\r\n")))
        << t;
    bool exists = true;
    sandbox_read_file(sb_.get(), "/swi-x", &exists);
    EXPECT_FALSE(exists);
    // Direct: unmounted for the download, mounted again on the way out.
    EXPECT_TRUE(standby_mounted());
}

TEST_F(UpdatePeer, SigtermDuringDownloadEndsPromptlyWithTheMonitorsLine) {
    std::string part(200 * 1024, 'x'); // 5% of 4,096,000
    play(binary_ready({}) + passive_retr_open({ftp_step_data_send(part.data(), part.size()),
                                               ftp_step(FTP_PEER_STALL)}));
    // Indirect: the partition is not touched before the download completes.
    int h = sandbox_spawn(sb_.get(), {"update", "-d", "-m", "2"});
    ASSERT_GT(h, 0);
    ASSERT_TRUE(state_becomes("Download progress 5%\n")) << state();
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(sandbox_kill(sb_.get(), h, SIGTERM), 0);
    SandboxResult r = sandbox_wait(sb_.get(), h, 120);
    auto took = std::chrono::steady_clock::now() - start;

    EXPECT_TRUE(exited_with(r, 1)) << r.status;
    // Well inside the client's 20-second limit on the stalled reads.
    EXPECT_LT(took, std::chrono::seconds(12));
    EXPECT_EQ(state(), "Download progress 5%\n");
    EXPECT_NE(r.out.find("  update: The application is terminated by the user\n"
                         "  update: Download progress 5%\n" +
                         failed),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(standby_mounted());
    EXPECT_EQ(transcript(), login_ok + "TYPE I\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n");
}

TEST_F(UpdatePeer, StalledDownloadEndsByTheTimeLimit) {
    std::string part(100 * 1024, 'x'); // 2% of 4,096,000
    play(binary_ready({}) +
         passive_retr_open({ftp_step_data_send(part.data(), part.size()),
                            // Past the client's 20-second limit, then a goodbye to QUIT.
                            ftp_step(FTP_PEER_SLEEP, nullptr, nullptr, 21000), ftp_step_recv(),
                            ftp_step_send("221 bye\r\n")}));
    // The limit's SIGALRM lands on the main thread while the monitor runs.
    SandboxResult r = run({"-d", "-m", "2"});
    EXPECT_TRUE(exited_with(r, 64)) << r.status;
    const std::string stopped =
        "Download stopped: the target took less data or the data connection failed\n";
    EXPECT_EQ(state(), stopped);
    EXPECT_NE(r.out.find("  update: Download progress 2%\n  update: " + stopped + failed),
              std::string::npos)
        << r.out;
    EXPECT_EQ(transcript(), login_ok + "TYPE I\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n");
    EXPECT_TRUE(standby_mounted());
}

TEST_F(UpdatePeer, SigtermWhileTheServerKeepsSilent) {
    play({ftp_step_send("220 scripted\r\n"), ftp_step_recv(), ftp_step(FTP_PEER_STALL)});
    int h = sandbox_spawn(sb_.get(), {"update", "-D", "-m", "2"});
    ASSERT_GT(h, 0);
    // The first message, left in place while the server does not answer.
    ASSERT_TRUE(state_becomes("Using the direct passive FTP mode\n")) << state();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(state(), "Using the direct passive FTP mode\n");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(sandbox_kill(sb_.get(), h, SIGTERM), 0);
    SandboxResult r = sandbox_wait(sb_.get(), h, 120);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(exited_with(r, 1)) << r.status;
    EXPECT_LT(took, std::chrono::seconds(12));
    EXPECT_EQ(state(), "Terminated by the user\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(standby_mounted());
}

} // namespace
