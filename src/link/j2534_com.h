// The per-device link object: frame protocol, transports, device operations.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include <j2534vk/j2534vk.h>

enum : uint8_t {
    DEV_TYPE_LAN = 1,
    DEV_TYPE_BLUETOOTH_MAC = 2,
    DEV_TYPE_BLUETOOTH_UUID = 3,
    DEV_TYPE_SERIAL = 5,
};

enum : uint8_t {
    J2534_CMD_CONNECT = 0x41,
    J2534_CMD_DISCONNECT = 0x42,
    J2534_CMD_FETCH = 0x43,
    J2534_CMD_WRITE = 0x44,
    J2534_CMD_START_PERIODIC = 0x45,
    J2534_CMD_STOP_PERIODIC = 0x46,
    J2534_CMD_START_FILTER = 0x47,
    J2534_CMD_STOP_FILTER = 0x48,
    J2534_CMD_READ_VERSION = 0x49,
    J2534_CMD_QCONNECT = 0x56,
    J2534_CMD_OPEN = 0x54,
    J2534_CMD_CLOSE = 0x55,
    J2534_CMD_GET_LAST_ERROR = 0x5C,
    J2534_CMD_SERVICE_FIRST = 0x5E, // service commands: no automatic text, short answers allowed
};

enum RxState : int {
    RX_WAIT_MARKER = 0,
    RX_CMD = 1,
    RX_LEN_LO = 2,
    RX_LEN_HI = 3,
    RX_PAYLOAD = 4,
    RX_CHECK = 5,
    RX_DONE = 6,
};

constexpr uint8_t cMarker = 0x55;
constexpr uint32_t VCI_TCP_PORT = 53983;
constexpr uint32_t FRAME_MAX = 6144;       // whole request frame, and largest response payload
constexpr uint32_t REQ_PAYLOAD_MAX = 6139; // FRAME_MAX less header and trailer
constexpr uint32_t LAST_ERROR_SIZE = 1024;

constexpr uint32_t RX_CACHE_CHANNELS = 17; // receive queues for channel numbers 0..16

// A frame fetched from the VCI and not yet read by the host.
struct rx_cache_item_t {
    uint32_t protocol_id;
    uint32_t rx_status;
    uint32_t timestamp;
    uint32_t data_size;
    uint32_t extra_data_index;
    std::vector<uint8_t> data;
};

// Maps a 16-bit wire status to a J2534 status (0x1000..0x1002 -> 0x10000..0x10002).
uint32_t expand_wire_err(uint16_t status);

class J2534_com {
  public:
    J2534_com();
    ~J2534_com();
    J2534_com(const J2534_com &) = delete;
    J2534_com &operator=(const J2534_com &) = delete;

    // Link lifecycle.
    int32_t dev_open(uint8_t type, const char *address, int slot);
    int32_t dev_close();

    // The one exchange with the VCI.
    int32_t send_command(uint8_t cmd, const uint8_t *req, uint32_t req_len, uint8_t *resp,
                         uint32_t *resp_len, uint32_t timeout_ms, uint32_t *elapsed_ms);
    // Feeds received bytes to the response parser; returns the parser state.
    int add_reciv_buffer(const uint8_t *data, uint16_t len);
    int32_t extract_response_ret(uint8_t cmd, const uint8_t *resp);

