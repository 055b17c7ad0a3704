// The configuration record's text form: one table drives the writer, the
// reader, the defaults and the console listing.

#include "config.h"

#include "base.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Section : unsigned char {
    SEC_INFO,
    SEC_MANAGEMENT,
    SEC_BACKUP0,
    SEC_BACKUP1,
    SEC_SNTP,
    SEC_SNMP,
    SEC_EMAIL,
    SEC_EVENT,
};

struct SectionText {
    const char *header;
    const char *file_underline;
    const char *console_underline; // the console listing has always drawn these shorter
};

constexpr SectionText sections[] = {
    {"config info:\n", "------------\n", "------------\n"},
    {"management:\n", "-----------\n", "-----------\n"},
    {"backup channel 0:\n", "-----------------\n", "-----------------\n"},
    {"backup channel 1:\n", "-----------------\n", "-----------------\n"},
    {"sntp:\n", "-----\n", "-----\n"},
    {"snmp:\n", "-----\n", "-----\n"},
    {"email:\n", "------\n", "-----\n"},
    {"event:\n", "------\n", "-----\n"},
};

constexpr bool PLAIN = false;
constexpr bool SCRAMBLED = true;
constexpr bool SINGLE = false;
constexpr bool LIST = true;

// One row per label, in label order; the label text is config_labels[row].
struct ConfigLine {
    std::size_t offset;
    Section section;
    bool scrambled;
    bool list;
    const char *default_value;
};

