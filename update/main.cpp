// update: fetches a software image by FTP and installs it on the standby partition.
#include "update.h"

int main(int argc, char **argv) {
    update_run(argc, argv);
}
