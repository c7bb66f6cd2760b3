// Every command the library sends, against a VCI that drops the connection, stays
// silent, answers garbage, a short payload or an oversized one: each call returns in
// its time-out plus a margin with a defined status and a text, and the device opens again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <j2534vk/j2534vk.h>
#include <string>

#include "test_support.h"
#include "vci_sim.h"

using vcisim::Fault;
using Clock = std::chrono::steady_clock;

namespace {

struct Call {
    const char *name;
    uint8_t cmd;
    uint32_t wait_ms; // the library's own wait for this command
    std::function<int32_t(uint32_t dev, uint32_t chan)> run;
};

pt_msg_t can_msg() {
    pt_msg_t m;
    memset(&m, 0, sizeof m);
    m.ProtocolID = CAN;
    m.DataSize = 6;
    uint8_t d[6] = {0x00, 0x00, 0x07, 0xE0, 0x3E, 0x00};
    memcpy(m.Data, d, sizeof d);
    return m;
}

std::vector<Call> calls() {
    static pt_msg_t msg = can_msg();
    return {
        {"connect", 0x41, 1000, [](uint32_t dev, uint32_t) { uint32_t c; return PassThruConnect(dev, CAN, 0, 500000, &c); }},
        {"disconnect", 0x42, 1000, [](uint32_t, uint32_t chan) { return PassThruDisconnect(chan); }},
        {"read", 0x43, 1000, [](uint32_t, uint32_t chan) { pt_msg_t m[2]; uint32_t n = 2; return PassThruReadMsgs(chan, m, &n, 0); }},
        {"write", 0x44, 1000, [](uint32_t, uint32_t chan) { pt_msg_t m = msg; uint32_t n = 1; return PassThruWriteMsgs(chan, &m, &n, 0); }},
        {"periodic", 0x45, 1000, [](uint32_t, uint32_t chan) { pt_msg_t m = msg; uint32_t id; return PassThruStartPeriodicMsg(chan, &m, &id, 100); }},
        {"stop periodic", 0x46, 1000, [](uint32_t, uint32_t chan) { return PassThruStopPeriodicMsg(chan, 1); }},
        {"filter", 0x47, 1000, [](uint32_t, uint32_t chan) { pt_msg_t m = msg, p = msg; uint32_t id; return PassThruStartMsgFilter(chan, PASS_FILTER, &m, &p, nullptr, &id); }},
        {"stop filter", 0x48, 1000, [](uint32_t, uint32_t chan) { return PassThruStopMsgFilter(chan, 1); }},
        {"version", 0x49, 1000, [](uint32_t dev, uint32_t) { char fw[80]; return PassThruReadVersion(dev, fw, nullptr, nullptr); }},
        {"vbatt", 0x4A, 1000, [](uint32_t, uint32_t chan) { uint32_t mv; return PassThruIoctl(chan, READ_VBATT, nullptr, &mv); }},
        {"get config", 0x4A, 1000, [](uint32_t, uint32_t chan) {
             SCONFIG p[2] = {{DATA_RATE, 0}, {LOOPBACK, 0}};
             SCONFIG_LIST l = {2, p};
             return PassThruIoctl(chan, GET_CONFIG, &l, nullptr); }},
        {"device info", 0x4A, 1000, [](uint32_t, uint32_t chan) {
             SPARAM p[2] = {{1, 0, 0}, {2, 0, 0}};
             SPARAM_LIST l = {2, p};
             return PassThruIoctl(chan, GET_DEVICE_INFO, &l, nullptr); }},
        {"status", 0x4C, 1000, [](uint32_t, uint32_t chan) { uint16_t tp; uint32_t mem, mv; return PassThruStatus(chan, &tp, &mem, &mv); }},
        {"secacc", 0x4D, 1100, [](uint32_t, uint32_t chan) { pt_msg_t m = msg; return PassThruSecAcc(chan, &m, 1, nullptr, 0, 1, 2, 100); }},
        {"prog voltage", 0x53, 1000, [](uint32_t dev, uint32_t) { return PassThruSetProgrammingVoltage(dev, 15, 12000); }},
        {"qconnect", 0x56, 15000, [](uint32_t dev, uint32_t) { uint8_t q[2] = {1, 2}; uint32_t c; return PassThruQConnect(dev, q, 2, &c); }},
        {"marks", 0x57, 1000, [](uint32_t dev, uint32_t) { mark_t m; return ReadMarks(dev, &m); }},
    };
}

struct FaultCase {
    const char *name;
    Fault fault;
};

std::vector<FaultCase> faults() {
    Fault drop, silent, garbage, short_answer, oversized;
    drop.kind = Fault::DROP;
    silent.kind = Fault::NO_REPLY;
    garbage.kind = Fault::RAW;
    garbage.raw = {0x13, 0x55, 0x20, 0xFF, 0x55, 0x55, 0x00};
    short_answer.kind = Fault::PAYLOAD;
    short_answer.raw = {0x00};
    oversized.kind = Fault::PAYLOAD;
    oversized.raw.assign(6000, 0xEE);
    oversized.raw[0] = oversized.raw[1] = 0;
    return {{"drop", drop}, {"silent", silent}, {"garbage", garbage}, {"short", short_answer}, {"oversized", oversized}};
}

bool defined_status(int32_t s) { return (s >= 0 && s <= 38) || (s >= 0x500 && s <= 0x50B) || (s >= 0x10000 && s <= 0x10002); }

} // namespace