constexpr ConfigLine config_lines[CONFIG_LABEL_COUNT] = {
    {offsetof(nimbotex_config, config_version), SEC_INFO, PLAIN, SINGLE, "1.2.3"},
    {offsetof(nimbotex_config, management_ip), SEC_MANAGEMENT, PLAIN, SINGLE, "0.0.0.0"},
    {offsetof(nimbotex_config, remote_management_ip), SEC_MANAGEMENT, PLAIN, SINGLE, "0.0.0.0"},
    {offsetof(nimbotex_config, netmask), SEC_MANAGEMENT, PLAIN, SINGLE, "0.0.0.0"},
    {offsetof(nimbotex_config, vlan_mng), SEC_MANAGEMENT, PLAIN, SINGLE, "disable"},
    {offsetof(nimbotex_config, vlan_tp1), SEC_MANAGEMENT, PLAIN, SINGLE, "data"},
    {offsetof(nimbotex_config, vlan_id), SEC_MANAGEMENT, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, vlan_priority), SEC_MANAGEMENT, PLAIN, SINGLE, "7"},
    {offsetof(nimbotex_config, gateway_ip), SEC_MANAGEMENT, PLAIN, SINGLE, "0.0.0.0"},
    {offsetof(nimbotex_config, channel0_local_backup_ip), SEC_BACKUP0, PLAIN, SINGLE,
     "192.168.10.1"},
    {offsetof(nimbotex_config, channel0_local_mac_address), SEC_BACKUP0, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, channel0_remote_backup_ip), SEC_BACKUP0, PLAIN, SINGLE,
     "192.168.10.2"},
    {offsetof(nimbotex_config, channel0_remote_mac_address), SEC_BACKUP0, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, channel0_network_name), SEC_BACKUP0, PLAIN, SINGLE,
     "Nimbotex-QX500"},
    {offsetof(nimbotex_config, channel0_station_name), SEC_BACKUP0, PLAIN, SINGLE, "Nimbotex"},
    {offsetof(nimbotex_config, channel0_mode), SEC_BACKUP0, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, channel0_channel), SEC_BACKUP0, PLAIN, SINGLE, "4"},
    {offsetof(nimbotex_config, channel0_encryption_key), SEC_BACKUP0, SCRAMBLED, SINGLE, ""},
    {offsetof(nimbotex_config, channel0_sensitivity), SEC_BACKUP0, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, channel1_local_backup_ip), SEC_BACKUP1, PLAIN, SINGLE,
     "192.168.11.1"},
    {offsetof(nimbotex_config, channel1_local_mac_address), SEC_BACKUP1, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, channel1_remote_backup_ip), SEC_BACKUP1, PLAIN, SINGLE,
     "192.168.11.2"},
    {offsetof(nimbotex_config, channel1_remote_mac_address), SEC_BACKUP1, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, channel1_network_name), SEC_BACKUP1, PLAIN, SINGLE,
     "Nimbotex-QX500"},
    {offsetof(nimbotex_config, channel1_station_name), SEC_BACKUP1, PLAIN, SINGLE, "Nimbotex"},
    {offsetof(nimbotex_config, channel1_mode), SEC_BACKUP1, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, channel1_channel), SEC_BACKUP1, PLAIN, SINGLE, "10"},
    {offsetof(nimbotex_config, channel1_encryption_key), SEC_BACKUP1, SCRAMBLED, SINGLE, ""},
    {offsetof(nimbotex_config, channel1_sensitivity), SEC_BACKUP1, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, sntp_server), SEC_SNTP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, sntp_version), SEC_SNTP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, sntp_activate), SEC_SNTP, PLAIN, SINGLE, "2"},
    {offsetof(nimbotex_config, sntp_interval), SEC_SNTP, PLAIN, SINGLE, "3600"},
    {offsetof(nimbotex_config, sntp_utcindex), SEC_SNTP, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, sntp_utcsign), SEC_SNTP, PLAIN, SINGLE, "1"},
    {offsetof(nimbotex_config, snmp_authtraps), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_sysname), SEC_SNMP, PLAIN, SINGLE, "Nimbotex"},
    {offsetof(nimbotex_config, snmp_syscontact), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_syslocation), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_community_read), SEC_SNMP, SCRAMBLED, SINGLE, "walnut"},
    {offsetof(nimbotex_config, snmp_community_write), SEC_SNMP, SCRAMBLED, SINGLE, "juniper"},
    {offsetof(nimbotex_config, snmp_community_trap), SEC_SNMP, SCRAMBLED, SINGLE, "walnut"},
    {offsetof(nimbotex_config, snmp_remote_community_read), SEC_SNMP, SCRAMBLED, SINGLE, "walnut"},
    {offsetof(nimbotex_config, snmp_host), SEC_SNMP, PLAIN, LIST, ""},
    {offsetof(nimbotex_config, snmp_company), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_address), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_city), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_contact), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_phone), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_mobile), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_fax), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_email), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_location_name), SEC_SNMP, PLAIN, SINGLE, "Nimbotex"},
    {offsetof(nimbotex_config, snmp_location_city), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_location_street), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_location_detail), SEC_SNMP, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, snmp_dns_1), SEC_SNMP, PLAIN, SINGLE, "0.0.0.0"},
    {offsetof(nimbotex_config, snmp_dns_2), SEC_SNMP, PLAIN, SINGLE, "0.0.0.0"},
    {offsetof(nimbotex_config, email_mydomain), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_server_1), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_user_1), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_passwd_1), SEC_EMAIL, SCRAMBLED, SINGLE, ""},
    {offsetof(nimbotex_config, email_address_1), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_status_1), SEC_EMAIL, PLAIN, SINGLE, "2"},
    {offsetof(nimbotex_config, email_server_2), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_user_2), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_passwd_2), SEC_EMAIL, SCRAMBLED, SINGLE, ""},
    {offsetof(nimbotex_config, email_address_2), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_status_2), SEC_EMAIL, PLAIN, SINGLE, "2"},
    {offsetof(nimbotex_config, email_server_3), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_user_3), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_passwd_3), SEC_EMAIL, SCRAMBLED, SINGLE, ""},
    {offsetof(nimbotex_config, email_address_3), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_status_3), SEC_EMAIL, PLAIN, SINGLE, "2"},
    {offsetof(nimbotex_config, email_server_4), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_user_4), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_passwd_4), SEC_EMAIL, SCRAMBLED, SINGLE, ""},
    {offsetof(nimbotex_config, email_address_4), SEC_EMAIL, PLAIN, SINGLE, ""},
    {offsetof(nimbotex_config, email_status_4), SEC_EMAIL, PLAIN, SINGLE, "2"},
    {offsetof(nimbotex_config, event_heating), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_temperature), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_internal_powersupply), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_external_230v), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_external_48v), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_fan), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_backup), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_air_interface), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_fiber_interface), SEC_EVENT, PLAIN, SINGLE, "0"},
    {offsetof(nimbotex_config, event_tp1_interface), SEC_EVENT, PLAIN, SINGLE, "0"},
};

