// update's parts below the whole run: the copy, server text, the image and
// mount checks, the state file's reports, the run's end and auto FTP mode.
#include "update_internal.h"

#include "ftp_peer.h"
#include "small_disk.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

namespace {

// A file's bytes as runs: "x*1025 o*5119".
std::string runs(const std::string &bytes) {
    std::string out;
    for (size_t at = 0, end; at < bytes.size(); at = end) {
        end = std::min(bytes.find_first_not_of(bytes[at], at), bytes.size());
        out += (at > 0 ? " " : "") + std::string(1, bytes[at]) + "*" + std::to_string(end - at);
    }
    return out;
}

int copy(int from, int to, int32_t image) {
    transfer_bytes = 0;
    image_size = image;
    return copy_image(from, to);
}

TEST(CopyImage, WholeChunksUpToTheImageSizeAndNothingPast) {
    const std::string x(80000, 'x'), y(3072, 'y');
    // clang-format off
    struct { int32_t image; std::string source; int rc; const char *target; } cases[] = {
        {1, x.substr(0, 4096), 0, "x*1024 o*5120"}, {1024, x.substr(0, 4096), 0, "x*1024 o*5120"},
        {1025, x.substr(0, 1025) + y, 0, "x*1025 y*1023 o*4096"}, {70000, x, 0, "x*70656"},
        {1025, x.substr(0, 1025), 0, "x*1025 o*5119"}, // the last read ends at the image's end
        {5000, x.substr(0, 3000), 22, "x*3000 o*3144"}, {2048, x, 23, nullptr}, // onto a full device
    };
    // clang-format on
    for (const auto &c : cases) {
        ScratchDir d;
        std::string from = d.path + "/from", to = d.path + "/to";
        std::ofstream(from) << c.source;
        std::ofstream(to) << std::string(6144, 'o');
        int in = open(from.c_str(), O_RDONLY);
        int out = open(c.target != nullptr ? to.c_str() : "/dev/full", O_WRONLY);
        EXPECT_EQ(copy(in, out, c.image), c.rc) << c.image << " of " << c.source.size();
        close(in);
        close(out);
        if (c.target != nullptr) {
            EXPECT_EQ(runs(file_text(to)), c.target) << c.image << " of " << c.source.size();
        }
    }
}

TEST(CopyImage, OntoADiskAsItGoesAndAFailureOnTheWayIsAWriteError) {
    constexpr int32_t mib = 1 << 20;
    ScratchDir d;
    std::string from = d.path + "/from";
    std::ofstream(from) << std::string(size_t(14 * mib), 'x');
    auto onto = [&](const char *dev) { // 90: the device holds other bytes than the image's
        int rc = copy(open(from.c_str(), O_RDONLY), open(dev, O_WRONLY), 13 * mib + 100);
        std::string on(size_t(13 * mib + 1024), '\0'); // the image up to a whole chunk
        (void)!pread(open(dev, O_RDONLY), on.data(), on.size(), 0);
        return rc != 0 ? rc : runs(on) == "x*13632512" ? 0 : 90;
    };
    for (auto [room, rc] : {std::pair{16 * mib, 0}, {2 * mib, 23}})
        EXPECT_EQ(on_small_disk(16 * mib, size_t(room), onto), rc) << room;
}

TEST(MountTable, TheStandbyDeviceMountedAnywhereElse) {
    // clang-format off
    struct { const char *line; bool elsewhere; const char *where; } cases[] = {
        {"30 22 3:2 / /standby_partition rw,relatime - ext2 /dev/hda2 rw\n", false, ""},
        {"31 22 3:2 / /mnt/data rw,relatime - ext2 /dev/data rw\n", true, "/mnt/data"},
        {"32 22 3:2 /sub /standby_partition\\040old rw - ext2 /dev/hda2 rw\n", true, "/standby_partition\\040old"},
        {"33 22 3:2 / /standby_partition/inner rw - ext2 /dev/hda2 rw\n", true, "/standby_partition/inner"},
        {"34 22 3:20 / /mnt/data rw - ext2 /dev/hda20 rw\n", false, ""},
        {"35 22 30:2 / /mnt/data rw - ext2 /dev/other rw\n", false, ""},
        {"garbage\n", false, ""},
    };
    // clang-format on
    for (const auto &c : cases) {
        char where[64] = "";
        EXPECT_EQ(mounted_elsewhere(c.line, 3, 2, where, sizeof where), c.elsewhere) << c.line;
        EXPECT_STREQ(where, c.where) << c.line;
    }
}

TEST(OldImageNames, TenExactNamesWalkedFromTheLast) {
    int index = 0;
    for (const char *v :
         {"1.0.0", "1.0.2", "1.1.0", "1.1.1", "1.2.0", "1.2.1", "1.2.2", "2.2.3", "2.2.4", "2.2.5"})
        EXPECT_EQ(old_version_index(("nimbotex." + std::string(v)).c_str()), index++) << v;
    EXPECT_EQ(old_version_index("nimbotex.1.0.0\n"), -1);
}

TEST(ServerText, OnePrintableLineThatNeverPosesAsTheVerdict) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"timeout waiting for data channel\nInterrupted system call\n",
         "timeout waiting for data channel; Interrupted system call\n"},
        {"451 no\r\n", "451 no\n"},
        {"\x1b[31mred\x1b[0m \x9b" "2J\x07", "[31mred[0m 2J\n"},
        {"421 You can swap the system\r\n", "421 (verdict text withheld)\n"},
        {"you CAN swap\x01 THE system twice: You can swap the system",
         "(verdict text withheld) twice: (verdict text withheld)\n"},
        {"\n\r\n", "\n"},
        {std::string(500, 'a'), std::string(200, 'a') + "\n"},
    };
    // clang-format on
    for (const auto &[text, line] : cases)
        EXPECT_EQ(server_text_line(text.c_str()), line) << text;
}

