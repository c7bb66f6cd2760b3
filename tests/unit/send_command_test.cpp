// The exchange with the VCI over TCP: exact frames, statuses, texts and faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "link_fixture.h"

using vcisim::Fault;

namespace {

constexpr uint8_t CMD_UNHANDLED = 0x50; // a command the simulator does not know
constexpr uint8_t CMD_CONFIG_READ = 0x70;

Fault fault(Fault::Kind kind, int count = 1) {
    Fault f;
    f.kind = kind;
    f.count = count;
    return f;
}

} // namespace

class SendCommand : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        open_link();
    }

    int32_t send(uint8_t cmd, const Bytes &req, uint32_t timeout = 1000) {
        resp_len = sizeof resp;
        memset(resp, 0, sizeof resp);
        return com->send_command(cmd, req.empty() ? nullptr : req.data(),
                                 static_cast<uint32_t>(req.size()), resp, &resp_len, timeout, &elapsed);
    }

    size_t count_cmd(uint8_t cmd) {
        size_t n = 0;
        for (const vcisim::Request &r : sim.requests()) n += r.cmd == cmd;
        return n;
    }

    uint8_t resp[16];
    uint32_t resp_len = 0;
    uint32_t elapsed = 0;
};

TEST_F(SendCommand, OpenFrameThenFramesCarryTheSequenceCounter) {
    std::vector<vcisim::Request> reqs = sim.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].frame, (Bytes{0x55, 0x54, 0x00, 0x00, 0x00}));
    EXPECT_EQ(com->sequence(), 1);

    EXPECT_EQ(send(0x49, {}), STATUS_NOERROR);
    EXPECT_EQ(send(0x49, {}), STATUS_NOERROR);
    ASSERT_EQ(com->sequence(), 3);
    Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(send(CMD_UNHANDLED, payload), ERR_NOT_SUPPORTED);
    reqs = sim.requests();
    Bytes expected = {0x55, CMD_UNHANDLED, 0x08, 0x60, 1, 2, 3, 4, 5, 6, 7, 8, 0x00};
    EXPECT_EQ(reqs.back().frame, expected);
    EXPECT_EQ(com->sequence(), 4);
    EXPECT_EQ(last_error(), "ERR_NOT_SUPPORTED");
}

TEST_F(SendCommand, RequestSizeLimit) {
    Bytes largest(6139, 0xA5);
    EXPECT_EQ(send(CMD_UNHANDLED, largest), ERR_NOT_SUPPORTED);
    ASSERT_TRUE(sim.wait_requests(2, 1000));
    EXPECT_EQ(sim.requests().back().frame.size(), 6144u);
    EXPECT_EQ(sim.requests().back().frame[3], static_cast<uint8_t>((6139 >> 8) | (1 << 5)));

    Bytes too_big(6140, 0xA5);
    uint16_t seq = com->sequence();
    EXPECT_EQ(send(CMD_UNHANDLED, too_big), ERR_FAILED);
    EXPECT_EQ(last_error(), "req_size 6140 exceeds buffer limit 6139");
    EXPECT_EQ(elapsed, 0u);
    EXPECT_EQ(com->sequence(), seq);
    EXPECT_EQ(sim.requests().size(), 2u);
    EXPECT_TRUE(logged("E j0 req_size 6140 exceeds buffer limit 6139"));
}

