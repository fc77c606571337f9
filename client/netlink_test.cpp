#include "client/netlink.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

// Builds netlink messages byte by byte, in the host's order, as the kernel
// lays them out.
struct Wire {
    std::vector<uint8_t> b;
    void u8(uint8_t v) { b.push_back(v); }
    void u16(uint16_t v) {
        b.insert(b.end(), reinterpret_cast<uint8_t *>(&v), reinterpret_cast<uint8_t *>(&v) + 2);
    }
    void u32(uint32_t v) {
        b.insert(b.end(), reinterpret_cast<uint8_t *>(&v), reinterpret_cast<uint8_t *>(&v) + 4);
    }
    void pad() {
        while (b.size() % 4 != 0)
            b.push_back(0);
    }
    size_t begin(uint16_t type) {
        size_t at = b.size();
        u32(0);
        u16(type);
        u16(0);
        u32(7);
        u32(0);
        return at;
    }
    void end(size_t at) {
        uint32_t len = static_cast<uint32_t>(b.size() - at);
        memcpy(&b[at], &len, 4);
        pad();
    }
    void attr(uint16_t type, const std::vector<uint8_t> &v) {
        u16(static_cast<uint16_t>(4 + v.size()));
        u16(type);
        b.insert(b.end(), v.begin(), v.end());
        pad();
    }
    // An address message: family, prefix, 8-bit flags, scope, index, then
    // the attributes.
    size_t addr(uint16_t type, uint8_t family, uint8_t flags8, uint32_t index) {
        size_t at = begin(type);
        u8(family);
        u8(64);
        u8(flags8);
        u8(0);
        u32(index);
        return at;
    }
};

const std::vector<uint8_t> V6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::vector<uint8_t> PEER4 = {192, 0, 2, 1};
const std::vector<uint8_t> LOCAL4 = {192, 0, 2, 7};

std::vector<uint8_t> le32(uint32_t v) {
    std::vector<uint8_t> out(4);
    memcpy(out.data(), &v, 4);
    return out;
}

struct Seen {
    std::vector<netlink_addr> recs;
    static void visit(const netlink_addr *r, void *ctx) {
        static_cast<Seen *>(ctx)->recs.push_back(*r);
    }
};

int parse(const Wire &w, Seen *seen, int *err = nullptr) {
    return netlink_parse(w.b.data(), w.b.size(), Seen::visit, seen, err);
}

// A dump as the kernel sends it: records, other messages passed over, and
// the DONE that ends it.
TEST(NetlinkParse, ReadsAddressRecordsUntilDone) {
    Wire w;
    size_t m = w.addr(NETLINK_NEWADDR, AF_INET6, NETLINK_ADDR_TEMPORARY, 3);
    w.attr(1, V6);
    // The 32-bit flags replace the 8-bit field, which cannot hold them all.
    w.attr(8, le32(0x100 | NETLINK_ADDR_DEPRECATED));
    w.end(m);
    m = w.begin(16); // a link message: not an address
    w.u32(0);
    w.end(m);
    // Point-to-point: IFA_ADDRESS is the peer, IFA_LOCAL the interface's own,
    // whichever comes first.
    m = w.addr(NETLINK_DELADDR, AF_INET, 0, 4);
    w.attr(2, LOCAL4);
    w.attr(1, PEER4);
    w.end(m);
    m = w.addr(NETLINK_NEWADDR, AF_INET, 0, 5);
    w.attr(1, PEER4);
    w.attr(2, LOCAL4);
    w.end(m);
    m = w.addr(NETLINK_NEWADDR, AF_INET, 0, 6); // no address at all
    w.end(m);
    m = w.begin(NETLINK_MSG_DONE);
    w.u32(0);
    w.end(m);
    m = w.addr(NETLINK_NEWADDR, AF_INET, 0, 9); // after DONE: not read
    w.end(m);

    Seen seen;
    ASSERT_EQ(parse(w, &seen), 1);
    ASSERT_EQ(seen.recs.size(), 4u);
    EXPECT_EQ(seen.recs[0].type, NETLINK_NEWADDR);
    EXPECT_EQ(seen.recs[0].family, AF_INET6);
    EXPECT_EQ(seen.recs[0].ifindex, 3u);
    EXPECT_EQ(seen.recs[0].flags, 0x100u | NETLINK_ADDR_DEPRECATED);
    ASSERT_EQ(seen.recs[0].addr_len, 16);
    EXPECT_EQ(memcmp(seen.recs[0].addr, V6.data(), 16), 0);
    for (int i : {1, 2}) {
        SCOPED_TRACE(i);
        ASSERT_EQ(seen.recs[i].addr_len, 4);
        EXPECT_EQ(memcmp(seen.recs[i].addr, LOCAL4.data(), 4), 0);
    }
    EXPECT_EQ(seen.recs[1].type, NETLINK_DELADDR);
    EXPECT_EQ(seen.recs[3].addr_len, 0);
}

