// Ioctl (0x4A) and device information commands of the simulated device: status (0x4C),
// security access (0x4D), programming voltage (0x53) and marks (0x57). Little-endian.
#include <algorithm>
#include <cstring>

#include "sim_device.h"
#include "sim_frame.h"

namespace vcisim {

namespace {

constexpr size_t IOCTL_HEADER = 8; // channel, ioctl id, count
constexpr size_t CONFIG_PAIR = 8;
constexpr size_t PARAM_RECORD = 12;
constexpr size_t DOIP_RECORD = 40;
constexpr size_t HSFZ_RECORD = 8;
constexpr size_t SECACC_HEADER = 32;
constexpr size_t SECACC_BYTES = 19;
constexpr size_t MSG_RECORD_HEADER = 12;

constexpr uint16_t IO_GET_CONFIG = 1;
constexpr uint16_t IO_SET_CONFIG = 2;
constexpr uint16_t IO_READ_VBATT = 3;
constexpr uint16_t IO_FIVE_BAUD_INIT = 4;
constexpr uint16_t IO_FAST_INIT = 5;
constexpr uint16_t IO_CLEAR_TX_BUFFER = 7;
constexpr uint16_t IO_CLEAR_RX_BUFFER = 8;
constexpr uint16_t IO_CLEAR_PERIODIC_MSGS = 9;
constexpr uint16_t IO_CLEAR_MSG_FILTERS = 10;
constexpr uint16_t IO_CLEAR_FUNCT_MSG_LOOKUP_TABLE = 11;
constexpr uint16_t IO_SW_CAN_HS = 0x8000;
constexpr uint16_t IO_SW_CAN_NS = 0x8001;
constexpr uint16_t IO_SET_POLL_RESPONSE = 0x8002;
constexpr uint16_t IO_BECOME_MASTER = 0x8003;
constexpr uint16_t IO_PROTECT_J1939_ADDR = 0x8009;
constexpr uint16_t IO_REQUEST_CONNECTION = 0x800A;
constexpr uint16_t IO_TEARDOWN_CONNECTION = 0x800B;
constexpr uint16_t IO_GET_DEVICE_INFO = 0x800C;
constexpr uint16_t IO_GET_PROTOCOL_INFO = 0x800D;
constexpr uint16_t IO_ISO13400_DISCOVER = 0x8110;
constexpr uint16_t IO_ISO13400_GET_INFO = 0x8111;
constexpr uint16_t IO_ISO13400_TCP = 0x8112;
constexpr uint16_t IO_ISO13400_ROUTING = 0x8113;
constexpr uint16_t IO_HSFZ_DISCOVER = 0x8210;
constexpr uint16_t IO_HSFZ_GET_INFO = 0x8211;
constexpr uint16_t IO_HSFZ_TCP = 0x8212;

constexpr uint32_t PARAM_DATA_RATE = 0x01;
constexpr uint32_t PARAM_LOOPBACK = 0x03;
constexpr uint32_t PARAM_LAST = 0x10003; // highest configuration parameter known

constexpr uint16_t DOIP_PORT = 13400;
constexpr uint16_t HSFZ_PORT = 6801;

// The ioctl request after its header.
struct Call {
    uint16_t channel = 0;
    uint16_t id = 0;
    uint32_t count = 0;
    const uint8_t *data = nullptr;
    size_t size = 0; // bytes after the header

