// update's parts below the whole run: the copy from the RAM disk, the text of
// server replies, the installed-image check, the mount table, the monitors'
// pace, the state file through a power cut, the end of a run and the
// transfer's choice of FTP mode.
#include "update_internal.h"

#include "ftp_peer.h"
#include "small_disk.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct TempFile {
    std::string path = "/tmp/update_test." + std::to_string(getpid()) + "." + std::to_string(n++);
    ~TempFile() {
        unlink(path.c_str());
    }
    static inline int n = 0;
};

TEST(CopyImage, WholeChunksUpToTheImageSize) {
    // clang-format off
    struct { int32_t image, source; int rc; off_t copied; } cases[] = {
        {1, 4096, 0, 1024}, {1024, 4096, 0, 1024}, {1025, 4096, 0, 2048}, {70000, 80000, 0, 70656},
        {5000, 3000, 22, 3000}, {2048, 4096, 23, -1}, // -1: onto a full device
    };
    // clang-format on
    for (const auto &c : cases) {
        TempFile from, to;
        std::ofstream(from.path) << std::string(size_t(c.source), 'x');
        int in = open(from.path.c_str(), O_RDONLY);
        int out = open(c.copied < 0 ? "/dev/full" : to.path.c_str(), O_WRONLY | O_CREAT, 0600);
        transfer_bytes = 0;
        image_size = c.image;
        EXPECT_EQ(copy_image(in, out), c.rc) << c.image;
        struct stat st {};
        fstat(out, &st);
        if (c.copied >= 0) {
            EXPECT_EQ(st.st_size, c.copied) << c.image;
        }
        close(in);
        close(out);
    }
}

// Copies size bytes of x from source onto the device: 0 when the device then
// holds the image rounded up to a whole chunk, copy_image's code when it
// failed, 90 when it succeeded with other bytes on the device.
int copy_onto(const char *device, const std::string &source, int32_t size) {
    int in = open(source.c_str(), O_RDONLY), out = open(device, O_WRONLY);
    transfer_bytes = 0;
    image_size = size;
    int rc = copy_image(in, out);
    if (rc != 0)
        return rc;
    std::string on(size_t(size + COPY_CHUNK - 1) / COPY_CHUNK * COPY_CHUNK, '\0');
    int check = open(device, O_RDONLY);
    bool same = pread(check, on.data(), on.size(), 0) == ssize_t(on.size()) &&
                on == std::string(on.size(), 'x');
    return same ? 0 : 90;
}

TEST(CopyImage, OntoADiskAsItGoesAndAFailureOnTheWayIsAWriteError) {
    constexpr int32_t mib = 1 << 20;
    TempFile from;
    std::ofstream(from.path) << std::string(size_t(14 * mib), 'x');
    for (auto [room, rc] : {std::pair{16 * mib, 0}, {2 * mib, 23}}) {
        auto copy = [&](const char *dev) { return copy_onto(dev, from.path, 13 * mib + 100); };
        EXPECT_EQ(on_small_disk(16 * mib, size_t(room), copy), rc) << room;
    }
}

// A file's bytes as runs: "x*1025 o*5119".
std::string runs(const std::string &bytes) {
    std::string out;
    for (size_t at = 0, end; at < bytes.size(); at = end) {
        end = bytes.find_first_not_of(bytes[at], at);
        end = end == std::string::npos ? bytes.size() : end;
        out +=
            (out.empty() ? "" : " ") + std::string(1, bytes[at]) + "*" + std::to_string(end - at);
    }
    return out;
}