constexpr int HOST_LABEL = 43;

constexpr std::size_t expected_offset(int label) {
    if (label <= HOST_LABEL)
        return static_cast<std::size_t>(label) * CONFIG_FIELD_SIZE;
    return static_cast<std::size_t>(label + 99) * CONFIG_FIELD_SIZE;
}

constexpr bool table_is_sound() {
    int scrambled = 0;
    for (int i = 0; i < CONFIG_LABEL_COUNT; ++i) {
        const ConfigLine &line = config_lines[i];
        if (line.offset != expected_offset(i) || line.list != (i == HOST_LABEL))
            return false;
        if (i > 0 && line.section < config_lines[i - 1].section)
            return false;
        if (std::string_view(line.default_value).size() >= CONFIG_FIELD_SIZE)
            return false;
        scrambled += line.scrambled;
    }
    return scrambled == CONFIG_SCRAMBLED_FIELDS;
}
static_assert(table_is_sound());

// Labels all have the same length, so distinct labels never contain one
// another and a line can only match the labels it was written for.
constexpr bool labels_are_sound() {
    for (int i = 0; i < CONFIG_LABEL_COUNT; ++i) {
        std::string_view label(config_labels[i]);
        if (label.size() != CONFIG_LABEL_LENGTH || !label.ends_with(": "))
            return false;
        for (int j = 0; j < i; ++j)
            if (label == config_labels[j])
                return false;
    }
    return true;
}
static_assert(labels_are_sound());

constexpr int LINE_PIECE = 58; // the reader's 59-byte line buffer

char *field_at(nimbotex_config *config, std::size_t offset) {
    return reinterpret_cast<char *>(config) + offset;
}

const char *field_at(const nimbotex_config *config, std::size_t offset) {
    return reinterpret_cast<const char *>(config) + offset;
}

// Writes the record's lines to out. The console form differs in two
// underlines and shows the scrambled fields in plain.
// Returns 0, or -1 when a write failed.
int emit_config(FILE *out, const nimbotex_config *config, bool console) {
    int failed = 0;
    auto line = [&](const char *label, const char *value) {
        // %.29s: a field that lost its NUL never drags its neighbour along.
        if (std::fprintf(out, "%s%.29s\n", label, value) < 0)
            failed = -1;
    };
    auto text = [&](const char *s) {
        if (std::fputs(s, out) < 0)
            failed = -1;
    };

    int section = -1;
    for (int i = 0; i < CONFIG_LABEL_COUNT; ++i) {
        const ConfigLine &row = config_lines[i];
        if (row.section != section) {
            if (section >= 0)
                text("\n");
            section = row.section;
            text(sections[section].header);
            text(console ? sections[section].console_underline : sections[section].file_underline);
        }
        if (row.list) {
            for (int k = 0; k < CONFIG_SNMP_HOSTS && config->snmp_host[k][0] != '\0'; ++k)
                line(config_labels[i], config->snmp_host[k]);
        } else if (row.scrambled && !console) {
            // Scramble a copy: the caller's record stays plain whatever happens.
            char field[CONFIG_FIELD_SIZE];
            std::memcpy(field, field_at(config, row.offset), CONFIG_FIELD_SIZE);
            config_scramble_field(field);
            line(config_labels[i], field);
        } else {
            line(config_labels[i], field_at(config, row.offset));
        }
    }
    text("\n");
    return failed;
}

int write_record(FILE *out, const void *config) {
    return emit_config(out, static_cast<const nimbotex_config *>(config), false);
}

// Stores the value of a line: its text from the 29th character up to, not
// including, its last character (normally the line end).
void take_value(char *field, const char *line, std::size_t length) {
    if (length <= CONFIG_LABEL_LENGTH)
        return;
    std::size_t n = length - CONFIG_LABEL_LENGTH; // at most 30 with 58-byte pieces
    std::memcpy(field, line + CONFIG_LABEL_LENGTH, n);
    field[n - 1] = '\0';
}

