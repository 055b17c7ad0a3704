#include "swap_run.h"

#include "base.h"
#include "config.h"
#include "lilo_conf.h"
#include "old_release.h"
#include "partition.h"
#include "text_file.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr int COMMAND_SIZE = 100;

// Runs a command built from a template holding one "%s".
int run_shell_template(const char *prog, const char *format, const char *path) {
    char command[COMMAND_SIZE];
    int n = std::snprintf(command, sizeof command, format, path);
    if (n < 0 || n >= COMMAND_SIZE) {
        std::printf("  %s: command too long (%s)\n", prog, path);
        return SWAP_FAILED;
    }
    return run_shell_command(prog, command);
}

// Prints the line that ends a failed conversion. Returns 1.
int old_release_failed(const char *prog) {
    std::printf("\n  %s: swap to an old system failed\n", prog);
    return SWAP_FAILED;
}

} // namespace

int swap_command_line(const char *prog, int argc, char **argv) {
    const char *last = argv[argc - 1];
    if (std::strcmp(last, "-v") == 0) {
        std::printf("\n  %s: %s\n\n", prog, SWAP_VERSION_BANNER);
        return SWAP_OK;
    }
    if (std::strcmp(last, "-h") == 0) {
        std::printf("\n  usage:  -v  for Version\n          -h  for help\n\n");
        return SWAP_OK;
    }
    std::printf("\n  invalid argument\n\n");
    return SWAP_FAILED;
}

int swap_check_state(const char *prog, const char *path) {
    FilePtr f;
    if (swap_open_regular(path, O_RDONLY, &f) != TEXT_FILE_OPEN) {
        // No verdict from update means no swap: leave one that says so.
        FilePtr w;
        if (swap_open_regular(path, O_WRONLY | O_CREAT | O_TRUNC, &w) == TEXT_FILE_OPEN)
            std::fputs("Don't swap the system\n", w.get());
        w.reset();
        if (swap_open_regular(path, O_RDONLY, &f) != TEXT_FILE_OPEN) {
            std::printf("  %s: cannot read or create %s, not swapping\n\n", prog, path);
            return SWAP_FAILED;
        }
    }
    char line[SWAP_LINE_SIZE];
    if (!std::fgets(line, sizeof line, f.get()) || !std::strstr(line, STATE_VERDICT)) {
        std::printf("  %s: error on installed standby system\n\n", prog);
        return SWAP_FAILED;
    }
    return SWAP_OK;
}

int run_shell_command(const char *prog, const char *command) {
    // The command's own output must not overtake ours on the console.
    std::fflush(stdout);
    int status = std::system(command);
    if (status != 0) {
        std::printf("  %s: failed (%s [%d])\n", prog, command, status);
        return SWAP_FAILED;
    }
    return SWAP_OK;
}

int swap_run(const char *prog) {
    // Held to the end of the run: the verdict must not be read while an
    // update rewrites it, nor an update start while we act on it.
    UniqueFd lock(run_lock_take(RUN_LOCK_FILE));
    if (lock.fd == RUN_LOCK_BUSY) {
        std::printf("  %s: another update or swap is running, not swapping\n\n", prog);
        return SWAP_FAILED;
    }
    if (lock.fd == RUN_LOCK_FAILED) {
        std::printf("  %s: cannot open %s, not swapping\n\n", prog, RUN_LOCK_FILE);
        return SWAP_FAILED;
    }
    // Left by a swap that died while it replaced one of them.
    for (const char *path : {CONFIG_DEFAULT_PATH, CONFIG_ACTIVE_PATH, LILO_CONF_PATH})
        file_replace_clean(path);
    if (swap_check_state(prog, STATE_FILE) != SWAP_OK)
        return SWAP_FAILED;
    // What an interrupted run left in /cfg: a committed conversion is
    // finished and not done again, an uncommitted one goes.
    int resumed = old_release_resume();
    if (resumed == OLD_RELEASE_WRITE_FAILED)
        return old_release_failed(prog);

    // Listings of an earlier run go first: the shell would wait forever to
    // write into a FIFO left in their place.
    unlink("/.ap_contens");
    unlink("/.sp_contens");
    if (run_shell_command(prog, "/bin/sh -c \"ls /active_partition > /.ap_contens\"") != SWAP_OK ||
        run_shell_command(prog, "/bin/sh -c \"ls /standby_partition > /.sp_contens\"") != SWAP_OK)
        return SWAP_FAILED;

    PartitionInfo standby{};
    PartitionInfo active{};
    if (read_partition_device("/.standby_partition", &standby) != PARTITION_OK ||
        scan_partition_listing("/.sp_contens", &standby) != PARTITION_OK ||
        read_partition_device("/.active_partition", &active) != PARTITION_OK ||
        scan_partition_listing("/.ap_contens", &active) != PARTITION_OK)
        return SWAP_NO_FILE;

    // Not checked here: without the file the installer step fails and stops
    // the run before anything is converted, removed or signalled.
    write_lilo_conf(&standby, &active);

    // A FIFO or device where the new image keeps its version is no image we
    // can vouch for.
    int release = swap_standby_release(SWAP_VERSION_PATH);
    if (release == STANDBY_IRREGULAR) {
        std::printf("  %s: %s is not a regular file, not swapping\n", prog, SWAP_VERSION_PATH);
        return SWAP_FAILED;
    }
    // Converted beside the files before the boot loader changes: a failed
    // conversion leaves both the boot loader and /cfg as they were.
    bool converting = release == STANDBY_OLD_RELEASE && resumed != OLD_RELEASE_RESUMED;
    if (release == STANDBY_OLD_RELEASE)
        std::printf("\n  %s: swap to an old system\n", prog);
    if (converting) {
        ConfigRecord config = config_record_new();
        if (!config || convert_configs_for_old_release(config.get()) != OLD_RELEASE_CONVERTED)
            return old_release_failed(prog);
    }

    if (run_shell_template(prog, "/bin/sh -c \"/sbin/lilo -C %s > /dev/null\"", LILO_CONF_PATH) !=
        SWAP_OK) {
        old_release_discard();
        return SWAP_FAILED;
    }
    // The boot loader now starts the new partition: the converted files go
    // in place. Should that fail, process 1 is not signalled; a later run
    // finishes the renames, or converts afresh when nothing was committed.
    if (converting && old_release_commit() != OLD_RELEASE_CONVERTED)
        return old_release_failed(prog);

    if (run_shell_command(prog, "/bin/sh -c \"/bin/rm /.ap_contens\"") != SWAP_OK ||
        run_shell_command(prog, "/bin/sh -c \"/bin/rm /.sp_contens\"") != SWAP_OK ||
        run_shell_template(prog, "/bin/sh -c \"/bin/rm %s\"", LILO_CONF_PATH) != SWAP_OK)
        return SWAP_FAILED;
    old_release_done();

    std::printf("\n  System is swapped.\n  We are going to reboot.\n\n");
    // Init may restart the machine before our buffers would go out at exit.
    std::fflush(stdout);
    kill(1, SWAP_RESTART_SIGNAL);
    return SWAP_OK;
}
