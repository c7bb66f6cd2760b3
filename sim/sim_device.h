// The simulated device behind the transports: one handler per command code.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vci_sim.h"

namespace vcisim {

class Device {
  public:
    Device();

    // The response payload to one request, status word first.
    std::vector<uint8_t> handle(const Request &req);

    DeviceState state;

  private:
    using Handler = std::vector<uint8_t> (Device::*)(const Request &);
    std::array<Handler, 256> handlers_{};

    std::vector<uint8_t> on_open(const Request &req);
    std::vector<uint8_t> on_close(const Request &req);
    std::vector<uint8_t> on_read_version(const Request &req);
    std::vector<uint8_t> on_get_last_error(const Request &req);
};

// A payload holding only the status word.
std::vector<uint8_t> status_payload(uint16_t status);

} // namespace vcisim
