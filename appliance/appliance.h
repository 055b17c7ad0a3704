#pragma once
// A throwaway appliance for end-to-end tests, the demo and the benchmark: a
// root folder with busybox, ext2 file systems on loop devices behind
// /dev/hda1 (active) and /dev/hda2 (standby), and /dev/hda3 on request (a
// spare partition for tests to mount elsewhere), a RAM disk behind dev/ram1, the
// marker files, a /sbin/lilo double and a stand-in for process 1, entered
// through private mount, pid, network and uts namespaces and chroot; vsftpd
// on 127.0.0.1:21 and a DNS server on 127.0.0.1:53 on request. Needs root.
// appliance_destroy leaves nothing behind: no mount, loop device, process or
// folder (a test process that dies takes the processes and loop devices
// along; its folder stays in TMPDIR).
//
// The lilo double records its arguments in /var/lilo/args, the configuration
// it was given in /var/lilo/conf, and each image or initrd named there that
// does not exist as "missing <path>" in /var/lilo/missing (then it fails).

#include <string>
#include <vector>

struct ApplianceOptions {
    std::string update_bin, swap_bin;           // copied to /sbin/update, /sbin/swap; empty: none
    bool smsc_marker = true;                    // /.smsc91c111
    std::string standby_marker = "/dev/hda2\n"; // /.standby_partition; "-": no file
    std::string active_marker = "/dev/hda1\n";  // /.active_partition; "-": no file
    unsigned active_kib = 8192, standby_kib = 8192;
    std::string active_tree, standby_tree; // host folders copied onto the partitions
    bool mount_standby = true; // at /standby_partition (/dev/hda1 is always at /active_partition)
    unsigned spare_kib = 0;    // > 0: an ext2 /dev/hda3 of this size, mounted nowhere
    unsigned ramdisk_kib = 16384; // 0: no dev/ram1
    std::string ftp_dir;          // non-empty: vsftpd serves it anonymously
    int lilo_status = 0;          // the lilo double's exit status when no file is missing
    // Non-empty: dnsmasq answers on 127.0.0.1:53 with these "name,address"
    // records and "no such name" for any other; /etc/resolv.conf names it.
    std::vector<std::string> dns_records;
};

// The options above with the binaries of this build (or of the product build).
ApplianceOptions appliance_default_options();

struct Appliance;

// Returns the appliance, or nullptr with the reason in *err.
Appliance *appliance_create(const ApplianceOptions &, std::string *err);
void appliance_destroy(Appliance *);

// Host folder that is "/" inside (the partitions and /dev are visible inside only).
const std::string &appliance_root(const Appliance *);
// Host pid of process 1 inside, for /proc/<pid>/ns/*.
int appliance_init_pid(const Appliance *);

struct ApplianceResult {
    int status = -1; // wait status; -1: could not run
    std::string out, err;
    bool timed_out = false; // killed after the time limit
};

// Runs argv inside (cwd "/", PATH=/sbin:/bin, nothing else in the environment).
ApplianceResult appliance_run(Appliance *, const std::vector<std::string> &argv,
                              int timeout_s = 60);
// As appliance_run, in the background: returns a handle (> 0) or -1.
int appliance_spawn(Appliance *, const std::vector<std::string> &argv);
int appliance_kill(Appliance *, int handle, int sig);
ApplianceResult appliance_wait(Appliance *, int handle, int timeout_s = 60);

// A file as the programs inside see it; *exists tells whether it was read.
std::string appliance_read_file(Appliance *, const std::string &path, bool *exists = nullptr);
bool appliance_write_file(Appliance *, const std::string &path, const std::string &content,
                          unsigned mode = 0644);
// Host path of the file behind /dev/hdaN (n = 1, 2): what reached the disk.
std::string appliance_disk_image(const Appliance *, int n);
// Signals process 1 received, in order.
std::vector<int> appliance_init_signals(Appliance *);
// A TCP listener on addr:port in the appliance's network; the caller owns it. -1 on failure.
int appliance_listen(Appliance *, const char *addr, int port);
