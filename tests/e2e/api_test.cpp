// The real shared object driven through its exports against the simulated VCI.
#include <gtest/gtest.h>

#include <dirent.h>
#include <j2534vk/j2534vk.h>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "test_support.h"
#include "vci_sim.h"

using testsupport::read_file;
using testsupport::split_lines;
using testsupport::strip_timestamp;

namespace {

std::string config_dir() { return testsupport::config_home() + "/Morlint"; }

void write_config(const std::string &json) {
    mkdir(config_dir().c_str(), 0755);
    testsupport::write_file(config_dir() + "/j2534.json", json);
}

void write_lan_config(const std::string &ip) {
    write_config(R"({"current_device":0,"devices":[{"sn":"VK1","current_interface":0,"interface":[{"type":"n","ip":")" +
                 ip + R"("}]}]})");
}

std::string last_error() {
    char text[80];
    EXPECT_EQ(PassThruGetLastError(text), STATUS_NOERROR);
    return text;
}

// The newest log file of a slot.
std::string log_file_of(uint32_t slot) {
    std::string folder = config_dir() + "/vklogs";
    std::string prefix = "id" + std::to_string(slot) + "_", best;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind(prefix, 0) == 0 && n > best) best = n;
        }
        closedir(d);
    }
    return best.empty() ? "" : folder + "/" + best;
}

std::vector<std::string> log_of(uint32_t slot) {
    std::vector<std::string> out;
    for (const std::string &l : split_lines(read_file(log_file_of(slot)))) out.push_back(strip_timestamp(l));
    return out;
}

bool has_line(const std::vector<std::string> &lines, const std::string &line) {
    for (const std::string &l : lines)
        if (l == line) return true;
    return false;
}

// A line with this start and a duration in milliseconds after it.
bool has_timed_line(const std::vector<std::string> &lines, const std::string &start) {
    for (const std::string &l : lines)
        if (l.rfind(start, 0) == 0 && l.size() > start.size() + 2 && l.compare(l.size() - 2, 2, "ms") == 0)
            return true;
    return false;
}

} // namespace

class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        addr = testsupport::unique_loopback();
        ASSERT_TRUE(sim.start(addr));
        name = "vk0;n" + addr;
        write_lan_config(addr);
    }
    void TearDown() override {
        for (uint32_t i = 0; i < 16; ++i) PassThruClose(i);
        sim.stop();
    }

    vcisim::Simulator sim;
    std::string addr, name;
};

TEST_F(Api, SessionOpenVersionClose) {
    uint32_t id = 99;
    ASSERT_EQ(PassThruOpen(&name[0], &id), STATUS_NOERROR);
    EXPECT_EQ(id, 0u);
    char fw[80], dll[80], api[80];
    ASSERT_EQ(PassThruReadVersion(id, fw, dll, api), STATUS_NOERROR);
    EXPECT_STREQ(fw, "FW:1203;HW:00001A2B;SN:345");
    EXPECT_STREQ(dll, "2.0.0.213");
    EXPECT_STREQ(api, "04.04");
    EXPECT_EQ(LogMsg(id, "host says hi"), STATUS_NOERROR);
    EXPECT_EQ(LogMsg(id, nullptr), STATUS_NOERROR);
    ASSERT_EQ(PassThruClose(id), STATUS_NOERROR);

    std::vector<std::string> lines = log_of(0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("# v2 ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" dll:2.0.0.213 api:04.04"), std::string::npos);
    EXPECT_TRUE(has_timed_line(lines, "I j0 rd_ver > ver:FW:1203;HW:00001A2B;SN:345 "));
    EXPECT_TRUE(has_line(lines, "# host says hi"));

    std::vector<vcisim::Request> reqs = sim.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].cmd, 0x54);
    EXPECT_EQ(reqs[1].frame, (std::vector<uint8_t>{0x55, 0x49, 0x00, 0x20, 0x00}));
    EXPECT_EQ(reqs[2].frame, (std::vector<uint8_t>{0x55, 0x55, 0x00, 0x40, 0x00}));
}

