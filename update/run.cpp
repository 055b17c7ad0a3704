// The order of one update run.
#include "update_internal.h"

#include <csignal>

namespace {

using RunStep = void (*)(UpdateRun *);

// Each step does its work or ends the run itself through update_terminate.
constexpr RunStep run_steps[] = {
    update_start,         // start-up report, markers, old names, signals, standby device
    signature_keys_step,  // trusted keys, if any: then only a signed image is installed
    ftp_connect_step,     // connect and read the greeting
    ftp_login_step,       // USER, PASS
    ftp_type_step,        // TYPE I
    signature_fetch_step, // RETR <image>.minisig into memory; key, comment and name
    unmount_step,         // direct: unmount the standby partition, claim its device
    transfer_step,        // RETR onto the device or into the RAM disk, monitored
    transfer_result_step, // stop the monitor, judge the transfer
    ftp_quit_step,        // QUIT
    size_step,            // nothing, or too much, is no image
    signature_hash_step,  // indirect: hash the RAM disk's image beside the copy
    install_step,         // direct: sync the device; indirect: copy the RAM disk onto it
    signature_check_step, // the installed bytes carry the signature
    image_check_step,     // a whole ext2 file system within the bytes written
};

} // namespace

void update_run(int argc, char **argv) {
    update_init(argv[0]);
    // A server that hangs up must show as a failed write, not kill us while
    // the standby partition is unmounted.
    signal(SIGPIPE, SIG_IGN);
    UpdateRun run = {};
    run.settings = {DEFAULT_HOST, DEFAULT_USER, DEFAULT_PASSWORD, DEFAULT_IMAGE, FTP_MODE_AUTO};
    take_command_line(argc, argv, &run.settings);
    for (RunStep step : run_steps) {
        step(&run);
        // The one place between steps where a stop signal, or a monitor that
        // could not write the state file, ends the run.
        termination_point();
    }
    // Remounts, checks the installed version and gives the verdict.
    update_terminate(UPDATE_EXIT_OK);
}
