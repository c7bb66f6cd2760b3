// Ioctl answers of any shape, delivered over a socket pair as the VCI's response frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/j2534_com.h"
#include "log/j2534_log.h"

struct LinkTestAccess {
    static void attach(J2534_com &c, int fd) {
        c.comm_type = DEV_TYPE_LAN;
        c.lan_fd = fd;
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] {
        g_log_level = -1;
        return freopen("/dev/null", "w", stdout) != nullptr;
    }();
    (void)quiet;
    if (size < 1) return 0;
    static const uint32_t ids[] = {1, 3, 4, 5, 0x800C, 0x800D, 0x8110, 0x8111, 0x8211};
    uint32_t id = ids[data[0] % (sizeof ids / sizeof ids[0])];
    size_t len = size - 1 > 6139 ? 6139 : size - 1;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    std::vector<uint8_t> frame = {0x55, 0x4A, static_cast<uint8_t>(len & 0xFF),
                                  static_cast<uint8_t>((len >> 8) | (1 << 5))};
    frame.insert(frame.end(), data + 1, data + 1 + len);
    frame.push_back(0);
    if (send(fds[1], frame.data(), frame.size(), MSG_NOSIGNAL) < 0) return 0;
    shutdown(fds[1], SHUT_WR); // anything more the library waits for ends at once

    J2534_com com;
    LinkTestAccess::attach(com, fds[0]); // the link closes its end
    SCONFIG pairs[4] = {{1, 0}, {3, 0}, {0x21, 0}, {0x8000, 0}};
    SCONFIG_LIST config = {4, pairs};
    SPARAM params[3] = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}};
    SPARAM_LIST plist = {3, params};
    uint8_t in_bytes[2] = {0x33, 0x00}, out_bytes[64];
    SBYTE_ARRAY in_arr = {2, in_bytes}, out_arr = {sizeof out_bytes, out_bytes};
    pt_msg_t msg_in, msg_out;
    memset(&msg_in, 0, sizeof msg_in);
    msg_in.ProtocolID = 4;
    msg_in.DataSize = 4;
    uint32_t mv = 0;
    switch (id) {
    case 1: com.ioctl(1, id, &config, nullptr); break;
    case 3: com.ioctl(1, id, nullptr, &mv); break;
    case 4: com.ioctl(1, id, &in_arr, &out_arr); break;
    case 5: com.ioctl(1, id, &msg_in, &msg_out); break;
    case 0x800C:
    case 0x800D: com.ioctl(1, id, &plist, nullptr); break;
    case 0x8110: com.ioctl(1, id, nullptr, &mv); break;
    default: com.ioctl(1, id, nullptr, &out_arr); break;
    }
    close(fds[1]);
    return 0;
}
