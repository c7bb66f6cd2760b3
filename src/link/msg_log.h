// Message lists of the read and write log lines.
#pragma once

#include <cstdint>
#include <string>

#include <j2534vk/j2534vk.h>

// "\n\t<line>" for each message, in the transmit or receive form.
std::string msg_list(const pt_msg_t *msgs, uint32_t count, bool tx);
