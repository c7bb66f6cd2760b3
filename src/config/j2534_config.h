// Configuration store: the per-user file "j2534.json" with the known devices
// and their links. Records are owned by the caller; the module keeps only the
// cached paths and the forced-log-level flag.
#pragma once

#include <cstddef>
#include <cstdint>

// Boot-loader type of a VCI family.
typedef uint16_t boot_type_t;

constexpr int J2534_CONFIG_MAX_DEVICES = 16;
constexpr int J2534_CONFIG_MAX_INTERFACES = 4;

struct j2534_interface_t {
    char type;            // 'n' TCP, 'h' DevHub relay, 'b' BLE, 'c' serial; 0 when unset
    char ip[64];          // host or IPv4 address ('n', 'h')
    char device_name[64]; // BLE device name ('b') or serial port name ('c')
    char pin[8];          // access PIN ('h')
};

struct j2534_device_t {
    char sn[64];
    int32_t current_interface;
    int32_t interface_count; // 0 to 4
    j2534_interface_t interfaces[J2534_CONFIG_MAX_INTERFACES];
};

struct j2534_config_t {
    int32_t current_device;
    int32_t device_count; // 0 to 16
    j2534_device_t devices[J2534_CONFIG_MAX_DEVICES];
};

static_assert(sizeof(j2534_interface_t) == 137, "j2534_interface_t layout");
static_assert(offsetof(j2534_device_t, interfaces) == 72 && sizeof(j2534_device_t) == 620,
              "j2534_device_t layout");
static_assert(offsetof(j2534_config_t, devices) == 8 && sizeof(j2534_config_t) == 9928,
              "j2534_config_t layout");

// Configuration directory and file path; computed once, NULL while no base
// directory can be found.
const char *j2534_config_get_dir();
const char *j2534_config_get_path();

void j2534_config_set_defaults(j2534_config_t *cfg);

// 0 on success (a missing, empty, over-large or unreadable file is replaced by the
// defaults), -1 on a NULL record, no path or malformed JSON; cfg holds at least the
// defaults in every case.
int j2534_config_load(j2534_config_t *cfg);

// 0 when the file was written, -1 otherwise.
int j2534_config_save(const j2534_config_t *cfg);

// Accessors into the caller's record; NULL when the index or field does not apply.
j2534_device_t *j2534_config_get_current_device(j2534_config_t *cfg);
j2534_interface_t *j2534_config_get_current_interface(j2534_device_t *dev);
const char *j2534_config_get_current_ip(j2534_config_t *cfg);
const char *j2534_config_get_current_pin(j2534_config_t *cfg);
const char *j2534_config_get_current_sn(j2534_config_t *cfg);

// Appends a copy of dev; returns its index, or -1 on NULL arguments or a full table.
int j2534_config_add_device(j2534_config_t *cfg, const j2534_device_t *dev);

boot_type_t j2534_config_get_boot_type(const char *sn);

// Clamps to -1..4 and stores into g_log_level; force also makes later loads
// ignore the file's "log_level".
void j2534_config_apply_log_level(int level);
void j2534_config_force_log_level(int level);
