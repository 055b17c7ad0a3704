// Download and installation progress monitors.
#include "update_internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

// Lets a monitor leave its pause as soon as its bit is cleared, instead of
// holding up the run's end for the rest of a 200 ms period.
std::mutex pause_mutex;
std::condition_variable pause_wake;

void pause_while_set(uint32_t bit) {
    std::unique_lock<std::mutex> lock(pause_mutex);
    pause_wake.wait_for(lock, std::chrono::microseconds(MONITOR_PERIOD_US),
                        [bit] { return !run_flag(bit); });
}

struct MonitorTexts {
    uint32_t bit;
    const char *running; // console, overwritten in place by the next report
    const char *state;
    const char *final;
    bool download;
};

constexpr MonitorTexts download_texts = {RUN_DOWNLOAD_MONITOR, "  %s: Download progress %i%%\r",
                                         "Download progress %i%%\n",
                                         "  %s: Download progress %i%%\n", true};
constexpr MonitorTexts install_texts = {RUN_INSTALL_MONITOR, "  %s: Installation progress %i%%\r",
                                        "Installation progress %i%%\n",
                                        "  %s: Installation progress %i%%\n", false};

int current_percent(const MonitorTexts &m) {
    int32_t bytes = transfer_bytes.load(std::memory_order_relaxed);
    if (m.download)
        return download_percent(bytes);
    return install_percent(bytes, image_size.load(std::memory_order_relaxed));
}

void run_monitor(const MonitorTexts &m) {
    while (run_flag(m.bit)) {
        debug_print(m.running, program_name, current_percent(m));
        fflush(stdout);
        // A failed write has asked the main thread to end the run; the final
        // report could not be written either.
        if (write_state(update_state_path, m.state, current_percent(m)) != 0)
            return;
        pause_while_set(m.bit);
    }
    debug_print(m.final, program_name, current_percent(m));
    fflush(stdout);
    write_state(update_state_path, m.state, current_percent(m));
}

} // namespace

bool monitor_start(uint32_t bit, void *(*entry)(void *)) {
    transfer_bytes.store(0, std::memory_order_relaxed);
    run_flag_set(bit);
    if (spawn_thread(&monitor_thread, entry) == 0)
        return true;
    run_flag_clear(bit);
    return false;
}

void monitor_stop(uint32_t bit, bool joined) {
    run_flag_clear(bit);
    // Taking the lock orders the clear before a pausing monitor's check.
    { std::lock_guard<std::mutex> lock(pause_mutex); }
    pause_wake.notify_all();
    if (joined)
        pthread_join(monitor_thread, nullptr);
}

int download_percent(int32_t bytes) {
    return bytes / 40960;
}

int install_percent(int32_t bytes, int32_t size) {
    if (size <= 0)
        return 100;
    return static_cast<int>(static_cast<int64_t>(bytes) * 100 / size);
}

void *download_monitor(void *) {
    run_monitor(download_texts);
    return nullptr;
}

void *install_monitor(void *) {
    run_monitor(install_texts);
    return nullptr;
}
