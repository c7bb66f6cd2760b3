// The virtual vehicle behind the simulated VCI: channels with receive queues, filters and
// periodic messages on one bus, and an ECU that answers on ISO 15765.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "vci_sim.h"

namespace vcisim {

using SimClock = std::chrono::steady_clock;

constexpr uint32_t PROTO_CAN = 5;
constexpr uint32_t PROTO_ISO15765 = 6;
constexpr uint32_t PROTO_CAN_PS = 0x8004;
constexpr uint32_t PROTO_ISO15765_PS = 0x8005;
constexpr uint32_t TX_CAN_29BIT_ID = 0x100;
constexpr size_t MAX_MSG_DATA = 4128;
constexpr size_t MAX_RX_QUEUE = 8192; // frames beyond it are dropped
constexpr size_t MAX_CHANNELS = 32;
constexpr size_t MAX_FILTERS = 10;   // per channel
constexpr size_t MAX_PERIODICS = 10; // per channel
constexpr uint8_t FILTER_PASS = 1;
constexpr uint8_t FILTER_BLOCK = 2;
constexpr uint8_t FILTER_FLOW = 3;

bool is_can(uint32_t protocol);
bool is_iso15765(uint32_t protocol);

// The ECU's answer (service bytes after the CAN identifier) to one ISO 15765 message; empty
// when it does not answer.
std::vector<uint8_t> ecu_answer(const std::vector<uint8_t> &msg, const std::string &vin);

class Vehicle {
  public:
    struct LivePeriodic {
        Periodic p;
        SimClock::time_point due;
    };
    struct LiveChannel {
        Channel info; // info.periodics and info.rx_queued are filled in by snapshot()
        std::vector<LivePeriodic> periodics;
        std::deque<RxFrame> rx;
    };

    Vehicle();

    // Drops every channel; filter and periodic numbering starts again at 1.
    void reset();

    // Status word; `number` is set on success.
    uint16_t connect(uint16_t first, uint32_t protocol, uint32_t flags, uint32_t baud,
                     bool loopback, uint16_t &number);
    bool disconnect(uint16_t number);
    LiveChannel *find(uint16_t number);
    const LiveChannel *find(uint16_t number) const;

    // Puts a message on the channel's bus: its loopback echo and the ECU's answer reach the
    // receive queue when the channel's filters let them through.
    void transmit(LiveChannel &ch, const TxMessage &msg, const std::string &vin);
    // True when a flow-control filter of the channel sends flow control for this CAN id.
    bool has_flow_control(const LiveChannel &ch, const std::vector<uint8_t> &data) const;

    uint16_t add_filter(LiveChannel &ch, Filter f, uint16_t &id);
    uint16_t add_periodic(LiveChannel &ch, Periodic p, uint16_t &id);

    // Sends every periodic message that is due. Returns when the next one is due;
    // `queued` tells whether a frame reached a receive queue.
    SimClock::time_point run_periodics(SimClock::time_point now, const std::string &vin,
                                       bool &queued);

    void queue(LiveChannel &ch, RxFrame f);
    uint32_t now_us() const;
    VehicleState snapshot() const;

    uint64_t fetches = 0;
    std::vector<TxMessage> last_write;

  private:
    bool passes(const LiveChannel &ch, const RxFrame &f, bool echo) const;

    std::map<uint16_t, LiveChannel> channels_;
    uint16_t next_filter_id_ = 1;
    uint16_t next_periodic_id_ = 1;
    SimClock::time_point start_;
};

} // namespace vcisim
