// Every operation that needs a working record must survive not getting one.
// This program replaces the global allocation functions so that the
// non-throwing form can be made to fail on demand.

#include "config.h"
#include "config_test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace {
bool fail_nothrow_new = false;
int nothrow_calls = 0;
} // namespace

void *operator new(std::size_t n) {
    if (void *p = std::malloc(n ? n : 1))
        return p;
    std::abort();
}
void *operator new[](std::size_t n) {
    return ::operator new(n);
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    ++nothrow_calls;
    return fail_nothrow_new ? nullptr : std::malloc(n ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept {
    return ::operator new(n, t);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

using namespace cfgtest;

namespace {

// Fails every record allocation while it lives.
struct NoMemory {
    NoMemory() {
        nothrow_calls = 0;
        fail_nothrow_new = true;
    }
    ~NoMemory() {
        fail_nothrow_new = false;
    }
};

TEST(ConfigNoMemory, PathOperationsFailBeforeTouchingTheFile) {
    TempDir dir;
    std::string path = dir / "config";
    write_text(path, field_line(0, "1.1.0"));
    NoMemory no_memory;
    testing::internal::CaptureStdout();
    int print = config_print(path.c_str());
    int convert = config_convert(path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(print, 12);
    EXPECT_EQ(convert, -1);
    EXPECT_EQ(nothrow_calls, 2);
    EXPECT_EQ(read_text(path), field_line(0, "1.1.0"));
}

TEST(ConfigNoMemory, CfgOperationsReturnTwelve) {
    TempDir root;
    std::filesystem::create_directory(root / "cfg");
    write_text(root / "cfg/config.active", field_line(43, "h0"));
    CFG_RUN_IN_ROOT(run, root.path, [] {
        NoMemory no_memory;
        auto c = std::make_unique<nimbotex_config>(); // throwing new still works
        std::string r = std::to_string(config_write_default());
        r += " " + std::to_string(config_add_snmp_host("h1"));
        r += " " + std::to_string(config_remove_snmp_host("h0"));
        r += " " + std::to_string(config_load(c.get()));
        return r + " " + std::to_string(nothrow_calls);
    });
    // config_load gets as far as creating the default file.
    EXPECT_EQ(run.out, "load /cfg/config.active\r\t\t\t\t\t\t\tdone\r\n");
    EXPECT_EQ(run.result, "12 12 12 0 3");
    EXPECT_EQ(read_text(root / "cfg/config.active"), field_line(43, "h0"));
    EXPECT_FALSE(std::filesystem::exists(root / "cfg/config.default"));
}

TEST(ConfigNoMemory, LoadPassesTheCodeOn) {
    TempDir root;
    std::filesystem::create_directory(root / "cfg");
    CFG_RUN_IN_ROOT(run, root.path, [] {
        NoMemory no_memory;
        auto c = std::make_unique<nimbotex_config>();
        return std::to_string(config_load(c.get()));
    });
    EXPECT_EQ(run.out, "load /cfg/config.active\r\t\t\t\t\t\t\tfailed\r\n"
                       "load /cfg/config.default\r\t\t\t\t\t\t\tfailed\r\n"
                       "create /cfg/config.default\r\t\t\t\t\t\t\tfailed\r\n");
    EXPECT_EQ(run.result, "12");
    EXPECT_FALSE(std::filesystem::exists(root / "cfg/config.default"));
}

} // namespace
