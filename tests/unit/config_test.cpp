// Configuration store: file location, load rules, save format, accessors.
#include "config/config_dir.h"
#include "config/j2534_config.h"
#include "log/j2534_log.h"

#include "test_support.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testsupport::config_home;
using testsupport::read_file;
using testsupport::write_file;

namespace {

std::string print_json(cJSON *obj) {
    char *text = cJSON_Print(obj);
    std::string s = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(obj);
    return s;
}

cJSON *iface_json(const char *type, std::vector<std::pair<const char *, const char *>> fields) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "type", type);
    for (auto &f : fields)
        cJSON_AddStringToObject(o, f.first, f.second);
    return o;
}

cJSON *device_json(const char *sn, int current, std::vector<cJSON *> ifaces) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "sn", sn);
    cJSON_AddNumberToObject(o, "current_interface", current);
    cJSON *list = cJSON_AddArrayToObject(o, "interface");
    for (cJSON *i : ifaces)
        cJSON_AddItemToArray(list, i);
    return o;
}

cJSON *config_json(int current, std::vector<cJSON *> devices) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "current_device", current);
    cJSON *list = cJSON_AddArrayToObject(o, "devices");
    for (cJSON *d : devices)
        cJSON_AddItemToArray(list, d);
    return o;
}

std::string default_file_text() {
    return print_json(
        config_json(0, {device_json("Velkaro", 0, {iface_json("n", {{"ip", "192.168.1.3"}})})}));
}

bool is_dir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(j2534_config_get_path(), nullptr);
        path = j2534_config_get_path();
        dir = j2534_config_get_dir();
        mkdir(dir.c_str(), 0755);
        memset(&cfg, 0x55, sizeof cfg); // load must overwrite everything
    }

    int load_text(const std::string &text) {
        write_file(path, text);
        return j2534_config_load(&cfg);
    }

    std::string path, dir;
    j2534_config_t cfg;
};

