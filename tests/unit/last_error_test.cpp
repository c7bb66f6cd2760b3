// Last-error texts handed to hosts: the 80-character cut and the UTF-8 tail rule.
#include <gtest/gtest.h>

#include <cstring>

#include "link/j2534_com.h"
#include "link/last_error.h"

TEST(LastErrorText, TrailingUtf8IsTrimmed) {
    struct Row {
        std::string in, out;
    };
    const Row rows[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf"},             // a complete two-byte character goes too
        {"x\xE2\x82\xAC", "x"},             // three bytes
        {"x\xE2\x82", "x"},                 // cut three-byte character
        {"x\xC3", "x"},                     // lone lead byte
        {"x\xA9", "x"},                     // stray continuation byte
        {"\xC3\xA9", ""},
        {"", ""},
    };
    for (const Row &row : rows) {
        std::vector<char> buf(row.in.begin(), row.in.end());
        buf.push_back(0);
        trim_utf8_tail(buf.data());
        EXPECT_EQ(std::string(buf.data()), row.out) << row.in;
    }
}

TEST(LastErrorText, CopiesAreCutTo79AndNeverEndInAPartialCharacter) {
    J2534_com com;
    com.set_last_error("%s", std::string(100, 'a').c_str());
    char out[80];
    memset(out, 'Z', sizeof out);
    com.get_last_error_str(out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(79, 'a'));

    // 78 ASCII characters and a two-byte character cut after its lead byte.
    com.set_last_error("%s\xC3\xA9", std::string(78, 'b').c_str());
    com.get_last_error_str(out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(78, 'b'));
}

TEST(LastErrorText, SetLastErrReturnsAndNames) {
    J2534_com com;
    EXPECT_EQ(com.set_last_err(ERR_INVALID_CHANNEL_ID), ERR_INVALID_CHANNEL_ID);
    char out[80];
    com.get_last_error_str(out, sizeof out);
    EXPECT_STREQ(out, "ERR_INVALID_CHANNEL_ID");
    EXPECT_EQ(com.set_last_err(ERR_FAILED), ERR_FAILED); // leaves the text
    com.get_last_error_str(out, sizeof out);
    EXPECT_STREQ(out, "ERR_INVALID_CHANNEL_ID");
    EXPECT_EQ(com.set_last_err(0x504), ERR_FAILED);
    com.get_last_error_str(out, sizeof out);
    EXPECT_STREQ(out, "J2534_EXT_ERR_INTERNAL");
    EXPECT_EQ(com.set_last_err(-3), -3);
    com.get_last_error_str(out, sizeof out);
    EXPECT_STREQ(out, "Unknown error: -3");
    EXPECT_EQ(com.set_last_err(static_cast<int32_t>(ERR_RESOURCE_IN_USE)), ERR_FAILED);
    com.get_last_error_str(out, sizeof out);
    EXPECT_STREQ(out, "ERR_RESOURCE_IN_USE");
    EXPECT_EQ(expand_wire_err(0x1002), ERR_RESOURCE_IN_USE);
    EXPECT_EQ(expand_wire_err(0x1003), 0x1003u);
}
