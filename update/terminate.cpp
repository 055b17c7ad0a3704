// Every end of the run: termination requests from other threads and signals,
// and update_terminate, which releases what run_flags says is held.
#include "update_internal.h"

#include "base.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

std::atomic<int> pending_request{TERM_REQUEST_NONE};
std::atomic<bool> request_taken{false};
int wake_pipe[2] = {-1, -1};
pthread_t watcher_thread;

// A clean-up step that a nested update_terminate (write_state failing inside
// it) must not run again.
constexpr unsigned STEP_DOWNLOAD_MONITOR = 1u << 0;
constexpr unsigned STEP_INSTALL_MONITOR = 1u << 1;
constexpr unsigned STEP_FTP_QUIT = 1u << 2;
constexpr unsigned STEP_REMOUNT = 1u << 3;
constexpr unsigned STEP_VERSION_CHECK = 1u << 4;
std::atomic<unsigned> steps_taken{0};

constexpr int QUIT_TIMEOUT_ON_REQUEST = 3; // seconds
constexpr const char *VERSION_FAILED = "Error %i (.version)\n";
constexpr int user_stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// Returns true for the first caller only.
bool claim(unsigned step) {
    return (steps_taken.fetch_or(step) & step) == 0;
}

// Interrupts the main thread's blocking calls until it takes the request: a
// single signal could land just before it blocks and be lost.
void *watch_requests(void *) {
    for (;;) {
        char byte;
        ssize_t n = read(wake_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        while (pending_request.load() != TERM_REQUEST_NONE && !request_taken.load()) {
            pthread_kill(main_thread, SIGTERM);
            usleep(20000);
        }
    }
}

void stop_monitor(uint32_t bit, unsigned step) {
    if (!run_flag(bit) || !claim(step))
        return;
    // A monitor that asked for the end has returned already; joining it is quick.
    monitor_stop(bit, true);
}

// Returns code, or 21, 22 or 4 when the installed version file cannot be
// opened, cannot be read or names an old version.
int check_installed_version(int code) {
    char version[16] = "nimbotex.x.y.z";
    // The installed image is not ours to trust: a FIFO there must not hold
    // the run, with the partition mounted and no verdict written.
    int fd = open_regular(STANDBY_VERSION_FILE);
    if (fd < 0) {
        report_failure(UPDATE_EXIT_OPEN, VERSION_FAILED, "Cannot open %s\n", STANDBY_VERSION_FILE);
        return UPDATE_EXIT_OPEN;
    }
    if (read(fd, version, VERSION_ID_LEN) < 0) {
        report_failure(UPDATE_EXIT_READ, VERSION_FAILED, "Cannot read the file %s\n",
                       STANDBY_VERSION_FILE);
        code = UPDATE_EXIT_READ;
    }
    close(fd);
    if (old_version_index(version) >= 0) {
        report_failure(UPDATE_EXIT_OLD_VERSION, "Please download a newer SWI\n",
                       "Please download a newer SWI\n");
        code = UPDATE_EXIT_OLD_VERSION;
    }
    return code;
}

} // namespace

void request_termination(int request) {
    int none = TERM_REQUEST_NONE;
    pending_request.compare_exchange_strong(none, request);
    if (wake_pipe[1] >= 0) {
        char byte = 1;
        // Full pipe: the watcher is awake anyway.
        ssize_t ignored = write(wake_pipe[1], &byte, 1);
        (void)ignored;
    }
}

void termination_point() {
    int request = pending_request.load();
    if (request == TERM_REQUEST_NONE || !update_on_main_thread())
        return;
    if (request_taken.exchange(true))
        return;
    if (request == TERM_REQUEST_USER) {
        run_failed(UPDATE_EXIT_TERMINATED, "Terminated by the user\n",
                   "The application is terminated by the user\n");
    }
    // The monitor that failed has already said why.
    update_terminate(UPDATE_EXIT_OPEN);
}

void on_sigterm(int) {
    int saved = errno;
    request_termination(TERM_REQUEST_USER);
    keep_thread_pointer();
    errno = saved;
}

int spawn_thread(pthread_t *thread, void *(*entry)(void *)) {
    sigset_t block, old;
    sigemptyset(&block);
    for (int signum : user_stop_signals)
        sigaddset(&block, signum);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int rc = pthread_create(thread, nullptr, entry, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

int install_sigterm_handling() {
    if (pipe2(wake_pipe, O_CLOEXEC) != 0)
        return -1;
    if (fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK) != 0 ||
        spawn_thread(&watcher_thread, watch_requests) != 0) {
        close(wake_pipe[0]);
        close(wake_pipe[1]);
        wake_pipe[0] = wake_pipe[1] = -1;
        return -1;
    }
    struct sigaction act = {};
    act.sa_handler = on_sigterm;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0; // no SA_RESTART: a blocked call must return so the request is seen
    // Ctrl-C and a dropped terminal must not leave the standby partition
    // unmounted either.
    for (int signum : user_stop_signals)
        if (sigaction(signum, &act, nullptr) != 0)
            return -1;
    return 0;
}

void update_terminate(int code) {
    int exit_code = code & 0xFF;
    termination_point();

    stop_monitor(RUN_DOWNLOAD_MONITOR, STEP_DOWNLOAD_MONITOR);
    termination_point();
    stop_monitor(RUN_INSTALL_MONITOR, STEP_INSTALL_MONITOR);
    termination_point();

    if (run_flag(RUN_FTP_OPEN) && claim(STEP_FTP_QUIT)) {
        // Whoever asked us to stop should not wait the full limit for a
        // server that has stopped answering.
        if (pending_request.load() != TERM_REQUEST_NONE && ftp_session != nullptr)
            ftp_session->timeout = QUIT_TIMEOUT_ON_REQUEST;
        if (ftp_quit(ftp_session, nullptr, nullptr) == FTP_OK)
            ftp_session = nullptr;
        run_flag_clear(RUN_FTP_OPEN);
    }
    termination_point();

    // Our exclusive hold on the device would make the mount fail.
    release_standby_claim();
    if (run_flag(RUN_UNMOUNTED) && claim(STEP_REMOUNT)) {
        if (mount(standby_device, STANDBY_MOUNT, "ext2", 0, nullptr) != 0) {
            report_failure(UPDATE_EXIT_MOUNT, "Error %i (Exit)\n",
                           "Cannot mount the target partition\n");
            exit_code = UPDATE_EXIT_MOUNT;
        }
        run_flag_clear(RUN_UNMOUNTED);
    }
    termination_point();

    // Still set only in a termination entered again from the failed remount's
    // report, when the state file could not be written: the partition stays
    // unmounted, and that is what the code must say.
    if (run_flag(RUN_UNMOUNTED))
        exit_code = UPDATE_EXIT_MOUNT;

    if (!run_flag(RUN_FORCED) && exit_code == UPDATE_EXIT_OK && claim(STEP_VERSION_CHECK))
        exit_code = check_installed_version(exit_code);
    termination_point();

    if (exit_code != UPDATE_EXIT_OK) {
        debug_print("\n  %s: The application is terminated through an error\n\n", program_name);
    } else {
        write_state(update_state_path, "%s\n", STATE_VERDICT);
        debug_print("  %s: %s\n", program_name, STATE_VERDICT);
        debug_print("\n  %s: The application is terminated\n\n", program_name);
    }
    fflush(stdout);
    exit(exit_code);
}