TEST(InstalledImage, Ext2MustEndWithinTheDownload) {
    // clang-format off
    struct { uint32_t blocks, log_block, magic; int64_t limit; bool fits; } cases[] = {
        {512, 0, 0xEF53, 524288, true},           {512, 0, 0xEF53, 524287, false},
        {128, 2, 0xEF53, 524288, true},           {129, 2, 0xEF53, 524288, false},
        {512, 0, 0x53EF, 1 << 30, false},         {0, 0, 0xEF53, 1 << 30, false},
        {0xFFFFFFFF, 6, 0xEF53, INT64_MAX, true}, {1, 7, 0xEF53, INT64_MAX, false},
    };
    // clang-format on
    for (const auto &c : cases) {
        unsigned char sb[1024] = {}; // little-endian fields, as on our hosts
        memcpy(sb + 4, &c.blocks, 4);
        memcpy(sb + 24, &c.log_block, 4);
        memcpy(sb + 56, &c.magic, 4);
        EXPECT_EQ(ext2_image_fits(sb, c.limit), c.fits) << c.blocks << " " << c.limit;
    }
}

// The download monitor reports every 200 ms; every line, a report too, is on
// the disk before the next step: cut at any moment, the state file holds the
// last line written, whole.
TEST(StateFile, ReportsEvery200MillisecondsAndEachSurvivesAPowerCutWhole) {
    auto run = [](const char *device, const char *mnt) {
        using namespace std::chrono_literals;
        update_init("update");
        std::string path = std::string(mnt) + "/.update.state";
        update_state_path = path.c_str();
        write_state(update_state_path, "Using the %s %s FTP mode\n", "indirect", "auto");
        int rc = after_power_cut(device, ".update.state") != "Using the indirect auto FTP mode\n";
        monitor_start(RUN_DOWNLOAD_MONITOR, download_monitor);
        std::this_thread::sleep_for(300ms);
        rc |= (file_text(path) != "Download progress 0%\n") << 1;
        transfer_bytes = 409600;
        auto start = std::chrono::steady_clock::now(), by = start + 3s;
        while (file_text(path) != "Download progress 10%\n" &&
               std::chrono::steady_clock::now() < by)
            std::this_thread::sleep_for(10ms);
        rc |= (std::chrono::steady_clock::now() - start >= 1s) << 2;
        transfer_bytes = 819200;
        monitor_stop(RUN_DOWNLOAD_MONITOR, true); // its last report comes before the join
        return rc | (after_power_cut(device, ".update.state") != "Download progress 20%\n") << 3;
    };
    EXPECT_EQ(on_small_ext2(1024, run), 0); // else a bit for each check that failed
}