// Reads the next piece of a line: up to the line end, at most 58 bytes.
// Returns its length; 0 at the end of the file or on a read error.
std::size_t read_piece(FILE *in, char *buf) {
    std::size_t n = 0;
    int ch;
    while (n < LINE_PIECE && (ch = std::getc(in)) != EOF) {
        buf[n++] = static_cast<char>(ch);
        if (ch == '\n')
            break;
    }
    return n;
}

// Returns 0 after reading path to its end; 2 when it cannot be opened or read,
// or is no regular file: a FIFO or device would block the reader or feed it
// whatever it produces.
template <typename Handle> int read_pass(const char *path, Handle &&handle) {
    FilePtr in(fopen_regular(path));
    if (!in)
        return CONFIG_READ_FAILED;
    char buf[LINE_PIECE];
    std::size_t n;
    while ((n = read_piece(in.get(), buf)) > 0)
        handle(std::string_view(buf, n));
    return std::ferror(in.get()) ? CONFIG_READ_FAILED : CONFIG_OK;
}

} // namespace

int config_scramble_field(char *field) {
    if (field == nullptr)
        return 0;
    for (int i = 0; i < CONFIG_FIELD_SIZE && field[i] != '\0'; ++i)
        field[i] = static_cast<char>(field[i] ^ config_scramble_key[i]);
    field[CONFIG_FIELD_SIZE - 1] = '\0';
    return 0;
}

int config_read_file(const char *path, nimbotex_config *config) {
    if (path == nullptr || config == nullptr)
        return CONFIG_READ_FAILED;

    int rc = read_pass(path, [config](std::string_view line) {
        for (int i = 0; i < CONFIG_LABEL_COUNT; ++i) {
            const ConfigLine &row = config_lines[i];
            if (row.list || line.find(config_labels[i]) == std::string_view::npos)
                continue;
            if (line.size() <= CONFIG_LABEL_LENGTH)
                continue; // nothing to take, and nothing to unscramble
            char *field = field_at(config, row.offset);
            take_value(field, line.data(), line.size());
            if (row.scrambled)
                config_scramble_field(field);
        }
    });
    if (rc != CONFIG_OK)
        return rc;

    // Hosts go into a scratch list first so that a failed second pass leaves
    // the record's list as it was.
    char hosts[CONFIG_SNMP_HOSTS][CONFIG_FIELD_SIZE] = {};
    int stored = 0;
    rc = read_pass(path, [&](std::string_view line) {
        // The list holds 100 hosts; later host lines are ignored.
        if (stored == CONFIG_SNMP_HOSTS || line.size() <= CONFIG_LABEL_LENGTH ||
            line.find(config_labels[HOST_LABEL]) == std::string_view::npos)
            return;
        take_value(hosts[stored], line.data(), line.size());
        ++stored;
    });
    if (rc != CONFIG_OK)
        return rc;

    std::memcpy(config->snmp_host, hosts, static_cast<std::size_t>(stored) * CONFIG_FIELD_SIZE);
    if (stored > 0 && stored < CONFIG_SNMP_HOSTS)
        config->snmp_host[stored][0] = '\0';
    return CONFIG_OK;
}

int config_write_file(const char *path, const nimbotex_config *config) {
    if (path == nullptr || config == nullptr)
        return CONFIG_WRITE_FAILED;
    // Built beside the old file and renamed over it only when complete on
    // disk: a full disk or a crash never costs the configuration in place.
    return file_replace(path, 0666, write_record, config) == 0 ? CONFIG_OK : CONFIG_WRITE_FAILED;
}

int config_set_defaults(nimbotex_config *config) {
    if (config == nullptr)
        return 0;
    for (const ConfigLine &row : config_lines) {
        if (row.list) {
            std::memset(config->snmp_host[0], 0, CONFIG_FIELD_SIZE);
            continue;
        }
        char *field = field_at(config, row.offset);
        std::memset(field, 0, CONFIG_FIELD_SIZE);
        std::memcpy(field, row.default_value, std::strlen(row.default_value));
    }
    return 0;
}

int config_print(const char *path) {
    ConfigRecord config = config_record_new();
    if (!config)
        return CONFIG_NO_MEMORY;
    int rc = config_read_file(path, config.get());
    if (rc != CONFIG_OK)
        return rc;
    emit_config(stdout, config.get(), true);
    std::fflush(stdout);
    return CONFIG_OK;
}
