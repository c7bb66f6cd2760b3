#include "test_support.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace testsupport {

std::string unique_loopback() {
    static std::atomic<unsigned> counter{0};
    unsigned pid = static_cast<unsigned>(getpid());
    unsigned n = ++counter;
    // 127.<pid high>.<pid low>.<n>: distinct per process, 1..254 per process.
    return "127." + std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(pid & 0xFF) + "." +
           std::to_string(1 + (n - 1) % 254);
}

bool in_test_netns() {
    const char *v = getenv("J2534VK_NETNS");
    return v && std::string(v) == "1";
}

std::string config_home() {
    const char *v = getenv("XDG_CONFIG_HOME");
    return v ? v : "";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string strip_timestamp(const std::string &line) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
    if (i < line.size() && line[i] == ' ') ++i;
    return line.substr(i);
}

} // namespace testsupport
