#pragma once
// Releases whose configuration files predate the current format, and the
// conversion that makes the files readable for them.

#include "config.h"

constexpr const char *SWAP_VERSION_PATH = "/standby_partition/.version";

constexpr int OLD_RELEASE_CONVERTED = 0;
constexpr int OLD_RELEASE_WRITE_FAILED = 1;
constexpr int OLD_RELEASE_READ_FAILED = 2;

// Returns true when line contains the name of one of the four old releases.
bool swap_is_old_release(const char *line);

// Reads the first line of the version file path.
// Returns true when it names an old release; false when not, when the file has
// no line or cannot be opened.
bool swap_standby_is_old_release(const char *path);

// Rewrites the configuration file path for an old release: empty channel modes
// and the four SNMP communities in plain text. config is the working record;
// fields the file lacks keep what config held.
// Returns 0 converted; 2 the file cannot be read (the file is left as it is);
// 1 the file cannot be written.
int convert_config_for_old_release(const char *path, nimbotex_config *config);

// Converts /cfg/config.default and then /cfg/config.active in the working
// record config, which starts with the defaults; config.active inherits from
// config.default what it does not set itself. A file that does not exist is
// skipped; one that cannot be read is left alone. Returns 0 when every file
// there was converted, else the first failure (1 not written, 2 not read).
int convert_configs_for_old_release(nimbotex_config *config);
