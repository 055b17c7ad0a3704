// libFuzzer target for the configuration reader: any file content is read
// without a stray write next to the record (guard bytes; ASan sees further),
// leaves every field a terminated text, and can be written again.
#include "config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    static const std::string in = dir + "/config_fuzz_in." + std::to_string(getpid());
    static const std::string out = dir + "/config_fuzz_out." + std::to_string(getpid());
    FILE *f = fopen(in.c_str(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0)
        abort();
    constexpr size_t guard = 64;
    static unsigned char block[sizeof(nimbotex_config) + 2 * guard];
    memset(block, 0xa5, sizeof block);
    auto *config = reinterpret_cast<nimbotex_config *>(block + guard);
    config_set_defaults(config);
    if (config_read_file(in.c_str(), config) != 0)
        abort();
    for (size_t i = 0; i < guard; ++i)
        if (block[i] != 0xa5 || block[guard + sizeof(nimbotex_config) + i] != 0xa5)
            abort();
    // Host entries behind the end mark keep whatever the block held.
    const char *fields = reinterpret_cast<const char *>(config);
    for (int n = 0, in_list = 1; n < CONFIG_FIELD_COUNT; ++n) {
        const char *field = fields + n * CONFIG_FIELD_SIZE;
        bool host = n >= 43 && n < 43 + CONFIG_SNMP_HOSTS;
        if (host && !in_list)
            continue;
        if (memchr(field, '\0', CONFIG_FIELD_SIZE) == nullptr)
            abort();
        in_list = in_list && !(host && field[0] == '\0');
    }
    if (config_write_file(out.c_str(), config) != 0)
        abort();
    unlink(in.c_str());
    unlink(out.c_str());
    return 0;
}