// A remount that fails while the state file cannot be written either ends
// the run from inside its own report: the partition is still unmounted.
TEST(UpdateEnd, UnreportedRemountFailureStillEndsWith42) {
    EXPECT_EXIT(
        {
            update_init("update");
            update_state_path = "/nonexistent/.update.state";
            run_flag_set(RUN_UNMOUNTED); // of "/dev/hdax", which nothing can mount
            update_terminate(UPDATE_EXIT_OK);
        },
        testing::ExitedWithCode(UPDATE_EXIT_MOUNT), "");
}

// Each script follows "220 ready|<|" (the PORT line), each transcript that PORT line.
TEST(AutoMode, PassiveOnlyWhenNoActiveDataConnectionCouldBeHad) {
    // clang-format off
    struct { const char *name, *device; int rc; const char *err; int64_t received;
             const char *script, *transcript; } cases[] = {
        {"the device is full: the attempt's own failure, its final reply left alone", "/dev/full",
         -16, "", 0, "200 ok|<|150 go|port|data:hello|close-data|226 done", "RETR f\r\n"},
        {"the transfer broke off: the server's word on it", "/dev/null", -9, "426 aborted\r\n", 5,
         "200 ok|<|150 go|port|data:hello|close-data|426 aborted", "RETR f\r\n"},
        {"PORT refused", "/dev/null", 0, "", 5,
         "500 no|<|pasv|<|150 go|accept|data:hello|close-data|226 ok", "PASV\r\nRETR f\r\n"},
        {"the server never connects", "/dev/null", 0, "", 5,
         "200 ok|<|150 go|<|pasv|<|150 go|accept|data:hello|close-data|226 ok",
         "RETR f\r\nPASV\r\nRETR f\r\n"},
    };
    // clang-format on
    const std::regex port("^PORT 127,0,0,1,\\d+,\\d+\r\n"); // its port differs each time
    update_init("update");
    ScratchDir d;
    std::string state = d.path + "/.update.state";
    update_state_path = state.c_str();
    ftp_default_timeout = 1;
    run_flag_set(RUN_DIRECT);
    for (const auto &c : cases) {
        FtpPeer peer(ftp_script(std::string("220 ready|<|") + c.script));
        ftp_session = ftp_connect("127.0.0.1", peer.port(), nullptr, nullptr);
        ASSERT_NE(ftp_session, nullptr) << c.name;
        snprintf(standby_device, sizeof standby_device, "%s", c.device);
        UpdateRun run = {};
        run.settings = {"127.0.0.1", "u", "p", "f", FTP_MODE_AUTO};
        transfer_step(&run);
        monitor_stop(RUN_DOWNLOAD_MONITOR, run.monitored);
        EXPECT_EQ(run.result, c.rc) << c.name;
        EXPECT_STREQ(run.err != nullptr ? run.err : "", c.err) << c.name;
        EXPECT_EQ(std::regex_replace(peer.transcript(), port, ""), c.transcript) << c.name;
        EXPECT_EQ(run.received, c.received) << c.name;
        free(run.err);
        for (FILE *f : {ftp_session->ctrl_in, ftp_session->ctrl_out, ftp_session->data_in,
                        ftp_session->data_out})
            if (f != nullptr)
                fclose(f);
        free(ftp_session);
        ftp_session = nullptr;
    }
    run_flag_clear(RUN_DIRECT);
    ftp_device_writeback = 0;
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
    update_state_path = STATE_FILE;
}

} // namespace