// Status words and what they leave: the returned status and the link's text.
TEST_F(SendCommand, StatusWordsMapToStatusesAndTexts) {
    struct Row {
        uint16_t word;
        int32_t status;
        const char *text;
    };
    const Row rows[] = {
        {0x001A, ERR_INVALID_DEVICE_ID, "ERR_INVALID_DEVICE_ID"},
        {0x1001, static_cast<int32_t>(ERR_NO_CONNECTION_ESTABLISHED), "ERR_NO_CONNECTION_ESTABLISHED"},
        {0x1000, static_cast<int32_t>(ERR_ADDRESS_NOT_CLAIMED), "ERR_ADDRESS_NOT_CLAIMED"},
        {0x0504, J2534_EXT_ERR_INTERNAL, "J2534_EXT_ERR_INTERNAL"},
        {0x0022, ERR_OPEN_FAILED, "Unknown error: 34"},
        {0x0012, 18, "Unknown error: 18"},
        {0x0501, 0x501, "Unknown error: 1281"},
    };
    for (const Row &row : rows) {
        sim.arm(0x41, status(row.word));
        EXPECT_EQ(send(0x41, {}), row.status) << std::hex << row.word;
        EXPECT_EQ(last_error(), row.text) << std::hex << row.word;
    }
    EXPECT_TRUE(logged("E j0 Unknown error: 34"));
    EXPECT_FALSE(logged("E j0 ERR_INVALID_DEVICE_ID")); // named codes write no line
    EXPECT_EQ(count_cmd(0x5C), 0u);

    // A later success leaves the text alone.
    EXPECT_EQ(send(0x49, {}), STATUS_NOERROR);
    EXPECT_EQ(last_error(), "Unknown error: 1281");
}

TEST_F(SendCommand, FailedStatusFetchesTheVciText) {
    vcisim::DeviceState st = sim.state();
    st.last_error_text = "Hello";
    sim.set_state(st);
    sim.arm(0x49, status(ERR_FAILED));
    EXPECT_EQ(send(0x49, {}), ERR_FAILED);
    EXPECT_EQ(last_error(), "Hello");
    EXPECT_EQ(sim.requests().back().frame, (Bytes{0x55, 0x5C, 0x00, 0x40, 0x00}));

    st.last_error_text = std::string(300, 'x');
    sim.set_state(st);
    sim.arm(0x49, status(ERR_FAILED));
    EXPECT_EQ(send(0x49, {}), ERR_FAILED);
    EXPECT_EQ(last_error(), std::string(124, 'x'));

    st.last_error_text = "";
    sim.set_state(st);
    sim.arm(0x49, status(ERR_FAILED));
    EXPECT_EQ(send(0x49, {}), ERR_FAILED);
    EXPECT_EQ(last_error(), "ERR_FAILED");

    // A VCI that does not answer 0x5C leaves the frame layer's time-out text.
    sim.arm(0x49, status(ERR_FAILED));
    sim.arm(0x5C, fault(Fault::NO_REPLY));
    EXPECT_EQ(send(0x49, {}), ERR_FAILED);
    EXPECT_EQ(last_error(), "0x6E - Connection timed out");
    bool found = false;
    for (const std::string &l : log_lines()) found |= l.rfind("E j0 getlasterr > err:8 ", 0) == 0;
    EXPECT_TRUE(found);
}

TEST_F(SendCommand, ServiceCommandsGetNoAutomaticText) {
    sim.arm(CMD_CONFIG_READ, answer({}));
    EXPECT_EQ(send(CMD_CONFIG_READ, {}), STATUS_NOERROR);
    EXPECT_EQ(resp_len, 0u);
    sim.arm(CMD_CONFIG_READ, status(ERR_FAILED));
    EXPECT_EQ(send(CMD_CONFIG_READ, {}), ERR_FAILED);
    EXPECT_EQ(count_cmd(0x5C), 0u);
    EXPECT_EQ(last_error(), "");
}

