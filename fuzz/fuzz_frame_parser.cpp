// The response parser fed arbitrary bytes in arbitrary chunks.
#include <cstddef>
#include <cstdint>

#include "link/j2534_com.h"
#include "log/j2534_log.h"

struct LinkTestAccess {
    static void collect(J2534_com &c) { c.rx_state = RX_WAIT_MARKER; }
    static void set_cur_cmd(J2534_com &c, uint8_t cmd) { c.cur_cmd = cmd; }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_log_level = 0;
    if (size < 2) return 0;
    J2534_com com;
    LinkTestAccess::set_cur_cmd(com, data[0] & 1 ? 0x43 : 0);
    size_t chunk = 1 + data[1] % 64;
    for (size_t off = 2; off < size; off += chunk) {
        size_t n = size - off < chunk ? size - off : chunk;
        if (com.add_reciv_buffer(data + off, static_cast<uint16_t>(n)) == RX_DONE)
            LinkTestAccess::collect(com);
    }
    return 0;
}
