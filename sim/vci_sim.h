// Simulated VCI: speaks the command frame protocol over TCP like the real device.
// It has its own frame codec and shares no code with the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vcisim {

constexpr uint16_t VCI_TCP_PORT = 53983;

// One request frame as the simulator received it.
struct Request {
    uint8_t cmd = 0;
    uint8_t seq = 0;              // sequence number from the frame header (0..7)
    std::vector<uint8_t> payload; // payload bytes
    std::vector<uint8_t> frame;   // the whole frame, marker to trailer
};

// What the simulator does with the next request(s) of one command code. A fault applies to
// requests received after arm(). The device handler still runs (state changes, e.g. opened)
// for DELAY, WRONG_SEQ, SPLIT, BYTE_BY_BYTE and GARBAGE_FIRST; STATUS, RAW, NO_REPLY, DROP and
// PAYLOAD replace it. For STATUS, RAW, DROP and PAYLOAD delay_ms is a wait before acting;
// GARBAGE_FIRST sends garbage and reply in one write, or in two with delay_ms between when it
// is not 0. WRONG_SEQ answers with the request's own sequence number, as a stale reply would.
struct Fault {
    enum Kind {
        NONE,
        DELAY,         // wait delay_ms, then answer normally
        STATUS,        // answer with status word `status` and no further payload
        RAW,           // send `raw` bytes instead of the reply frame
        WRONG_SEQ,     // reply with a wrong sequence number
        SPLIT,         // send the reply in two writes, split at `split_at`, delay_ms between
        BYTE_BY_BYTE,  // send the reply one byte per write, delay_ms between bytes
        GARBAGE_FIRST, // send `raw` bytes, then the normal reply
        NO_REPLY,      // swallow the request
        DROP,          // close the connection instead of answering
        PAYLOAD,       // answer with `raw` as the payload (status word included) in a proper frame
    };
    Kind kind = NONE;
    uint32_t delay_ms = 0;
    uint16_t status = 0;
    size_t split_at = 0;
    std::vector<uint8_t> raw;
    int count = -1; // how many requests it applies to; -1 = until cleared
};

// Default marks record: a counter mixed with its high byte, so offsets are recognisable.
inline std::array<uint8_t, 1024> default_marks() {
    std::array<uint8_t, 1024> m{};
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ 0xA5);
    return m;
}

// Device state a test can set and read.
struct DeviceState {
    uint32_t fw_version = 1203;
    uint16_t hw_version = 0x1A2B;
    uint32_t serial = 345;
    std::string last_error_text = "simulated VCI error"; // answer to 0x5C
    bool greet = true;                                   // send a greeting on connect
    bool opened = false;                                 // between 0x54 and 0x55

    // Virtual vehicle settings; they apply to requests received after set_state().
    uint16_t first_channel = 1;            // lowest channel number a connect hands out
    bool loopback = false;                 // loopback of channels connected from now on
    uint32_t accept_limit = 0xFFFFFFFF;    // at most this many messages of a write accepted
    std::string vin = "WVKSIM00000000042"; // answer of the ECU to 22 F1 90
    uint32_t stream_frames = 0;            // not 0: every fetch returns endless frames this long

    // Device information and ioctl answers.
    uint32_t battery_mv = 12650;                          // READ_VBATT and 0x4C
    uint16_t tp = 1;                                      // 0x4C
    uint32_t mem = 262144;                                // 0x4C
    std::array<uint8_t, 1024> marks = default_marks();    // 0x57
    std::array<uint8_t, 2> five_baud_keys = {0x08, 0x08}; // FIVE_BAUD_INIT key bytes
    uint32_t doip_entities = 2;   // ISO13400_DISCOVER count and ISO13400_GET_INFO records
    uint32_t hsfz_entities = 1;   // HSFZ_GET_INFO records
    uint32_t routing_code = 0x10; // ISO13400_ROUTING answer (routing activated)
};

// Arguments of the last security access request (0x4D).
struct SecAccRequest {
    uint16_t channel = 0;
    uint8_t arg1 = 0;
    uint8_t arg2 = 0;
    uint32_t timeout_ms = 0;
    uint32_t arg32 = 0;
    uint8_t byte_count = 0; // as sent, may exceed the 19 bytes of room
    std::array<uint8_t, 19> bytes{};
    bool has_msg = false;
    uint32_t msg_protocol = 0;
    uint32_t msg_tx_flags = 0;
    uint16_t msg_extra_data_index = 0;
    std::vector<uint8_t> msg_data;
};

