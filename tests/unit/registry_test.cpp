// Device registry: slots, names, DevHub strings and the dispatch of identifiers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "api/j2534_dev.h"
#include "api/j2534_dll.h"
#include "log/j2534_log.h"
#include "test_support.h"
#include "vci_sim.h"

namespace {

std::string global_text() {
    char t[GLOBAL_ERROR_SIZE];
    copy_last_error_global(t, sizeof t);
    return t;
}

} // namespace

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string folder = testsupport::config_home() + "/reglogs";
        mkdir(folder.c_str(), 0755);
        ASSERT_NE(log_dev_open(0, folder.c_str()), nullptr);
        log_dev_path(0, log_path, sizeof log_path);
    }
    void TearDown() override {
        for (uint32_t i = 0; i < MAX_DEVICES; ++i) close_device(i);
        log_dev_close(0);
    }

    // Starts a simulator on a fresh loopback address and returns its direct name.
    std::string start_sim(const char *prefix = "vk0") {
        sims.push_back(std::make_unique<vcisim::Simulator>());
        std::string a = testsupport::unique_loopback();
        EXPECT_TRUE(sims.back()->start(a));
        return std::string(prefix) + ";n" + a;
    }

    bool logged(const std::string &line) {
        for (const std::string &l : testsupport::split_lines(testsupport::read_file(log_path)))
            if (testsupport::strip_timestamp(l) == line) return true;
        return false;
    }

    std::vector<std::unique_ptr<vcisim::Simulator>> sims;
    char log_path[1100] = "";
};

TEST_F(Registry, LowestFreeSlotIsTakenAndReused) {
    uint32_t id[3];
    std::string names[3] = {start_sim(), start_sim(), start_sim()};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(open_device(names[i].c_str(), &id[i]), STATUS_NOERROR);
        EXPECT_EQ(id[i], static_cast<uint32_t>(i));
    }
    EXPECT_EQ(close_device(1), STATUS_NOERROR);
    uint32_t again = 99;
    ASSERT_EQ(open_device(names[1].c_str(), &again), STATUS_NOERROR);
    EXPECT_EQ(again, 1u);

    char name[80];
    bool open = false;
    EXPECT_EQ(get_opened_device_info(1, name, sizeof name, &open), STATUS_NOERROR);
    EXPECT_TRUE(open);
    EXPECT_EQ(std::string("vk0;n") + name, names[1]);
    EXPECT_EQ(get_opened_device_info(1, name, 1, nullptr), STATUS_NOERROR);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(get_opened_device_info(5, name, sizeof name, &open), STATUS_NOERROR);
    EXPECT_FALSE(open);
    EXPECT_EQ(get_opened_device_info(16, name, sizeof name, &open), ERR_INVALID_DEVICE_ID);
}

TEST_F(Registry, SixteenSlotsThenExceededLimit) {
    for (uint32_t i = 0; i < MAX_DEVICES; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(open_device(start_sim().c_str(), &id), STATUS_NOERROR);
        EXPECT_EQ(id, i);
    }
    uint32_t id = 77;
    EXPECT_EQ(open_device(start_sim().c_str(), &id), ERR_EXCEEDED_LIMIT);
    EXPECT_EQ(id, 77u);
    EXPECT_TRUE(logged("E pt_lib open > ERR_EXCEEDED_LIMIT"));
}

TEST_F(Registry, SameAddressBehindAnotherPrefixIsInUse) {
    std::string name = start_sim("vk0");
    uint32_t id = 0;
    ASSERT_EQ(open_device(name.c_str(), &id), STATUS_NOERROR);
    std::string other = "vk5" + name.substr(3);
    EXPECT_EQ(open_device(other.c_str(), &id), ERR_DEVICE_IN_USE);
    EXPECT_TRUE(logged("E pt_lib open name:" + other + " > ERR_DEVICE_IN_USE"));
    EXPECT_EQ(sims.back()->connections_accepted(), 1);
}

