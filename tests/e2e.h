#pragma once
// End-to-end helpers: appliances and host scratch folders removed when the
// test ends, also when it fails; tables of whole runs.
#include "appliance.h"
#include "ftp_peer.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <span>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#define LOGIN "220 scripted|<|331 password|<|230 in|<|200 binary"
#define LOGGED_IN "USER anonymous\r\nPASS updater@nimbotex.lan\r\nTYPE I\r\n"
#define FAILED "\n  update: The application is terminated through an error\n\n"
#define DONE "  update: The application is terminated\n\n"
const std::string report = "\n  update: Starting update v2.02 \n\n  update: Host......: 127.0.0.1\n"
                           "  update: User......: anonymous\n  update: Password..: "
                           "updater@nimbotex.lan\n  update: Filename..: ";

struct Scratch {
    std::string path = [] {
        char t[] = "/tmp/e2e.XXXXXX";
        return std::string(mkdtemp(t) != nullptr ? t : "/nonexistent");
    }();
    ~Scratch() {
        (void)!std::system(("rm -rf " + path).c_str());
    }
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf(); // ends quietly where a read fails (a process ended meanwhile)
    return bytes.str();
}

// Whether a host process (by command line), loop device, mount or folder names base.
inline bool traced(const std::string &base) {
    std::string all = slurp("/proc/self/mountinfo") + (std::filesystem::exists(base) ? base : "");
    for (const char *dir : {"/proc", "/sys/block"})
        for (const auto &e : std::filesystem::directory_iterator(dir))
            all += slurp(e.path().string() + (dir[1] == 'p' ? "/cmdline" : "/loop/backing_file"));
    return all.find(base) != std::string::npos;
}

// Once destroyed, nothing of the appliance stays, nor its process 1.
struct Appliance1 {
    explicit Appliance1(const ApplianceOptions &o) {
        std::string err;
        a = appliance_create(o, &err);
        EXPECT_NE(a, nullptr) << err;
    }
    ~Appliance1() {
        std::string base = a ? appliance_root(a).substr(0, appliance_root(a).rfind('/')) : "";
        int init = a ? appliance_init_pid(a) : 0;
        appliance_destroy(a);
        EXPECT_TRUE(init == 0 || (!traced(base) && kill(init, 0) != 0)) << base;
    }
    Appliance *a;
};

inline std::string golden(const char *name) {
    return slurp(std::string(NIMBO_GOLDEN_DIR) + "/" + name);
}

inline int exit_code(const ApplianceResult &r) {
    return !r.timed_out && r.status >= 0 && WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

// Runs the shell commands inside; whether they fail does not count.
inline bool sh_in(Appliance *a, const std::string &cmds) {
    return exit_code(appliance_run(a, {"sh", "-c", cmds + "\n:"})) == 0;
}

// Returns an ext2 image of 1 MiB made in dir/name holding .version (none: "",
// a FIFO: "|"), bzImage-<v> and RFS-<v>.gz, then extra random bytes.
inline std::string make_image(const std::string &dir, const std::string &name,
                              const std::string &version, unsigned extra = 0) {
    std::string file = dir + "/" + name, v = version.size() > 9 ? version.substr(9) : "x";
    std::string dot = version.empty()  ? ":"
                      : version == "|" ? "mkfifo .version"
                                       : "printf '" + version + "\\n' >.version";
    std::string cmd = "mkdir -p " + dir + "/tree-" + name + " && cd " + dir + "/tree-" + name +
                      " && touch bzImage-" + v + " RFS-" + v + ".gz && " + dot +
                      " && mke2fs -q -F -t ext2 -d . " + file + " 1M >/dev/null && head -c " +
                      std::to_string(extra) + " /dev/urandom >>" + file + " && chmod 644 " + file;
    return std::system(cmd.c_str()) == 0 ? slurp(file) : "";
}

// Commands run in turn on one appliance after reset and prep, the test holding
// the run lock if locked. None may change the active partition or the RAM
// disk, nor one that fails a mount.
struct InTurn {
    const char *cmd, *prep;
    int exit;
    const char *state;
    std::string console = "";
    bool locked = false;
};

inline void run_in_turn(Appliance *a, const std::string &reset, std::span<const InTurn> runs) {
    const std::string active = appliance_read_file(a, "/dev/hda1");
    const std::string ram = appliance_read_file(a, "/dev/ram1");
    for (const InTurn &c : runs) {
        SCOPED_TRACE(std::string(c.cmd) + " after " + c.prep);
        ASSERT_TRUE(sh_in(a, reset + "\n" + c.prep));
        const std::string mounts = appliance_run(a, {"cat", "/proc/mounts"}).out;
        std::string lock_file = appliance_root(a) + "/cfg/.update.lock";
        int lock = c.locked ? open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600) : -1;
        ASSERT_TRUE(!c.locked || flock(lock, LOCK_EX) == 0);
        ApplianceResult r = appliance_run(a, ftp_script(c.cmd, ' '), 120);
        if (lock >= 0)
            close(lock);
        EXPECT_EQ(exit_code(r), c.exit);
        EXPECT_EQ(appliance_read_file(a, "/cfg/.update.state"), c.state);
        EXPECT_EQ(r.out, c.console);
        EXPECT_TRUE(c.exit == 0 || appliance_run(a, {"cat", "/proc/mounts"}).out == mounts);
    }
    EXPECT_TRUE(appliance_read_file(a, "/dev/hda1") == active) << "the active one changed";
    EXPECT_TRUE(appliance_read_file(a, "/dev/ram1") == ram) << "the RAM disk changed";
    EXPECT_EQ(appliance_init_signals(a), std::vector<int>{});
}

// A whole update run on a fresh appliance. vsftpd serves "nimbotex" (1 MiB
// of ext2, image_extra bytes more), or a scripted server sends it ("data:@all",
// "data:@N": its first N bytes), junk ("data:*N"), the standby's first 200 KiB
// ("data:@dev") or nimbotex.minisig ("data:@sig"). With sign or keys, minisign
// makes keys a, b and c, sign runs beside the image, keys go into
// /etc/update/keys ("bad.pub": a damaged one).
struct RunCase {
    const char *name, *args = "", *script = "vsftpd";
    int exit = 0;
    const char *state = "You can swap the system\n", *transcript = "";
    std::optional<std::string> console = {}; // none: "" without -d, else ends in the failure
    const char *version = "nimbotex.3.3.0";
    unsigned standby_kib = 8192, image_extra = 300;
    const char *prep = "", *sign = "", *keys = "";
    int sig = 0;                      // sent once the state file holds wait_state
    const char *wait_state = nullptr; // null: 1.5 s after the start
};
inline void PrintTo(const RunCase &c, std::ostream *os) {
    *os << c.name;
}
class UpdateRun : public ::testing::TestWithParam<RunCase> {};

inline constexpr auto row_name = [](const auto &info) { return std::string(info.param.name); };
