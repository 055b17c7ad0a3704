#pragma once
// Releases whose configuration files predate the current format, and the
// conversion that makes the files readable for them.
//
// The conversion must never half-happen: both files are converted into
// /cfg/config.default.swap and /cfg/config.active.swap first, and only after
// the boot loader is installed does the marker /cfg/.swap.commit say that
// they belong in place; then they are renamed over the originals. A run that
// finds the marker finishes those renames and converts nothing again; one
// that finds .swap files without it removes them, as the boot loader was
// never installed for them.

#include "config.h"

constexpr const char *SWAP_VERSION_PATH = "/standby_partition/.version";
constexpr const char *OLD_RELEASE_COMMIT_PATH = "/cfg/.swap.commit";

// Results of swap_standby_release.
constexpr int STANDBY_CURRENT = 0;
constexpr int STANDBY_OLD_RELEASE = 1;
constexpr int STANDBY_IRREGULAR = 3; // the version file is no regular file

constexpr int OLD_RELEASE_CONVERTED = 0;
constexpr int OLD_RELEASE_WRITE_FAILED = 1;
constexpr int OLD_RELEASE_READ_FAILED = 2;
// Results of old_release_resume besides 0 and 1.
constexpr int OLD_RELEASE_NONE = 0;
constexpr int OLD_RELEASE_RESUMED = 4;

// Returns true when line contains the name of one of the four old releases.
bool swap_is_old_release(const char *line);

// Reads the first line of the version file path.
// Returns 1 it names an old release; 0 it does not, the file has no line or
// cannot be opened; 3 the file is no regular file (nothing read).
int swap_standby_release(const char *path);

// Converts the configuration file path for an old release into pending,
// leaving path as it is: empty channel modes and the four SNMP communities in
// plain text; pending takes path's permissions. config is the working record;
// fields the file lacks keep what config held.
// Returns 0 converted; 2 path cannot be read; 1 pending cannot be written.
int convert_config_for_old_release(const char *path, const char *pending, nimbotex_config *config);

// Converts /cfg/config.default and then /cfg/config.active into their .swap
// files in the working record config, which starts with the defaults;
// config.active inherits from config.default what it does not set itself. A
// file that does not exist is skipped.
// Returns 0 every file there was converted; else the first failure (1 not
// written, 2 not read), and no .swap file is left.
int convert_configs_for_old_release(nimbotex_config *config);

// Once the boot loader is installed: writes the marker and renames the .swap
// files over the configuration files.
// Returns 0 done; 1 the marker cannot be written (the .swap files are removed
// and the configuration files are as they were) or a rename failed (a later
// run finishes it).
int old_release_commit(void);

// At the start of a run: finishes the renames of a committed conversion, or
// removes the .swap files of one that was never committed.
// Returns 4 the configuration files hold a committed conversion (the marker
// stays until old_release_done); 0 nothing committed; 1 the marker cannot be
// looked for or a rename failed.
int old_release_resume(void);

// Removes the .swap files of a conversion that will not be committed.
void old_release_discard(void);

// At the end of a swap: removes the marker, the conversion is complete.
void old_release_done(void);
