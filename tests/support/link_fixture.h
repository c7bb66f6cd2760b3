// A link object opened over TCP to an in-process simulated VCI, with slot 0's log in a file.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "link/j2534_com.h"
#include "log/j2534_log.h"
#include "test_support.h"
#include "vci_sim.h"

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put32(Bytes &b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

inline bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

// The next request of the command gets this whole payload (status word included) as its answer.
inline vcisim::Fault answer(const Bytes &payload, uint32_t delay_ms = 0) {
    vcisim::Fault f;
    f.kind = vcisim::Fault::PAYLOAD;
    f.raw = payload;
    f.count = 1;
    f.delay_ms = delay_ms;
    return f;
}

// The next request of the command is answered with this status word alone.
inline vcisim::Fault status(uint16_t word) {
    vcisim::Fault f;
    f.kind = vcisim::Fault::STATUS;
    f.status = word;
    f.count = 1;
    return f;
}

class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        addr = testsupport::unique_loopback();
        ASSERT_TRUE(sim.start(addr));
        log_folder = testsupport::config_home() + "/linklogs";
        mkdir(log_folder.c_str(), 0755);
        FILE *f = log_dev_open(0, log_folder.c_str());
        ASSERT_NE(f, nullptr);
        log_dev_path(0, log_path, sizeof log_path);
    }

    void TearDown() override {
        com.reset();
        log_dev_close(0);
        sim.stop();
    }

    // Opens the link on slot 0; the open command is request 0.
    void open_link() {
        com = std::make_unique<J2534_com>();
        ASSERT_EQ(com->dev_open(DEV_TYPE_LAN, addr.c_str(), 0), STATUS_NOERROR);
        ASSERT_TRUE(sim.wait_requests(1, 1000));
    }

    // Log lines written so far, time stamps removed.
    std::vector<std::string> log_lines() {
        std::vector<std::string> out;
        for (const std::string &l : testsupport::split_lines(testsupport::read_file(log_path)))
            out.push_back(testsupport::strip_timestamp(l));
        return out;
    }

    bool logged(const std::string &line) {
        for (const std::string &l : log_lines())
            if (l == line) return true;
        return false;
    }

    // Timed lines end in a duration: compare what comes before it.
    bool logged_prefix(const std::string &prefix) {
        for (const std::string &l : log_lines())
            if (starts_with(l, prefix)) return true;
        return false;
    }

    vcisim::Request last_request() {
        std::vector<vcisim::Request> reqs = sim.requests();
        return reqs.empty() ? vcisim::Request{} : reqs.back();
    }
    Bytes last_payload() { return last_request().payload; }
    uint8_t last_cmd() { return last_request().cmd; }

    std::string last_error() {
        char text[LAST_ERROR_SIZE];
        com->copy_last_error(text, sizeof text);
        return text;
    }

    vcisim::Simulator sim;
    std::string addr;
    std::string log_folder;
    char log_path[1100] = "";
    std::unique_ptr<J2534_com> com;
};

// A link opened on slot 0 with the open command already cleared from the record.
class OpenedLink : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        open_link();
        sim.clear_requests();
    }
};
