#include "passthru.h"

#include <climits>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "names.h"

#ifndef VKPT_BUILD_LIB_REL
#define VKPT_BUILD_LIB_REL ""
#endif
#ifndef VKPT_LIB_NAME
#define VKPT_LIB_NAME "libj2534vk_v04_04.so"
#endif

namespace vkpt {

namespace {

volatile sig_atomic_t s_signals = 0;
FILE *s_out = nullptr;

void on_signal(int) {
    // A second signal ends at once, for a library call that does not return.
    if (s_signals++) _exit(EXIT_INTERRUPTED);
}

std::string exe_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

template <class F>
void resolve(void *lib, const std::string &path, const char *name, F &out, bool required = true) {
    out = reinterpret_cast<F>(dlsym(lib, name));
    if (!out && required) throw Failure(EXIT_LIBRARY, path + " has no export " + name);
}

} // namespace

Api load_library(const std::string &path) {
    std::vector<std::string> candidates;
    if (!path.empty()) {
        candidates.push_back(path);
    } else {
        std::string dir = exe_dir();
        if (!dir.empty() && *VKPT_BUILD_LIB_REL) {
            std::string in_tree = dir + "/" + VKPT_BUILD_LIB_REL;
            if (access(in_tree.c_str(), F_OK) == 0) candidates.push_back(in_tree);
        }
        if (!dir.empty()) {
            std::string beside = dir + "/../lib/" VKPT_LIB_NAME;
            if (access(beside.c_str(), F_OK) == 0) candidates.push_back(beside);
        }
        candidates.push_back(VKPT_LIB_NAME); // the dynamic loader's search path
    }
    void *lib = nullptr;
    std::string loaded, reason;
    for (const std::string &c : candidates) {
        lib = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib) {
            loaded = c;
            break;
        }
        const char *e = dlerror();
        if (reason.empty()) reason = e ? e : c;
    }
    if (!lib) {
        throw Failure(EXIT_LIBRARY, "cannot load the library: " + reason +
                                        (path.empty() ? " (give its path with --lib)" : ""));
    }
    Api api;
    api.path = loaded;
    resolve(lib, loaded, "PassThruOpen", api.Open);
    resolve(lib, loaded, "PassThruClose", api.Close);
    resolve(lib, loaded, "PassThruConnect", api.Connect);
    resolve(lib, loaded, "PassThruDisconnect", api.Disconnect);
    resolve(lib, loaded, "PassThruReadMsgs", api.ReadMsgs);
    resolve(lib, loaded, "PassThruWriteMsgs", api.WriteMsgs);
    resolve(lib, loaded, "PassThruStartMsgFilter", api.StartMsgFilter);
    resolve(lib, loaded, "PassThruReadVersion", api.ReadVersion);
    resolve(lib, loaded, "PassThruGetLastError", api.GetLastError);
    resolve(lib, loaded, "PassThruIoctl", api.Ioctl);
    resolve(lib, loaded, "PassThruStatus", api.Status, false);
    return api;
}

void check(const Api &api, const char *call, int32_t status) {
    if (status == STATUS_NOERROR) return;
    // The library writes at most 80 characters; the rest is headroom.
    char text[256] = {};
    if (api.GetLastError(text) != STATUS_NOERROR) text[0] = '\0';
    text[sizeof text - 1] = '\0';
    std::string msg =
        std::string(call) + " failed: " + status_name(status) + " (" + std::to_string(status) + ")";
    if (text[0]) msg += std::string(": ") + text;
    Failure f(EXIT_CALL_FAILED, msg);
    f.call = call;
    f.status = status;
    f.text = text;
    throw f;
}

void separate_library_output(bool verbose) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *f = saved >= 0 ? fdopen(saved, "w") : nullptr;
    if (!f) return; // keep sharing standard output
    int sink = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (sink >= 0) {
        dup2(sink, STDOUT_FILENO);
        ::close(sink);
    }
    s_out = f;
}

FILE *out() {
    return s_out ? s_out : stdout;
}

bool interrupted() {
    return s_signals != 0;
}

void check_interrupt() {
    if (interrupted()) throw Failure(EXIT_INTERRUPTED, "interrupted");
}

void install_signal_handlers() {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

Device::Device(const Api &api, const std::string &name) : api_(api) {
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    check(api_, "PassThruOpen", api_.Open(name.empty() ? nullptr : buf.data(), &id_));
    open_ = true;
}

Device::~Device() {
    if (open_) api_.Close(id_);
}

void Device::close() {
    if (!open_) return;
    open_ = false;
    check(api_, "PassThruClose", api_.Close(id_));
}

Channel::Channel(const Api &api, const Device &dev, uint32_t protocol, uint32_t flags,
                 uint32_t baud)
    : api_(api), protocol_(protocol) {
    check(api_, "PassThruConnect", api_.Connect(dev.id(), protocol, flags, baud, &id_));
    open_ = true;
}

Channel::~Channel() {
    if (open_) api_.Disconnect(id_);
}

void Channel::disconnect() {
    if (!open_) return;
    open_ = false;
    check(api_, "PassThruDisconnect", api_.Disconnect(id_));
}

} // namespace vkpt
