// Process-wide state of the exported API.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t GLOBAL_ERROR_SIZE = 1024;

// Sets the global last-error text, writes it as an error line of slot 0; returns ERR_FAILED.
int32_t set_last_error_global(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Copies the global text (at most size - 1 characters).
void copy_last_error_global(char *buffer, size_t size);
// Log folder, "" until the first open finds the configuration directory.
void get_log_folder(char *buffer, size_t size);