TEST(ConfigPaths, CachedUnderXdgConfigHome) {
    const char *d = j2534_config_get_dir();
    const char *p = j2534_config_get_path();
    ASSERT_NE(d, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(d), config_home() + "/Morlint");
    EXPECT_EQ(std::string(p), config_home() + "/Morlint/j2534.json");

    std::string saved = config_home();
    setenv("XDG_CONFIG_HOME", "/elsewhere", 1);
    EXPECT_EQ(j2534_config_get_dir(), d);
    EXPECT_EQ(j2534_config_get_path(), p);
    EXPECT_EQ(std::string(p), saved + "/Morlint/j2534.json");
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

// The uncached lookup, one environment per row.
TEST(ConfigPaths, BaseDirLookup) {
    std::string xdg = config_home();
    const char *home_env = getenv("HOME");
    std::string home = home_env ? home_env : "";
    struct passwd *pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    std::string pw_home = pw->pw_dir;

    struct Case {
        const char *xdg;  // nullptr: unset
        const char *home; // nullptr: unset
        std::string want;
    } cases[] = {
        {"/x/cfg", "/h", "/x/cfg"},
        {"", "/h", "/h/.config"},
        {nullptr, "/h/u", "/h/u/.config"},
        {nullptr, nullptr, pw_home + "/.config"},
    };
    for (const Case &c : cases) {
        c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
        c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
        char buf[1024];
        EXPECT_TRUE(config_base_dir(buf, sizeof buf));
        EXPECT_EQ(std::string(buf), c.want) << (c.xdg ? c.xdg : "(unset)");
    }
    setenv("XDG_CONFIG_HOME", "/a/rather/long/base", 1);
    char small[8];
    EXPECT_FALSE(config_base_dir(small, sizeof small));

    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    home_env ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
}

TEST(ConfigPaths, MakeDirChainCreatesParents) {
    std::string base = config_home() + "/chain";
    std::string deep = base + "/a/b/c";
    EXPECT_EQ(config_make_dir_chain((deep + "/").c_str()), 0);
    EXPECT_TRUE(is_dir(base + "/a"));
    EXPECT_TRUE(is_dir(deep));
    // Already there: the last creation reports it, nothing breaks.
    EXPECT_EQ(config_make_dir_chain(deep.c_str()), -1);
    EXPECT_TRUE(is_dir(deep));
}

TEST_F(ConfigFile, MissingFileCreatesDirectoryAndDefaults) {
    unlink(path.c_str());
    rmdir(dir.c_str());
    ASSERT_FALSE(is_dir(dir));
    ASSERT_EQ(j2534_config_load(&cfg), 0);
    EXPECT_TRUE(is_dir(dir));
    EXPECT_EQ(read_file(path), default_file_text());
    EXPECT_STREQ(j2534_config_get_current_ip(&cfg), "192.168.1.3");

    j2534_config_t want;
    j2534_config_set_defaults(&want);
    EXPECT_EQ(memcmp(&cfg, &want, sizeof cfg), 0);
}

TEST_F(ConfigFile, EmptyOrOverLargeFileIsReplacedByDefaults) {
    std::string small = R"({"devices":[{"sn":"BIG"}]})";
    std::string over = small + std::string(1048577 - small.size(), ' ');
    for (const std::string &text : {std::string(), over}) {
        ASSERT_EQ(load_text(text), 0) << text.size();
        EXPECT_EQ(read_file(path), default_file_text()) << text.size();
        EXPECT_STREQ(j2534_config_get_current_sn(&cfg), "Velkaro");
    }
    // Exactly 1 MiB is still read.
    std::string limit = small + std::string(1048576 - small.size(), ' ');
    ASSERT_EQ(load_text(limit), 0);
    EXPECT_STREQ(j2534_config_get_current_sn(&cfg), "BIG");
    EXPECT_EQ(read_file(path).size(), 1048576u);
}

TEST_F(ConfigFile, UnreadablePathLoadsDefaults) {
    unlink(path.c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0); // opens, but cannot be read or written
    EXPECT_EQ(j2534_config_load(&cfg), 0);
    EXPECT_STREQ(j2534_config_get_current_ip(&cfg), "192.168.1.3");
    rmdir(path.c_str());
}

TEST_F(ConfigFile, MalformedFileFailsAndIsLeftAlone) {
    const char *texts[] = {
        R"({"current_device": 1,)",
        R"({"devices":[{"sn":"A"},]})",
        "not json",
        R"({"devices":[{"sn":"unterminated)",
    };
    for (const char *text : texts) {
        memset(&cfg, 0x55, sizeof cfg);
        EXPECT_EQ(load_text(text), -1) << text;
        EXPECT_EQ(read_file(path), text);
        EXPECT_STREQ(j2534_config_get_current_sn(&cfg), "Velkaro") << text;
        EXPECT_EQ(cfg.device_count, 1);
    }
}

