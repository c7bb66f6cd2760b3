// The library as a host sees it: loaded with dlopen, exports resolved by name, and guards that
// close what was opened on every path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <j2534vk/j2534vk.h>

namespace vkpt {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_CALL_FAILED = 1, // a library call answered an error
    EXIT_USAGE = 2,       // bad command line or input
    EXIT_LIBRARY = 3,     // library not loadable or an export missing
    EXIT_NO_ANSWER = 4,   // the vehicle did not answer (in time)
    EXIT_NEGATIVE = 5,    // the ECU answered with a negative response
    EXIT_INTERRUPTED = 130,
};

// Ends a command: `message` is the one line printed on standard error (without "vkpt: ").
// For failed library calls `call`, `status` and `text` are set as well.
struct Failure : std::runtime_error {
    Failure(int code, const std::string &message) : std::runtime_error(message), exit_code(code) {}
    int exit_code;
    std::string call;
    int32_t status = 0;
    std::string text;
};

struct Api {
    decltype(&PassThruOpen) Open = nullptr;
    decltype(&PassThruClose) Close = nullptr;
    decltype(&PassThruConnect) Connect = nullptr;
    decltype(&PassThruDisconnect) Disconnect = nullptr;
    decltype(&PassThruReadMsgs) ReadMsgs = nullptr;
    decltype(&PassThruWriteMsgs) WriteMsgs = nullptr;
    decltype(&PassThruStartMsgFilter) StartMsgFilter = nullptr;
    decltype(&PassThruReadVersion) ReadVersion = nullptr;
    decltype(&PassThruGetLastError) GetLastError = nullptr;
    decltype(&PassThruIoctl) Ioctl = nullptr;
    decltype(&PassThruStatus) Status = nullptr; // our extension; may be missing

    std::string path; // what was loaded
};

// Loads the library: `path` when not empty, else the one of the build tree beside this
// program, else the installed one. Throws Failure(EXIT_LIBRARY) when it cannot.
Api load_library(const std::string &path);

// Throws Failure(EXIT_CALL_FAILED) naming the call, the status and the last-error text when
// status is not STATUS_NOERROR.
void check(const Api &api, const char *call, int32_t status);

// Our results go to out(), the original standard output. The library prints its own lines to
// standard output while no log file is open; after this they go to standard error when
// `verbose`, else nowhere, so results stay parseable.
void separate_library_output(bool verbose);
FILE *out();

// Throws Failure(EXIT_INTERRUPTED) once SIGINT or SIGTERM arrived.
void check_interrupt();
bool interrupted();
void install_signal_handlers();

class Device {
  public:
    // An empty name opens the configuration's current device.
    Device(const Api &api, const std::string &name);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    uint32_t id() const { return id_; }
    void close(); // checked close for the normal path

  private:
    const Api &api_;
    uint32_t id_ = 0;
    bool open_ = false;
};

class Channel {
  public:
    Channel(const Api &api, const Device &dev, uint32_t protocol, uint32_t flags, uint32_t baud);
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;
    uint32_t id() const { return id_; }
    uint32_t protocol() const { return protocol_; }
    void disconnect(); // checked disconnect for the normal path

  private:
    const Api &api_;
    uint32_t id_ = 0;
    uint32_t protocol_;
    bool open_ = false;
};

} // namespace vkpt