// The source hands the copy its pieces one at a time, each only once the
// one before is read, so a read can end exactly at the image's end.
TEST(CopyImage, NothingPastTheImagesLastChunkIsTouched) {
    const std::string x1025(1025, 'x'), y3072(3072, 'y');
    // clang-format off
    struct { const char *name; int32_t image; std::vector<std::string> pieces; const char *target; } cases[] = {
        {"file, one byte into a chunk", 1025, {x1025 + y3072}, "x*1025 y*1023 o*4096"},
        {"pipe ending at the image", 1025, {x1025, y3072}, "x*1025 o*5119"},
        {"pipe of whole chunks", 2048, {std::string(2048, 'x'), y3072}, "x*2048 o*4096"},
    };
    // clang-format on
    for (const auto &c : cases) {
        TempFile from, to;
        std::ofstream(to.path) << std::string(6144, 'o');
        int fds[2] = {-1, -1};
        bool piped = c.pieces.size() > 1;
        if (piped) {
            ASSERT_EQ(pipe(fds), 0);
        } else {
            std::ofstream(from.path) << c.pieces[0];
            fds[0] = open(from.path.c_str(), O_RDONLY);
        }
        std::thread feed([&] {
            for (size_t i = 0; piped && i < c.pieces.size(); ++i) {
                for (int left = 1; i > 0 && left > 0;)
                    ioctl(fds[1], FIONREAD, &left);
                EXPECT_EQ(write(fds[1], c.pieces[i].data(), c.pieces[i].size()),
                          ssize_t(c.pieces[i].size()));
            }
            if (piped)
                close(fds[1]);
        });
        int out = open(to.path.c_str(), O_WRONLY);
        transfer_bytes = 0;
        image_size = c.image;
        EXPECT_EQ(copy_image(fds[0], out), 0) << c.name;
        feed.join();
        close(fds[0]);
        close(out);
        std::ifstream in(to.path);
        EXPECT_EQ(runs(std::string(std::istreambuf_iterator<char>(in), {})), c.target) << c.name;
    }
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
    for (const char *name :
         {"nimbotex.1.0.0", "nimbotex.1.0.2", "nimbotex.1.1.0", "nimbotex.1.1.1", "nimbotex.1.2.0",
          "nimbotex.1.2.1", "nimbotex.1.2.2", "nimbotex.2.2.3", "nimbotex.2.2.4", "nimbotex.2.2.5"})
        EXPECT_EQ(old_version_index(name), index++) << name;
    EXPECT_EQ(old_version_index("nimbotex.1.0.0\n"), -1);
}

TEST(ServerText, OnePrintableLineThatNeverPosesAsTheVerdict) {
    const std::pair<const char *, const char *> cases[] = {
        {"timeout waiting for data channel\nInterrupted system call\n",
         "timeout waiting for data channel; Interrupted system call\n"},
        {"451 no\r\n", "451 no\n"},
        {"\x1b[31mred\x1b[0m \x9b"
         "2J\x07",
         "[31mred[0m 2J\n"},
        {"421 You can swap the system\r\n", "421 (verdict text withheld)\n"},
        {"you CAN swap\x01 THE system twice: You can swap the system",
         "(verdict text withheld) twice: (verdict text withheld)\n"},
        {"\n\r\n", "\n"},
    };
    for (auto [text, line] : cases)
        EXPECT_EQ(server_text_line(text), line) << text;
    EXPECT_EQ(server_text_line(std::string(500, 'a').c_str()), std::string(200, 'a') + "\n");
}

