// Runs a fuzz target over every file of a corpus folder.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS-DIR\n", argv[0]);
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (!dir) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    int files = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(std::string(argv[1]) + "/" + e->d_name, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
        ++files;
    }
    closedir(dir);
    printf("replayed %d inputs\n", files);
    return files > 0 ? 0 : 1;
}
