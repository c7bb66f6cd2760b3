// The vci-sim program on the configuration's current device, and a host that opens
// that device without naming it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <j2534vk/j2534vk.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "test_support.h"

extern char **environ;

namespace {

bool listening(const std::string &addr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53983);
    inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

} // namespace

TEST(VciSimProgram, ListensOnTheConfiguredDeviceThatAHostOpensByDefault) {
    std::string addr = testsupport::unique_loopback();
    std::string dir = testsupport::config_home() + "/Morlint";
    mkdir(dir.c_str(), 0755);
    testsupport::write_file(dir + "/j2534.json",
                            R"({"current_device":0,"devices":[{"sn":"VK7","current_interface":1,"interface":[)"
                            R"({"type":"c","device_name":"/dev/null"},{"type":"n","ip":")" + addr + R"("}]}]})");

    std::string program = VCI_SIM_PATH;
    char arg0[] = "vci-sim", arg1[] = "--from-config", arg2[] = "--fw", arg3[] = "77";
    char *argv[] = {arg0, arg1, arg2, arg3, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    bool up = false;
    for (int i = 0; i < 100 && !(up = listening(addr)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(up);

    uint32_t id = 5;
    EXPECT_EQ(PassThruOpen(nullptr, &id), STATUS_NOERROR);
    char fw[80];
    EXPECT_EQ(PassThruReadVersion(id, fw, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_EQ(std::string(fw).rfind("FW:77;", 0), 0u) << fw;
    EXPECT_EQ(PassThruClose(id), STATUS_NOERROR);

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