    // Error texts.
    int32_t set_last_error(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    int32_t set_last_err(int32_t code);
    void dev_get_last_error();
    void get_last_error_str(char *buffer, unsigned size);
    // Whole text, untrimmed, for log lines.
    void copy_last_error(char *buffer, size_t size);
    static int get_last_error_from_system(int unused = 0);

    // Channels.
    int32_t dev_connect(uint32_t protocol, uint32_t flags, uint32_t baud, uint32_t *channel_id);
    int32_t dev_qconnect(const uint8_t *data, uint32_t size, uint32_t *channel_id);
    int32_t dev_disconnect(uint32_t channel);

    // Receive cache and reading.
    int32_t read_msgs(uint32_t channel, pt_msg_t *msgs, uint32_t *count, uint32_t timeout);
    int32_t rx_cache_fetch(uint32_t channel, uint32_t max_frames, uint32_t timeout);
    // Moves the channel's oldest entry into dst; false when the queue is empty.
    bool rx_cache_pop(uint32_t channel, pt_msg_t *dst);
    // Splits a fetched block into the channel's queue, stopping at the first bad frame.
    void rx_cache_add_block(uint32_t channel, const uint8_t *block, uint32_t len);
    void rx_cache_clear(uint32_t channel);
    size_t rx_cache_size(uint32_t channel);

    // Writing, periodic messages and filters.
    int32_t write_msgs(uint32_t channel, const pt_msg_t *msgs, uint32_t *count, uint32_t timeout);
    int32_t start_periodic_msg(uint32_t channel, const pt_msg_t *msg, uint32_t *msg_id,
                               uint32_t interval);
    int32_t stop_periodic_msg(uint32_t channel, uint32_t msg_id);
    int32_t start_msg_filter(uint32_t channel, uint32_t type, const pt_msg_t *mask,
                             const pt_msg_t *pattern, const pt_msg_t *flow_control,
                             uint32_t *filter_id);
    int32_t stop_msg_filter(uint32_t channel, uint32_t filter_id);

    // Ioctl.
    int32_t ioctl(uint32_t channel, uint32_t ioctl_id, void *input, void *output);

    // Device information.
    int32_t set_programming_voltage(uint32_t pin, uint32_t voltage);
    int32_t read_version(char *firmware_version);
    int32_t read_marks(mark_t *marks);
    int32_t dev_status(uint32_t channel, uint16_t *tp, uint32_t *mem, uint32_t *battery_mv);
    int32_t secacc(uint32_t channel, const pt_msg_t *msg, uint32_t arg32, const uint8_t *bytes,
                   uint8_t num_bytes, uint8_t arg1, uint8_t arg2, uint32_t timeout);

    // Receive primitive of the TCP link: bytes received or -1.
    int sock_receive(uint8_t *buffer, uint32_t size, uint32_t timeout_ms);

    // Log stream and tag of this link.
    int log_slot() const { return dev_index; }
    const char *log_tag() const { return tag; }
    uint32_t default_timeout() const { return timeout_ms; }
    uint16_t sequence() const { return seq; }

  private:
    friend struct LinkTestAccess; // unit tests drive the parser state directly

    int32_t open_lan(const char *host, uint32_t port, int slot);
    int32_t close_lan();
    int32_t open_ble_mac(const char *address, int slot);
    int32_t close_ble();
    int32_t open_serial(const char *port, int slot);
    int32_t close_serial();

    int32_t exchange_lan(const uint8_t *frame, uint32_t frame_len, uint32_t wait_ms,
                         uint32_t *elapsed_ms, bool *done);
    void drop_socket();
    void advance_seq() { seq = static_cast<uint16_t>(seq >= 6 ? 0 : seq + 1); }
    int32_t stop_item(uint8_t cmd, const char *what, uint32_t channel, uint32_t id);
    // send_command with a response room of resp_size bytes.
    int32_t command(uint8_t cmd, const uint8_t *req, uint32_t req_len, uint8_t *resp,
                    uint32_t resp_size, uint32_t wait_ms, uint32_t *elapsed_ms);
    // Full last-error text for a log line.
    struct ErrorText {
        char text[LAST_ERROR_SIZE];
    };
    ErrorText error_text();
    // Stores a text in last_error under its own lock and writes the error line.
    void store_last_error(const char *text, bool log_it);

    uint8_t comm_type = 0;
    std::atomic<int> rx_state{RX_WAIT_MARKER};
    uint8_t rx_buf[FRAME_MAX];
    uint16_t recive_len = 0;
    uint16_t recive_pos = 0;
    std::atomic<uint8_t> cur_cmd{0};
    uint8_t rx_cmd = 0;
    uint8_t lan_open = 0;
    int lan_fd = -1; // -1 when there is no socket
    uint32_t timeout_ms = 500;
    uint16_t seq = 0;
    std::recursive_mutex cmd_mutex;
    uint16_t dev_index = 0;
    char tag[16] = "";
    char last_error[LAST_ERROR_SIZE] = "";
    std::mutex last_error_mutex; // guards last_error only; never held across I/O
    // Guards the queues, so that a host reading one channel from two threads cannot
    // corrupt them; never held across an exchange.
    std::mutex rx_cache_mutex;
    std::deque<rx_cache_item_t> rx_cache[RX_CACHE_CHANNELS];
};
