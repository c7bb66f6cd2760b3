// Command frames: building requests, parsing responses, the exchange itself.
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/j2534_com.h"
#include "link/last_error.h"
#include "log/j2534_log.h"
#include "platform/platform.h"

uint32_t expand_wire_err(uint16_t status) {
    switch (status) {
    case 0x1000: return ERR_ADDRESS_NOT_CLAIMED;
    case 0x1001: return ERR_NO_CONNECTION_ESTABLISHED;
    case 0x1002: return ERR_RESOURCE_IN_USE;
    default: return status;
    }
}

int J2534_com::add_reciv_buffer(const uint8_t *data, uint16_t len) {
    uint16_t i = 0;
    while (i < len) {
        int state = rx_state.load(std::memory_order_relaxed);
        uint8_t b = data[i];
        switch (state) {
        case RX_WAIT_MARKER:
            ++i;
            if (b == cMarker) rx_state.store(RX_CMD, std::memory_order_relaxed);
            break;
        case RX_CMD:
            ++i;
            if (b >= 0x41 && b <= 0x7E) {
                rx_cmd = b;
                rx_state.store(RX_LEN_LO, std::memory_order_relaxed);
            } else {
                rx_state.store(RX_WAIT_MARKER, std::memory_order_relaxed);
            }
            break;
        case RX_LEN_LO:
            ++i;
            recive_len = b;
            rx_state.store(RX_LEN_HI, std::memory_order_relaxed);
            break;
        case RX_LEN_HI: {
            ++i;
            recive_len = static_cast<uint16_t>(recive_len | (b << 8));
            recive_pos = 0;
            if ((recive_len >> 13) != seq + 1) {
                rx_state.store(RX_WAIT_MARKER, std::memory_order_relaxed);
                break;
            }
            recive_len &= 0x1FFF;
            if (recive_len > FRAME_MAX) {
                log_line(dev_index, 'W', tag, "recive_len=%u > buffer %u - discarding\n",
                         static_cast<unsigned>(recive_len), static_cast<unsigned>(FRAME_MAX));
                rx_state.store(RX_WAIT_MARKER, std::memory_order_relaxed);
                break;
            }
            rx_state.store(recive_len == 0 ? RX_CHECK : RX_PAYLOAD, std::memory_order_relaxed);
            break;
        }
        case RX_PAYLOAD: {
            uint16_t want = static_cast<uint16_t>(recive_len - recive_pos);
            uint16_t have = static_cast<uint16_t>(len - i);
            uint16_t n = want < have ? want : have;
            memcpy(rx_buf + recive_pos, data + i, n);
            recive_pos = static_cast<uint16_t>(recive_pos + n);
            i = static_cast<uint16_t>(i + n);
            if (recive_pos == recive_len) rx_state.store(RX_CHECK, std::memory_order_relaxed);
            break;
        }
        case RX_CHECK: {
            // The byte after the payload completes the frame; it is not consumed here.
            uint8_t expected = cur_cmd.load();
            if (expected != 0 && expected != rx_cmd) {
                log_line(dev_index, 'W', tag, "CMD mismatch: expected 0x%02X, got 0x%02X - discarding\n",
                         expected, rx_cmd);
                rx_state.store(RX_WAIT_MARKER, std::memory_order_relaxed);
                break;
            }
            advance_seq();
            rx_state.store(RX_DONE, std::memory_order_release);
            return RX_DONE;
        }
        default:
            return RX_DONE;
        }
    }
    return rx_state.load(std::memory_order_relaxed);
}

int32_t J2534_com::extract_response_ret(uint8_t cmd, const uint8_t *resp) {
    uint32_t status = expand_wire_err(static_cast<uint16_t>(resp[0] | (resp[1] << 8)));
    if (status != STATUS_NOERROR && cmd < J2534_CMD_SERVICE_FIRST && cmd != J2534_CMD_GET_LAST_ERROR) {
        if (status == ERR_FAILED) {
            dev_get_last_error();
            bool empty;
            {
                std::lock_guard<std::mutex> lock(last_error_mutex);
                empty = last_error[0] == 0;
            }
            if (empty) store_last_error("ERR_FAILED", false);
        } else {
            set_last_err(static_cast<int32_t>(status));
        }
    }
    return static_cast<int32_t>(status);
}

void J2534_com::drop_socket() {
    if (lan_fd >= 0) {
        shutdown(lan_fd, SHUT_RDWR);
        ::close(lan_fd);
        lan_fd = -1;
    }
}

