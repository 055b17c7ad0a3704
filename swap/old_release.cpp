#include "old_release.h"

#include "base.h"
#include "text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *old_releases[] = {
    "nimbotex.1.0.0",
    "nimbotex.1.0.2",
    "nimbotex.1.1.0",
    "nimbotex.1.1.1",
};

struct Pending {
    const char *path, *pending;
};
// In this order: config.active inherits from config.default.
constexpr Pending pending_files[] = {
    {CONFIG_DEFAULT_PATH, "/cfg/config.default.swap"},
    {CONFIG_ACTIVE_PATH, "/cfg/config.active.swap"},
};

// Returns true when the folder /cfg was synced: renames and new names in it
// are on the disk.
bool sync_cfg() {
    UniqueFd fd(open("/cfg", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.fd >= 0 && fsync(fd.fd) == 0;
}

// Gives pending the permission bits of path, on the disk. Returns true when
// done.
bool keep_mode(const char *path, const char *pending) {
    struct stat st;
    UniqueFd fd(open(pending, O_RDONLY | O_CLOEXEC));
    return fd.fd >= 0 && stat(path, &st) == 0 && fchmod(fd.fd, st.st_mode & 07777) == 0 &&
           fsync(fd.fd) == 0;
}

// Renames every .swap file that is still there over its configuration file.
// Returns true when none is left.
bool rename_pending() {
    bool ok = true;
    for (const Pending &p : pending_files)
        if (rename(p.pending, p.path) != 0 && errno != ENOENT)
            ok = false;
    // The renames are done; the sync only hastens them to the disk.
    sync_cfg();
    return ok;
}

} // namespace

bool swap_is_old_release(const char *line) {
    for (const char *release : old_releases)
        if (std::strstr(line, release))
            return true;
    return false;
}

int swap_standby_release(const char *path) {
    FilePtr f;
    int rc = swap_open_regular(path, O_RDONLY, &f);
    if (rc == TEXT_FILE_IRREGULAR)
        return STANDBY_IRREGULAR;
    char line[SWAP_LINE_SIZE];
    return rc == TEXT_FILE_OPEN && std::fgets(line, sizeof line, f.get()) &&
                   swap_is_old_release(line)
               ? STANDBY_OLD_RELEASE
               : STANDBY_CURRENT;
}

int convert_config_for_old_release(const char *path, const char *pending, nimbotex_config *config) {
    // Writing back a file that could not be read would turn whatever the
    // record holds into a configuration.
    if (config_read_file(path, config) != CONFIG_OK)
        return OLD_RELEASE_READ_FAILED;
    // The old releases keep their communities in plain text: one more toggle
    // here cancels the writer's.
    config_scramble_field(config->snmp_community_read);
    config_scramble_field(config->snmp_community_write);
    config_scramble_field(config->snmp_community_trap);
    config_scramble_field(config->snmp_remote_community_read);
    std::memset(config->channel0_mode, 0, sizeof config->channel0_mode);
    std::memset(config->channel1_mode, 0, sizeof config->channel1_mode);
    if (config_write_file(pending, config) != CONFIG_OK || !keep_mode(path, pending))
        return OLD_RELEASE_WRITE_FAILED;
    return OLD_RELEASE_CONVERTED;
}

int convert_configs_for_old_release(nimbotex_config *config) {
    // Fields a file lacks get defaults rather than whatever the heap held.
    config_set_defaults(config);
    for (const Pending &p : pending_files) {
        // A file the box does not have needs no conversion.
        if (access(p.path, F_OK) != 0 && errno == ENOENT)
            continue;
        int rc = convert_config_for_old_release(p.path, p.pending, config);
        if (rc != OLD_RELEASE_CONVERTED) {
            old_release_discard();
            return rc;
        }
    }
    return OLD_RELEASE_CONVERTED;
}

int old_release_commit(void) {
    // The marker must be on the disk before the first rename: without it a
    // later run would take a half-renamed set for one never committed.
    UniqueFd fd(open(OLD_RELEASE_COMMIT_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool marked = fd.fd >= 0 && fsync(fd.fd) == 0;
    fd.reset();
    if (!marked || !sync_cfg()) {
        unlink(OLD_RELEASE_COMMIT_PATH);
        old_release_discard();
        return OLD_RELEASE_WRITE_FAILED;
    }
    return rename_pending() ? OLD_RELEASE_CONVERTED : OLD_RELEASE_WRITE_FAILED;
}

int old_release_resume(void) {
    if (access(OLD_RELEASE_COMMIT_PATH, F_OK) == 0)
        return rename_pending() ? OLD_RELEASE_RESUMED : OLD_RELEASE_WRITE_FAILED;
    if (errno != ENOENT)
        return OLD_RELEASE_WRITE_FAILED;
    old_release_discard();
    return OLD_RELEASE_NONE;
}

void old_release_discard(void) {
    for (const Pending &p : pending_files)
        unlink(p.pending);
}

void old_release_done(void) {
    if (unlink(OLD_RELEASE_COMMIT_PATH) == 0)
        sync_cfg();
}
