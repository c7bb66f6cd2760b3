// Status names and helpers for last-error texts.
#pragma once

#include <cstdint>

// Name of a status code, or nullptr when the code has none.
const char *status_name(int32_t code);
// System text for an error number.
const char *sys_strerror(int number);
// Cuts a trailing multi-byte UTF-8 character, whole or partial, off the text.
void trim_utf8_tail(char *text);
