// vci-sim: runs the simulated VCI on a TCP address until SIGINT or SIGTERM.
#include <cjson/cJSON.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>

#include "vci_sim.h"

namespace {

const char USAGE[] =
    "usage: vci-sim --listen ADDR | --from-config [--port N] [--fw N] [--hw N] [--sn N] [--no-greet] [--verbose]\n"
    "               [--first-channel N] [--loopback] [--stream N] [--vin TEXT] [--vbatt MV]\n"
    "  --listen ADDR  IPv4 address to listen on\n"
    "  --from-config  listen on the address of the current device in j2534.json\n"
    "                 ($XDG_CONFIG_HOME/Morlint, else ~/.config/Morlint)\n"
    "  --port N       TCP port (default 53983)\n"
    "  --fw N         firmware number of the version answer\n"
    "  --hw N         hardware value of the version answer (0..65535)\n"
    "  --sn N         serial number of the version answer\n"
    "  --no-greet     send nothing on connect\n"
    "  --verbose      print one line per request and connection\n"
    "  --first-channel N  lowest channel number a connect hands out (default 1)\n"
    "  --loopback     new channels echo what they send\n"
    "  --stream N     every fetch returns as many N-byte CAN frames as asked for (0..4128)\n"
    "  --vin TEXT     VIN the simulated ECU reports (17 characters)\n"
    "  --vbatt MV     battery voltage in millivolts (default 12650)\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal.\n";

int bad(const std::string &msg) {
    fprintf(stderr, "vci-sim: %s (try --help)\n", msg.c_str());
    return 2;
}

bool parse_num(const char *s, unsigned long max, unsigned long &out) {
    if (!s || !*s || *s == '-') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(s, &end, 0);
    if (errno || *end || v > max) return false;
    out = v;
    return true;
}

// The network address of the configuration's current device and interface, or "".
std::string address_from_config() {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    std::string dir = xdg && *xdg ? xdg : home ? std::string(home) + "/.config" : "";
    if (dir.empty()) return "";
    FILE *f = fopen((dir + "/Morlint/j2534.json").c_str(), "rb");
    if (!f) return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20)) text.append(buf, n);
    fclose(f);
    std::string ip;
    if (cJSON *root = cJSON_ParseWithLength(text.data(), text.size())) {
        cJSON *cur = cJSON_GetObjectItemCaseSensitive(root, "current_device");
        cJSON *devs = cJSON_GetObjectItemCaseSensitive(root, "devices");
        cJSON *dev = cJSON_GetArrayItem(devs, cJSON_IsNumber(cur) ? cur->valueint : 0);
        cJSON *cur_if = cJSON_GetObjectItemCaseSensitive(dev, "current_interface");
        cJSON *ifs = cJSON_GetObjectItemCaseSensitive(dev, "interface");
        cJSON *itf = cJSON_GetArrayItem(ifs, cJSON_IsNumber(cur_if) ? cur_if->valueint : 0);
        cJSON *type = cJSON_GetObjectItemCaseSensitive(itf, "type");
        cJSON *addr = cJSON_GetObjectItemCaseSensitive(itf, "ip");
        if (cJSON_IsString(type) && type->valuestring[0] == 'n' && cJSON_IsString(addr)) ip = addr->valuestring;
        cJSON_Delete(root);
    }
    return ip;
}

} // namespace

int main(int argc, char **argv) {
    std::string listen;
    unsigned long port = vcisim::VCI_TCP_PORT;
    bool verbose = false;
    vcisim::DeviceState st;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        if (a == "--help" || a == "-h") {
            fputs(USAGE, stdout);
            return 0;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--no-greet") {
            st.greet = false;
        } else if (a == "--loopback") {
            st.loopback = true;
        } else if (a == "--vin") {
            if (!val || strlen(val) != 17) return bad("--vin needs 17 characters");
            st.vin = val;
            ++i;
        } else if (a == "--first-channel" || a == "--stream") {
            unsigned long max = a == "--stream" ? 4128 : 0xFFFF;
            if (!parse_num(val, max, n)) return bad("bad value for " + a);
            ++i;
            if (a == "--first-channel") st.first_channel = static_cast<uint16_t>(n);
            if (a == "--stream") st.stream_frames = static_cast<uint32_t>(n);
        } else if (a == "--from-config") {
            listen = address_from_config();
            if (listen.empty()) return bad("no network device in j2534.json");
        } else if (a == "--listen") {
            if (!val) return bad("--listen needs an address");
            listen = val;
            ++i;
        } else if (a == "--vbatt") {
            if (!parse_num(val, 0xFFFFFFFFul, n)) return bad("bad value for " + a);
            ++i;
            st.battery_mv = static_cast<uint32_t>(n);
        } else if (a == "--port" || a == "--fw" || a == "--hw" || a == "--sn") {
            unsigned long max = a == "--port" ? 65535 : a == "--hw" ? 0xFFFF : 0xFFFFFFFFul;
            if (!parse_num(val, max, n)) return bad("bad value for " + a);
            ++i;
            if (a == "--port") port = n;
            if (a == "--fw") st.fw_version = static_cast<uint32_t>(n);
            if (a == "--hw") st.hw_version = static_cast<uint16_t>(n);
            if (a == "--sn") st.serial = static_cast<uint32_t>(n);
        } else {
            return bad("unknown argument " + a);
        }
    }
    if (listen.empty()) return bad("--listen ADDR or --from-config is required");

    // Signals are taken by sigwait below; the server thread inherits the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    vcisim::Simulator sim;
    sim.set_state(st);
    if (verbose) {
        sim.set_log([](const std::string &line) {
            fprintf(stdout, "%s\n", line.c_str());
            fflush(stdout);
        });
    }
    if (!sim.start(listen, static_cast<uint16_t>(port))) {
        fprintf(stderr, "vci-sim: cannot listen on %s:%lu: %s\n", listen.c_str(), port,
                strerror(errno));
        return 1;
    }
    printf("listening on %s:%u\n", listen.c_str(), sim.port());
    fflush(stdout);

    int sig = 0;
    sigwait(&sigs, &sig);
    sim.stop();
    return 0;
}
