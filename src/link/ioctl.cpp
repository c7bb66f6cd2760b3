// Ioctl: one command 0x4A per supported identifier.
#include "link/j2534_com.h"

int32_t J2534_com::ioctl(uint32_t, uint32_t, void *, void *) { return ERR_NOT_SUPPORTED; }
