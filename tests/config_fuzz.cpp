// libFuzzer target for the configuration reader: any file content must be
// read without touching a byte outside the record, must leave every field a
// terminated text, and the result must be writable again.

#include "config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t GUARD = 64;
constexpr unsigned char GUARD_BYTE = 0xa5;

std::string scratch_path(const char *name) {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + std::to_string(getpid());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string input = scratch_path("config_fuzz_in.");
    static const std::string output = scratch_path("config_fuzz_out.");

    FILE *f = std::fopen(input.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    if (std::fclose(f) != 0)
        std::abort();

    // Guard bytes on both sides catch stray writes close to the record;
    // ASan's red zones catch those further away.
    auto *block = static_cast<unsigned char *>(std::malloc(sizeof(nimbotex_config) + 2 * GUARD));
    if (block == nullptr)
        std::abort();
    std::memset(block, GUARD_BYTE, GUARD);
    std::memset(block + GUARD + sizeof(nimbotex_config), GUARD_BYTE, GUARD);
    auto *config = reinterpret_cast<nimbotex_config *>(block + GUARD);
    config_set_defaults(config);

    if (config_read_file(input.c_str(), config) != 0)
        std::abort();
    for (std::size_t i = 0; i < GUARD; ++i) {
        if (block[i] != GUARD_BYTE || block[GUARD + sizeof(nimbotex_config) + i] != GUARD_BYTE)
            std::abort();
    }
    // Host entries behind the end mark hold whatever malloc gave.
    const char *fields = reinterpret_cast<const char *>(config);
    bool in_list = true;
    for (int n = 0; n < CONFIG_FIELD_COUNT; ++n) {
        const char *field = fields + n * CONFIG_FIELD_SIZE;
        bool host = n >= 43 && n < 43 + CONFIG_SNMP_HOSTS;
        if (host && !in_list)
            continue;
        if (memchr(field, '\0', CONFIG_FIELD_SIZE) == nullptr)
            std::abort();
        if (host && field[0] == '\0')
            in_list = false;
    }
    if (config_write_file(output.c_str(), config) != 0)
        std::abort();

    std::free(block);
    unlink(input.c_str());
    unlink(output.c_str());
    return 0;
}