TEST(InstalledImage, Ext2MustEndWithinTheDownload) {
    // clang-format off
    struct { uint32_t blocks, log_block; uint16_t magic; int64_t limit; bool fits; } cases[] = {
        {512, 0, 0xEF53, 524288, true},           {512, 0, 0xEF53, 524287, false},
        {128, 2, 0xEF53, 524288, true},           {129, 2, 0xEF53, 524288, false},
        {512, 0, 0x53EF, 1 << 30, false},         {0, 0, 0xEF53, 1 << 30, false},
        {0xFFFFFFFF, 6, 0xEF53, INT64_MAX, true}, {1, 7, 0xEF53, INT64_MAX, false},
    };
    // clang-format on
    for (const auto &c : cases) {
        // Little-endian: blocks count at 4, log block size at 24, magic at 56.
        unsigned char sb[1024] = {};
        for (int i = 0; i < 4; ++i) {
            sb[4 + i] = static_cast<unsigned char>(c.blocks >> (8 * i));
            sb[24 + i] = static_cast<unsigned char>(c.log_block >> (8 * i));
        }
        sb[56] = static_cast<unsigned char>(c.magic);
        sb[57] = static_cast<unsigned char>(c.magic >> 8);
        EXPECT_EQ(ext2_image_fits(sb, c.limit), c.fits) << c.blocks << " " << c.limit;
    }
}

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ProgressMonitor, ReportsEvery200Milliseconds) {
    update_init("update");
    TempFile state;
    update_state_path = state.path.c_str();
    ASSERT_TRUE(monitor_start(RUN_DOWNLOAD_MONITOR, download_monitor));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(slurp(state.path), "Download progress 0%\n");
    transfer_bytes = 409600;
    auto start = std::chrono::steady_clock::now();
    while (slurp(state.path) != "Download progress 10%\n" &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    transfer_bytes = 819200;
    monitor_stop(RUN_DOWNLOAD_MONITOR, true);
    EXPECT_EQ(slurp(state.path), "Download progress 20%\n"); // the final report
    update_state_path = STATE_FILE;
}

// Every line, a progress report too, is on the disk before the next step:
// cut at any moment, the file holds the last line written, whole.
TEST(StateFile, EveryLineSurvivesAPowerCutWhole) {
    int rc = on_small_ext2(1024, [](const char *device, const char *mnt) {
        update_init("update");
        std::string path = std::string(mnt) + "/.update.state";
        update_state_path = path.c_str();
        write_state(update_state_path, "Using the %s %s FTP mode\n", "indirect", "auto");
        std::string first = after_power_cut(device, ".update.state");
        monitor_start(RUN_DOWNLOAD_MONITOR, download_monitor);
        transfer_bytes = 819200;
        monitor_stop(RUN_DOWNLOAD_MONITOR, true); // its last report comes before the join
        std::string last = after_power_cut(device, ".update.state");
        bool whole =
            first == "Using the indirect auto FTP mode\n" && last == "Download progress 20%\n";
        if (!whole)
            fprintf(stderr, "after the cuts: %s | %s\n", runs(first).c_str(), runs(last).c_str());
        return whole ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
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

TEST(AutoMode, PassiveOnlyWhenNoActiveDataConnectionCouldBeHad) {
    // clang-format off
    struct { const char *name, *script, *device; int rc; const char *err, *transcript;
             int64_t received; } cases[] = {
        {"the device is full: the attempt's own failure, its final reply left alone",
         "220 ready|<|200 ok|<|150 go|port|data:hello|close-data|226 done", "/dev/full", -16, "",
         "PORT 127,0,0,1,P\r\nRETR f\r\n", 0},
        {"the transfer broke off: the server's word on it",
         "220 ready|<|200 ok|<|150 go|port|data:hello|close-data|426 aborted", "/dev/null", -9,
         "426 aborted\r\n", "PORT 127,0,0,1,P\r\nRETR f\r\n", 5},
        {"PORT refused", "220 ready|<|500 no|<|pasv|<|150 go|accept|data:hello|close-data|226 ok",
         "/dev/null", 0, "", "PORT 127,0,0,1,P\r\nPASV\r\nRETR f\r\n", 5},
        {"the server never connects",
         "220 ready|<|200 ok|<|150 go|<|pasv|<|150 go|accept|data:hello|close-data|226 ok",
         "/dev/null", 0, "", "PORT 127,0,0,1,P\r\nRETR f\r\nPASV\r\nRETR f\r\n", 5},
    };
    // clang-format on
    update_init("update");
    TempFile state;
    update_state_path = state.path.c_str();
    ftp_default_timeout = 1;
    run_flag_set(RUN_DIRECT);
    for (const auto &c : cases) {
        FtpPeer peer(ftp_script(c.script));
        ftp_session = ftp_connect("127.0.0.1", peer.port(), nullptr, nullptr);
        ASSERT_NE(ftp_session, nullptr) << c.name;
        snprintf(standby_device, sizeof standby_device, "%s", c.device);
        UpdateRun run = {};
        run.settings = {"127.0.0.1", "u", "p", "f", FTP_MODE_AUTO};
        transfer_step(&run);
        monitor_stop(RUN_DOWNLOAD_MONITOR, run.monitored);
        EXPECT_EQ(run.result, c.rc) << c.name;
        EXPECT_STREQ(run.err != nullptr ? run.err : "", c.err) << c.name;
        EXPECT_EQ(std::regex_replace(peer.transcript(), std::regex("PORT 127,0,0,1,\\d+,\\d+"),
                                     "PORT 127,0,0,1,P"),
                  c.transcript)
            << c.name;
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
