// Configuration base directory on Windows: the roaming application-data folder.
#include "config/config_dir.h"

#include <cstdio>
#include <cstdlib>
#include <direct.h>

#include <windows.h>

#include <shlobj.h>

const char config_path_sep = '\\';

bool config_base_dir(char *buf, size_t size) {
    if (!buf || size == 0) return false;
    char folder[MAX_PATH];
    const char *base = nullptr;
    if (SUCCEEDED(SHGetFolderPathA(nullptr, 26 /* CSIDL_APPDATA */, nullptr, 0, folder)))
        base = folder;
    else
        base = getenv("APPDATA");
    if (!base || !*base) return false;
    int n = snprintf(buf, size, "%s", base);
    return n >= 0 && static_cast<size_t>(n) < size;
}

int config_make_dir(const char *path) {
    return _mkdir(path) == 0 ? 0 : -1;
}
