#pragma once
// End-to-end helpers: one appliance and one host scratch folder per fixture,
// both removed when the test ends, also when it fails.
#include "appliance.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>

struct Scratch {
    std::string path = [] {
        char t[] = "/tmp/e2e.XXXXXX";
        return std::string(mkdtemp(t) != nullptr ? t : "/nonexistent");
    }();
    ~Scratch() {
        (void)!std::system(("rm -rf " + path).c_str());
    }
};

struct Appliance1 {
    explicit Appliance1(const ApplianceOptions &o) {
        std::string err;
        a = appliance_create(o, &err);
        EXPECT_NE(a, nullptr) << err;
    }
    ~Appliance1() {
        appliance_destroy(a);
    }
    Appliance *a;
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string golden(const char *name) {
    return slurp(std::string(NIMBO_GOLDEN_DIR) + "/" + name);
}

inline int exit_code(const ApplianceResult &r) {
    return !r.timed_out && r.status >= 0 && WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

// Console text without the progress reports that overwrite each other.
inline std::string settled(const std::string &console) {
    return std::regex_replace(console, std::regex("[^\r\n]*\r"), "");
}

// An ext2 image of kib KiB in dir/name holding .version (none when version is
// empty, a FIFO when it is "|"), bzImage-<v> and RFS-<v>.gz, then extra bytes.
// Returns its bytes.
inline std::string make_image(const std::string &dir, const std::string &name,
                              const std::string &version, unsigned kib = 1024, unsigned extra = 0) {
    std::string tree = dir + "/tree-" + name, v = version.size() > 9 ? version.substr(9) : "x";
    std::string cmd = "mkdir -p " + tree + " && cd " + tree + " && touch bzImage-" + v + " RFS-" +
                      v + ".gz" +
                      (version.empty()  ? ""
                       : version == "|" ? " && mkfifo .version"
                                        : " && printf '" + version + "\\n' > .version") +
                      " && mke2fs -q -F -t ext2 -d " + tree + " " + dir + "/" + name + " " +
                      std::to_string(kib) + "k >/dev/null && head -c " + std::to_string(extra) +
                      " /dev/urandom >> " + dir + "/" + name + " && chmod 644 " + dir + "/" + name;
    return std::system(cmd.c_str()) == 0 ? slurp(dir + "/" + name) : "";
}