    bool holds(size_t record) const { return uint64_t(count) * record <= size; }
};

// Status ST_OK, 2 unused bytes and the item count; the data follows.
std::vector<uint8_t> answer(uint32_t count) {
    std::vector<uint8_t> p = status_payload(ST_OK);
    put_u16le(p, 0);
    put_u32le(p, count);
    return p;
}

std::vector<uint8_t> answer_u32(uint32_t value) {
    std::vector<uint8_t> p = answer(1);
    put_u32le(p, value);
    return p;
}

// Ioctls that do not act on one channel; they accept any channel number.
bool device_wide(uint16_t id) {
    switch (id) {
    case IO_READ_VBATT:
    case IO_GET_DEVICE_INFO:
    case IO_ISO13400_DISCOVER:
    case IO_ISO13400_GET_INFO:
    case IO_ISO13400_TCP:
    case IO_ISO13400_ROUTING:
    case IO_HSFZ_DISCOVER:
    case IO_HSFZ_GET_INFO:
    case IO_HSFZ_TCP:
        return true;
    default:
        return false;
    }
}

bool byte_array_ioctl(uint16_t id) {
    switch (id) {
    case IO_SET_POLL_RESPONSE:
    case IO_BECOME_MASTER:
    case IO_PROTECT_J1939_ADDR:
    case IO_REQUEST_CONNECTION:
    case IO_TEARDOWN_CONNECTION:
        return true;
    default:
        return false;
    }
}

bool channel_ioctl(uint16_t id) {
    switch (id) {
    case IO_GET_CONFIG:
    case IO_SET_CONFIG:
    case IO_FIVE_BAUD_INIT:
    case IO_FAST_INIT:
    case IO_CLEAR_TX_BUFFER:
    case IO_CLEAR_RX_BUFFER:
    case IO_CLEAR_PERIODIC_MSGS:
    case IO_CLEAR_MSG_FILTERS:
    case IO_CLEAR_FUNCT_MSG_LOOKUP_TABLE:
    case IO_SW_CAN_HS:
    case IO_SW_CAN_NS:
    case IO_GET_PROTOCOL_INFO:
        return true;
    default:
        return byte_array_ioctl(id);
    }
}

// A parameter value and whether it is supported. Device: 1 serial number, 6 and 7 CAN and
// ISO 15765 available. Protocol: 1 receive queue size, 2 and 3 pass and block filters,
// 4 filter length, 5 periodic messages, 6 periodic message length.
bool info_value(const DeviceState &st, uint16_t id, uint32_t param, uint32_t &value) {
    if (id == IO_GET_DEVICE_INFO) {
        switch (param) {
        case 1:
            value = st.serial;
            return true;
        case 6:
        case 7:
            value = 1;
            return true;
        default:
            return false;
        }
    }
    switch (param) {
    case 1:
        value = MAX_RX_QUEUE;
        return true;
    case 2:
    case 3:
        value = MAX_FILTERS;
        return true;
    case 4:
        value = 12;
        return true;
    case 5:
        value = MAX_PERIODICS;
        return true;
    case 6:
        value = 12;
        return true;
    default:
        return false;
    }
}

uint32_t config_value(const Vehicle::LiveChannel &ch, uint32_t param) {
    if (param == PARAM_DATA_RATE) return ch.info.baud;
    if (param == PARAM_LOOPBACK) return ch.info.loopback ? 1 : 0;
    auto it = ch.info.config.find(param);
    return it == ch.info.config.end() ? 0 : it->second;
}

std::vector<uint8_t> get_config(const Vehicle::LiveChannel &ch, const Call &c) {
    if (!c.holds(CONFIG_PAIR)) return status_payload(ST_FAILED);
    std::vector<uint8_t> out = answer(c.count);
    for (uint32_t i = 0; i < c.count; ++i) {
        const uint32_t param = get_u32le(c.data + i * CONFIG_PAIR);
        if (param > PARAM_LAST) return status_payload(ST_NOT_SUPPORTED);
        put_u32le(out, param);
        put_u32le(out, config_value(ch, param));
    }
    return out;
}

// All pairs or none.
std::vector<uint8_t> set_config(Vehicle::LiveChannel &ch, const Call &c) {
    if (!c.holds(CONFIG_PAIR)) return status_payload(ST_FAILED);
    for (uint32_t i = 0; i < c.count; ++i)
        if (get_u32le(c.data + i * CONFIG_PAIR) > PARAM_LAST)
            return status_payload(ST_NOT_SUPPORTED);
    for (uint32_t i = 0; i < c.count; ++i) {
        const uint32_t param = get_u32le(c.data + i * CONFIG_PAIR);
        const uint32_t value = get_u32le(c.data + i * CONFIG_PAIR + 4);
        ch.info.config[param] = value;
        if (param == PARAM_DATA_RATE) ch.info.baud = value;
        if (param == PARAM_LOOPBACK) ch.info.loopback = value != 0;
    }
    return answer(0);
}

// Sync byte, target address, key bytes: the host takes the keys at offsets 10 and 11.
std::vector<uint8_t> five_baud_init(Device &d, const Call &c) {
    if (!c.holds(1)) return status_payload(ST_FAILED);
    d.record.ioctl_bytes[c.id].assign(c.data, c.data + c.count);
    std::vector<uint8_t> out = answer(2);
    out.push_back(0x55);
    out.push_back(c.count ? c.data[0] : 0);
    out.push_back(d.state.five_baud_keys[0]);
    out.push_back(d.state.five_baud_keys[1]);
    return out;
}

// The ECU answers start communication with its key bytes; a request with an address header
// gets the header back with source and target swapped.
std::vector<uint8_t> fast_init(Device &d, const Vehicle::LiveChannel &ch, const Call &c) {
    std::vector<uint8_t> &rec = d.record.ioctl_bytes[c.id];
    rec.clear();
    if (c.count == 0) return answer(0);
    if (c.size < MSG_RECORD_HEADER) return status_payload(ST_INVALID_MSG);
    const uint16_t size = get_u16le(c.data + 8);
    if (size > MAX_MSG_DATA || c.size < MSG_RECORD_HEADER + size)
        return status_payload(ST_INVALID_MSG);
    rec.assign(c.data + MSG_RECORD_HEADER, c.data + MSG_RECORD_HEADER + size);

    RxFrame f;
    f.protocol = ch.info.protocol;
    f.timestamp = d.vehicle.now_us();
    if (rec.size() >= 4 && (rec[0] & 0x80)) f.data = {0x83, rec[2], rec[1]};
    f.data.insert(f.data.end(), {0xC1, 0xEF, 0x8F});
    f.extra_data_index = static_cast<uint16_t>(f.data.size());
    std::vector<uint8_t> out = answer(1);
    put_rx_frame(out, f);
    return out;
}

std::vector<uint8_t> param_info(const DeviceState &st, const Call &c) {
    if (!c.holds(PARAM_RECORD)) return status_payload(ST_FAILED);
    std::vector<uint8_t> out = answer(c.count);
    for (uint32_t i = 0; i < c.count; ++i) {
        const uint32_t param = get_u32le(c.data + i * PARAM_RECORD);
        uint32_t value = 0;
        const bool supported = info_value(st, c.id, param, value);
        put_u32le(out, param);
        put_u32le(out, value);
        put_u32le(out, supported ? 1 : 0);
    }
    return out;
}

void put_loopback_ip(std::vector<uint8_t> &out, uint32_t i) {
    out.insert(out.end(), {127, 0, 0, static_cast<uint8_t>(2 + i % 250)});
}

// Logical address, IPv4 address, port, VIN, EID, GID, 3 zero bytes.
std::vector<uint8_t> doip_info(const DeviceState &st) {
    const uint32_t n = std::min<uint32_t>(
        st.doip_entities,
        static_cast<uint32_t>((MAX_RESPONSE_PAYLOAD - IOCTL_HEADER) / DOIP_RECORD));
    std::vector<uint8_t> out = answer(n);
    for (uint32_t i = 0; i < n; ++i) {
        const size_t start = out.size();
        put_u16le(out, static_cast<uint16_t>(0x1000 + i));
        put_loopback_ip(out, i);
        put_u16le(out, DOIP_PORT);
        std::string vin = st.vin;
        vin.resize(17, '0');
        out.insert(out.end(), vin.begin(), vin.end());
        for (uint8_t k = 0; k < 6; ++k)
            out.push_back(static_cast<uint8_t>(0xE0 + k + i));
        for (uint8_t k = 0; k < 6; ++k)
            out.push_back(static_cast<uint8_t>(0x60 + k));
        out.resize(start + DOIP_RECORD, 0);
    }
    return out;
}

// IPv4 address, port, diagnostic address.
std::vector<uint8_t> hsfz_info(const DeviceState &st) {
    const uint32_t n = std::min<uint32_t>(
        st.hsfz_entities,
        static_cast<uint32_t>((MAX_RESPONSE_PAYLOAD - IOCTL_HEADER) / HSFZ_RECORD));
    std::vector<uint8_t> out = answer(n);
    for (uint32_t i = 0; i < n; ++i) {
        put_loopback_ip(out, i);
        put_u16le(out, HSFZ_PORT);
        put_u16le(out, static_cast<uint16_t>(0x10 + i));
    }
    return out;
}

} // namespace

std::vector<uint8_t> Device::on_ioctl(const Request &req) {
    const std::vector<uint8_t> &pl = req.payload;
    if (pl.size() < IOCTL_HEADER) return status_payload(ST_NOT_SUPPORTED); // no ioctl id
    Call c;
    c.channel = get_u16le(pl.data());
    c.id = get_u16le(pl.data() + 2);
    c.count = get_u32le(pl.data() + 4);
    c.data = pl.data() + IOCTL_HEADER;
    c.size = pl.size() - IOCTL_HEADER;

    if (device_wide(c.id)) {
        switch (c.id) {
        case IO_READ_VBATT:
            return answer_u32(state.battery_mv);
        case IO_GET_DEVICE_INFO:
            return param_info(state, c);
        case IO_ISO13400_DISCOVER:
            return answer_u32(state.doip_entities);
        case IO_ISO13400_ROUTING:
            return answer_u32(state.routing_code);
        case IO_ISO13400_GET_INFO:
            return doip_info(state);
        case IO_HSFZ_GET_INFO:
            return hsfz_info(state);
        default:
            return answer(0); // the TCP and discover requests
        }
    }
    if (!channel_ioctl(c.id)) return status_payload(ST_NOT_SUPPORTED);
    Vehicle::LiveChannel *ch = vehicle.find(c.channel);
    if (!ch) return status_payload(ST_INVALID_CHANNEL_ID);

    if (byte_array_ioctl(c.id)) {
        if (!c.holds(1)) return status_payload(ST_FAILED);
        record.ioctl_bytes[c.id].assign(c.data, c.data + c.count);
        return answer(0);
    }
    switch (c.id) {
    case IO_GET_CONFIG:
        return get_config(*ch, c);
    case IO_SET_CONFIG:
        return set_config(*ch, c);
    case IO_FIVE_BAUD_INIT:
        return five_baud_init(*this, c);
    case IO_FAST_INIT:
        return fast_init(*this, *ch, c);
    case IO_GET_PROTOCOL_INFO:
        return param_info(state, c);
    case IO_CLEAR_RX_BUFFER:
        ch->rx.clear();
        break;
    case IO_CLEAR_PERIODIC_MSGS:
        ch->periodics.clear();
        break;
    case IO_CLEAR_MSG_FILTERS:
        ch->info.filters.clear();
        break;
    case IO_SW_CAN_HS:
        ch->info.sw_can_high_speed = true;
        break;
    case IO_SW_CAN_NS:
        ch->info.sw_can_high_speed = false;
        break;
    default:
        break; // nothing queued for sending, no lookup table
    }
    return answer(0);
}

std::vector<uint8_t> Device::on_status(const Request &req) {
    if (req.payload.size() < 2) return status_payload(ST_FAILED);
    record.status_channel = get_u16le(req.payload.data());
    std::vector<uint8_t> p = status_payload(ST_OK);
    put_u16le(p, state.tp);
    put_u32le(p, state.mem);
    put_u32le(p, state.battery_mv);
    return p;
}

// A message record follows the 32-byte header only when the host has a message.
std::vector<uint8_t> Device::on_secacc(const Request &req) {
    const std::vector<uint8_t> &pl = req.payload;
    if (pl.size() < SECACC_HEADER) return status_payload(ST_FAILED);
    const uint8_t *p = pl.data();
    SecAccRequest s;
    s.channel = get_u16le(p);
    s.arg1 = p[2];
    s.arg2 = p[3];
    s.timeout_ms = get_u32le(p + 4);
    s.arg32 = get_u32le(p + 8);
    s.byte_count = p[12];
    memcpy(s.bytes.data(), p + 13, SECACC_BYTES);
    if (pl.size() > SECACC_HEADER) {
        const uint8_t *m = p + SECACC_HEADER;
        const size_t room = pl.size() - SECACC_HEADER;
        if (room < MSG_RECORD_HEADER) return status_payload(ST_INVALID_MSG);
        const uint16_t size = get_u16le(m + 8);
        if (size > MAX_MSG_DATA || room < MSG_RECORD_HEADER + size)
            return status_payload(ST_INVALID_MSG);
        s.has_msg = true;
        s.msg_protocol = get_u32le(m);
        s.msg_tx_flags = get_u32le(m + 4);
        s.msg_extra_data_index = get_u16le(m + 10);
        s.msg_data.assign(m + MSG_RECORD_HEADER, m + MSG_RECORD_HEADER + size);
    }
    record.secacc = std::move(s);
    ++record.secacc_calls;
    return status_payload(ST_OK);
}

std::vector<uint8_t> Device::on_set_prog_voltage(const Request &req) {
    if (req.payload.size() < 4) return status_payload(ST_FAILED);
    record.prog_pin = get_u16le(req.payload.data());
    record.prog_mv = get_u16le(req.payload.data() + 2);
    ++record.prog_voltage_calls;
    return status_payload(ST_OK);
}

std::vector<uint8_t> Device::on_read_marks(const Request &) {
    std::vector<uint8_t> p = status_payload(ST_OK);
    put_u16le(p, 0);
    p.insert(p.end(), state.marks.begin(), state.marks.end());
    return p;
}

} // namespace vcisim