TEST_F(SendCommand, ShortAndOversizedResponses) {
    sim.arm(0x49, answer({0x00}));
    EXPECT_EQ(send(0x49, {}), ERR_FAILED);
    EXPECT_EQ(last_error(), "short response: 1 bytes");

    Bytes big(100, 0x11);
    big[0] = big[1] = 0;
    sim.arm(0x49, answer(big));
    uint8_t two[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t len = 2;
    EXPECT_EQ(com->send_command(0x49, nullptr, 0, two, &len, 1000, &elapsed), STATUS_NOERROR);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(two[1], 0x00);
    EXPECT_EQ(two[2], 0xEE); // nothing past the capacity
    EXPECT_TRUE(logged("E j0 response overflow: recive_len=100 > res_size=2"));
}

// Faults that still end in a good answer.
TEST_F(SendCommand, ReplyShapesThatStillComplete) {
    Fault split = fault(Fault::SPLIT);
    split.split_at = 4;
    split.delay_ms = 30;
    Fault bytes = fault(Fault::BYTE_BY_BYTE);
    bytes.delay_ms = 2;
    Fault garbage = fault(Fault::GARBAGE_FIRST);
    garbage.raw = {0x00, 0x13, 0x55, 0x20, 0xFF};
    Fault delay = fault(Fault::DELAY);
    delay.delay_ms = 50;
    for (const Fault &f : {split, bytes, garbage, delay}) {
        EXPECT_EQ(send(0x49, {}), STATUS_NOERROR) << f.kind;
        sim.arm(0x49, f);
        uint16_t seq = com->sequence();
        EXPECT_EQ(send(0x49, {}), STATUS_NOERROR) << f.kind;
        EXPECT_EQ(resp_len, 12u) << f.kind;
        EXPECT_EQ(resp[2], 0x2B) << f.kind;
        EXPECT_EQ(com->sequence(), (seq + 1) % 7) << f.kind;
    }
}

TEST_F(SendCommand, WrongSequenceOrSilenceTimesOutAndAdvances) {
    for (Fault::Kind kind : {Fault::WRONG_SEQ, Fault::NO_REPLY}) {
        sim.arm(0x49, fault(kind));
        uint16_t seq = com->sequence();
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(send(0x49, {}, 300), ERR_DEVICE_NOT_CONNECTED);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_GE(ms.count(), 290);
        EXPECT_LT(ms.count(), 600); // the wait does not overrun by a socket receive time-out
        EXPECT_GE(elapsed, 300u);
        EXPECT_EQ(last_error(), "0x6E - Connection timed out");
        EXPECT_EQ(com->sequence(), (seq + 1) % 7);
        // The link is still usable.
        EXPECT_EQ(send(0x49, {}), STATUS_NOERROR);
    }
}

TEST_F(SendCommand, MismatchedCommandIsDroppedWhileWaiting) {
    // A well-formed answer to another command with the right sequence number.
    Fault raw = fault(Fault::RAW);
    uint8_t seq_bits = static_cast<uint8_t>((com->sequence() + 1) << 5);
    raw.raw = {0x55, 0x41, 0x02, seq_bits, 0x00, 0x00, 0x00};
    sim.arm(0x49, raw);
    EXPECT_EQ(send(0x49, {}, 300), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(logged("W j0 CMD mismatch: expected 0x49, got 0x41 - discarding"));
}

TEST_F(SendCommand, OversizedAnnouncementIsDiscarded) {
    Fault raw = fault(Fault::RAW);
    uint8_t seq_bits = static_cast<uint8_t>((com->sequence() + 1) << 5);
    raw.raw = {0x55, 0x49, 0x01, static_cast<uint8_t>(0x18 | seq_bits)}; // 6145
    sim.arm(0x49, raw);
    EXPECT_EQ(send(0x49, {}, 300), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(logged("W j0 recive_len=6145 > buffer 6144 - discarding"));
}

TEST_F(SendCommand, DroppedConnectionLeavesTheLinkWithoutSocket) {
    sim.arm(0x49, fault(Fault::DROP));
    EXPECT_EQ(send(0x49, {}), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(last_error(), "0x68 - Connection reset by peer");
    size_t before = sim.requests().size();
    EXPECT_EQ(send(0x49, {}), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(elapsed, 0u);
    EXPECT_EQ(sim.requests().size(), before);

    // Closing now sends nothing and writes the 0 ms line.
    EXPECT_EQ(com->dev_close(), STATUS_NOERROR);
    EXPECT_EQ(sim.requests().size(), before);
    EXPECT_TRUE(logged("I j0 close > ok 0ms"));
}

TEST_F(SendCommand, CloseSaysGoodbyeEvenToASilentVci) {
    sim.arm(0x55, fault(Fault::NO_REPLY));
    EXPECT_EQ(com->dev_close(), STATUS_NOERROR);
    std::vector<vcisim::Request> reqs = sim.requests();
    EXPECT_EQ(reqs.back().frame, (Bytes{0x55, 0x55, 0x00, 0x20, 0x00}));
    bool found = false;
    for (const std::string &l : log_lines()) found |= l.rfind("I j0 close > ok 10", 0) == 0;
    EXPECT_TRUE(found);
}