TEST_F(ConfigFile, WrongJsonTypesAreTolerated) {
    struct Case {
        const char *text;
        std::function<void(const j2534_config_t &)> check;
    } cases[] = {
        {R"({"current_device":0,"devices":{"sn":"X"}})",
         [](const j2534_config_t &c) {
             EXPECT_EQ(c.device_count, 1);
             EXPECT_STREQ(c.devices[0].sn, "Velkaro");
         }},
        {R"([{"sn":"X"}])",
         [](const j2534_config_t &c) {
             EXPECT_EQ(c.device_count, 1);
             EXPECT_STREQ(c.devices[0].sn, "Velkaro");
         }},
        {R"({"devices":[5,{"sn":"B"}]})",
         [](const j2534_config_t &c) {
             EXPECT_EQ(c.device_count, 2);
             EXPECT_STREQ(c.devices[0].sn, "");
             EXPECT_EQ(c.devices[0].interface_count, 0);
             EXPECT_STREQ(c.devices[1].sn, "B");
         }},
        {R"({"current_device":"1","devices":[{"sn":"A","current_interface":"1",
             "interface":[{"type":"n","ip":"10.0.0.1"},{"type":"h","ip":"10.0.0.2"}]},{"sn":"B"}]})",
         [](const j2534_config_t &c) {
             EXPECT_EQ(c.device_count, 2);
             EXPECT_EQ(c.current_device, 0);
             EXPECT_EQ(c.devices[0].current_interface, 0);
             EXPECT_EQ(c.devices[0].interface_count, 2);
         }},
        {R"({"devices":[{"sn":123,"interface":[{"type":5,"ip":7,"pin":1234,"device_name":null}]}]})",
         [](const j2534_config_t &c) {
             EXPECT_STREQ(c.devices[0].sn, "");
             ASSERT_EQ(c.devices[0].interface_count, 1);
             const j2534_interface_t &i = c.devices[0].interfaces[0];
             EXPECT_EQ(i.type, 0);
             EXPECT_STREQ(i.ip, "");
             EXPECT_STREQ(i.pin, "");
             EXPECT_STREQ(i.device_name, "");
         }},
        {R"({"devices":[{"sn":"A","interface":{"type":"n"}}]})",
         [](const j2534_config_t &c) { EXPECT_EQ(c.devices[0].interface_count, 0); }},
        {R"({"devices":[{"sn":"A","interface":["n",{"type":"b","device_name":"VK-1"}]}]})",
         [](const j2534_config_t &c) {
             ASSERT_EQ(c.devices[0].interface_count, 2);
             EXPECT_EQ(c.devices[0].interfaces[0].type, 0);
             EXPECT_EQ(c.devices[0].interfaces[1].type, 'b');
             EXPECT_STREQ(c.devices[0].interfaces[1].device_name, "VK-1");
         }},
        {R"({"Devices":[{"sn":"A"}],"devices":[{"SN":"B","sn":"C"}]})",
         [](const j2534_config_t &c) {
             EXPECT_EQ(c.device_count, 1);
             EXPECT_STREQ(c.devices[0].sn, "C");
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(load_text(c.text), 0);
        c.check(cfg);
        EXPECT_EQ(read_file(path), c.text); // a parsed file is never rewritten
    }
}

TEST_F(ConfigFile, DeviceAndInterfaceListsAreCapped) {
    cJSON *ifaces = cJSON_CreateArray();
    for (int i = 0; i < 5; ++i)
        cJSON_AddItemToArray(ifaces,
                             iface_json("n", {{"ip", ("10.0.0." + std::to_string(i)).c_str()}}));
    cJSON *devices = cJSON_CreateArray();
    for (int d = 0; d < 17; ++d) {
        cJSON *dev = cJSON_CreateObject();
        cJSON_AddStringToObject(dev, "sn", ("SN" + std::to_string(d)).c_str());
        if (d == 0) cJSON_AddItemToObject(dev, "interface", ifaces);
        cJSON_AddItemToArray(devices, dev);
    }
    cJSON *root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "devices", devices);

    ASSERT_EQ(load_text(print_json(root)), 0);
    EXPECT_EQ(cfg.device_count, 16);
    EXPECT_STREQ(cfg.devices[15].sn, "SN15");
    EXPECT_EQ(cfg.devices[0].interface_count, 4);
    EXPECT_STREQ(cfg.devices[0].interfaces[3].ip, "10.0.0.3");
}

