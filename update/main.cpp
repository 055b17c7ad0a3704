// update: fetches a software image by FTP and installs it on the standby partition.
#include "update.h"

#include <csignal>

int main(int argc, char **argv) {
    update_init(argv[0]);
    // A server that hangs up must show as a failed write, not kill us while
    // the standby partition is unmounted.
    signal(SIGPIPE, SIG_IGN);
    UpdateSettings settings = {DEFAULT_HOST, DEFAULT_USER, DEFAULT_PASSWORD, DEFAULT_IMAGE,
                               FTP_MODE_AUTO};
    take_command_line(argc, argv, &settings);
    update_start(&settings);
    update_install(&settings);
}
