// The FTP steps of a run: connect, login, type, transfer and quit.
#include "update_internal.h"

#include <cstdlib>
#include <sys/stat.h>

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
                  std::atomic<int32_t>::is_always_lock_free,
              "ftp_get advances transfer_bytes through a plain int32_t pointer");

namespace {

// Ends the run with code after an FTP step failed; frees err. A step cut
// short by a stop signal is no failure of the server.
[[noreturn]] void ftp_failed(int rc, char *err, int code) {
    termination_point();
    report_ftp_failure(rc, err);
    free(err);
    update_terminate(code);
}

// One download attempt; *received gets the bytes it brought.
int fetch(UpdateRun *run, char **err) {
    int32_t before = transfer_bytes.load(std::memory_order_relaxed);
    const char *local = run_flag(RUN_DIRECT) ? standby_device : RAMDISK_PATH;
    // The standby disk gets the image as it comes; the RAM disk's cache is
    // what the copy reads next.
    ftp_device_writeback = run_flag(RUN_DIRECT);
    signature_feed_open();
    int rc = ftp_get(ftp_session, local, run->settings.image, nullptr, err,
                     reinterpret_cast<int32_t *>(&transfer_bytes));
    signature_feed_close(rc == FTP_OK);
    run->received = int64_t(transfer_bytes.load(std::memory_order_relaxed)) - before;
    return rc;
}

void remove_leftover(const char *name) {
    struct stat st;
    if (leftover_removable(name) && lstat(name, &st) == 0 && S_ISREG(st.st_mode))
        remove(name);
}

} // namespace

void ftp_connect_step(UpdateRun *run) {
    char *err = nullptr;
    ftp_session = ftp_connect(run->settings.host, 0, nullptr, &err);
    if (ftp_session == nullptr)
        ftp_failed(FTP_ERR, err, UPDATE_EXIT_CONNECT);
    run_flag_set(RUN_FTP_OPEN);
}

void ftp_login_step(UpdateRun *run) {
    char *err = nullptr;
    int rc =
        ftp_login(ftp_session, run->settings.user, run->settings.password, nullptr, nullptr, &err);
    if (rc == 530) {
        termination_point();
        free(err);
        report_ftp_failure(FTP_ERR, "Login failed\n");
        update_terminate(UPDATE_EXIT_LOGIN);
    }
    if (rc != FTP_OK)
        ftp_failed(rc, err, UPDATE_EXIT_LOGIN);
    free(err);
}

void ftp_type_step(UpdateRun *) {
    char *err = nullptr;
    int rc = ftp_type(ftp_session, FTP_TYPE_IMAGE, nullptr, &err);
    if (rc != FTP_OK)
        ftp_failed(rc, err, UPDATE_EXIT_TYPE);
    free(err);
}

bool auto_mode_retries(int rc) {
    // Passive only when no active data connection could be had. Once one
    // was, the failure is the transfer's own, and the server's answer to it
    // may still be on its way: the passive attempt would take it for its own.
    return rc != FTP_OK && !ftp_session->data_opened && ftp_session->ctrl_out != nullptr;
}

void transfer_step(UpdateRun *run) {
    run->monitored = monitor_start(RUN_DOWNLOAD_MONITOR, download_monitor);
    int mode = run->settings.mode;
    if (mode != FTP_MODE_AUTO) {
        ftp_set_passive(ftp_session, mode == FTP_MODE_PASSIVE);
        run->result = fetch(run, &run->err);
        return;
    }
    ftp_set_passive(ftp_session, 0);
    run->result = fetch(run, &run->err);
    if (!auto_mode_retries(run->result))
        return;
    free(run->err);
    run->err = nullptr;
    termination_point();
    // The progress keeps counting across both attempts; the image is what
    // the passive one brought.
    ftp_set_passive(ftp_session, 1);
    run->result = fetch(run, &run->err);
}

void transfer_result_step(UpdateRun *run) {
    monitor_stop(RUN_DOWNLOAD_MONITOR, run->monitored);
    if (run->result != FTP_OK) {
        remove_leftover(run->settings.image);
        ftp_failed(run->result, run->err, UPDATE_EXIT_DOWNLOAD);
    }
    free(run->err);
    run->err = nullptr;
}

void ftp_quit_step(UpdateRun *) {
    if (ftp_quit(ftp_session, nullptr, nullptr) == FTP_OK)
        ftp_session = nullptr;
    run_flag_clear(RUN_FTP_OPEN);
}
