// update's parts below the whole run: the copy from the RAM disk, the
// progress figures and the monitors' pace.
#include "update.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct TempFile {
    std::string path = "/tmp/update_test." + std::to_string(getpid()) + "." + std::to_string(n++);
    ~TempFile() { unlink(path.c_str()); }
    static inline int n = 0;
};

TEST(CopyImage, WholeChunksUpToTheImageSize) {
    struct {
        int32_t image, source;
        const char *target;
        int rc;
        off_t copied;
    } cases[] = {
        {1, 4096, nullptr, 0, 1024},         {1024, 4096, nullptr, 0, 1024},
        {1025, 4096, nullptr, 0, 2048},      {70000, 80000, nullptr, 0, 70656},
        {5000, 3000, nullptr, 22, 3000},     {2048, 4096, "/dev/full", 23, 0},
    };
    for (const auto &c : cases) {
        TempFile from, to;
        std::ofstream(from.path) << std::string(size_t(c.source), 'x');
        int in = open(from.path.c_str(), O_RDONLY);
        int out = open(c.target != nullptr ? c.target : to.path.c_str(), O_WRONLY | O_CREAT, 0600);
        transfer_bytes = 0;
        image_size = c.image;
        EXPECT_EQ(copy_image(in, out), c.rc) << c.image;
        struct stat st {};
        fstat(out, &st);
        if (c.target == nullptr) {
            EXPECT_EQ(st.st_size, c.copied) << c.image;
        }
        close(in);
        close(out);
    }
}

TEST(ProgressPercent, DownloadAgainst4096000BytesInstallationAgainstTheImage) {
    for (auto [bytes, pct] : {std::pair{0, 0}, {40959, 0}, {40960, 1}, {4096000, 100},
                              {8192000, 200}})
        EXPECT_EQ(download_percent(bytes), pct) << bytes;
    EXPECT_EQ(install_percent(0, 0), 100);
    EXPECT_EQ(install_percent(512, 1024), 50);
    EXPECT_EQ(install_percent(30000000, 30000000), 100); // past 32 bits when multiplied
}

std::string slurp(const std::string &path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

TEST(ProgressMonitor, ReportsEvery200Milliseconds) {
    update_init("update");
    TempFile state;
    update_state_path = state.path.c_str();
    transfer_bytes = 0;
    run_flag_set(RUN_DOWNLOAD_MONITOR);
    pthread_t thread;
    ASSERT_EQ(spawn_thread(&thread, download_monitor), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(slurp(state.path), "Download progress 0%\n");
    transfer_bytes = 409600;
    auto start = std::chrono::steady_clock::now();
    while (slurp(state.path) != "Download progress 10%\n" &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    transfer_bytes = 819200;
    monitor_stop(RUN_DOWNLOAD_MONITOR, &thread);
    EXPECT_EQ(slurp(state.path), "Download progress 20%\n"); // the final report
    update_state_path = UPDATE_STATE_FILE;
}

} // namespace
