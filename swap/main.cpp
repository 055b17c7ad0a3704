// swap: boots the standby partition next, after update has installed it.

#include "swap_run.h"

int main(int argc, char **argv) {
    const char *prog = argc > 0 && argv[0] ? argv[0] : "swap";
    if (argc > 1)
        return swap_command_line(prog, argc, argv);
    return swap_run(prog);
}
