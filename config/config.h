#pragma once
// Configuration store: the appliance's configuration record, its text file,
// defaults, version conversion and the console/list entry points.

#include <cstddef>
#include <memory>
#include <new>

constexpr int CONFIG_FIELD_SIZE = 30; // 29 characters and the NUL
constexpr int CONFIG_FIELD_COUNT = 188;
constexpr int CONFIG_RECORD_SIZE = CONFIG_FIELD_COUNT * CONFIG_FIELD_SIZE;
constexpr int CONFIG_LABEL_COUNT = 89;
constexpr int CONFIG_LABEL_LENGTH = 28;
constexpr int CONFIG_SNMP_HOSTS = 100;
constexpr int CONFIG_SCRAMBLED_FIELDS = 10;

// Result codes of the config_ operations.
constexpr int CONFIG_OK = 0;
constexpr int CONFIG_WRITE_FAILED = 1;  // a file cannot be written
constexpr int CONFIG_READ_FAILED = 2;   // a file cannot be read
constexpr int CONFIG_NO_MEMORY = 12;    // ENOMEM: no record, or the host list is full
constexpr int CONFIG_HOST_UNKNOWN = 22; // EINVAL: host not in the list
// Results of config_convert.
constexpr int CONFIG_CONVERTED = 1;
constexpr int CONFIG_CURRENT = 0;
constexpr int CONFIG_CONVERT_FAILED = -1;

constexpr const char *CONFIG_ACTIVE_PATH = "/cfg/config.active";
constexpr const char *CONFIG_DEFAULT_PATH = "/cfg/config.default";
constexpr const char *CONFIG_VERSION_CURRENT = "1.2.3";

