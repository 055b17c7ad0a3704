#pragma once
// The swap run: makes the standby partition the one the machine boots next.

constexpr int SWAP_OK = 0;
constexpr int SWAP_FAILED = 1;  // refused, a command failed, no memory
constexpr int SWAP_NO_FILE = 2; // a marker file or listing cannot be opened

constexpr const char *SWAP_VERSION_BANNER = "v1.10 (nimbotex maintenance)";
// SIGPWR on x86 Linux: init restarts the machine.
constexpr int SWAP_RESTART_SIGNAL = 30;

// Handles a command line with arguments; only the last one counts ("-v",
// "-h"). Prints the banner, the usage or "invalid argument".
// Returns 0 for "-v" and "-h"; 1 for anything else.
int swap_command_line(const char *prog, int argc, char **argv);

// Checks that the first line of the state file path says the system may be
// swapped. A file that cannot be read is created saying it may not.
// Returns 0 swap allowed; 1 not allowed, or the file can neither be read
// nor created (each with its console line).
int swap_check_state(const char *prog, const char *path);

// Runs command through system(). On a non-zero wait status prints
// "  prog: failed (command [status])".
// Returns 0 the command succeeded; 1 it failed.
int run_shell_command(const char *prog, const char *command);

// The whole swap run, ending with signal 30 to process 1, under the run lock
// that update takes too.
// Returns 0 swapped; 1 refused (also while another update or swap holds the
// lock) or a step failed; 2 a marker file or listing cannot be opened.
int swap_run(const char *prog);
