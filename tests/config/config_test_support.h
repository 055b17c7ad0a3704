#pragma once
// Helpers shared by the configuration store's tests: a scratch directory,
// whole-file reading and writing, and a child process that sees a scratch
// directory as its root, so that the fixed /cfg paths can be exercised.

#include "config.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace cfgtest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cfgtest.XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            path = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const {
        return path + "/" + name;
    }
};

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string field_line(int label, const std::string &value) {
    return std::string(config_labels[label]) + value + "\n";
}

// The file form of a scrambled value, worked out here rather than by the
// code under test.
inline std::string scrambled(const std::string &plain) {
    std::string s = plain.substr(0, CONFIG_FIELD_SIZE - 1);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(s[i] ^ config_scramble_key[i]);
    return s;
}

inline std::vector<std::string> host_list(const nimbotex_config &c) {
    std::vector<std::string> hosts;
    for (int k = 0; k < CONFIG_SNMP_HOSTS && c.snmp_host[k][0] != '\0'; ++k)
        hosts.emplace_back(c.snmp_host[k], strnlen(c.snmp_host[k], CONFIG_FIELD_SIZE));
    return hosts;
}

inline std::string text_of(const char *field) {
    return std::string(field, strnlen(field, CONFIG_FIELD_SIZE));
}

struct ChildRun {
    bool skipped = false; // namespaces or chroot are not available here
    std::string reason;   // why it was skipped or failed to set up
    int status = -1;      // wait status of the child
    std::string out;      // what the child wrote to standard output
    std::string result;   // what the body returned
};

enum class CfgMount { plain, tmpfs_8k, readonly };

// Runs body in a child that has its own mount namespace and root dir as its
// root directory; with tmpfs_8k a small file system is mounted on root/cfg
// first, with readonly root/cfg is bound read-only onto itself. Everything
// the child mounts goes away with its namespace.
inline ChildRun run_in_root(const std::string &root, const std::function<std::string()> &body,
                            CfgMount cfg = CfgMount::plain) {
    ChildRun run;
    if (geteuid() != 0) {
        run.skipped = true;
        run.reason = "needs root for mount namespaces and chroot";
        return run;
    }
    int out_pipe[2], result_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(result_pipe) != 0) {
        run.reason = "pipe failed";
        return run;
    }
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(out_pipe[0]);
        close(result_pipe[0]);
        auto report = [&](const std::string &text) {
            const char *p = text.data();
            std::size_t left = text.size();
            while (left > 0) {
                ssize_t n = write(result_pipe[1], p, left);
                if (n <= 0)
                    break;
                p += n;
                left -= static_cast<std::size_t>(n);
            }
        };
        if (unshare(CLONE_NEWNS) != 0) {
            int e = errno;
            report(std::string(e == EPERM || e == EINVAL || e == ENOSYS ? "SKIP:" : "FAIL:") +
                   "unshare(CLONE_NEWNS): " + std::strerror(e));
            _exit(0);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            report(std::string("FAIL:make / private: ") + std::strerror(errno));
            _exit(0);
        }
        std::string cfgdir = root + "/cfg";
        if (cfg == CfgMount::tmpfs_8k &&
            mount("cfgtest", cfgdir.c_str(), "tmpfs", 0, "size=8k,mode=0755") != 0) {
            report(std::string("FAIL:mount tmpfs: ") + std::strerror(errno));
            _exit(0);
        }
        if (cfg == CfgMount::readonly &&
            (mount(cfgdir.c_str(), cfgdir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
             mount(nullptr, cfgdir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                 0)) {
            report(std::string("FAIL:read-only bind: ") + std::strerror(errno));
            _exit(0);
        }
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
            int e = errno;
            report(std::string(e == ENOSYS ? "SKIP:" : "FAIL:") + "chroot: " + std::strerror(e));
            _exit(0);
        }
        if (dup2(out_pipe[1], STDOUT_FILENO) < 0)
            _exit(2);
        std::string result = "OK:" + body();
        std::fflush(stdout);
        report(result);
        _exit(0);
    }
    close(out_pipe[1]);
    close(result_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(result_pipe[0]);
        run.reason = "fork failed";
        return run;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {result_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.result};
    int open_fds = 2;
    while (open_fds > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    waitpid(pid, &run.status, 0);
    if (run.result.rfind("SKIP:", 0) == 0) {
        run.skipped = true;
        run.reason = run.result.substr(5);
    } else if (run.result.rfind("OK:", 0) == 0) {
        run.result.erase(0, 3);
    } else {
        run.reason = run.result.empty() ? "child died" : run.result;
    }
    return run;
}

} // namespace cfgtest

// Runs body under root (see run_in_root) and leaves its result in run;
// skips the test where the platform cannot give the child its own root.
#define CFG_RUN_IN_ROOT(run, ...)                                                                  \
    cfgtest::ChildRun run = cfgtest::run_in_root(__VA_ARGS__);                                     \
    if (run.skipped)                                                                               \
        GTEST_SKIP() << run.reason;                                                                \
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0 && run.reason.empty())       \
        << run.reason << " status " << run.status
