// Configuration store: "j2534.json" in the per-user configuration directory.
#include "config/j2534_config.h"

#include "config/config_dir.h"
#include "log/j2534_log.h"

#include <atomic>
#include <cctype>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace {

constexpr size_t PATH_SIZE = 1024;
constexpr long MAX_FILE_SIZE = 1048576;
constexpr const char *TAG = "pt_dll";
constexpr const char *DEFAULT_PIN = "472915";

std::atomic<bool> s_log_level_forced{false};

// The cached paths: written once under s_path_mutex, then only read. A lookup
// that finds nothing leaves its flag clear so a later call tries again.
std::mutex s_path_mutex;
std::atomic<bool> s_dir_ready{false};
std::atomic<bool> s_path_ready{false};
bool s_base_ready = false;
char s_base_dir[PATH_SIZE];
char s_config_dir[PATH_SIZE];
char s_config_path[PATH_SIZE];

bool join(char *out, const char *a, const char *b) {
    int n = snprintf(out, PATH_SIZE, "%s%c%s", a, config_path_sep, b);
    return n >= 0 && static_cast<size_t>(n) < PATH_SIZE;
}

// Caller holds s_path_mutex.
bool compute_dir_locked() {
    if (s_dir_ready.load(std::memory_order_relaxed)) return true;
    if (!s_base_ready) {
        if (!config_base_dir(s_base_dir, sizeof s_base_dir)) return false;
        s_base_ready = true;
    }
    if (!join(s_config_dir, s_base_dir, "Morlint")) return false;
    s_dir_ready.store(true, std::memory_order_release);
    return true;
}

// Copies at most size-1 characters of src and terminates dst.
void copy_str(char *dst, size_t size, const char *src) {
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// A record field as a terminated string, even if the caller left it unterminated.
template <size_t N> struct field_str {
    char text[N + 1];
    explicit field_str(const char (&f)[N]) {
        size_t n = strnlen(f, N);
        memcpy(text, f, n);
        text[n] = '\0';
    }
};

int clamp_count(int32_t count, int max) {
    if (count < 0) return 0;
    return count > max ? max : count;
}

const cJSON *get_item(const cJSON *obj, const char *key) {
    return cJSON_IsObject(obj) ? cJSON_GetObjectItemCaseSensitive(obj, key) : nullptr;
}

void copy_json_str(char *dst, size_t size, const cJSON *item) {
    if (cJSON_IsString(item) && item->valuestring) copy_str(dst, size, item->valuestring);
}

void parse_interface(j2534_interface_t *iface, const cJSON *obj) {
    memset(iface, 0, sizeof *iface);
    const cJSON *type = get_item(obj, "type");
    if (cJSON_IsString(type) && type->valuestring && type->valuestring[0])
        iface->type = type->valuestring[0];
    copy_json_str(iface->ip, sizeof iface->ip, get_item(obj, "ip"));
    copy_json_str(iface->device_name, sizeof iface->device_name, get_item(obj, "device_name"));
    copy_json_str(iface->pin, sizeof iface->pin, get_item(obj, "pin"));
}

void parse_device(j2534_device_t *dev, const cJSON *obj) {
    memset(dev, 0, sizeof *dev);
    copy_json_str(dev->sn, sizeof dev->sn, get_item(obj, "sn"));
    const cJSON *cur = get_item(obj, "current_interface");
    if (cJSON_IsNumber(cur)) dev->current_interface = cur->valueint;
    const cJSON *list = get_item(obj, "interface");
    if (cJSON_IsArray(list)) {
        const cJSON *el = nullptr;
        cJSON_ArrayForEach(el, list) {
            if (dev->interface_count == J2534_CONFIG_MAX_INTERFACES) break;
            parse_interface(&dev->interfaces[dev->interface_count++], el);
        }
    }
    if (dev->current_interface < 0 || dev->current_interface >= dev->interface_count)
        dev->current_interface = 0;
}

// The whole file in a heap buffer; false when it counts as absent.
bool read_whole(const char *path, std::unique_ptr<char[]> *out, size_t *len) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    bool ok = false;
    if (fseek(f, 0, SEEK_END) == 0) {
        long size = ftell(f);
        if (size > 0 && size <= MAX_FILE_SIZE && fseek(f, 0, SEEK_SET) == 0) {
            std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
            size_t n = static_cast<size_t>(size);
            if (buf && fread(buf.get(), 1, n, f) == n) {
                *out = std::move(buf);
                *len = n;
                ok = true;
            }
        }
    }
    fclose(f);
    return ok;
}

