#include "sim_device.h"

#include "sim_frame.h"

#include <algorithm>
#include <cstddef>

namespace vcisim {

std::vector<uint8_t> status_payload(uint16_t status) {
    std::vector<uint8_t> p;
    put_u16le(p, status);
    return p;
}

Device::Device() {
    handlers_[CMD_CONNECT] = &Device::on_connect;
    handlers_[CMD_DISCONNECT] = &Device::on_disconnect;
    handlers_[CMD_FETCH] = &Device::on_fetch;
    handlers_[CMD_WRITE] = &Device::on_write;
    handlers_[CMD_START_PERIODIC] = &Device::on_start_periodic;
    handlers_[CMD_STOP_PERIODIC] = &Device::on_stop_periodic;
    handlers_[CMD_START_FILTER] = &Device::on_start_filter;
    handlers_[CMD_STOP_FILTER] = &Device::on_stop_filter;
    handlers_[CMD_QCONNECT] = &Device::on_qconnect;
    handlers_[CMD_READ_VERSION] = &Device::on_read_version;
    handlers_[CMD_OPEN] = &Device::on_open;
    handlers_[CMD_CLOSE] = &Device::on_close;
    handlers_[CMD_GET_LAST_ERROR] = &Device::on_get_last_error;
    handlers_[CMD_IOCTL] = &Device::on_ioctl;
    handlers_[CMD_STATUS] = &Device::on_status;
    handlers_[CMD_SECACC] = &Device::on_secacc;
    handlers_[CMD_SET_PROG_VOLTAGE] = &Device::on_set_prog_voltage;
    handlers_[CMD_READ_MARKS] = &Device::on_read_marks;
}

std::vector<uint8_t> Device::handle(const Request &req) {
    Handler h = handlers_[req.cmd];
    if (!h) return status_payload(ST_NOT_SUPPORTED);
    return (this->*h)(req);
}

// A session starts and ends without channels.
std::vector<uint8_t> Device::on_open(const Request &) {
    state.opened = true;
    vehicle.reset();
    return status_payload(ST_OK);
}

std::vector<uint8_t> Device::on_close(const Request &) {
    state.opened = false;
    vehicle.reset();
    return status_payload(ST_OK);
}

std::vector<uint8_t> Device::on_read_version(const Request &) {
    std::vector<uint8_t> p = status_payload(ST_OK);
    put_u16le(p, state.hw_version);
    put_u32le(p, state.fw_version);
    put_u32le(p, state.serial);
    return p;
}

std::vector<uint8_t> Device::on_get_last_error(const Request &) {
    const std::string &text = state.last_error_text;
    size_t n = std::min(text.size(), MAX_FRAME_PAYLOAD - 4);
    std::vector<uint8_t> p = status_payload(ST_OK);
    put_u16le(p, static_cast<uint16_t>(n));
    p.insert(p.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    return p;
}

} // namespace vcisim
