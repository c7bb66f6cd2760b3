// Channel commands of the simulated device: connect, disconnect, fetch, write, periodic
// messages and filters. Payloads are little-endian.
#include <algorithm>
#include <cstring>

#include "sim_device.h"
#include "sim_frame.h"

namespace vcisim {

namespace {

constexpr size_t FETCH_HEADER = 4; // status, count
constexpr size_t RX_FRAME_HEADER = 16;
constexpr size_t WRITE_HEADER = 8; // channel, count, time-out
constexpr size_t TX_RECORD_HEADER = 12;
constexpr uint32_t QCONNECT_BAUD = 500000;

void set_count(std::vector<uint8_t> &p, uint16_t count) {
    p[2] = static_cast<uint8_t>(count);
    p[3] = static_cast<uint8_t>(count >> 8);
}

std::vector<uint8_t> status_and_u16(uint16_t status, uint16_t value) {
    std::vector<uint8_t> p = status_payload(status);
    put_u16le(p, value);
    return p;
}

size_t tx_record_size(size_t data_size) {
    return TX_RECORD_HEADER + (data_size & ~size_t(3)) + 4;
}

} // namespace

size_t rx_frame_size(size_t data_size) {
    return RX_FRAME_HEADER + (data_size & ~size_t(3)) + 4;
}

void put_rx_frame(std::vector<uint8_t> &p, const RxFrame &f) {
    put_u32le(p, f.protocol);
    put_u32le(p, f.rx_status);
    put_u32le(p, f.timestamp);
    put_u16le(p, static_cast<uint16_t>(f.data.size()));
    put_u16le(p, f.extra_data_index);
    p.insert(p.end(), f.data.begin(), f.data.end());
    p.resize(p.size() + rx_frame_size(f.data.size()) - RX_FRAME_HEADER - f.data.size(), 0);
}

std::vector<uint8_t> Device::on_connect(const Request &req) {
    const uint8_t *p = req.payload.data();
    if (req.payload.size() < 12) return status_payload(ST_FAILED);
    uint16_t number = 0;
    uint16_t st = vehicle.connect(state.first_channel, get_u32le(p), get_u32le(p + 4),
                                  get_u32le(p + 8), state.loopback, number);
    return st == ST_OK ? status_and_u16(ST_OK, number) : status_payload(st);
}

// Any payload opens an ISO 15765 channel.
std::vector<uint8_t> Device::on_qconnect(const Request &) {
    uint16_t number = 0;
    uint16_t st = vehicle.connect(state.first_channel, PROTO_ISO15765, 0, QCONNECT_BAUD,
                                  state.loopback, number);
    return st == ST_OK ? status_and_u16(ST_OK, number) : status_payload(st);
}

std::vector<uint8_t> Device::on_disconnect(const Request &req) {
    if (req.payload.size() < 2) return status_payload(ST_FAILED);
    bool ok = vehicle.disconnect(get_u16le(req.payload.data()));
    return status_payload(ok ? ST_OK : ST_INVALID_CHANNEL_ID);
}

bool Device::fetch_ready(const Request &req) const {
    if (req.payload.size() < 8) return true;
    const Vehicle::LiveChannel *ch = vehicle.find(get_u16le(req.payload.data()));
    return !ch || ch->rx.size() >= get_u16le(req.payload.data() + 2);
}

uint32_t Device::fetch_wait_ms(const Request &req) const {
    if (req.cmd != CMD_FETCH || req.payload.size() < 8 || state.stream_frames) return 0;
    uint32_t timeout = get_u32le(req.payload.data() + 4);
    return timeout && !fetch_ready(req) ? timeout : 0;
}

// As many frames as were asked for and fit the response; they are not stored anywhere.
std::vector<uint8_t> Device::stream_block(uint16_t max) {
    RxFrame f;
    f.protocol = PROTO_CAN;
    f.data.resize(std::min<size_t>(state.stream_frames, MAX_MSG_DATA));
    for (size_t i = 0; i < f.data.size(); ++i)
        f.data[i] = static_cast<uint8_t>(i);
    f.extra_data_index = static_cast<uint16_t>(f.data.size());
    const size_t size = rx_frame_size(f.data.size());
    uint16_t n =
        static_cast<uint16_t>(std::min<size_t>(max, (MAX_RESPONSE_PAYLOAD - FETCH_HEADER) / size));
    std::vector<uint8_t> p = status_and_u16(ST_OK, n);
    p.reserve(FETCH_HEADER + n * size);
    for (uint16_t i = 0; i < n; ++i) {
        f.timestamp = vehicle.now_us();
        put_rx_frame(p, f);
    }
    return p;
}

// Up to max queued frames, as many as fit the response. The caller has waited already when
// the request has a time-out (fetch_wait_ms).
std::vector<uint8_t> Device::on_fetch(const Request &req) {
    const uint8_t *p = req.payload.data();
    if (req.payload.size() < 8) return status_payload(ST_FAILED);
    ++vehicle.fetches;
    const uint16_t max = get_u16le(p + 2);
    const uint32_t timeout = get_u32le(p + 4);
    if (state.stream_frames) return stream_block(max);
    Vehicle::LiveChannel *ch = vehicle.find(get_u16le(p));
    if (!ch) return status_payload(ST_INVALID_CHANNEL_ID);

    const size_t queued = ch->rx.size();
    std::vector<uint8_t> out = status_and_u16(ST_OK, 0);
    uint16_t count = 0;
    while (count < max && !ch->rx.empty() &&
           out.size() + rx_frame_size(ch->rx.front().data.size()) <= MAX_RESPONSE_PAYLOAD) {
        put_rx_frame(out, ch->rx.front());
        ch->rx.pop_front();
        ++count;
    }
    set_count(out, count);
    uint16_t st = ST_OK;
    if (timeout && queued < max)
        st = ST_TIME_OUT;
    else if (!timeout && queued == 0)
        st = ST_BUFFER_EMPTY;
    out[0] = static_cast<uint8_t>(st);
    out[1] = static_cast<uint8_t>(st >> 8);
    return out;
}

// All or nothing: a malformed or refused message sends none of them.
std::vector<uint8_t> Device::on_write(const Request &req) {
    const std::vector<uint8_t> &pl = req.payload;
    if (pl.size() < WRITE_HEADER) return status_and_u16(ST_INVALID_MSG, 0);
    Vehicle::LiveChannel *ch = vehicle.find(get_u16le(pl.data()));
    if (!ch) return status_and_u16(ST_INVALID_CHANNEL_ID, 0);
    const uint16_t count = get_u16le(pl.data() + 2);

    std::vector<TxMessage> msgs;
    size_t pos = WRITE_HEADER;
    for (uint16_t i = 0; i < count; ++i) {
        if (pl.size() - pos < TX_RECORD_HEADER) return status_and_u16(ST_INVALID_MSG, 0);
        const uint8_t *r = pl.data() + pos;
        TxMessage m;
        m.protocol = get_u32le(r);
        m.tx_flags = get_u32le(r + 4);
        const uint16_t size = get_u16le(r + 8);
        m.extra_data_index = get_u16le(r + 10);
        if (pl.size() - pos < tx_record_size(size)) return status_and_u16(ST_INVALID_MSG, 0);
        m.data.assign(r + TX_RECORD_HEADER, r + TX_RECORD_HEADER + size);
        msgs.push_back(std::move(m));
        pos += tx_record_size(size);
    }
    vehicle.last_write = msgs;

    const uint32_t proto = ch->info.protocol;
    for (const TxMessage &m : msgs) {
        if (m.protocol != proto) return status_and_u16(ST_MSG_PROTOCOL_ID, 0);
        const size_t n = m.data.size();
        const size_t limit = is_can(proto) ? 12 : MAX_MSG_DATA;
        if (n < 4 || n > limit) return status_and_u16(ST_INVALID_MSG, 0);
        if (is_iso15765(proto) && !vehicle.has_flow_control(*ch, m.data))
            return status_and_u16(ST_NO_FLOW_CONTROL, 0);
    }
    const size_t accepted = std::min<size_t>(msgs.size(), state.accept_limit);
    for (size_t i = 0; i < accepted; ++i)
        vehicle.transmit(*ch, msgs[i], state.vin);
    return status_and_u16(ST_OK, static_cast<uint16_t>(accepted));
}

std::vector<uint8_t> Device::on_start_periodic(const Request &req) {
    const uint8_t *p = req.payload.data();
    if (req.payload.size() < 28) return status_payload(ST_FAILED);
    Vehicle::LiveChannel *ch = vehicle.find(get_u16le(p));
    if (!ch) return status_payload(ST_INVALID_CHANNEL_ID);
    Periodic per;
    per.tx_flags = get_u32le(p + 4);
    per.interval_ms = get_u32le(p + 8);
    const uint16_t size = get_u16le(p + 12);
    if (size == 0 || size > 12) return status_payload(ST_INVALID_MSG);
    per.data.assign(p + 14, p + 14 + size);
    uint16_t id = 0;
    uint16_t st = vehicle.add_periodic(*ch, per, id);
    return st == ST_OK ? status_and_u16(ST_OK, id) : status_payload(st);
}

std::vector<uint8_t> Device::on_stop_periodic(const Request &req) {
    const uint8_t *p = req.payload.data();
    if (req.payload.size() < 4) return status_payload(ST_FAILED);
    Vehicle::LiveChannel *ch = vehicle.find(get_u16le(p));
    if (!ch) return status_payload(ST_INVALID_CHANNEL_ID);
    const uint16_t id = get_u16le(p + 2);
    auto &v = ch->periodics;
    auto it = std::find_if(v.begin(), v.end(),
                           [id](const Vehicle::LivePeriodic &lp) { return lp.p.id == id; });
    if (it == v.end()) return status_payload(ST_INVALID_MSG_ID);
    v.erase(it);
    return status_payload(ST_OK);
}

std::vector<uint8_t> Device::on_start_filter(const Request &req) {
    const uint8_t *p = req.payload.data();
    if (req.payload.size() < 40) return status_payload(ST_FAILED);
    Vehicle::LiveChannel *ch = vehicle.find(get_u16le(p));
    if (!ch) return status_payload(ST_INVALID_CHANNEL_ID);
    Filter f;
    f.type = p[4];
    f.mask_size = p[5];
    memcpy(f.flow_control.data(), p + 6, f.flow_control.size());
    f.tx_flags = get_u32le(p + 12);
    memcpy(f.mask.data(), p + 16, f.mask.size());
    memcpy(f.pattern.data(), p + 28, f.pattern.size());
    uint16_t id = 0;
    uint16_t st = vehicle.add_filter(*ch, f, id);
    return st == ST_OK ? status_and_u16(ST_OK, id) : status_payload(st);
}

std::vector<uint8_t> Device::on_stop_filter(const Request &req) {
    const uint8_t *p = req.payload.data();
    if (req.payload.size() < 4) return status_payload(ST_FAILED);
    Vehicle::LiveChannel *ch = vehicle.find(get_u16le(p));
    if (!ch) return status_payload(ST_INVALID_CHANNEL_ID);
    const uint16_t id = get_u16le(p + 2);
    auto &v = ch->info.filters;
    auto it = std::find_if(v.begin(), v.end(), [id](const Filter &f) { return f.id == id; });
    if (it == v.end()) return status_payload(ST_INVALID_FILTER_ID);
    v.erase(it);
    return status_payload(ST_OK);
}

} // namespace vcisim