TEST_F(ConfigFile, OutOfRangeIndicesBecomeZero) {
    struct Case {
        int current_device, current_interface;
        int want_device, want_interface;
    } cases[] = {
        {5, 1, 0, 1}, {2, 2, 0, 0}, {-1, -3, 0, 0}, {1, 0, 1, 0}, {0, 1, 0, 1},
    };
    for (const Case &c : cases) {
        cJSON *d0 = device_json(
            "A", c.current_interface,
            {iface_json("n", {{"ip", "10.0.0.1"}}), iface_json("n", {{"ip", "10.0.0.2"}})});
        cJSON *root = config_json(c.current_device, {d0, device_json("B", 0, {})});
        ASSERT_EQ(load_text(print_json(root)), 0);
        EXPECT_EQ(cfg.current_device, c.want_device) << c.current_device;
        EXPECT_EQ(cfg.devices[0].current_interface, c.want_interface) << c.current_interface;
    }

    ASSERT_EQ(load_text(R"({"current_device":3,"devices":[]})"), 0);
    EXPECT_EQ(cfg.device_count, 0);
    EXPECT_EQ(cfg.current_device, 0);
    EXPECT_EQ(j2534_config_get_current_device(&cfg), nullptr);
    EXPECT_EQ(j2534_config_get_current_ip(&cfg), nullptr);
}

TEST_F(ConfigFile, StringsAreTruncatedAndTerminated) {
    std::string long_sn(100, 's'), long_ip(64, 'i'), fit_name(63, 'd');
    cJSON *root =
        config_json(0, {device_json(long_sn.c_str(), 0,
                                    {iface_json("hub", {{"ip", long_ip.c_str()},
                                                        {"device_name", fit_name.c_str()},
                                                        {"pin", "123456789"}}),
                                     iface_json("", {{"ip", "10.0.0.1"}, {"pin", "1"}})})});
    ASSERT_EQ(load_text(print_json(root)), 0);
    const j2534_device_t &d = cfg.devices[0];
    EXPECT_EQ(std::string(d.sn), long_sn.substr(0, 63));
    EXPECT_EQ(std::string(d.interfaces[0].ip), long_ip.substr(0, 63));
    EXPECT_EQ(std::string(d.interfaces[0].device_name), fit_name);
    EXPECT_STREQ(d.interfaces[0].pin, "1234567");
    EXPECT_EQ(d.interfaces[0].type, 'h');
    EXPECT_EQ(d.interfaces[1].type, 0);

    // An interface without a usable type gives nothing through the accessors.
    cfg.devices[0].current_interface = 1;
    EXPECT_EQ(j2534_config_get_current_ip(&cfg), nullptr);
    EXPECT_EQ(j2534_config_get_current_pin(&cfg), nullptr);
}

TEST_F(ConfigFile, SaveWritesKeysInOrderAndOmitsUnusedFields) {
    j2534_config_t c;
    memset(&c, 0, sizeof c);
    c.current_device = 1;
    c.device_count = 2;
    j2534_device_t &a = c.devices[0];
    strcpy(a.sn, "VK100");
    a.current_interface = 2;
    a.interface_count = 5; // only 4 are written
    a.interfaces[0] = {'n', "10.0.0.7", "ignored", "ignored"};
    a.interfaces[1] = {'h', "relay.example", "ignored", "9999"};
    a.interfaces[2] = {'b', "ignored", "VK-BLE", "ignored"};
    a.interfaces[3] = {'c', "", "/dev/ttyACM0", ""};
    j2534_device_t &b = c.devices[1];
    b.interface_count = 2;
    b.interfaces[0] = {'h', "", "", ""};
    b.interfaces[1] = {0, "10.0.0.8", "x", "1"};

    ASSERT_EQ(j2534_config_save(&c), 0);
    std::string want = print_json(
        config_json(1, {device_json("VK100", 2,
                                    {iface_json("n", {{"ip", "10.0.0.7"}}),
                                     iface_json("h", {{"ip", "relay.example"}, {"pin", "9999"}}),
                                     iface_json("b", {{"device_name", "VK-BLE"}}),
                                     iface_json("c", {{"device_name", "/dev/ttyACM0"}})}),
                        device_json("", 0, {iface_json("h", {}), iface_json("", {})})}));
    EXPECT_EQ(read_file(path), want);
}

