// The simulated device behind the transports: one handler per command code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim_vehicle.h"
#include "vci_sim.h"

namespace vcisim {

// Command codes the device handles.
constexpr uint8_t CMD_CONNECT = 0x41;
constexpr uint8_t CMD_DISCONNECT = 0x42;
constexpr uint8_t CMD_FETCH = 0x43;
constexpr uint8_t CMD_WRITE = 0x44;
constexpr uint8_t CMD_START_PERIODIC = 0x45;
constexpr uint8_t CMD_STOP_PERIODIC = 0x46;
constexpr uint8_t CMD_START_FILTER = 0x47;
constexpr uint8_t CMD_STOP_FILTER = 0x48;
constexpr uint8_t CMD_READ_VERSION = 0x49;
constexpr uint8_t CMD_IOCTL = 0x4A;
constexpr uint8_t CMD_STATUS = 0x4C;
constexpr uint8_t CMD_SECACC = 0x4D;
constexpr uint8_t CMD_SET_PROG_VOLTAGE = 0x53;
constexpr uint8_t CMD_OPEN = 0x54;
constexpr uint8_t CMD_CLOSE = 0x55;
constexpr uint8_t CMD_QCONNECT = 0x56;
constexpr uint8_t CMD_READ_MARKS = 0x57;
constexpr uint8_t CMD_GET_LAST_ERROR = 0x5C;

class Device {
  public:
    Device();

    // The response payload to one request, status word first.
    std::vector<uint8_t> handle(const Request &req);

    // A fetch with a time-out waits until this is true (or the time-out passes).
    bool fetch_ready(const Request &req) const;
    // How long a fetch may wait before it is answered: 0 when it can be answered now.
    uint32_t fetch_wait_ms(const Request &req) const;

    DeviceState state;
    DeviceRecord record;
    Vehicle vehicle;

  private:
    using Handler = std::vector<uint8_t> (Device::*)(const Request &);
    std::array<Handler, 256> handlers_{};

    std::vector<uint8_t> on_open(const Request &req);
    std::vector<uint8_t> on_close(const Request &req);
    std::vector<uint8_t> on_read_version(const Request &req);
    std::vector<uint8_t> on_get_last_error(const Request &req);

    // Channel commands, sim_channel.cpp.
    std::vector<uint8_t> on_connect(const Request &req);
    std::vector<uint8_t> on_qconnect(const Request &req);
    std::vector<uint8_t> on_disconnect(const Request &req);
    std::vector<uint8_t> on_fetch(const Request &req);
    std::vector<uint8_t> on_write(const Request &req);
    std::vector<uint8_t> on_start_periodic(const Request &req);
    std::vector<uint8_t> on_stop_periodic(const Request &req);
    std::vector<uint8_t> on_start_filter(const Request &req);
    std::vector<uint8_t> on_stop_filter(const Request &req);
    std::vector<uint8_t> stream_block(uint16_t max);

    // Ioctl and device information commands, sim_ioctl.cpp.
    std::vector<uint8_t> on_ioctl(const Request &req);
    std::vector<uint8_t> on_status(const Request &req);
    std::vector<uint8_t> on_secacc(const Request &req);
    std::vector<uint8_t> on_set_prog_voltage(const Request &req);
    std::vector<uint8_t> on_read_marks(const Request &req);
};

// A payload holding only the status word.
std::vector<uint8_t> status_payload(uint16_t status);

// Size of a received frame in a fetch answer: header, data and 1 to 4 fill bytes.
size_t rx_frame_size(size_t data_size);
void put_rx_frame(std::vector<uint8_t> &p, const RxFrame &f);

} // namespace vcisim
