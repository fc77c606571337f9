#include "client/iface.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(IfaceUsable, OnlyGlobalStableAddressesAreAnnounced) {
    const struct {
        const char *addr;
        uint32_t flags;
        bool ula;
        bool usable;
    } cases6[] = {
        {"2001:db8::1", 0, false, true},
        {"2001:db8::1", IFACE_TEMPORARY, false, false},
        {"2001:db8::1", IFACE_DEPRECATED, false, false},
        {"2001:db8::1", IFACE_TENTATIVE, false, false},
        {"2001:db8::1", IFACE_DUPLICATED, false, false},
        {"2001:db8::1", IFACE_DETACHED, false, false},
        {"2001:db8::1", IFACE_ANYCAST, false, false},
        {"2001:db8::1", IFACE_UNKNOWN, true, false},
        {"fe80::1", 0, true, false},
        {"febf::1", 0, true, false},
        {"fec0::1", 0, true, false},
        {"fe00::1", 0, false, true},
        {"fd00::1", 0, false, false},
        {"fc00::1", 0, false, false},
        {"fd00::1", 0, true, true},
        {"fd00::1", IFACE_TEMPORARY, true, false},
        {"::", 0, true, false},
        {"::1", 0, true, false},
        {"::ffff:192.0.2.1", 0, true, false},
        {"ff02::1", 0, true, false},
        {"::2:1", 0, false, true},
    };
    for (const auto &c : cases6) {
        SCOPED_TRACE(std::string(c.addr) + " flags " + std::to_string(c.flags) +
                     (c.ula ? " ula" : ""));
        uint8_t a[16];
        ASSERT_EQ(inet_pton(AF_INET6, c.addr, a), 1);
        EXPECT_EQ(iface_usable6(a, c.flags, c.ula), c.usable);
    }
    const struct {
        const char *addr;
        bool usable;
    } cases4[] = {
        {"192.0.2.7", true},   {"10.0.0.1", true},     {"0.0.0.0", false},
        {"127.0.0.1", false},  {"127.255.0.9", false}, {"169.254.1.1", false},
        {"169.253.1.1", true}, {"170.254.0.1", true},
    };
    for (const auto &c : cases4) {
        SCOPED_TRACE(c.addr);
        uint8_t a[4];
        ASSERT_EQ(inet_pton(AF_INET, c.addr, a), 1);
        EXPECT_EQ(iface_usable4(a), c.usable);
    }
}

} // namespace