class FaultSweep : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultSweep, EveryFault) {
    vcisim::Simulator sim;
    std::string addr = testsupport::unique_loopback();
    ASSERT_TRUE(sim.start(addr));
    std::string name = "vk0;n" + addr;
    const Call call = calls()[GetParam()];
    {
        // Silence and garbage cost each call its whole wait; spare the 15-second one those.
        for (const FaultCase &fc : faults()) {
            bool no_answer = fc.fault.kind == Fault::NO_REPLY || fc.fault.kind == Fault::RAW;
            if (call.wait_ms > 5000 && no_answer) continue;
            SCOPED_TRACE(std::string(call.name) + " / " + fc.name);
            sim.clear_faults();
            uint32_t dev = 0, chan = 0;
            ASSERT_EQ(PassThruOpen(&name[0], &dev), STATUS_NOERROR);
            ASSERT_EQ(PassThruConnect(dev, CAN, 0, 500000, &chan), STATUS_NOERROR);
            Fault f = fc.fault;
            f.count = 1;
            sim.arm(call.cmd, f);

            auto t0 = Clock::now();
            int32_t status = call.run(dev, chan);
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
            EXPECT_TRUE(defined_status(status)) << status;
            // A failure may fetch the VCI's text with one more exchange of its own.
            EXPECT_LT(ms, 2 * call.wait_ms + 500);
            char text[80];
            EXPECT_EQ(PassThruGetLastError(text), STATUS_NOERROR);
            EXPECT_LT(strlen(text), 80u);
            if (status != STATUS_NOERROR && status != ERR_BUFFER_EMPTY) {
                EXPECT_NE(text[0], 0) << status;
            }

            EXPECT_EQ(PassThruClose(dev), STATUS_NOERROR);
            sim.clear_faults();
            ASSERT_EQ(PassThruOpen(&name[0], &dev), STATUS_NOERROR); // the device opens again
            char fw[80];
            EXPECT_EQ(PassThruReadVersion(dev, fw, nullptr, nullptr), STATUS_NOERROR);
            EXPECT_EQ(PassThruClose(dev), STATUS_NOERROR);
        }
    }
    sim.stop();
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::Range<size_t>(0, calls().size()),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             std::string n = calls()[info.param].name;
                             for (char &c : n)
                                 if (c == ' ') c = '_';
                             return n;
                         });
