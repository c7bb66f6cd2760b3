// Opening and closing the TCP link: handshake, drain, time-outs and their texts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "link_fixture.h"

using vcisim::Fault;
using Clock = std::chrono::steady_clock;

namespace {

long ms_since(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

} // namespace

class TcpOpen : public LinkFixture {
  protected:
    int32_t open_to(const std::string &host) {
        com = std::make_unique<J2534_com>();
        return com->dev_open(DEV_TYPE_LAN, host.c_str(), 0);
    }
};

TEST_F(TcpOpen, GreetingIsDrainedAndOpenSucceeds) {
    auto t0 = Clock::now();
    ASSERT_EQ(open_to(addr), STATUS_NOERROR);
    EXPECT_LT(ms_since(t0), 900); // the greeting ends the drain at once
    EXPECT_TRUE(sim.state().opened);
    EXPECT_EQ(com->default_timeout(), 1000u);
    EXPECT_STREQ(com->log_tag(), "j0");
    EXPECT_TRUE(logged_prefix("I j0 open " + addr + " > ok "));
    std::vector<std::string> lines = log_lines();
    bool header = false;
    for (const std::string &l : lines) header |= starts_with(l, "# v2 ");
    EXPECT_TRUE(header);

    ASSERT_EQ(com->dev_close(), STATUS_NOERROR);
    EXPECT_FALSE(sim.state().opened);
    EXPECT_TRUE(logged_prefix("I j0 close > ok "));
}

TEST_F(TcpOpen, SilentVciCostsDrainAndCommandTimeout) {
    vcisim::DeviceState st = sim.state();
    st.greet = false;
    sim.set_state(st);
    Fault f;
    f.kind = Fault::NO_REPLY;
    sim.arm(0x54, f);
    auto t0 = Clock::now();
    EXPECT_EQ(open_to(addr), ERR_DEVICE_NOT_CONNECTED);
    long ms = ms_since(t0);
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 3500);
    EXPECT_EQ(last_error(), "0x6E - Connection timed out");
    EXPECT_TRUE(logged("E j0 0x6E - Connection timed out"));
    EXPECT_TRUE(logged_prefix("E j0 open_lan > 0x6E - Connection timed out, 10"));
}

TEST_F(TcpOpen, OpenCommandRefusedByTheVci) {
    Fault f;
    f.kind = Fault::STATUS;
    f.status = ERR_DEVICE_IN_USE;
    sim.arm(0x54, f);
    EXPECT_EQ(open_to(addr), ERR_DEVICE_IN_USE);
    EXPECT_EQ(last_error(), "ERR_DEVICE_IN_USE");
    EXPECT_TRUE(logged_prefix("E j0 open_lan > ERR_DEVICE_IN_USE, "));
    EXPECT_FALSE(sim.client_connected() && sim.state().opened);
}

TEST_F(TcpOpen, RefusedConnectionFailsAtOnce) {
    std::string nobody = testsupport::unique_loopback();
    auto t0 = Clock::now();
    EXPECT_EQ(open_to(nobody), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_EQ(last_error(), "Connect timeout (2s) or fail");
    EXPECT_TRUE(logged("E j0 open_lan " + nobody + " > Connect timeout (2s) or fail"));
}

// Both need the private network namespace of the test command.
TEST_F(TcpOpen, NoAnswerToConnectTimesOutAfterTwoSeconds) {
    const char *blackhole = getenv("J2534VK_BLACKHOLE");
    if (!testsupport::in_test_netns() || !blackhole) GTEST_SKIP() << "needs the test namespace";
    auto t0 = Clock::now();
    EXPECT_EQ(open_to(blackhole), ERR_DEVICE_NOT_CONNECTED);
    long ms = ms_since(t0);
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(last_error(), "Connect timeout (2s) or fail");
}

TEST_F(TcpOpen, UnresolvableNameFailsWithItsText) {
    if (!testsupport::in_test_netns()) GTEST_SKIP() << "needs the test namespace";
    EXPECT_EQ(open_to("no-such-vci.invalid"), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(last_error(), "Invalid address or host not resolved: no-such-vci.invalid");
    EXPECT_TRUE(logged("E j0 open_lan > Invalid address or host not resolved: no-such-vci.invalid"));
}

TEST_F(TcpOpen, OtherLinkTypes) {
    com = std::make_unique<J2534_com>();
    EXPECT_EQ(com->dev_open(DEV_TYPE_BLUETOOTH_UUID, "1234", 0), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(logged("E  open name: 1234 > ERR_DEVICE_NOT_CONNECTED"));
    EXPECT_EQ(com->dev_close(), ERR_DEVICE_NOT_CONNECTED);
}
