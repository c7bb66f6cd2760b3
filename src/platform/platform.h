// Small platform utilities: tick counter, CRC-32, ignition window.
#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock, wrapping after 2^32 ms.
uint32_t GetTickCount();
// Elapsed milliseconds from start to now, correct across one wrap.
inline uint32_t GetTickDiff(uint32_t start, uint32_t now) { return now - start; }
// Monotonic clock in microseconds, wrapping at 32 bits; for log durations only.
uint32_t steady_now_us();
// True when the last failed socket receive timed out or found no data.
bool IsTimeOut();

uint32_t CRC32_CalcCRCBlock(const uint8_t *data, uint32_t len);
// CRC-32 of the bytes with the 4-byte field at `field` left out.
uint32_t CRC32_CalcCRCBlockWithPos(const uint8_t *data, uint32_t len, const uint8_t *field);

// The ignition window exists only on Windows; elsewhere these do nothing.
void ShowIgnitionDialog(void *module);
void HideIgnitionDialog();