TEST_F(ConfigFile, SaveClampsCountsAndRoundTrips) {
    j2534_config_t c;
    memset(&c, 0, sizeof c);
    c.device_count = 20;
    for (int d = 0; d < 16; ++d) {
        snprintf(c.devices[d].sn, sizeof c.devices[d].sn, "C%02d", d);
        c.devices[d].interface_count = d == 1 ? -1 : 1;
        c.devices[d].interfaces[0] = {'n', "10.1.1.1", "", ""};
    }
    c.devices[1].interfaces[0] = {};
    c.devices[2].current_interface = 0;
    c.devices[3].interfaces[0] = {'h', "relay", "", "0042"};
    c.current_device = 3;
    ASSERT_EQ(j2534_config_save(&c), 0);

    ASSERT_EQ(j2534_config_load(&cfg), 0);
    c.device_count = 16;
    c.devices[1].interface_count = 0;
    EXPECT_EQ(memcmp(&cfg, &c, sizeof c), 0);
    EXPECT_STREQ(j2534_config_get_current_pin(&cfg), "0042");
}

TEST_F(ConfigFile, LogLevelIsReadAppliedAndNeverSaved) {
    struct Case {
        const char *value;
        int want;
    } cases[] = {{"9", 4}, {"-5", -1}, {"2", 2}, {"0", 0}, {"\"1\"", 0}};
    j2534_config_apply_log_level(3);
    for (const Case &c : cases) {
        std::string text =
            std::string(R"({"log_level":)") + c.value + R"(,"devices":[{"sn":"L"}]})";
        ASSERT_EQ(load_text(text), 0);
        EXPECT_EQ(g_log_level.load(), c.want) << c.value;
    }
    ASSERT_EQ(j2534_config_save(&cfg), 0);
    cJSON *saved = cJSON_Parse(read_file(path).c_str());
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(saved, "log_level"), nullptr);
    cJSON_Delete(saved);

    j2534_config_apply_log_level(-9);
    EXPECT_EQ(g_log_level.load(), -1);
    j2534_config_apply_log_level(42);
    EXPECT_EQ(g_log_level.load(), 4);

    // Forced: the file no longer decides (the flag stays set for this process).
    j2534_config_force_log_level(7);
    EXPECT_EQ(g_log_level.load(), 4);
    j2534_config_force_log_level(1);
    ASSERT_EQ(load_text(R"({"log_level":4})"), 0);
    EXPECT_EQ(g_log_level.load(), 1);
    j2534_config_apply_log_level(3);
}

TEST_F(ConfigFile, InfoLineNamesThePathFromLevelTwo) {
    write_file(path, R"({"devices":[]})");
    int saved = g_log_level.load();
    for (int level : {2, 1}) {
        g_log_level.store(level);
        testing::internal::CaptureStdout();
        ASSERT_EQ(j2534_config_load(&cfg), 0);
        std::string out = testing::internal::GetCapturedStdout();
        if (level >= 2) {
            auto lines = testsupport::split_lines(out);
            ASSERT_EQ(lines.size(), 1u) << out;
            EXPECT_EQ(testsupport::strip_timestamp(lines[0]), "I pt_dll config path: " + path);
        } else {
            EXPECT_EQ(out, "");
        }
    }
    g_log_level.store(saved);
}