// Every length is checked before it is read: a message or attribute that
// claims more than there is, or less than its header, fails the walk
// without reading past the buffer; the records before it have been seen.
TEST(NetlinkParse, MalformedMessagesFail) {
    Wire good;
    size_t m = good.addr(NETLINK_NEWADDR, AF_INET, 0, 1);
    good.attr(2, LOCAL4);
    good.end(m);

    struct Case {
        const char *what;
        Wire w;
        int rc;
        size_t recs;
        int err = 0;        // the errno reported, where one is
        int first_len = -1; // the first record's address length, where it matters
    };
    std::vector<Case> cases;
    {
        Wire w = good;
        uint32_t len = 1000;
        memcpy(&w.b[0], &len, 4);
        cases.push_back({"message longer than the buffer", w, -1, 0});
    }
    {
        Wire w = good;
        uint32_t len = 8;
        memcpy(&w.b[0], &len, 4);
        cases.push_back({"message shorter than its header", w, -1, 0});
    }
    {
        Wire w = good;
        size_t at = w.addr(NETLINK_NEWADDR, AF_INET, 0, 1);
        w.u16(40); // attribute longer than its message
        w.u16(2);
        w.end(at);
        cases.push_back({"attribute past its message", w, -1, 1});
    }
    {
        Wire w = good;
        size_t at = w.addr(NETLINK_NEWADDR, AF_INET, 0, 1);
        w.u16(2); // attribute shorter than its header
        w.u16(2);
        w.end(at);
        cases.push_back({"attribute shorter than its header", w, -1, 1});
    }
    {
        Wire w;
        size_t at = w.begin(NETLINK_NEWADDR);
        w.u32(0); // half a record header
        w.end(at);
        cases.push_back({"short record header", w, -1, 0});
    }
    {
        Wire w = good;
        w.b.resize(w.b.size() + 10, 0); // less than a header left over
        cases.push_back({"trailing bytes", w, 0, 1});
    }
    {
        Wire w;
        size_t at = w.addr(NETLINK_NEWADDR, AF_INET6, 0, 1);
        w.attr(1, std::vector<uint8_t>(20, 0xaa)); // longer than any address
        w.end(at);
        cases.push_back({"oversized address", w, 0, 1, 0, 0});
    }
    {
        Wire w;
        size_t at = w.begin(NETLINK_MSG_ERROR);
        w.u32(static_cast<uint32_t>(-EPERM));
        w.end(at);
        cases.push_back({"error message", w, -1, 0, EPERM});
    }
    {
        Wire w;
        size_t at = w.begin(NETLINK_MSG_ERROR);
        w.u32(0); // an acknowledgement
        w.end(at);
        w.b.insert(w.b.end(), good.b.begin(), good.b.end());
        cases.push_back({"acknowledgement", w, 0, 1});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Seen seen;
        int err = 0;
        EXPECT_EQ(parse(c.w, &seen, &err), c.rc);
        EXPECT_EQ(seen.recs.size(), c.recs);
        EXPECT_EQ(err, c.err);
        if (c.first_len >= 0 && !seen.recs.empty()) {
            EXPECT_EQ(seen.recs[0].addr_len, c.first_len);
        }
    }
}

TEST(NetlinkDumpRequest, AsksForEveryAddressOfTheFamily) {
    uint8_t buf[64];
    EXPECT_EQ(netlink_dump_request(buf, 23, AF_INET6, 1), 0u);
    ASSERT_EQ(netlink_dump_request(buf, sizeof buf, AF_INET6, 42), 24u);
    uint32_t len, seq;
    uint16_t type, flags;
    memcpy(&len, buf, 4);
    memcpy(&type, buf + 4, 2);
    memcpy(&flags, buf + 6, 2);
    memcpy(&seq, buf + 8, 4);
    EXPECT_EQ(len, 24u);
    EXPECT_EQ(type, NETLINK_GETADDR);
    EXPECT_EQ(flags, 0x301);
    EXPECT_EQ(seq, 42u);
    EXPECT_EQ(buf[16], AF_INET6);
}

} // namespace