// Writes the frame and waits for the response on the TCP socket. Returns a
// status when the exchange failed; sets *done when the response is complete.
int32_t J2534_com::exchange_lan(const uint8_t *frame, uint32_t frame_len, uint32_t wait_ms,
                                uint32_t *elapsed_ms, bool *done) {
    *done = false;
    rx_state.store(RX_WAIT_MARKER);
    uint32_t sent = 0;
    while (sent < frame_len) {
        ssize_t n = send(lan_fd, frame + sent, frame_len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = get_last_error_from_system();
            set_last_error("0x%X - %s", static_cast<unsigned>(e), sys_strerror(e));
            advance_seq();
            drop_socket();
            return ERR_DEVICE_NOT_CONNECTED;
        }
        sent += static_cast<uint32_t>(n);
    }
    uint32_t start = GetTickCount();
    uint8_t chunk[FRAME_MAX];
    while ((*elapsed_ms = GetTickDiff(start, GetTickCount())) < wait_ms) {
        // A receive blocks up to the socket's time-out; near the end wait only what is left.
        uint32_t left = wait_ms - *elapsed_ms;
        if (left < timeout_ms) {
            struct pollfd p = {lan_fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) == 0) continue;
        }
        ssize_t n = recv(lan_fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            if (add_reciv_buffer(chunk, static_cast<uint16_t>(n)) == RX_DONE) {
                *elapsed_ms = GetTickDiff(start, GetTickCount());
                *done = true;
                return STATUS_NOERROR;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        // 0 bytes: the peer closed; any other receive error means the same.
        set_last_error("0x%X - %s", static_cast<unsigned>(ECONNRESET), sys_strerror(ECONNRESET));
        advance_seq();
        drop_socket();
        return ERR_DEVICE_NOT_CONNECTED;
    }
    set_last_error("0x%X - %s", static_cast<unsigned>(ETIMEDOUT), sys_strerror(ETIMEDOUT));
    advance_seq();
    return ERR_DEVICE_NOT_CONNECTED;
}

int32_t J2534_com::send_command(uint8_t cmd, const uint8_t *req, uint32_t req_len, uint8_t *resp,
                                uint32_t *resp_len, uint32_t wait_ms, uint32_t *elapsed_ms) {
    std::lock_guard<std::recursive_mutex> lock(cmd_mutex);
    cur_cmd.store(cmd);
    *elapsed_ms = 0;
    struct ClearCmd {
        std::atomic<uint8_t> &c;
        ~ClearCmd() { c.store(0); }
    } clear_cmd{cur_cmd};

    if (req_len > REQ_PAYLOAD_MAX)
        return set_last_error("req_size %u exceeds buffer limit %u", req_len, REQ_PAYLOAD_MAX);
    if (!req) req_len = 0;

    uint8_t frame[FRAME_MAX];
    frame[0] = cMarker;
    frame[1] = cmd;
    frame[2] = static_cast<uint8_t>(req_len & 0xFF);
    frame[3] = static_cast<uint8_t>((req_len >> 8) | (seq << 5));
    if (req_len) memcpy(frame + 4, req, req_len);
    frame[4 + req_len] = 0x00;
    uint32_t frame_len = req_len + 5;

    bool done = false;
    int32_t status;
    switch (comm_type) {
    case DEV_TYPE_LAN:
        if (lan_fd < 0) return ERR_DEVICE_NOT_CONNECTED;
        status = exchange_lan(frame, frame_len, wait_ms, elapsed_ms, &done);
        break;
    case DEV_TYPE_BLUETOOTH_MAC:
    case DEV_TYPE_SERIAL:
        return ERR_DEVICE_NOT_CONNECTED; // transport not open in this build
    case DEV_TYPE_BLUETOOTH_UUID:
        return set_last_error("DEV_TYPE_BLUETOOTH_UUID not implemented");
    default:
        return set_last_error("unknown comm_type: %i", comm_type);
    }
    if (!done) return status;

    uint32_t capacity = *resp_len;
    uint32_t got = recive_len;
    if (got > capacity)
        log_line(dev_index, 'E', tag, "response overflow: recive_len=%u > res_size=%u\n", got, capacity);
    uint8_t head[2] = {rx_buf[0], rx_buf[1]};
    if (resp) memcpy(resp, rx_buf, got < capacity ? got : capacity);
    *resp_len = got;
    rx_state.store(RX_WAIT_MARKER);
    cur_cmd.store(0);

    if (got >= 2) return extract_response_ret(cmd, head);
    if (cmd < J2534_CMD_SERVICE_FIRST) return set_last_error("short response: %u bytes", got);
    return STATUS_NOERROR;
}

int32_t J2534_com::command(uint8_t cmd, const uint8_t *req, uint32_t req_len, uint8_t *resp,
                           uint32_t resp_size, uint32_t wait_ms, uint32_t *elapsed_ms) {
    uint32_t len = resp_size;
    return send_command(cmd, req, req_len, resp, &len, wait_ms, elapsed_ms);
}
