// Link lifecycle and the TCP link to a VCI on the local network.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/j2534_com.h"
#include "log/j2534_log.h"
#include "platform/platform.h"
#include "scan/net_util.h"

namespace {

constexpr int CONNECT_WAIT_S = 2;
constexpr uint32_t DRAIN_WINDOW_MS = 100;

// Non-blocking connect with a wait; the socket is blocking again afterwards.
bool connect_with_timeout(int fd, const sockaddr_in &addr, int wait_s) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool ok = false;
    int rc = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (rc == 0) {
        ok = true;
    } else if (errno == EINPROGRESS) {
        struct pollfd p = {fd, POLLOUT, 0};
        int n;
        do {
            n = poll(&p, 1, wait_s * 1000);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return ok;
}

} // namespace

J2534_com::J2534_com() = default;

J2534_com::~J2534_com() {
    if (lan_fd >= 0) ::close(lan_fd);
}

int32_t J2534_com::dev_open(uint8_t type, const char *address, int slot) {
    comm_type = type;
    switch (type) {
    case DEV_TYPE_LAN:
        return open_lan(address, VCI_TCP_PORT, slot);
    case DEV_TYPE_BLUETOOTH_MAC:
        timeout_ms = 1000;
        return open_ble_mac(address, slot);
    case DEV_TYPE_SERIAL:
        timeout_ms = 2000;
        return open_serial(address, slot);
    default:
        log_line(dev_index, 'E', tag, "open name: %s > ERR_DEVICE_NOT_CONNECTED\n", address);
        return ERR_DEVICE_NOT_CONNECTED;
    }
}

int32_t J2534_com::dev_close() {
    std::lock_guard<std::recursive_mutex> lock(cmd_mutex);
    switch (comm_type) {
    case DEV_TYPE_LAN: return close_lan();
    case DEV_TYPE_BLUETOOTH_MAC: return close_ble();
    case DEV_TYPE_SERIAL: return close_serial();
    default: return ERR_DEVICE_NOT_CONNECTED;
    }
}

int J2534_com::sock_receive(uint8_t *buffer, uint32_t size, uint32_t wait_ms) {
    uint32_t start = GetTickCount();
    while (GetTickDiff(start, GetTickCount()) <= wait_ms) {
        ssize_t n = recv(lan_fd, buffer, size, 0);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return -1; // orderly shutdown: no data will come
        if (errno != EINTR && !IsTimeOut()) return -1;
    }
    return -1;
}

int32_t J2534_com::open_lan(const char *host, uint32_t port, int slot) {
    if (lan_fd >= 0) return ERR_DEVICE_IN_USE;
    timeout_ms = 1000;
    lan_open = 1;
    snprintf(tag, sizeof tag, "j%i", slot);

    char text[LAST_ERROR_SIZE];
    // Closes the socket, keeps the reason and writes the error line.
    auto fail = [&](bool name_host) {
        if (lan_fd >= 0) ::close(lan_fd);
        lan_fd = -1;
        lan_open = 0;
        store_last_error(text, false);
        if (name_host)
            log_line(dev_index, 'E', tag, "open_lan %s > %s\n", host, text);
        else
            log_line(dev_index, 'E', tag, "open_lan > %s\n", text);
        return ERR_DEVICE_NOT_CONNECTED;
    };

    lan_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lan_fd < 0) {
        snprintf(text, sizeof text, "Creating socket fail: %i", errno);
        return fail(false);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    uint32_t ip = 0;
    if (!resolve_ipv4(host, &ip)) {
        snprintf(text, sizeof text, "Invalid address or host not resolved: %s", host);
        return fail(false);
    }
    addr.sin_addr.s_addr = ip;

    int one = 1;
    if (setsockopt(lan_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        snprintf(text, sizeof text, "Creating socket fail 0: %i", errno);
        return fail(false);
    }
    struct timeval tv = {static_cast<time_t>(timeout_ms / 1000),
                         static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
    if (setsockopt(lan_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        snprintf(text, sizeof text, "Creating socket fail 1: %i", errno);
        return fail(false);
    }
    if (!connect_with_timeout(lan_fd, addr, CONNECT_WAIT_S)) {
        snprintf(text, sizeof text, "Connect timeout (%ds) or fail", CONNECT_WAIT_S);
        return fail(true);
    }

    uint8_t scratch[FRAME_MAX];
    sock_receive(scratch, sizeof scratch, DRAIN_WINDOW_MS);

    uint8_t resp[2];
    uint32_t resp_len = sizeof resp;
    uint32_t elapsed = 0;
    int32_t status = send_command(J2534_CMD_OPEN, nullptr, 0, resp, &resp_len, timeout_ms, &elapsed);
    if (status != STATUS_NOERROR) {
        char reason[LAST_ERROR_SIZE];
        copy_last_error(reason, sizeof reason);
        log_line(dev_index, 'E', tag, "open_lan > %s, %i\n", reason, static_cast<int>(elapsed));
        drop_socket();
        lan_open = 0;
        return status;
    }
    dev_index = static_cast<uint16_t>(slot);
    log_session_start(slot);
    log_line(dev_index, 'I', tag, "open %s > ok %ums\n", host, elapsed);
    return STATUS_NOERROR;
}

int32_t J2534_com::close_lan() {
    if (lan_fd < 0) {
        log_line(dev_index, 'I', tag, "close > ok 0ms\n");
        log_session_end(dev_index);
        lan_open = 0;
        return STATUS_NOERROR;
    }
    uint8_t resp[2];
    uint32_t resp_len = sizeof resp;
    uint32_t elapsed = 0;
    send_command(J2534_CMD_CLOSE, nullptr, 0, resp, &resp_len, timeout_ms, &elapsed);
    drop_socket();
    log_line(dev_index, 'I', tag, "close > ok %ums\n", elapsed);
    log_session_end(dev_index);
    lan_open = 0;
    return STATUS_NOERROR;
}

// Transports that later work fills in: opening them fails honestly for now.
int32_t J2534_com::open_ble_mac(const char *address, int slot) {
    snprintf(tag, sizeof tag, "j%i", slot);
    set_last_error("BLE link not available in this build: %s", address);
    return ERR_NOT_SUPPORTED;
}

int32_t J2534_com::close_ble() { return STATUS_NOERROR; }

int32_t J2534_com::open_serial(const char *port, int slot) {
    snprintf(tag, sizeof tag, "s%i", slot);
    set_last_error("serial link not available in this build: %s", port);
    return ERR_NOT_SUPPORTED;
}

int32_t J2534_com::close_serial() { return STATUS_NOERROR; }
