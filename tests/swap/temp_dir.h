#pragma once
// A scratch directory for one test, removed with everything in it.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

struct TempDir {
    std::string path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "swap-test-XXXXXX").string();
        // Without it every path below would name a file at the root.
        if (!mkdtemp(tmpl.data()))
            std::abort();
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const {
        return path + "/" + name;
    }
};

inline void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
