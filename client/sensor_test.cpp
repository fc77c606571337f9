#include "client/sensor.h"

#include "common/csexp/sx_reader.h"
#include "common/protocol/address.h"
#include "tests/support/log_capture.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

// A sensor list as the client holds it, read from configuration text.
struct SensorList {
    sx_block tree{};
    explicit SensorList(const std::string &text) {
        FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(sx_read_file(&tree, f, 64, 64, 8), 0);
        fclose(f);
    }
    ~SensorList() { sx_free(&tree); }
    const sx_node *first() const { return tree.nsize > 0 ? &tree.nodes[0] : nullptr; }
};

std::string quad(const uint8_t a[4]) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

struct ParseCase {
    std::string bytes;
    const char *want; // null: bad output
};

TEST(SensorParseQuad, DottedQuadLines) {
    const ParseCase cases[] = {
        {"192.0.2.7\n", "192.0.2.7"},
        {"192.0.2.7", nullptr}, // no terminator
        {"255.255.255.255\n", "255.255.255.255"},
        {"10.0.0.1\r\n", "10.0.0.1"},
        {"10.0.0.1\r", "10.0.0.1"},
        {"1.2.3.4\ntrailing junk", "1.2.3.4"},
        {"300.1.2.3\n", "44.1.2.3"},
        {"007.000.2.3\n", "7.0.2.3"},
        {"1..2.3\n", "1.0.2.3"},
        {"...\n", "0.0.0.0"},
        {"1.2.3.4.5\n", nullptr},
        {"1.2.3\n", nullptr},
        {" 1.2.3.4\n", nullptr},
        {"1.2.3.4 \n", nullptr},
        {"1.2.\t3.4\n", nullptr},
        {"1.2.3.4x\n", nullptr},
        {std::string("1.2.3.4\0\n", 9), nullptr},
        {"\n", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        uint8_t addr[4] = {9, 9, 9, 9};
        int rc = sensor_parse_quad(addr, c.bytes.data(), c.bytes.size());
        if (c.want == nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(quad(addr), "9.9.9.9");
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(quad(addr), c.want);
        }
    }
}

TEST(SensorParseQuad, OnlyTheGivenLengthIsRead) {
    uint8_t addr[4];
    EXPECT_EQ(sensor_parse_quad(addr, "1.2.3.4\n", 7), -1);
}

struct SensorCase {
    const char *list;
    const char *want;
    std::vector<log_record> records;
};

// Each sensor runs through the real shell; stale bytes in the output must
// never survive a cycle in which no sensor yields an address.
TEST(SensorGetAddress, RunsCommandsInOrderUntilOneYieldsAnAddress) {
    const SensorCase cases[] = {
        {"(system \"echo 192.0.2.7\")", "192.0.2.7", {}},
        {"(system \"printf 192.0.2.7\")",
         "0.0.0.0",
         {{LOG_ERR, "Bad pipe sesnsor output: \"192.0.2.7\"\n"}}},
        {"(system \"printf '0255.255.255.255\\n'\")",
         "0.0.0.0",
         {{LOG_ERR, "Bad pipe sesnsor output: \"0255.255.255.255\"\n"}}},
        {"(system \"printf '1.2.3.4\\r\\n'\")", "1.2.3.4", {}},
        {"(system true) (system \"echo 10.0.0.9\")",
         "10.0.0.9",
         {{LOG_ERR, "Error while reading output of \"true\"\n"}}},
        {"(system \"echo 10.0.0.1\") (system \"echo 10.0.0.2\")", "10.0.0.1", {}},
        {"(system \"sleep 0.2; echo 10.0.0.3\")", "10.0.0.3", {}},
        {"(system \"yes 1.2.3.4.5\") (system \"echo 10.0.0.4\")",
         "10.0.0.4",
         {{LOG_ERR, "Bad pipe sesnsor output: \"1.2.3.4.5\n1.2.3.\"\n"}}},
        {"(system \"exit 3\") (system \"echo 10.0.0.5; exit 4\")",
         "10.0.0.5",
         {{LOG_ERR, "Error while reading output of \"exit 3\"\n"}}},
        {"system (system) (system (echo 1.2.3.4)) () ((system \"echo 1.2.3.4\")) dhcp "
         "(ifconfig em0)",
         "0.0.0.0",
         {{LOG_WARNING, "Unknown address sensor \"dhcp\"\n"},
          {LOG_WARNING, "Unknown address sensor \"ifconfig\"\n"}}},
        {"(system \"echo 192.0.2.8\" ignored)", "192.0.2.8", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.list);
        SensorList list(c.list);
        LogCapture cap;
        uint8_t addr[4] = {9, 9, 9, 9};
        int rc = sensor_get_address(addr, list.first());
        EXPECT_EQ(rc, strcmp(c.want, "0.0.0.0") == 0 ? -1 : 0);
        EXPECT_EQ(quad(addr), c.want);
        EXPECT_EQ(cap.records(), c.records);
    }
}

std::string text6(const uint8_t a[16]) {
    return address_format6(a).s;
}

// The line must be an IPv6 address and nothing else; any text form of one.
TEST(SensorParseLine6, AddressLines) {
    const ParseCase cases[] = {
        {"2001:db8::7\n", "2001:db8::7"},
        {"2001:DB8:0:0:0:0:0:7\r\n", "2001:db8::7"},
        {"::ffff:192.0.2.7\n", "::ffff:192.0.2.7"},
        {"2001:db8::7\nfe80::1\n", "2001:db8::7"},
        {"::\n", "::"},
        {"2001:db8::7", nullptr}, // no terminator
        {" 2001:db8::7\n", nullptr},
        {"2001:db8::7 \n", nullptr},
        {"2001:db8::7/64\n", nullptr},
        {"fe80::1%eth0\n", nullptr},
        {"[2001:db8::7]\n", nullptr},
        {"192.0.2.7\n", nullptr},
        {"inet6 2001:db8::7\n", nullptr},
        {std::string("2001:db8::7\0\n", 13), nullptr},
        {"\n", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        uint8_t addr[16];
        memset(addr, 0xee, sizeof addr);
        int rc = sensor_parse_line6(addr, c.bytes.data(), c.bytes.size());
        if (c.want == nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(addr[0], 0xee);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(text6(addr), c.want);
        }
    }
}

// The same list rules as the IPv4 sensors, with a read of up to 64 bytes:
// the longest address text with its line end fits, a longer line does not.
TEST(SensorGetAddress6, RunsCommandsInOrderUntilOneYieldsAnAddress) {
    const std::string longest = "0000:0000:0000:0000:0000:ffff:255.255.255.255";
    const std::string padded = "2001:0db8:0000:0000:0000:0000:0000:0007"; // 39 bytes
    const struct {
        std::string list;
        const char *want;
        std::vector<log_record> records;
    } cases[] = {
        {"(system \"echo 2001:db8::7\")", "2001:db8::7", {}},
        {"(system \"echo " + longest + "\")", "::ffff:255.255.255.255", {}},
        {"(system \"printf 2001:db8::7\")",
         "::",
         {{LOG_ERR, "Bad pipe sesnsor output: \"2001:db8::7\"\n"}}},
        // A line of 64 bytes with its line end is read whole; of 65 it is cut.
        {"(system \"echo " + padded + std::string(24, ':') + "\")",
         "::",
         {{LOG_ERR, "Bad pipe sesnsor output: \"" + padded + std::string(24, ':') + "\n\"\n"}}},
        {"(system \"echo " + padded + std::string(25, ':') + "\")",
         "::",
         {{LOG_ERR, "Bad pipe sesnsor output: \"" + padded + std::string(25, ':') + "\"\n"}}},
        {"(system \"echo 192.0.2.7\") (system true) (system \"echo 2001:db8::8\")",
         "2001:db8::8",
         {{LOG_ERR, "Bad pipe sesnsor output: \"192.0.2.7\n\"\n"},
          {LOG_ERR, "Error while reading output of \"true\"\n"}}},
        {"dhcp6 (system)", "::", {{LOG_WARNING, "Unknown address sensor \"dhcp6\"\n"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.list);
        SensorList list(c.list);
        LogCapture cap;
        uint8_t addr[16];
        memset(addr, 0xee, sizeof addr);
        int rc = sensor_get_address6(addr, list.first());
        EXPECT_EQ(rc, strcmp(c.want, "::") == 0 ? -1 : 0);
        EXPECT_EQ(text6(addr), c.want);
        EXPECT_EQ(cap.records(), c.records);
    }
    uint8_t addr[16];
    memset(addr, 0xee, sizeof addr);
    EXPECT_EQ(sensor_get_address6(addr, nullptr), -1);
    EXPECT_EQ(text6(addr), "::");
}

TEST(SensorGetAddress, EmptyListGivesNoAddress) {
    LogCapture cap;
    uint8_t addr[4] = {9, 9, 9, 9};
    EXPECT_EQ(sensor_get_address(addr, nullptr), -1);
    EXPECT_EQ(quad(addr), "0.0.0.0");
    EXPECT_TRUE(cap.records().empty());
}

} // namespace
