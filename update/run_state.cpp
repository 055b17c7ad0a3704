// Process-wide state of the update run and the small helpers every part uses.
#include "update_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

const char *program_name = "update";
std::atomic<uint32_t> run_flags{0};
char standby_device[STANDBY_DEVICE_SIZE] = "/dev/hdax";
const char *const old_versions[OLD_VERSION_COUNT] = {
    "nimbotex.1.0.0", "nimbotex.1.0.2", "nimbotex.1.1.0", "nimbotex.1.1.1", "nimbotex.1.2.0",
    "nimbotex.1.2.1", "nimbotex.1.2.2", "nimbotex.2.2.3", "nimbotex.2.2.4", "nimbotex.2.2.5",
};
std::atomic<int32_t> transfer_bytes{0};
std::atomic<int32_t> image_size{0};
FtpSession *ftp_session = nullptr;
pthread_t monitor_thread;
const char *update_state_path = STATE_FILE;

pthread_t main_thread;

namespace {

// Kernel thread id: unlike pthread_self it does not depend on the TLS
// segment, which signal handlers must repair under user-mode emulators.
pid_t main_tid = -1;

} // namespace

void update_init(const char *argv0) {
    program_name = argv0 != nullptr ? argv0 : "update";
    main_thread = pthread_self();
    main_tid = static_cast<pid_t>(syscall(SYS_gettid));
}

bool update_on_main_thread() {
    return static_cast<pid_t>(syscall(SYS_gettid)) == main_tid;
}

void debug_print(const char *format, ...) {
    if (!run_flag(RUN_DEBUG))
        return;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

namespace {

void vreport_failure(int code, const char *state, const char *console, va_list ap) {
    if (run_flag(RUN_DEBUG)) {
        printf("  %s: ", program_name);
        vprintf(console, ap);
    }
    write_state(update_state_path, state, code);
}

} // namespace

void report_failure(int code, const char *state, const char *console, ...) {
    va_list ap;
    va_start(ap, console);
    vreport_failure(code, state, console, ap);
    va_end(ap);
}

void run_failed(int code, const char *state, const char *console, ...) {
    va_list ap;
    va_start(ap, console);
    vreport_failure(code, state, console, ap);
    va_end(ap);
    update_terminate(code);
}

int old_version_index(const char *text) {
    for (int i = OLD_VERSION_COUNT - 1; i >= 0; --i) {
        if (strcmp(text, old_versions[i]) == 0)
            return i;
    }
    return -1;
}