// The whole configuration: 188 text fields of 30 bytes, each a NUL-terminated
// value of at most 29 printable characters. Never stored as raw bytes.
struct nimbotex_config {
    char config_version[CONFIG_FIELD_SIZE];
    char management_ip[CONFIG_FIELD_SIZE];
    char remote_management_ip[CONFIG_FIELD_SIZE];
    char netmask[CONFIG_FIELD_SIZE];
    char vlan_mng[CONFIG_FIELD_SIZE];
    char vlan_tp1[CONFIG_FIELD_SIZE];
    char vlan_id[CONFIG_FIELD_SIZE];
    char vlan_priority[CONFIG_FIELD_SIZE];
    char gateway_ip[CONFIG_FIELD_SIZE];
    char channel0_local_backup_ip[CONFIG_FIELD_SIZE];
    char channel0_local_mac_address[CONFIG_FIELD_SIZE];
    char channel0_remote_backup_ip[CONFIG_FIELD_SIZE];
    char channel0_remote_mac_address[CONFIG_FIELD_SIZE];
    char channel0_network_name[CONFIG_FIELD_SIZE];
    char channel0_station_name[CONFIG_FIELD_SIZE];
    char channel0_mode[CONFIG_FIELD_SIZE];
    char channel0_channel[CONFIG_FIELD_SIZE];
    char channel0_encryption_key[CONFIG_FIELD_SIZE];
    char channel0_sensitivity[CONFIG_FIELD_SIZE];
    char channel1_local_backup_ip[CONFIG_FIELD_SIZE];
    char channel1_local_mac_address[CONFIG_FIELD_SIZE];
    char channel1_remote_backup_ip[CONFIG_FIELD_SIZE];
    char channel1_remote_mac_address[CONFIG_FIELD_SIZE];
    char channel1_network_name[CONFIG_FIELD_SIZE];
    char channel1_station_name[CONFIG_FIELD_SIZE];
    char channel1_mode[CONFIG_FIELD_SIZE];
    char channel1_channel[CONFIG_FIELD_SIZE];
    char channel1_encryption_key[CONFIG_FIELD_SIZE];
    char channel1_sensitivity[CONFIG_FIELD_SIZE];
    char sntp_server[CONFIG_FIELD_SIZE];
    char sntp_version[CONFIG_FIELD_SIZE];
    char sntp_activate[CONFIG_FIELD_SIZE];
    char sntp_interval[CONFIG_FIELD_SIZE];
    char sntp_utcindex[CONFIG_FIELD_SIZE];
    char sntp_utcsign[CONFIG_FIELD_SIZE];
    char snmp_authtraps[CONFIG_FIELD_SIZE];
    char snmp_sysname[CONFIG_FIELD_SIZE];
    char snmp_syscontact[CONFIG_FIELD_SIZE];
    char snmp_syslocation[CONFIG_FIELD_SIZE];
    char snmp_community_read[CONFIG_FIELD_SIZE];
    char snmp_community_write[CONFIG_FIELD_SIZE];
    char snmp_community_trap[CONFIG_FIELD_SIZE];
    char snmp_remote_community_read[CONFIG_FIELD_SIZE];
    char snmp_host[CONFIG_SNMP_HOSTS][CONFIG_FIELD_SIZE];
    char snmp_company[CONFIG_FIELD_SIZE];
    char snmp_address[CONFIG_FIELD_SIZE];
    char snmp_city[CONFIG_FIELD_SIZE];
    char snmp_contact[CONFIG_FIELD_SIZE];
    char snmp_phone[CONFIG_FIELD_SIZE];
    char snmp_mobile[CONFIG_FIELD_SIZE];
    char snmp_fax[CONFIG_FIELD_SIZE];
    char snmp_email[CONFIG_FIELD_SIZE];
    char snmp_location_name[CONFIG_FIELD_SIZE];
    char snmp_location_city[CONFIG_FIELD_SIZE];
    char snmp_location_street[CONFIG_FIELD_SIZE];
    char snmp_location_detail[CONFIG_FIELD_SIZE];
    char snmp_dns_1[CONFIG_FIELD_SIZE];
    char snmp_dns_2[CONFIG_FIELD_SIZE];
    char email_mydomain[CONFIG_FIELD_SIZE];
    char email_server_1[CONFIG_FIELD_SIZE];
    char email_user_1[CONFIG_FIELD_SIZE];
    char email_passwd_1[CONFIG_FIELD_SIZE];
    char email_address_1[CONFIG_FIELD_SIZE];
    char email_status_1[CONFIG_FIELD_SIZE];
    char email_server_2[CONFIG_FIELD_SIZE];
    char email_user_2[CONFIG_FIELD_SIZE];
    char email_passwd_2[CONFIG_FIELD_SIZE];
    char email_address_2[CONFIG_FIELD_SIZE];
    char email_status_2[CONFIG_FIELD_SIZE];
    char email_server_3[CONFIG_FIELD_SIZE];
    char email_user_3[CONFIG_FIELD_SIZE];
    char email_passwd_3[CONFIG_FIELD_SIZE];
    char email_address_3[CONFIG_FIELD_SIZE];
    char email_status_3[CONFIG_FIELD_SIZE];
    char email_server_4[CONFIG_FIELD_SIZE];
    char email_user_4[CONFIG_FIELD_SIZE];
    char email_passwd_4[CONFIG_FIELD_SIZE];
    char email_address_4[CONFIG_FIELD_SIZE];
    char email_status_4[CONFIG_FIELD_SIZE];
    char event_heating[CONFIG_FIELD_SIZE];
    char event_temperature[CONFIG_FIELD_SIZE];
    char event_internal_powersupply[CONFIG_FIELD_SIZE];
    char event_external_230v[CONFIG_FIELD_SIZE];
    char event_external_48v[CONFIG_FIELD_SIZE];
    char event_fan[CONFIG_FIELD_SIZE];
    char event_backup[CONFIG_FIELD_SIZE];
    char event_air_interface[CONFIG_FIELD_SIZE];
    char event_fiber_interface[CONFIG_FIELD_SIZE];
    char event_tp1_interface[CONFIG_FIELD_SIZE];
};

static_assert(sizeof(nimbotex_config) == CONFIG_RECORD_SIZE);
static_assert(offsetof(nimbotex_config, snmp_host) == 1290);
static_assert(offsetof(nimbotex_config, snmp_company) == 4290);
static_assert(offsetof(nimbotex_config, event_tp1_interface) == 5610);