// Builds the file's object; NULL when cJSON fails to allocate.
cJSON *build_json(const j2534_config_t *cfg) {
    cJSON *root = cJSON_CreateObject();
    if (!root) return nullptr;
    cJSON *devices = nullptr;
    bool ok = cJSON_AddNumberToObject(root, "current_device", cfg->current_device) &&
              (devices = cJSON_AddArrayToObject(root, "devices")) != nullptr;
    int device_count = clamp_count(cfg->device_count, J2534_CONFIG_MAX_DEVICES);
    for (int d = 0; ok && d < device_count; ++d) {
        const j2534_device_t &dev = cfg->devices[d];
        cJSON *obj = cJSON_CreateObject();
        if (!obj || !cJSON_AddItemToArray(devices, obj)) {
            cJSON_Delete(obj);
            ok = false;
            break;
        }
        cJSON *list = nullptr;
        ok = cJSON_AddStringToObject(obj, "sn", field_str<64>(dev.sn).text) &&
             cJSON_AddNumberToObject(obj, "current_interface", dev.current_interface) &&
             (list = cJSON_AddArrayToObject(obj, "interface")) != nullptr;
        int iface_count = clamp_count(dev.interface_count, J2534_CONFIG_MAX_INTERFACES);
        for (int i = 0; ok && i < iface_count; ++i) {
            const j2534_interface_t &it = dev.interfaces[i];
            cJSON *io = cJSON_CreateObject();
            if (!io || !cJSON_AddItemToArray(list, io)) {
                cJSON_Delete(io);
                ok = false;
                break;
            }
            char type[2] = {it.type, '\0'};
            field_str<64> ip(it.ip);
            field_str<8> pin(it.pin);
            field_str<64> name(it.device_name);
            bool net = it.type == 'n' || it.type == 'h';
            bool local = it.type == 'b' || it.type == 'c';
            ok = cJSON_AddStringToObject(io, "type", type) &&
                 (!net || !ip.text[0] || cJSON_AddStringToObject(io, "ip", ip.text)) &&
                 (it.type != 'h' || !pin.text[0] || cJSON_AddStringToObject(io, "pin", pin.text)) &&
                 (!local || !name.text[0] || cJSON_AddStringToObject(io, "device_name", name.text));
        }
    }
    if (!ok) {
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

} // namespace

int config_make_dir_chain(const char *path) {
    if (!path) return -1;
    char tmp[PATH_SIZE];
    copy_str(tmp, sizeof tmp, path);
    size_t len = strlen(tmp);
    if (len > 0 && (tmp[len - 1] == '/' || tmp[len - 1] == '\\')) tmp[--len] = '\0';
    for (size_t i = 1; i < len; ++i) {
        if (tmp[i] != '/' && tmp[i] != '\\') continue;
        tmp[i] = '\0';
        config_make_dir(tmp);
        tmp[i] = config_path_sep;
    }
    return config_make_dir(tmp);
}

const char *j2534_config_get_dir() {
    if (s_dir_ready.load(std::memory_order_acquire)) return s_config_dir;
    std::lock_guard<std::mutex> lock(s_path_mutex);
    return compute_dir_locked() ? s_config_dir : nullptr;
}

const char *j2534_config_get_path() {
    if (s_path_ready.load(std::memory_order_acquire)) return s_config_path;
    std::lock_guard<std::mutex> lock(s_path_mutex);
    if (s_path_ready.load(std::memory_order_relaxed)) return s_config_path;
    if (!compute_dir_locked() || !join(s_config_path, s_config_dir, "j2534.json")) return nullptr;
    s_path_ready.store(true, std::memory_order_release);
    return s_config_path;
}

void j2534_config_set_defaults(j2534_config_t *cfg) {
    if (!cfg) return;
    memset(cfg, 0, sizeof *cfg);
    cfg->current_device = 0;
    cfg->device_count = 1;
    j2534_device_t &dev = cfg->devices[0];
    copy_str(dev.sn, sizeof dev.sn, "Velkaro");
    dev.current_interface = 0;
    dev.interface_count = 1;
    dev.interfaces[0].type = 'n';
    copy_str(dev.interfaces[0].ip, sizeof dev.interfaces[0].ip, "192.168.1.3");
}

int j2534_config_load(j2534_config_t *cfg) {
    if (!cfg) return -1;
    j2534_config_set_defaults(cfg);

    const char *path = j2534_config_get_path();
    if (!path) {
        log_line(0, 'E', TAG, "config path is NULL\n");
        return -1;
    }
    if (g_log_level.load(std::memory_order_relaxed) >= 2)
        log_line(0, 'I', TAG, "config path: %s\n", path);

    std::unique_ptr<char[]> text;
    size_t len = 0;
    if (!read_whole(path, &text, &len)) {
        j2534_config_save(cfg);
        return 0;
    }

    cJSON *root = cJSON_ParseWithLength(text.get(), len);
    if (!root) return -1;

    const cJSON *level = get_item(root, "log_level");
    if (cJSON_IsNumber(level) && !s_log_level_forced.load())
        j2534_config_apply_log_level(level->valueint);

    const cJSON *cur = get_item(root, "current_device");
    if (cJSON_IsNumber(cur)) cfg->current_device = cur->valueint;

    const cJSON *devices = get_item(root, "devices");
    if (cJSON_IsArray(devices)) {
        cfg->device_count = 0;
        const cJSON *el = nullptr;
        cJSON_ArrayForEach(el, devices) {
            if (cfg->device_count == J2534_CONFIG_MAX_DEVICES) break;
            parse_device(&cfg->devices[cfg->device_count++], el);
        }
    }
    if (cfg->current_device < 0 || cfg->current_device >= cfg->device_count)
        cfg->current_device = 0;

    cJSON_Delete(root);
    return 0;
}

int j2534_config_save(const j2534_config_t *cfg) {
    if (!cfg) return -1;
    const char *path = j2534_config_get_path();
    if (!path) return -1;
    config_make_dir_chain(j2534_config_get_dir());

    cJSON *root = build_json(cfg);
    if (!root) return -1;
    char *text = cJSON_Print(root);
    cJSON_Delete(root);
    if (!text) return -1;

    FILE *f = fopen(path, "w");
    if (f) {
        fputs(text, f);
        fclose(f);
    }
    cJSON_free(text);
    return f ? 0 : -1;
}

j2534_device_t *j2534_config_get_current_device(j2534_config_t *cfg) {
    if (!cfg || cfg->current_device < 0 || cfg->current_device >= cfg->device_count ||
        cfg->current_device >= J2534_CONFIG_MAX_DEVICES)
        return nullptr;
    return &cfg->devices[cfg->current_device];
}

j2534_interface_t *j2534_config_get_current_interface(j2534_device_t *dev) {
    if (!dev || dev->current_interface < 0 || dev->current_interface >= dev->interface_count ||
        dev->current_interface >= J2534_CONFIG_MAX_INTERFACES)
        return nullptr;
    return &dev->interfaces[dev->current_interface];
}

const char *j2534_config_get_current_ip(j2534_config_t *cfg) {
    j2534_interface_t *it =
        j2534_config_get_current_interface(j2534_config_get_current_device(cfg));
    if (!it || (it->type != 'n' && it->type != 'h') || !it->ip[0]) return nullptr;
    return it->ip;
}

const char *j2534_config_get_current_pin(j2534_config_t *cfg) {
    j2534_interface_t *it =
        j2534_config_get_current_interface(j2534_config_get_current_device(cfg));
    if (!it || it->type != 'h') return nullptr;
    return it->pin[0] ? it->pin : DEFAULT_PIN;
}

const char *j2534_config_get_current_sn(j2534_config_t *cfg) {
    j2534_device_t *dev = j2534_config_get_current_device(cfg);
    return dev && dev->sn[0] ? dev->sn : nullptr;
}

int j2534_config_add_device(j2534_config_t *cfg, const j2534_device_t *dev) {
    if (!cfg || !dev) return -1;
    int index = cfg->device_count < 0 ? 0 : cfg->device_count;
    if (index >= J2534_CONFIG_MAX_DEVICES) return -1;
    memmove(&cfg->devices[index], dev, sizeof *dev);
    cfg->device_count = index + 1;
    return index;
}

boot_type_t j2534_config_get_boot_type(const char *sn) {
    if (!sn || !sn[0]) return 0;
    if (toupper(static_cast<unsigned char>(sn[0])) == 'V' &&
        toupper(static_cast<unsigned char>(sn[1])) == 'K')
        return 0xFF01;
    switch (toupper(static_cast<unsigned char>(sn[0]))) {
    case 'S':
        return 0xFF04;
    case 'C':
        return 0xFF06;
    case 'M':
        return 0xFF0A;
    case 'N':
        return 0xFF05;
    default:
        return 0;
    }
}

void j2534_config_apply_log_level(int level) {
    if (level < -1) level = -1;
    if (level > 4) level = 4;
    g_log_level.store(level);
}

void j2534_config_force_log_level(int level) {
    j2534_config_apply_log_level(level);
    s_log_level_forced.store(true);
}
