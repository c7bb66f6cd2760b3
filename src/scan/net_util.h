// IPv4 address resolution.
#pragma once

#include <cstdint>

// Fills *addr (network byte order) from a dotted address or a host name; IPv4 only.
bool resolve_ipv4(const char *host, uint32_t *addr);
