// The subcommands. Each opens the device, does its work and closes it; failures are thrown
// as Failure and end in main.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "parse.h"
#include "passthru.h"

namespace vkpt {

struct Options {
    std::string command;
    std::string lib;
    std::string device; // empty: the configuration's current device
    bool json = false;
    bool verbose = false;

    bool has_protocol = false;
    uint32_t protocol = 0;
    bool has_baud = false;
    uint32_t baud = 500000;
    bool has_flags = false;
    uint32_t flags = 0; // connect flags
    std::vector<FilterSpec> filters;
    bool has_count = false;
    uint32_t count = 0;
    bool has_seconds = false;
    double seconds = 0;
    bool has_tx = false, has_rx = false;
    CanId tx, rx;
    bool pad = true;
    std::vector<std::string> args; // positional arguments of the subcommand
};

// Results for --json go into `result`; text goes to standard output as the work proceeds.
struct Context {
    const Api &api;
    const Options &opt;
    cJSON *result;
};

// Checks the subcommand's arguments before anything is loaded; throws Failure(EXIT_USAGE).
void validate(const Options &opt);

int run_info(Context &ctx);
int run_monitor(Context &ctx);
int run_send(Context &ctx);
int run_uds(Context &ctx);
int run_ioctl(Context &ctx);

} // namespace vkpt
