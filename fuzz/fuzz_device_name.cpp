// Device-name strings as hosts pass them: direct and relay forms.
#include <cstddef>
#include <cstdint>
#include <string>

#include "api/j2534_dev.h"
#include "log/j2534_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_log_level = -1;
    std::string name(reinterpret_cast<const char *>(data), size);
    uint8_t type = 0;
    char address[80];
    parse_device_name(name.c_str(), &type, address);
    devhub_params_t params;
    parse_devhub_string(name.c_str(), &params);
    return 0;
}
