// Simulated VCI: speaks the command frame protocol over TCP like the real device.
// It has its own frame codec and shares no code with the library.
#pragma once

#include <cstdint>
#include <functional>
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

// Device state a test can set and read.
struct DeviceState {
    uint32_t fw_version = 1203;
    uint16_t hw_version = 0x1A2B;
    uint32_t serial = 345;
    std::string last_error_text = "simulated VCI error"; // answer to 0x5C
    bool greet = true;                                   // send a greeting on connect
    bool opened = false;                                 // between 0x54 and 0x55
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
