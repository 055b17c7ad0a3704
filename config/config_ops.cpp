// Operations on the appliance's two configuration files: the default file,
// the upgrade of old layouts, loading with fall-back and the host list.

#include "config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>

namespace {

constexpr const char *VERSION_1_2_0 = "1.2.0";
constexpr const char *DEFAULT_LOCATION = "Nimbotex";
constexpr const char *DEFAULT_REMOTE_COMMUNITY = "walnut";

constexpr const char *STEP_DONE = "\t\t\t\t\t\t\tdone\r\n";
constexpr const char *STEP_FAILED = "\t\t\t\t\t\t\tfailed\r\n";

bool field_is(const char *field, const char *text) {
    return std::strncmp(field, text, CONFIG_FIELD_SIZE) == 0;
}

void set_field(char *field, const char *text) {
    std::memset(field, 0, CONFIG_FIELD_SIZE);
    std::memcpy(field, text, strnlen(text, CONFIG_FIELD_SIZE - 1));
}

// Reads /cfg/config.active for a list edit, printing complaint when it cannot.
// Returns true when the edit may go on: the file was read, or there is none
// yet and the edit will create it. A file that exists but cannot be read is
// never replaced by the little the edit knows.
bool read_active(nimbotex_config *config, const char *complaint) {
    if (config_read_file(CONFIG_ACTIVE_PATH, config) == CONFIG_OK)
        return true;
    std::fputs(complaint, stdout);
    struct stat st;
    return stat(CONFIG_ACTIVE_PATH, &st) != 0 && errno == ENOENT;
}

// Appends host after the last entry. Returns 0, or 12 when the list is full.
int add_host(char (&hosts)[CONFIG_SNMP_HOSTS][CONFIG_FIELD_SIZE], const char *host) {
    int k = 0;
    while (k < CONFIG_SNMP_HOSTS && hosts[k][0] != '\0')
        ++k;
    if (k == CONFIG_SNMP_HOSTS)
        return CONFIG_NO_MEMORY;
    set_field(hosts[k], host);
    if (k + 1 < CONFIG_SNMP_HOSTS)
        hosts[k + 1][0] = '\0';
    return CONFIG_OK;
}

// Removes the first entry equal to host. Returns 0, or 22 when there is none.
int remove_host(char (&hosts)[CONFIG_SNMP_HOSTS][CONFIG_FIELD_SIZE], const char *host) {
    int k = 0;
    while (k < CONFIG_SNMP_HOSTS && hosts[k][0] != '\0' &&
           std::strncmp(hosts[k], host, CONFIG_FIELD_SIZE) != 0)
        ++k;
    if (k == CONFIG_SNMP_HOSTS || hosts[k][0] == '\0')
        return CONFIG_HOST_UNKNOWN;
    // Close the gap; the end mark moves up with the hosts, and a full list
    // gets its last entry emptied.
    for (; k + 1 < CONFIG_SNMP_HOSTS && hosts[k][0] != '\0'; ++k)
        std::memcpy(hosts[k], hosts[k + 1], CONFIG_FIELD_SIZE);
    if (k + 1 == CONFIG_SNMP_HOSTS)
        hosts[k][0] = '\0';
    return CONFIG_OK;
}

using HostEdit = int (*)(char (&)[CONFIG_SNMP_HOSTS][CONFIG_FIELD_SIZE], const char *);

// Loads /cfg/config.active, applies edit to its host list and writes it back,
// printing cant_get or cant_write when the file cannot be read or written.
// Returns 0, the edit's own code, 12 without memory, 1 not read or written, or
// 22 for a null host.
int edit_active_hosts(const char *host, HostEdit edit, const char *cant_get,
                      const char *cant_write) {
    if (host == nullptr)
        return CONFIG_HOST_UNKNOWN;
    ConfigRecord config = config_record_new();
    if (!config)
        return CONFIG_NO_MEMORY;
    if (!read_active(config.get(), cant_get))
        return CONFIG_WRITE_FAILED;
    int rc = edit(config->snmp_host, host);
    if (rc != CONFIG_OK)
        return rc;
    if (config_write_file(CONFIG_ACTIVE_PATH, config.get()) != CONFIG_OK) {
        std::fputs(cant_write, stdout);
        return CONFIG_WRITE_FAILED;
    }
    return CONFIG_OK;
}

void step(const char *verb, const char *path) {
    std::printf("%s %s\r", verb, path);
    std::fflush(stdout);
}

void step_result(int rc) {
    std::fputs(rc == CONFIG_OK ? STEP_DONE : STEP_FAILED, stdout);
    std::fflush(stdout);
}

} // namespace