// Label of each field in record order; label 43 names every snmp_host entry.
inline constexpr char config_labels[CONFIG_LABEL_COUNT][CONFIG_LABEL_LENGTH + 1] = {
    "config version............: ", "management ip.............: ", "remote management ip......: ",
    "netmask...................: ", "vlan mng..................: ", "vlan tp1..................: ",
    "vlan id...................: ", "vlan priority.............: ", "gateway ip................: ",
    "[0] local backup ip.......: ", "[0] local mac address.....: ", "[0] remote backup ip......: ",
    "[0] remote mac address....: ", "[0] network name..........: ", "[0] station name..........: ",
    "[0] mode..................: ", "[0] channel...............: ", "[0] encryption key........: ",
    "[0] sensitivity...........: ", "[1] local backup ip.......: ", "[1] local mac address.....: ",
    "[1] remote backup ip......: ", "[1] remote mac address....: ", "[1] network name..........: ",
    "[1] station name..........: ", "[1] mode..................: ", "[1] channel...............: ",
    "[1] encryption key........: ", "[1] sensitivity...........: ", "sntp server...............: ",
    "sntp version..............: ", "sntp activate.............: ", "sntp interval.............: ",
    "sntp utcindex.............: ", "sntp utcsign..............: ", "snmp authtraps............: ",
    "snmp sysname..............: ", "snmp syscontact...........: ", "snmp syslocation..........: ",
    "snmp community read.......: ", "snmp community write......: ", "snmp community trap.......: ",
    "snmp remote community read: ", "snmp host.................: ", "snmp company..............: ",
    "snmp address..............: ", "snmp city.................: ", "snmp contact..............: ",
    "snmp phone................: ", "snmp mobile...............: ", "snmp fax..................: ",
    "snmp email................: ", "snmp location name........: ", "snmp location city........: ",
    "snmp location street......: ", "snmp location detail......: ", "snmp dns 1................: ",
    "snmp dns 2................: ", "email mydomain............: ", "email server  1...........: ",
    "email user    1...........: ", "email passwd  1...........: ", "email address 1...........: ",
    "email status  1...........: ", "email server  2...........: ", "email user    2...........: ",
    "email passwd  2...........: ", "email address 2...........: ", "email status  2...........: ",
    "email server  3...........: ", "email user    3...........: ", "email passwd  3...........: ",
    "email address 3...........: ", "email status  3...........: ", "email server  4...........: ",
    "email user    4...........: ", "email passwd  4...........: ", "email address 4...........: ",
    "email status  4...........: ", "event heating.............: ", "event temperature.........: ",
    "event internal powersupply: ", "event external 230V.......: ", "event external 48V........: ",
    "event fan.................: ", "event backup..............: ", "event air interface.......: ",
    "event fiber interface.....: ", "event tp1 interface.......: ",
};

// Toggles a scrambled field between its plain (record) and file form.
// Every byte is a non-zero control code, so printable text stays printable.
inline constexpr unsigned char config_scramble_key[CONFIG_FIELD_SIZE] = {
    0x13, 0x05, 0x1b, 0x0e, 0x02, 0x19, 0x0a, 0x1f, 0x07, 0x11, 0x1c, 0x03, 0x16, 0x0d, 0x18,
    0x01, 0x1e, 0x09, 0x14, 0x06, 0x1a, 0x0f, 0x04, 0x12, 0x1d, 0x08, 0x17, 0x0b, 0x15, 0x10,
};

// A working record, owned for the length of one operation.
using ConfigRecord = std::unique_ptr<nimbotex_config>;

// Returns an empty record from the heap, or null without memory.
inline ConfigRecord config_record_new() {
    return ConfigRecord(new (std::nothrow) nimbotex_config());
}

// Writes config to path as a configuration text file, atomically: the old
// file stays intact unless the new one is complete on disk.
// Returns 0 written; 1 the file cannot be written (nothing changed).
int config_write_file(const char *path, const nimbotex_config *config);

// Reads the configuration text file path into config; fields and the host
// list absent from the file keep their values; host lines after the 100th are
// ignored.
// Returns 0 read (an empty file included); 2 the file cannot be opened, is no
// regular file (never read), or a read fails (fields read before the failure
// keep their new values).
int config_read_file(const char *path, nimbotex_config *config);

// Toggles one 30-byte field between plain and file form and caps it at 29
// characters. Returns 0.
int config_scramble_field(char *field);

// Fills config with the factory defaults and an empty host list. Returns 0.
int config_set_defaults(nimbotex_config *config);

// Writes the default configuration to /cfg/config.default.
// Returns 0 written; 12 no memory; 1 the file cannot be written.
int config_write_default(void);

// Brings the configuration file path to version "1.2.3".
// Returns 1 converted and rewritten; 0 already current, file untouched;
// -1 no memory, the file cannot be read or cannot be written.
int config_convert(const char *path);

// Prints the configuration file path on standard output, secrets in plain.
// Returns 0 printed; 12 no memory; 2 the file cannot be read.
int config_print(const char *path);

// Loads /cfg/config.active, else /cfg/config.default, else creates and loads
// the default file, reporting each step on standard output.
// Returns 0 loaded; else the code of the last failing step (12, 1 or 2).
int config_load(nimbotex_config *config);

// Appends host (its first 29 characters) to the host list of /cfg/config.active,
// creating the file when there is none.
// Returns 0 added; 12 no memory or the list is full; 1 the file cannot be
// written, or it exists but cannot be read (it is then left alone); 22 host
// is null.
int config_add_snmp_host(const char *host);

// Removes the first entry equal to host from the list of /cfg/config.active.
// Returns 0 removed; 12 no memory; 22 host not in the list (or null); 1 the
// file cannot be written, or it exists but cannot be read (it is left alone).
int config_remove_snmp_host(const char *host);
