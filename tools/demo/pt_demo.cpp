// A small host session: loads the library by path, as hosts do, and walks one session.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>

#include <j2534vk/j2534vk.h>

namespace {

template <class F>
F resolve(void *lib, const char *name) {
    F f = reinterpret_cast<F>(dlsym(lib, name));
    if (!f) {
        fprintf(stderr, "pt_demo: the library has no export %s\n", name);
        exit(1);
    }
    return f;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: pt_demo LIBRARY DEVICE-NAME UNREACHABLE-NAME\n");
        return 2;
    }
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "pt_demo: %s\n", dlerror());
        return 1;
    }
    auto open = resolve<decltype(&PassThruOpen)>(lib, "PassThruOpen");
    auto close = resolve<decltype(&PassThruClose)>(lib, "PassThruClose");
    auto version = resolve<decltype(&PassThruReadVersion)>(lib, "PassThruReadVersion");
    auto last_error = resolve<decltype(&PassThruGetLastError)>(lib, "PassThruGetLastError");
    auto log_msg = resolve<decltype(&LogMsg)>(lib, "LogMsg");

    int failures = 0;
    uint32_t id = 0;
    int32_t st = open(argv[2], &id);
    printf("PassThruOpen(\"%s\") -> %d, device %u\n", argv[2], st, id);
    if (st != STATUS_NOERROR) return 1;

    char fw[80], dll[80], api[80];
    st = version(id, fw, dll, api);
    printf("PassThruReadVersion -> %d: firmware %s, library %s, API %s\n", st, fw, dll, api);
    failures += st != STATUS_NOERROR;
    log_msg(id, "demo host was here");

    st = version(7, fw, dll, api);
    printf("PassThruReadVersion(device 7, never opened) -> %d (ERR_INVALID_DEVICE_ID is %d)\n", st,
           ERR_INVALID_DEVICE_ID);
    failures += st != ERR_INVALID_DEVICE_ID;

    st = close(id);
    printf("PassThruClose -> %d\n", st);
    failures += st != STATUS_NOERROR;

    uint32_t other = 0;
    st = open(argv[3], &other);
    char text[80];
    last_error(text);
    printf("PassThruOpen(\"%s\") -> %d (ERR_DEVICE_NOT_CONNECTED is %d)\n", argv[3], st,
           ERR_DEVICE_NOT_CONNECTED);
    printf("PassThruGetLastError -> \"%s\"\n", text);
    failures += st != ERR_DEVICE_NOT_CONNECTED;
    dlclose(lib);
    return failures ? 1 : 0;
}