TEST(ConfigRecord, Accessors) {
    j2534_config_t c;
    j2534_config_set_defaults(&c);
    j2534_interface_t &i = c.devices[0].interfaces[0];

    struct Case {
        j2534_interface_t iface;
        const char *ip, *pin;
    } cases[] = {
        {{'n', "10.0.0.1", "", "77"}, "10.0.0.1", nullptr},
        {{'h', "relay", "", ""}, "relay", "472915"},
        {{'h', "", "", "1234"}, nullptr, "1234"},
        {{'b', "10.0.0.1", "VK", "1"}, nullptr, nullptr},
        {{'c', "10.0.0.1", "/dev/ttyS0", ""}, nullptr, nullptr},
        {{0, "10.0.0.1", "", "1"}, nullptr, nullptr},
    };
    for (const Case &k : cases) {
        i = k.iface;
        const char *ip = j2534_config_get_current_ip(&c);
        const char *pin = j2534_config_get_current_pin(&c);
        EXPECT_STREQ(ip, k.ip) << k.iface.type;
        EXPECT_STREQ(pin, k.pin) << k.iface.type;
        if (ip) {
            EXPECT_EQ(ip, i.ip); // points into the record
        }
    }
    EXPECT_STREQ(j2534_config_get_current_sn(&c), "Velkaro");
    EXPECT_EQ(j2534_config_get_current_interface(&c.devices[0]), &c.devices[0].interfaces[0]);

    c.devices[0].sn[0] = '\0';
    EXPECT_EQ(j2534_config_get_current_sn(&c), nullptr);
    c.devices[0].current_interface = 1;
    EXPECT_EQ(j2534_config_get_current_interface(&c.devices[0]), nullptr);
    c.current_device = 1;
    EXPECT_EQ(j2534_config_get_current_device(&c), nullptr);
    c.current_device = -1;
    EXPECT_EQ(j2534_config_get_current_device(&c), nullptr);

    EXPECT_EQ(j2534_config_get_current_device(nullptr), nullptr);
    EXPECT_EQ(j2534_config_get_current_interface(nullptr), nullptr);
    EXPECT_EQ(j2534_config_get_current_ip(nullptr), nullptr);
    EXPECT_EQ(j2534_config_get_current_pin(nullptr), nullptr);
    EXPECT_EQ(j2534_config_get_current_sn(nullptr), nullptr);
    EXPECT_EQ(j2534_config_load(nullptr), -1);
    EXPECT_EQ(j2534_config_save(nullptr), -1);
    j2534_config_set_defaults(nullptr);
}

TEST(ConfigRecord, AddDeviceAppendsUntilFull) {
    j2534_config_t c;
    j2534_config_set_defaults(&c);
    j2534_device_t d{};
    strcpy(d.sn, "NEW");
    d.interface_count = 1;
    d.interfaces[0] = {'c', "", "/dev/ttyUSB0", ""};

    EXPECT_EQ(j2534_config_add_device(&c, &d), 1);
    EXPECT_EQ(c.device_count, 2);
    EXPECT_EQ(memcmp(&c.devices[1], &d, sizeof d), 0);
    EXPECT_STREQ(c.devices[0].sn, "Velkaro");
    for (int n = 2; n < 16; ++n)
        ASSERT_EQ(j2534_config_add_device(&c, &d), n);

    j2534_config_t before = c;
    EXPECT_EQ(j2534_config_add_device(&c, &d), -1);
    EXPECT_EQ(memcmp(&c, &before, sizeof c), 0);
    EXPECT_EQ(j2534_config_add_device(nullptr, &d), -1);
    EXPECT_EQ(j2534_config_add_device(&c, nullptr), -1);
}

TEST(ConfigRecord, BootTypeFromSerialNumber) {
    struct Case {
        const char *sn;
        boot_type_t want;
    } cases[] = {
        {nullptr, 0},     {"", 0},       {"VK1234", 0xFF01}, {"vK1", 0xFF01},   {"Vk", 0xFF01},
        {"vk", 0xFF01},   {"V", 0},      {"VX12", 0},        {"S1234", 0xFF04}, {"sK12", 0xFF04},
        {"C001", 0xFF06}, {"c", 0xFF06}, {"M7", 0xFF0A},     {"m7", 0xFF0A},    {"N12", 0xFF05},
        {"n12", 0xFF05},  {"X12", 0},    {"KV12", 0},        {"1VK", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(j2534_config_get_boot_type(c.sn), c.want) << (c.sn ? c.sn : "(null)");
}

} // namespace
