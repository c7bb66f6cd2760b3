// Shared helpers of the test programs.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A loopback address no other test process uses (127.A.B.C from the pid and a counter).
std::string unique_loopback();

// True inside the private network namespace that scripts/test creates.
bool in_test_netns();

// The per-process XDG_CONFIG_HOME that test_main created.
std::string config_home();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::vector<std::string> split_lines(const std::string &text);

// Removes the "<timestamp> " prefix of a log line ("  5 I pt_lib ..." -> "I pt_lib ...").
std::string strip_timestamp(const std::string &line);

} // namespace testsupport
