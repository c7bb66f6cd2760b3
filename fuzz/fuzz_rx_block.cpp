// A fetched block of received frames, as the VCI might send it.
#include <cstddef>
#include <cstdint>

#include "link/j2534_com.h"
#include "log/j2534_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_log_level = 0;
    if (size > 6144) size = 6144;
    J2534_com com;
    com.rx_cache_add_block(1, data, static_cast<uint32_t>(size));
    pt_msg_t msg;
    while (com.rx_cache_size(1)) com.rx_cache_pop(1, &msg);
    return 0;
}