int config_write_default(void) {
    ConfigRecord config = config_record_new();
    if (!config)
        return CONFIG_NO_MEMORY;
    config_set_defaults(config.get());
    return config_write_file(CONFIG_DEFAULT_PATH, config.get());
}

int config_convert(const char *path) {
    ConfigRecord config = config_record_new();
    if (!config)
        return CONFIG_CONVERT_FAILED;
    nimbotex_config &c = *config;
    config_set_defaults(&c);
    if (config_read_file(path, &c) != CONFIG_OK)
        return CONFIG_CONVERT_FAILED;

    if (field_is(c.config_version, VERSION_1_2_0)) {
        if (c.snmp_location_name[0] == '\0')
            set_field(c.snmp_location_name, DEFAULT_LOCATION);
        std::memcpy(c.channel0_station_name, c.snmp_location_name, CONFIG_FIELD_SIZE);
        std::memcpy(c.channel1_station_name, c.snmp_location_name, CONFIG_FIELD_SIZE);
        std::memcpy(c.snmp_sysname, c.snmp_location_name, CONFIG_FIELD_SIZE);
        if (field_is(c.sntp_activate, "0"))
            set_field(c.sntp_activate, "2");
        if (field_is(c.sntp_interval, "0"))
            set_field(c.sntp_interval, "3600");
        // 1.2.0 kept the communities in plain text, which the reader has just
        // toggled; toggle them back. A missing remote community holds our
        // plain default and must stay as it is.
        config_scramble_field(c.snmp_community_read);
        config_scramble_field(c.snmp_community_write);
        config_scramble_field(c.snmp_community_trap);
        if (!field_is(c.snmp_remote_community_read, DEFAULT_REMOTE_COMMUNITY))
            config_scramble_field(c.snmp_remote_community_read);
        set_field(c.channel0_mode, "1");
        set_field(c.channel1_mode, "1");
    }

    if (field_is(c.config_version, CONFIG_VERSION_CURRENT))
        return CONFIG_CURRENT;
    set_field(c.config_version, CONFIG_VERSION_CURRENT);
    if (config_write_file(path, &c) != CONFIG_OK)
        return CONFIG_CONVERT_FAILED;
    return CONFIG_CONVERTED;
}

int config_load(nimbotex_config *config) {
    step("load", CONFIG_ACTIVE_PATH);
    int rc = config_read_file(CONFIG_ACTIVE_PATH, config);
    step_result(rc);
    if (rc == CONFIG_OK)
        return rc;

    step("load", CONFIG_DEFAULT_PATH);
    rc = config_read_file(CONFIG_DEFAULT_PATH, config);
    step_result(rc);
    if (rc == CONFIG_OK)
        return rc;

    step("create", CONFIG_DEFAULT_PATH);
    rc = config_write_default();
    step_result(rc);
    if (rc != CONFIG_OK)
        return rc;

    step("loading", CONFIG_DEFAULT_PATH);
    rc = config_read_file(CONFIG_DEFAULT_PATH, config);
    step_result(rc);
    return rc;
}

int config_add_snmp_host(const char *host) {
    return edit_active_hosts(host, add_host, "can't get struct nimbotex_config\n",
                             "can't write struct nimbotex_config\n");
}

int config_remove_snmp_host(const char *host) {
    return edit_active_hosts(host, remove_host, "can't get nimbotex_config\n",
                             "can't write nimbotex_config\n");
}
