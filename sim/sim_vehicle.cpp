#include "sim_vehicle.h"

#include <algorithm>

#include "sim_frame.h"

namespace vcisim {

namespace {

constexpr uint32_t ECU_REQUEST_ID = 0x7E0;
constexpr uint32_t ECU_FUNCTIONAL_ID = 0x7DF;
constexpr uint32_t ECU_RESPONSE_ID = 0x7E8;
constexpr uint8_t NRC_SERVICE_NOT_SUPPORTED = 0x11;

uint32_t get_u32be(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool matches(const Filter &f, const std::vector<uint8_t> &data, size_t n) {
    if (data.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if ((data[i] & f.mask[i]) != (f.pattern[i] & f.mask[i])) return false;
    return true;
}

} // namespace

bool is_can(uint32_t protocol) {
    return protocol == PROTO_CAN || protocol == PROTO_CAN_PS;
}

bool is_iso15765(uint32_t protocol) {
    return protocol == PROTO_ISO15765 || protocol == PROTO_ISO15765_PS;
}

std::vector<uint8_t> ecu_answer(const std::vector<uint8_t> &msg, const std::string &vin) {
    if (msg.size() < 5) return {};
    uint32_t id = get_u32be(msg.data());
    if (id != ECU_REQUEST_ID && id != ECU_FUNCTIONAL_ID) return {};
    const uint8_t sid = msg[4];
    auto has = [&](std::initializer_list<uint8_t> rest) {
        return msg.size() == 5 + rest.size() &&
               std::equal(rest.begin(), rest.end(), msg.begin() + 5);
    };
    if (sid == 0x22 && has({0xF1, 0x90})) {
        std::vector<uint8_t> r = {0x62, 0xF1, 0x90};
        r.insert(r.end(), vin.begin(), vin.end());
        return r;
    }
    if (sid == 0x3E && has({0x80})) return {}; // positive answer suppressed
    if (sid == 0x3E && has({0x00})) return {0x7E, 0x00};
    if (sid == 0x10 && has({0x03})) return {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4};
    return {0x7F, sid, NRC_SERVICE_NOT_SUPPORTED};
}

Vehicle::Vehicle() : start_(SimClock::now()) {}

void Vehicle::reset() {
    channels_.clear();
    next_filter_id_ = 1;
    next_periodic_id_ = 1;
}

uint16_t Vehicle::connect(uint16_t first, uint32_t protocol, uint32_t flags, uint32_t baud,
                          bool loopback, uint16_t &number) {
    if (!is_can(protocol) && !is_iso15765(protocol)) return ST_PROTOCOL_ID_NOT_SUPPORTED;
    if (channels_.size() >= MAX_CHANNELS) return ST_EXCEEDED_LIMIT;
    uint32_t n = first;
    while (n <= 0xFFFF && channels_.count(static_cast<uint16_t>(n)))
        ++n;
    if (n > 0xFFFF) return ST_EXCEEDED_LIMIT;
    LiveChannel &ch = channels_[static_cast<uint16_t>(n)];
    ch.info.number = static_cast<uint16_t>(n);
    ch.info.protocol = protocol;
    ch.info.flags = flags;
    ch.info.baud = baud;
    ch.info.loopback = loopback;
    number = ch.info.number;
    return ST_OK;
}

bool Vehicle::disconnect(uint16_t number) {
    return channels_.erase(number) > 0;
}

Vehicle::LiveChannel *Vehicle::find(uint16_t number) {
    auto it = channels_.find(number);
    return it == channels_.end() ? nullptr : &it->second;
}

const Vehicle::LiveChannel *Vehicle::find(uint16_t number) const {
    auto it = channels_.find(number);
    return it == channels_.end() ? nullptr : &it->second;
}

uint32_t Vehicle::now_us() const {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(SimClock::now() - start_).count());
}

bool Vehicle::has_flow_control(const LiveChannel &ch, const std::vector<uint8_t> &data) const {
    if (data.size() < 4) return false;
    for (const Filter &f : ch.info.filters)
        if (f.type == FILTER_FLOW &&
            std::equal(data.begin(), data.begin() + 4, f.flow_control.begin()))
            return true;
    return false;
}

// CAN: a pass filter matches and no block filter does. ISO 15765: a flow-control filter
// matches the frame, or for an echo sends flow control for its identifier.
bool Vehicle::passes(const LiveChannel &ch, const RxFrame &f, bool echo) const {
    if (is_iso15765(ch.info.protocol)) {
        if (echo) return has_flow_control(ch, f.data);
        for (const Filter &flt : ch.info.filters)
            if (flt.type == FILTER_FLOW && matches(flt, f.data, 4)) return true;
        return false;
    }
    bool pass = false;
    for (const Filter &flt : ch.info.filters) {
        if (!matches(flt, f.data, flt.mask_size)) continue;
        if (flt.type == FILTER_BLOCK) return false;
        if (flt.type == FILTER_PASS) pass = true;
    }
    return pass;
}

void Vehicle::queue(LiveChannel &ch, RxFrame f) {
    if (ch.rx.size() < MAX_RX_QUEUE) ch.rx.push_back(std::move(f));
}

void Vehicle::transmit(LiveChannel &ch, const TxMessage &msg, const std::string &vin) {
    if (ch.info.loopback) {
        RxFrame echo;
        echo.protocol = msg.protocol;
        echo.rx_status = RX_LOOPBACK | (msg.tx_flags & TX_CAN_29BIT_ID);
        echo.timestamp = now_us();
        echo.data = msg.data;
        echo.extra_data_index = static_cast<uint16_t>(msg.data.size());
        if (passes(ch, echo, true)) queue(ch, std::move(echo));
    }
    if (!is_iso15765(ch.info.protocol) || (msg.tx_flags & TX_CAN_29BIT_ID)) return;
    std::vector<uint8_t> answer = ecu_answer(msg.data, vin);
    if (answer.empty()) return;
    RxFrame r;
    r.protocol = ch.info.protocol;
    r.timestamp = now_us();
    r.data = {0x00, 0x00, static_cast<uint8_t>(ECU_RESPONSE_ID >> 8),
              static_cast<uint8_t>(ECU_RESPONSE_ID & 0xFF)};
    r.data.insert(r.data.end(), answer.begin(), answer.end());
    r.extra_data_index = static_cast<uint16_t>(r.data.size());
    if (passes(ch, r, false)) queue(ch, std::move(r));
}

uint16_t Vehicle::add_filter(LiveChannel &ch, Filter f, uint16_t &id) {
    if (f.type == FILTER_FLOW) {
        if (!is_iso15765(ch.info.protocol)) return ST_INVALID_MSG;
    } else if (f.type == FILTER_PASS || f.type == FILTER_BLOCK) {
        if (f.mask_size == 0 || f.mask_size > f.mask.size()) return ST_INVALID_MSG;
    } else {
        return ST_NOT_SUPPORTED;
    }
    if (ch.info.filters.size() >= MAX_FILTERS) return ST_EXCEEDED_LIMIT;
    f.id = next_filter_id_++;
    id = f.id;
    ch.info.filters.push_back(f);
    return ST_OK;
}

uint16_t Vehicle::add_periodic(LiveChannel &ch, Periodic p, uint16_t &id) {
    if (p.data.empty() || p.data.size() > 12) return ST_INVALID_MSG;
    if (p.interval_ms < 5 || p.interval_ms > 65535) return ST_INVALID_TIME_INTERVAL;
    if (ch.periodics.size() >= MAX_PERIODICS) return ST_EXCEEDED_LIMIT;
    p.id = next_periodic_id_++;
    p.sent = 0;
    id = p.id;
    ch.periodics.push_back({p, SimClock::now() + std::chrono::milliseconds(p.interval_ms)});
    return ST_OK;
}

SimClock::time_point Vehicle::run_periodics(SimClock::time_point now, const std::string &vin,
                                            bool &queued) {
    queued = false;
    SimClock::time_point next = SimClock::time_point::max();
    for (auto &entry : channels_) {
        LiveChannel &ch = entry.second;
        for (LivePeriodic &lp : ch.periodics) {
            const auto interval = std::chrono::milliseconds(lp.p.interval_ms);
            if (lp.due <= now) {
                TxMessage m;
                m.protocol = ch.info.protocol;
                m.tx_flags = lp.p.tx_flags;
                m.data = lp.p.data;
                m.extra_data_index = static_cast<uint16_t>(m.data.size());
                size_t before = ch.rx.size();
                transmit(ch, m, vin);
                queued = queued || ch.rx.size() != before;
                ++lp.p.sent;
                lp.due += interval;
                if (lp.due <= now) lp.due = now + interval; // fell behind: no burst
            }
            next = std::min(next, lp.due);
        }
    }
    return next;
}

VehicleState Vehicle::snapshot() const {
    VehicleState s;
    for (const auto &entry : channels_) {
        Channel c = entry.second.info;
        for (const LivePeriodic &lp : entry.second.periodics)
            c.periodics.push_back(lp.p);
        c.rx_queued = entry.second.rx.size();
        s.channels.push_back(std::move(c));
    }
    s.fetches = fetches;
    s.last_write = last_write;
    return s;
}

} // namespace vcisim