TEST_F(Api, NullAndUnsupportedArguments) {
    uint32_t id = 0;
    EXPECT_EQ(PassThruOpen(&name[0], nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(PassThruOpen(nullptr, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(PassThruGetLastError(nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(PassThruLogicalConnect(0, 0, 0, nullptr, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_EQ(PassThruLogicalDisconnect(0), ERR_NOT_SUPPORTED);
    EXPECT_EQ(PassThruQueueMsgs(0, nullptr, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_EQ(PassThruSelect(nullptr, 0, 0), ERR_NOT_SUPPORTED);
    EXPECT_EQ(PassThruClose(3), ERR_INVALID_DEVICE_ID);
    EXPECT_EQ(PassThruClose(0xFFFFFFFF), ERR_INVALID_DEVICE_ID);
    EXPECT_EQ(PassThruConnect(5, 6, 0, 500000, &id), ERR_INVALID_DEVICE_ID);
    pt_msg_t msg{};
    uint32_t n = 1;
    EXPECT_EQ(PassThruReadMsgs(0x30002, &msg, &n, 0), ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(PassThruReadVersion(0, nullptr, nullptr, nullptr), ERR_INVALID_DEVICE_ID);
    EXPECT_EQ(LogMsg(99, "to stdout"), STATUS_NOERROR);
    EXPECT_EQ(sim.requests().size(), 0u);

    ASSERT_EQ(PassThruOpen(&name[0], &id), STATUS_NOERROR);
    EXPECT_EQ(PassThruReadVersion(id, nullptr, nullptr, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(sim.requests().size(), 1u); // only the open command
}

TEST_F(Api, LastErrorBelongsToTheFirstOpenDevice) {
    uint32_t id = 0;
    std::string nobody = "vk1;n" + testsupport::unique_loopback();
    EXPECT_EQ(PassThruOpen(&nobody[0], &id), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(last_error(), "Connect timeout (2s) or fail");

    ASSERT_EQ(PassThruOpen(&name[0], &id), STATUS_NOERROR);
    EXPECT_EQ(last_error(), ""); // the open device's own text
    EXPECT_EQ(PassThruOpen(&nobody[0], &id), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(last_error(), "");

    vcisim::Fault f;
    f.kind = vcisim::Fault::STATUS;
    f.status = ERR_FAILED;
    f.count = 1;
    sim.arm(0x49, f);
    char fw[80] = "untouched";
    EXPECT_EQ(PassThruReadVersion(id, fw, nullptr, nullptr), ERR_FAILED);
    EXPECT_STREQ(fw, "untouched");
    EXPECT_EQ(last_error(), "simulated VCI error");
    EXPECT_EQ(PassThruReadVersion(id, fw, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_EQ(last_error(), "simulated VCI error"); // a success leaves the reason

    ASSERT_EQ(PassThruClose(id), STATUS_NOERROR);
    EXPECT_EQ(last_error(), "Connect timeout (2s) or fail");
}

TEST_F(Api, CloseSucceedsWhenTheVciHasGone) {
    uint32_t id = 0;
    ASSERT_EQ(PassThruOpen(&name[0], &id), STATUS_NOERROR);
    sim.stop();
    char fw[80];
    EXPECT_EQ(PassThruReadVersion(id, fw, nullptr, nullptr), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PassThruReadVersion(id, fw, nullptr, nullptr), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PassThruClose(id), STATUS_NOERROR);
    EXPECT_EQ(PassThruClose(id), ERR_INVALID_DEVICE_ID);
}

TEST_F(Api, OpenWithoutNameUsesTheConfiguration) {
    uint32_t id = 7;
    ASSERT_EQ(PassThruOpen(nullptr, &id), STATUS_NOERROR);
    EXPECT_EQ(id, 0u); // the first free slot, not the number in the name
    EXPECT_EQ(PassThruClose(id), STATUS_NOERROR);
    std::string empty;
    ASSERT_EQ(PassThruOpen(&empty[0], &id), STATUS_NOERROR);
    EXPECT_EQ(PassThruClose(id), STATUS_NOERROR);
    char vk0[] = "vk0";
    ASSERT_EQ(PassThruOpen(vk0, &id), STATUS_NOERROR);
    EXPECT_EQ(PassThruClose(id), STATUS_NOERROR);

    // The number on entry goes into the name it builds.
    std::string nobody = testsupport::unique_loopback();
    write_lan_config(nobody);
    id = 7;
    EXPECT_EQ(PassThruOpen(nullptr, &id), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(id, 7u);
}

TEST_F(Api, ConfigurationErrors) {
    uint32_t id = 0;
    write_config("{ not json");
    EXPECT_EQ(PassThruOpen(&name[0], &id), ERR_FAILED);
    EXPECT_EQ(last_error(), "j2534.json parse error");
    EXPECT_EQ(read_file(config_dir() + "/j2534.json"), "{ not json");

    write_config(R"({"devices":[{"sn":"VK1","interface":[{"type":"h","ip":"relay.invalid"}]}]})");
    EXPECT_EQ(PassThruOpen(nullptr, &id), ERR_FAILED);
    EXPECT_EQ(last_error(), "j2534.json parse error"); // the global text is not changed
    EXPECT_EQ(sim.connections_accepted(), 0);
}

// The default configuration's device, reached only inside the test namespace.
TEST(ApiDefaultDevice, OpensTheDefaultAddress) {
    if (!testsupport::in_test_netns()) GTEST_SKIP() << "needs the test namespace";
    vcisim::Simulator sim;
    ASSERT_TRUE(sim.start("192.168.1.3"));
    remove((config_dir() + "/j2534.json").c_str()); // defaults are written on load
    uint32_t id = 0;
    ASSERT_EQ(PassThruOpen(nullptr, &id), STATUS_NOERROR);
    EXPECT_EQ(PassThruClose(id), STATUS_NOERROR);
    EXPECT_NE(read_file(config_dir() + "/j2534.json").find("192.168.1.3"), std::string::npos);
    EXPECT_EQ(sim.connections_accepted(), 1);
}
