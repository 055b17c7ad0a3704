#include "old_release.h"

#include "base.h"
#include "text_file.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char *old_releases[] = {
    "nimbotex.1.0.0",
    "nimbotex.1.0.2",
    "nimbotex.1.1.0",
    "nimbotex.1.1.1",
};

} // namespace

bool swap_is_old_release(const char *line) {
    for (const char *release : old_releases)
        if (std::strstr(line, release))
            return true;
    return false;
}

bool swap_standby_is_old_release(const char *path) {
    FilePtr f(std::fopen(path, "r"));
    if (!f)
        return false;
    char line[SWAP_LINE_SIZE];
    return std::fgets(line, sizeof line, f.get()) && swap_is_old_release(line);
}

int convert_config_for_old_release(const char *path, nimbotex_config *config) {
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
    if (config_write_file(path, config) != CONFIG_OK)
        return OLD_RELEASE_WRITE_FAILED;
    return OLD_RELEASE_CONVERTED;
}

int convert_configs_for_old_release(nimbotex_config *config) {
    // Fields a file lacks get defaults rather than whatever the heap held.
    config_set_defaults(config);
    int result = OLD_RELEASE_CONVERTED;
    for (const char *path : {CONFIG_DEFAULT_PATH, CONFIG_ACTIVE_PATH}) {
        // A file the box does not have needs no conversion.
        if (access(path, F_OK) != 0 && errno == ENOENT)
            continue;
        int rc = convert_config_for_old_release(path, config);
        if (result == OLD_RELEASE_CONVERTED)
            result = rc;
    }
    return result;
}