// What the host asked the device to do, for tests to read.
struct DeviceRecord {
    int prog_voltage_calls = 0; // 0x53 requests
    uint16_t prog_pin = 0;
    uint16_t prog_mv = 0;
    int secacc_calls = 0; // well-formed 0x4D requests
    SecAccRequest secacc;
    uint16_t status_channel = 0; // channel of the last 0x4C
    // Data bytes of the last byte-array ioctl by ioctl id: FIVE_BAUD_INIT, SET_POLL_RESPONSE,
    // BECOME_MASTER, PROTECT_J1939_ADDR, REQUEST_CONNECTION, TEARDOWN_CONNECTION; for
    // FAST_INIT the data of its message (empty without one).
    std::map<uint16_t, std::vector<uint8_t>> ioctl_bytes;
};

// Receive status of a loopback echo (TX_DONE).
constexpr uint32_t RX_LOOPBACK = 0x08;

// A frame in a channel's receive queue, as a fetch returns it.
struct RxFrame {
    uint32_t protocol = 0;
    uint32_t rx_status = 0;
    uint32_t timestamp = 0; // microseconds since the simulator was made
    std::vector<uint8_t> data;
    uint16_t extra_data_index = 0;
};

// One message of a write request, as decoded.
struct TxMessage {
    uint32_t protocol = 0;
    uint32_t tx_flags = 0;
    uint16_t extra_data_index = 0;
    std::vector<uint8_t> data;
};

// A message filter as the 0x47 payload set it up. Pass and block filters compare the first
// mask_size bytes; flow-control filters compare the first 4 (the CAN identifier).
struct Filter {
    uint16_t id = 0;
    uint8_t type = 0; // 1 pass, 2 block, 3 flow control
    uint8_t mask_size = 0;
    uint32_t tx_flags = 0;
    std::array<uint8_t, 6> flow_control{}; // data area of the flow-control message
    std::array<uint8_t, 12> mask{};
    std::array<uint8_t, 12> pattern{};
};

struct Periodic {
    uint16_t id = 0;
    uint32_t tx_flags = 0;
    uint32_t interval_ms = 0;
    std::vector<uint8_t> data;
    uint64_t sent = 0; // transmissions so far
};

struct Channel {
    uint16_t number = 0;
    uint32_t protocol = 0;
    uint32_t flags = 0;
    uint32_t baud = 0;
    bool loopback = false;
    std::vector<Filter> filters;
    std::vector<Periodic> periodics;
    size_t rx_queued = 0; // frames waiting for a fetch
    // Every pair SET_CONFIG stored. GET_CONFIG reads DATA_RATE from baud and LOOPBACK from
    // loopback, which SET_CONFIG updates too.
    std::map<uint32_t, uint32_t> config;
    bool sw_can_high_speed = false; // SW_CAN_HS / SW_CAN_NS
};

// Snapshot of the virtual vehicle.
struct VehicleState {
    std::vector<Channel> channels;     // by channel number
    uint64_t fetches = 0;              // fetch requests answered
    std::vector<TxMessage> last_write; // every message of the last well-formed write

    const Channel *channel(uint16_t number) const {
        for (const Channel &c : channels)
            if (c.number == number) return &c;
        return nullptr;
    }
};

class Simulator {
  public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Listens on addr:port (IPv4 text). Returns false when it cannot bind.
    bool start(const std::string &addr, uint16_t port = VCI_TCP_PORT);
    void stop();

    // Arms a fault for one command code; replaces any fault armed for it.
    void arm(uint8_t cmd, const Fault &fault);
    void clear_faults();

    DeviceState state();
    void set_state(const DeviceState &s);

    VehicleState vehicle();
    DeviceRecord record();
    // Queues a frame on a channel as if it was received, bypassing the filters. False when
    // the channel does not exist or the data is longer than 4128 bytes.
    bool inject_rx(uint16_t channel, const RxFrame &frame);
    // Switches loopback of one channel. False when the channel does not exist.
    bool set_loopback(uint16_t channel, bool on);

    // Every request received so far, in order, over all connections.
    std::vector<Request> requests();
    void clear_requests();
    // Waits up to timeout_ms until at least n requests were received.
    bool wait_requests(size_t n, uint32_t timeout_ms);

    int connections_accepted();
    bool client_connected();

    // The bound port (useful after start() with port 0), 0 when not listening.
    uint16_t port();

    // Called on the server thread with one line per event: "rx cmd=0x49 seq=1 len=0",
    // "connect 127.0.0.1:40000", "disconnect". Set it before start().
    void set_log(std::function<void(const std::string &line)> log);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vcisim