TEST_F(Registry, NameGrammar) {
    struct Row {
        const char *name;
        int32_t status;
        const char *line;
    };
    const Row rows[] = {
        {"vk0", ERR_NULL_PARAMETER, "E pt_lib open > ERR_NULL_PARAMETER"},
        {"vk0;n", ERR_NULL_PARAMETER, "E pt_lib open > ERR_NULL_PARAMETER"},
        {"", ERR_NULL_PARAMETER, "E pt_lib open > ERR_NULL_PARAMETER"},
        {"vk0;x1", ERR_OPEN_FAILED, "E pt_lib open120 > ERR_OPEN_FAILED"},
        {"vk0;s1", ERR_OPEN_FAILED, "E pt_lib open > ERR_OPEN_FAILED"},
        {"vk0;u1234", ERR_DEVICE_NOT_CONNECTED, "E  open name: 1234 > ERR_DEVICE_NOT_CONNECTED"},
    };
    for (const Row &row : rows) {
        uint32_t id = 0;
        EXPECT_EQ(open_device(row.name, &id), row.status) << row.name;
        EXPECT_TRUE(logged(row.line)) << row.name;
    }
    uint32_t id = 0;
    EXPECT_EQ(open_device(nullptr, &id), ERR_NULL_PARAMETER);
    EXPECT_EQ(open_device("vk0;n127.0.0.1", nullptr), ERR_NULL_PARAMETER);
    // ';' beyond the first 80 characters does not count.
    std::string late = std::string(80, 'a') + ";n127.0.0.1";
    EXPECT_EQ(open_device(late.c_str(), &id), ERR_NULL_PARAMETER);

    // No prefix at all, and an address cut to 16 characters before it is resolved.
    std::string name = start_sim();
    std::string bare = name.substr(3);
    ASSERT_EQ(open_device(bare.c_str(), &id), STATUS_NOERROR);
    EXPECT_TRUE(logged("I pt_lib open param: " + bare.substr(2) + ", type:1"));
    close_device(id);
    EXPECT_EQ(open_device("vk0;n127.0.0.1234567890", &id), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(logged("I pt_lib open param: 127.0.0.12345678, type:1"));
}

TEST_F(Registry, FailedOpenLeavesNoTraceAndSetsTheGlobalText) {
    std::string nobody = "vk0;n" + testsupport::unique_loopback();
    uint32_t id = 42;
    EXPECT_EQ(open_device(nobody.c_str(), &id), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(global_text(), "Connect timeout (2s) or fail");
    EXPECT_TRUE(logged("E pt_dll Connect timeout (2s) or fail"));
    bool open = true;
    get_opened_device_info(0, nullptr, 0, &open);
    EXPECT_FALSE(open);
    char text[80] = "untouched";
    EXPECT_EQ(get_last_error_device(text), ERR_DEVICE_NOT_OPEN);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(Registry, DispatchOfFreeAndOutOfRangeIdentifiers) {
    struct Row {
        int32_t got;
        int32_t status;
        const char *line;
    };
    pt_msg_t msg{};
    uint32_t n = 1, out = 0;
    char fw[80];
    const Row rows[] = {
        {connect_device(16, 6, 0, 500000, &out), ERR_INVALID_DEVICE_ID, "E pt_lib conn dev_id:16 > ERR_INVALID_DEVICE_ID"},
        {connect_device(5, 6, 0, 500000, &out), ERR_INVALID_DEVICE_ID, "E pt_lib conn dev_id:5 > ERR_DEVICE_NOT_OPEN"},
        {qconnect_device(4, nullptr, 0, &out), ERR_INVALID_DEVICE_ID, "E pt_lib qconnect dev_id:4 > ERR_INVALID_DEVICE_ID"},
        {disconnect_device(0x30002), ERR_DEVICE_NOT_OPEN, "E pt_lib disconn dev_id:196610 > ERR_DEVICE_NOT_OPEN"},
        {read_msgs_device(0x30002, &msg, &n, 0), ERR_DEVICE_NOT_OPEN, "E pt_lib rd_msg dev_id:3 > ERR_DEVICE_NOT_OPEN"},
        {write_msgs_device(0x70001, &msg, &n, 0), ERR_DEVICE_NOT_OPEN, "E pt_lib wr_msg dev_id:7 > ERR_DEVICE_NOT_OPEN"},
        {start_periodic_msg_device(0x10001, &msg, &out, 100), ERR_DEVICE_NOT_OPEN, "E pt_lib start_per_msg dev_id:1 > ERR_DEVICE_NOT_OPEN"},
        {stop_periodic_msg_device(0x10001, 1), ERR_DEVICE_NOT_OPEN, "E pt_lib stop_per_msg dev_id:1 > ERR_DEVICE_NOT_OPEN"},
        {start_msg_filter_device(0x20001, 1, &msg, &msg, nullptr, &out), ERR_DEVICE_NOT_OPEN, "E pt_lib start_flt dev_id:2 > ERR_DEVICE_NOT_OPEN"},
        {stop_msg_filter_device(0x20001, 1), ERR_DEVICE_NOT_OPEN, "E pt_lib stop_flt dev_id:2 > ERR_DEVICE_NOT_OPEN"},
        {set_programming_voltage_device(9, 15, 12000), ERR_INVALID_DEVICE_ID, "E pt_lib set_volt dev_id:9 > ERR_INVALID_DEVICE_ID"},
        {read_version_device(99, fw, nullptr, nullptr), ERR_INVALID_DEVICE_ID, "E pt_lib rd_ver dev_id:99 > ERR_INVALID_DEVICE_ID"},
        {read_marks_device(3, nullptr), ERR_INVALID_DEVICE_ID, "E pt_lib rd_mask dev_id:3 > ERR_INVALID_DEVICE_ID"},
        {status_device(0xF0001, nullptr, nullptr, nullptr), ERR_DEVICE_NOT_OPEN, "E pt_lib status dev_id:15 > ERR_DEVICE_NOT_OPEN"},
        {ioctl_device(2, 3, nullptr, nullptr), ERR_DEVICE_NOT_OPEN, "E pt_lib ioctl dev_id:0 > ERR_DEVICE_NOT_OPEN"},
        {secacc_device(0x50000, nullptr, 0, nullptr, 0, 0, 0, 0), ERR_DEVICE_NOT_OPEN, "E pt_lib SecAcc dev_id:5 > ERR_DEVICE_NOT_OPEN"},
        {close_device(16), ERR_INVALID_DEVICE_ID, "E pt_lib close dev_id:16 > ERR_INVALID_DEVICE_ID"},
        {close_device(6), ERR_INVALID_DEVICE_ID, "E pt_lib close dev_id:6 > ERR_DEVICE_NOT_OPEN"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.got, row.status) << row.line;
        EXPECT_TRUE(logged(row.line)) << row.line;
    }
}

TEST_F(Registry, ReadVersionFillsAllThreeTexts) {
    uint32_t id = 0;
    ASSERT_EQ(open_device(start_sim().c_str(), &id), STATUS_NOERROR);
    char fw[80], dll[80], api[80];
    ASSERT_EQ(read_version_device(id, fw, dll, api), STATUS_NOERROR);
    EXPECT_STREQ(fw, "FW:1203;HW:00001A2B;SN:345");
    EXPECT_STREQ(dll, "2.0.0.213");
    EXPECT_STREQ(api, "04.04");
    EXPECT_EQ(read_version_device(id, fw, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_EQ(read_version_device(id, nullptr, dll, api), ERR_NULL_PARAMETER);
}

TEST_F(Registry, DevHubStrings) {
    struct Row {
        const char *name;
        int32_t status;
        const char *line;
    };
    const Row rows[] = {
        {"x;h:relay.example;u:user;p:123456;t:7;s:4294967295", STATUS_NOERROR,
         "I pt_lib parse_devhub: host=relay.example, user=user, sn=4294967295"},
        {"x;h:relay:9999;u:me;s:12", STATUS_NOERROR, "I pt_lib parse_devhub: host=relay, user=me, sn=12"},
        {"x;h:relay;u:user", ERR_INVALID_MSG, "E pt_lib parse_devhub: missing required parameters (h:, u:, s:)"},
        {"x;h:;u:user;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid host length 0"},
        {"x;h::1;u:user;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid host length 0"},
        {"x;h:r;u:;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid user_info length 0"},
        {"x;h:r;u:u;p:12345;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid PIN length 5 (must be 6)"},
        {"x;h:r;u:u;t:12345678;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid dev_type length 8"},
        {"x;h:r;u:u;t:256;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid dev_type value '256'"},
        {"x;h:r;u:u;t:-1;s:1", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid dev_type value '-1'"},
        {"x;h:r;u:u;s:1234567890123456", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid SN length 16"},
        {"x;h:r;u:u;s:4294967296", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid SN value '4294967296'"},
        {"x;h:r;u:u;s:12a", ERR_INVALID_MSG, "E pt_lib parse_devhub: invalid SN value '12a'"},
    };
    for (const Row &row : rows) {
        devhub_params_t p;
        EXPECT_EQ(parse_devhub_string(row.name, &p), row.status) << row.name;
        EXPECT_TRUE(logged(row.line)) << row.name;
    }
    devhub_params_t p;
    ASSERT_EQ(parse_devhub_string("a;s:7;u:bob;h:hub", &p), STATUS_NOERROR);
    EXPECT_STREQ(p.pin, "472915");
    EXPECT_EQ(p.dev_type, 1);
    EXPECT_EQ(p.sn, 7u);
    std::string long_host = "x;h:" + std::string(256, 'h') + ";u:u;s:1";
    EXPECT_EQ(parse_devhub_string(long_host.c_str(), &p), ERR_INVALID_MSG);
    EXPECT_TRUE(logged("E pt_lib parse_devhub: invalid host length 256"));

    uint32_t id = 0;
    EXPECT_EQ(open_device("vk0;h:hub;u:u;s:1", &id), ERR_NOT_SUPPORTED);
    EXPECT_EQ(open_device("vk0;h:hub;u:u", &id), ERR_INVALID_MSG);
    EXPECT_TRUE(logged("I pt_lib open DevHub mode detected"));
}
