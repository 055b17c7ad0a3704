// Progress monitors: percentages, the console and state-file lines while
// running and at the end, and a monitor that cannot write the state file.
#include "update_test_util.h"

#include <chrono>
#include <thread>

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(MonitorPercent, DownloadCountsAgainstFourMillionBytes) {
    struct {
        int32_t bytes;
        int want;
    } cases[] = {{0, 0},         {40959, 0},     {2048000, 50},
                 {4096000, 100}, {5000000, 122}, {2147483647, 52428}};
    for (auto c : cases)
        EXPECT_EQ(download_percent(c.bytes), c.want) << c.bytes;
}

TEST(MonitorPercent, InstallationIsAShareOfTheImage) {
    struct {
        int32_t bytes, size;
        int want;
    } cases[] = {
        {0, 0, 100},    // empty image
        {1024, 0, 100}, // empty image, one chunk past its end
        {0, 3000, 0},
        {1500, 3000, 50},
        {3072, 3000, 102},            // whole chunks past a small image
        {102400 + 1023, 102400, 100}, // ... but not past a larger one
        {30000000, 30000000, 100},    // bytes * 100 overflows 32 bits
        {21474837, 42949674, 50},
    };
    for (auto c : cases)
        EXPECT_EQ(install_percent(c.bytes, c.size), c.want) << c.bytes << "/" << c.size;
}

class Monitor : public UpdateStateTest {
  protected:
    // Waits until the state file holds want; false after two seconds.
    bool state_becomes(const std::string &want) {
        for (int i = 0; i < 200; ++i) {
            if (state() == want)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

TEST_F(Monitor, DownloadReportsWhileRunningAndOnceAtTheEnd) {
    run_flag_set(RUN_DEBUG | RUN_DOWNLOAD_MONITOR);
    transfer_bytes.store(1024000);
    CaptureStdout();
    pthread_t t;
    ASSERT_EQ(spawn_thread(&t, download_monitor), 0);
    bool running_seen = state_becomes("Download progress 25%\n");
    // Counted past the image size, as the download does.
    transfer_bytes.store(5000000);
    run_flag_clear(RUN_DOWNLOAD_MONITOR);
    pthread_join(t, nullptr);
    std::string console = GetCapturedStdout();

    EXPECT_TRUE(running_seen);
    EXPECT_EQ(state(), "Download progress 122%\n");
    const std::string first = "  update: Download progress 25%\r";
    const std::string last = "  update: Download progress 122%\n";
    ASSERT_GE(console.size(), first.size() + last.size());
    EXPECT_EQ(console.substr(0, first.size()), first);
    EXPECT_EQ(console.substr(console.size() - last.size()), last);
    // Only the final line ends with a line end.
    EXPECT_EQ(console.find('\n'), console.size() - 1);
}

TEST_F(Monitor, InstallationOfAnEmptyImageShowsHundred) {
    run_flag_set(RUN_DEBUG | RUN_INSTALL_MONITOR);
    image_size.store(0);
    CaptureStdout();
    pthread_t t;
    ASSERT_EQ(spawn_thread(&t, install_monitor), 0);
    bool running_seen = state_becomes("Installation progress 100%\n");
    run_flag_clear(RUN_INSTALL_MONITOR);
    pthread_join(t, nullptr);
    std::string console = GetCapturedStdout();
    EXPECT_TRUE(running_seen);
    EXPECT_EQ(state(), "Installation progress 100%\n");
    EXPECT_EQ(console.substr(0, 37), "  update: Installation progress 100%\r");
    EXPECT_EQ(console.substr(console.size() - 37), "  update: Installation progress 100%\n");
}

TEST_F(Monitor, LargeImageFinalLineUsesTheFullWidth) {
    run_flag_set(RUN_INSTALL_MONITOR);
    image_size.store(30000000);
    transfer_bytes.store(30000000);
    CaptureStdout();
    pthread_t t;
    ASSERT_EQ(spawn_thread(&t, install_monitor), 0);
    run_flag_clear(RUN_INSTALL_MONITOR);
    pthread_join(t, nullptr);
    // Silent without -d, but the state file is still written.
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(state(), "Installation progress 100%\n");
}

TEST_F(Monitor, MonitorThreadsLeaveSigtermAndSigalrmToTheMainThread) {
    pthread_t t;
    sigset_t seen;
    sigemptyset(&seen);
    static sigset_t *out;
    out = &seen;
    ASSERT_EQ(spawn_thread(&t,
                           [](void *) -> void * {
                               pthread_sigmask(SIG_BLOCK, nullptr, out);
                               return nullptr;
                           }),
              0);
    pthread_join(t, nullptr);
    EXPECT_EQ(sigismember(&seen, SIGTERM), 1);
    EXPECT_EQ(sigismember(&seen, SIGALRM), 1);
    // ... and the creator's own mask is as it was.
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGTERM), 0);
}

TEST_F(Monitor, UnwritableStateFileEndsTheRunWith21OnTheMainThread) {
    std::string missing = dir_ + "/no/such/dir/.update.state";
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            update_state_path = missing.c_str();
            run_flag_set(RUN_DOWNLOAD_MONITOR);
            pthread_t t;
            if (spawn_thread(&t, download_monitor) != 0)
                exit(98);
            // The monitor gives up on its own, its bit still set.
            pthread_join(t, nullptr);
            if (pending_termination() != TERM_REQUEST_STATE_FILE)
                exit(97);
            run_flag_clear(RUN_DOWNLOAD_MONITOR);
            termination_point();
            exit(96);
        },
        ::testing::ExitedWithCode(UPDATE_EXIT_OPEN), "");
}

} // namespace
