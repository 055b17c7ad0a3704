#pragma once
// A simulated appliance for end-to-end tests: a chroot with busybox, ext2
// partitions on loop devices behind /dev/hda1 and /dev/hda2, a RAM disk,
// marker files, a recording /sbin/lilo, an init stand-in as process 1 and,
// on request, vsftpd on 127.0.0.1:21, all in private mount, pid, network and
// uts namespaces. Needs root. Nothing of a sandbox outlives sandbox_destroy,
// nor the test process if it dies first.

#include <string>
#include <vector>

struct SandboxOptions {
    // Defaults from NIMBO_UPDATE_BIN / NIMBO_SWAP_BIN; copied to /sbin/update, /sbin/swap.
    std::string update_bin, swap_bin;
    bool smsc_marker = true;                         // create /.smsc91c111
    bool standby_marker = true;                      // create /.standby_partition ...
    std::string standby_marker_text = "/dev/hda2\n"; // ... with this content
    bool active_marker = true;
    std::string active_marker_text = "/dev/hda1\n";
    unsigned active_kib = 8192, standby_kib = 8192; // ext2 partitions behind /dev/hda1, /dev/hda2
    // Host folders whose content goes onto each partition (mke2fs -d); empty = empty fs.
    std::string active_tree, standby_tree;
    bool mount_standby = true,
         mount_active = true;     // mounted at /standby_partition, /active_partition
    unsigned ramdisk_kib = 16384; // block device behind "dev/ram1" (0 = none)
    bool vsftpd = false;          // start vsftpd on 127.0.0.1:21 inside
    // Host folder served by vsftpd: anonymous root and home of user "nimbo"
    // (password "nimbo-secret"). The server reads it as an unprivileged user:
    // the folder is made readable for all, its files must be (0644 is fine).
    // The server's log is /var/log/vsftpd.log inside.
    std::string ftp_dir;
    int lilo_status = 0; // exit status of the /sbin/lilo test double
};

// The options above with update_bin and swap_bin filled in.
SandboxOptions sandbox_default_options();

struct Sandbox; // opaque

// Returns the new sandbox, or nullptr with the reason in *err (when err is not
// null). The sandbox dies with the thread that created it: create it on the
// thread that also destroys it.
Sandbox *sandbox_create(const SandboxOptions &, std::string *err);

// Kills what runs inside, unmounts, detaches the loop devices and removes the root.
void sandbox_destroy(Sandbox *);

// Host path of the appliance root directory ("/" inside). The partitions,
// /dev and /proc are mounted inside only: use sandbox_read_file for them.
const std::string &sandbox_root(const Sandbox *);

struct SandboxResult {
    int status;      // wait status (WIFEXITED etc.); -1 when the program could not be run
    std::string out; // stdout
    std::string err; // stderr
    bool timed_out;  // killed with SIGKILL after the time limit
};

// Runs argv inside (chroot "/", cwd "/", PATH=/sbin:/bin, otherwise empty
// environment). argv[0] is looked up in PATH and is what the program sees as
// argv[0]. i386 programs run under qemu-i386-static when the kernel cannot
// exec them.
SandboxResult sandbox_run(Sandbox *, const std::vector<std::string> &argv, int timeout_s = 60);

// As sandbox_run, in the background. Returns a handle (> 0), or -1.
int sandbox_spawn(Sandbox *, const std::vector<std::string> &argv);

// Sends sig to a spawned program (the handle is its pid inside). Returns 0,
// or -1 (unknown handle, program ended).
int sandbox_kill(Sandbox *, int handle, int sig);

// Waits for a spawned program; on timeout it and its process group are
// killed with SIGKILL. Each handle can be waited for once.
SandboxResult sandbox_wait(Sandbox *, int handle, int timeout_s = 60);

// A file inside as the programs see it (through the mounts). *exists tells
// whether it could be read; the result is empty when not.
std::string sandbox_read_file(Sandbox *, const std::string &path, bool *exists = nullptr);

// Writes (creates or truncates) a file inside. Returns true on success.
bool sandbox_write_file(Sandbox *, const std::string &path, const std::string &content,
                        unsigned mode = 0644);

// Signals that process 1 (the init stand-in) received so far, in order.
std::vector<int> sandbox_init_signals(Sandbox *);

// Host path of the file behind /dev/hdaN (n = 1, 2), for byte-for-byte checks;
// empty for any other n.
std::string sandbox_partition_image(const Sandbox *, int n);

// A listening TCP socket bound to addr:port inside the sandbox's network
// namespace; the fd belongs to the calling process. Returns -1 on failure.
int sandbox_listen(Sandbox *, const char *addr, int port);

// A TCP socket connected to addr:port inside the sandbox's network namespace,
// bound to from_addr first unless it is null. Returns -1 on failure.
int sandbox_connect(Sandbox *, const char *addr, int port, const char *from_addr);

// Host pid of process 1 inside (for nsenter into the sandbox's namespaces).
int sandbox_init_pid(const Sandbox *);
