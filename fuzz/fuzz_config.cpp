// Any configuration file content up to the size limit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "config/j2534_config.h"
#include "log/j2534_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool init = [] {
        static char tmpl[] = "/tmp/j2534vk-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        setenv("XDG_CONFIG_HOME", tmpl, 1);
        atexit([] {
            std::string cmd = std::string("rm -rf '") + tmpl + "'";
            if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", tmpl);
        });
        j2534_config_force_log_level(-1);
        j2534_config_t cfg;
        j2534_config_load(&cfg); // creates the folder and the file
        return true;
    }();
    (void)init;
    const char *path = j2534_config_get_path();
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    j2534_config_t cfg;
    j2534_config_load(&cfg);
    j2534_config_get_current_ip(&cfg);
    j2534_config_get_current_pin(&cfg);
    j2534_config_get_current_sn(&cfg);
    return 0;
}
