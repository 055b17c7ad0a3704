// Download and installation progress monitors.
#include "update.h"

#include <cstdio>
#include <unistd.h>

namespace {

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
        usleep(MONITOR_PERIOD_US);
    }
    debug_print(m.final, program_name, current_percent(m));
    fflush(stdout);
    write_state(update_state_path, m.state, current_percent(m));
}

} // namespace

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
