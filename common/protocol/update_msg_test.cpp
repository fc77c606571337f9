#include "common/protocol/update_msg.h"

#include "common/protocol/hmac_sha1.h"
#include "tests/support/log_capture.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using namespace std::string_literals;

const std::string key = "secret";
const log_record too_short_for_encoding{LOG_ERR, "Message buffer too short\n"};
const log_record truncated{LOG_WARNING, "Message too short (packet truncated?)\n"};
const log_record invalid{LOG_WARNING, "Invalid packet\n"};
const log_record bad_tag{LOG_WARNING, "HMAC decoding error\n"};

bytes b(const std::string &s) {
    return bytes(s.begin(), s.end());
}

update_msg make(time_t t, std::string_view name, std::initializer_list<uint8_t> addr) {
    update_msg m{};
    m.time = t;
    m.name = name.data();
    m.name_len = name.size();
    std::copy(addr.begin(), addr.end(), m.addr);
    return m;
}

const uint8_t doc6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};

update_msg make6(time_t t, std::string_view name, const uint8_t addr6[16]) {
    update_msg m = make(t, name, {});
    m.family = AF_INET6;
    std::memcpy(m.addr6, addr6, 16);
    return m;
}

// Encodes into a buffer of exactly `size` bytes on the heap, so a write past
// it is caught by the sanitizer build.
bytes encode(update_msg &m, size_t size, size_t *len) {
    bytes buf(size);
    *len = update_msg_encode(buf.data(), buf.size(), &m, key.data(), key.size());
    buf.resize(*len);
    return buf;
}

// Decodes from an exact-size heap copy, so a read past the datagram is
// caught by the sanitizer build. The copy lives as long as the record that
// points into it.
struct decoded {
    std::unique_ptr<uint8_t[]> copy;
    update_msg m{};
    size_t result;
    explicit decoded(const bytes &d) : copy(new uint8_t[d.size()]) {
        if (!d.empty())
            std::memcpy(copy.get(), d.data(), d.size());
        result = update_msg_decode(&m, copy.get(), d.size());
    }
};

// A valid datagram of time 987, name "alpha", address 192.0.2.7.
bytes example() {
    const std::string name = "alpha";
    update_msg m = make(987, name, {192, 0, 2, 7});
    size_t len;
    return encode(m, UPDATE_MSG_MAX, &len);
}

TEST(UpdateMsgEncode, WorkedExample) {
    LogCapture cap;
    const std::string name = "alpha";
    update_msg m = make(987, name, {192, 0, 2, 7});
    size_t len;
    bytes d = encode(m, UPDATE_MSG_MAX, &len);
    ASSERT_EQ(len, 40u);
    bytes prefix = b("987\0alpha\0\xc0\x00\x02\x07\0"s);
    EXPECT_EQ(bytes(d.begin(), d.begin() + 15), prefix);

    uint8_t want[HMAC_SHA1_LEN];
    hmac_sha1(want, prefix.data(), prefix.size(), key.data(), key.size());
    EXPECT_EQ(bytes(m.mac, m.mac + 20), bytes(want, want + 20));
    EXPECT_EQ(bytes(d.begin() + 15, d.begin() + 35), bytes(want, want + 20));
    EXPECT_EQ(bytes(d.begin() + 35, d.end()), b("sha-1"));
    EXPECT_TRUE(cap.records().empty());
}

// The IPv6 datagram: 16 address bytes in place of 4, all else alike.
TEST(UpdateMsgEncode, WorkedExampleIPv6) {
    LogCapture cap;
    const std::string name = "alpha";
    update_msg m = make6(987, name, doc6);
    size_t len;
    bytes d = encode(m, UPDATE_MSG_MAX, &len);
    ASSERT_EQ(len, 52u);
    bytes prefix = b("987\0alpha\0\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x07\0"s);
    ASSERT_EQ(prefix.size(), 27u);
    EXPECT_EQ(bytes(d.begin(), d.begin() + 27), prefix);
    uint8_t want[HMAC_SHA1_LEN];
    hmac_sha1(want, prefix.data(), prefix.size(), key.data(), key.size());
    EXPECT_EQ(bytes(d.begin() + 27, d.begin() + 47), bytes(want, want + 20));
    EXPECT_EQ(bytes(d.begin() + 47, d.end()), b("sha-1"));
    EXPECT_TRUE(cap.records().empty());

    // Exactly T + N + 44 bytes fit, one less does not.
    encode(m, 52, &len);
    EXPECT_EQ(len, 52u);
    encode(m, 51, &len);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(cap.records(), std::vector<log_record>{too_short_for_encoding});
}

TEST(UpdateMsgEncode, TimeDigits) {
    const struct {
        time_t time;
        std::string digits;
    } rows[] = {
        {7, "7"}, {10, "10"}, {987, "987"},    {1700000000, "1700000000"},
        {0, ""},  {-1, ""},   {INT64_MIN, ""}, {INT64_MAX, "9223372036854775807"},
    };
    for (const auto &r : rows) {
        update_msg m = make(r.time, "h", {10, 0, 0, 1});
        size_t len;
        bytes d = encode(m, UPDATE_MSG_MAX, &len);
        ASSERT_EQ(len, r.digits.size() + 1 + 32) << r.time;
        EXPECT_EQ(std::string(d.begin(), d.begin() + static_cast<long>(r.digits.size() + 1)),
                  r.digits + std::string(1, '\0'))
            << r.time;
    }
}

// The encoder fits exactly when the buffer holds T + N + 32 bytes; every
// smaller buffer, down to none at all, is refused with one record.
TEST(UpdateMsgEncode, ExactFitSucceedsAndEveryShorterBufferFails) {
    const std::string long_name(200, 'n');
    const struct {
        time_t time;
        std::string name;
    } rows[] = {{0, ""}, {7, "a"}, {987, "alpha"}, {INT64_MAX, long_name}};
    for (const auto &r : rows) {
        update_msg m = make(r.time, r.name, {192, 0, 2, 7});
        size_t need;
        encode(m, UPDATE_MSG_MAX, &need);
        ASSERT_NE(need, 0u);
        for (size_t size = 0; size < need; size++) {
            LogCapture cap;
            size_t len;
            encode(m, size, &len);
            EXPECT_EQ(len, 0u) << r.name << " into " << size;
            EXPECT_EQ(cap.records(), std::vector<log_record>{too_short_for_encoding})
                << r.name << " into " << size;
        }
        LogCapture cap;
        size_t len;
        encode(m, need, &len);
        EXPECT_EQ(len, need);
        EXPECT_TRUE(cap.records().empty());
    }
}

TEST(UpdateMsgEncode, NameLengthNearSizeMaxDoesNotWrap) {
    LogCapture cap;
    static const char name[1] = {'x'};
    update_msg m = make(987, "", {1, 2, 3, 4});
    m.name = name;
    m.name_len = SIZE_MAX;
    uint8_t buf[64];
    EXPECT_EQ(update_msg_encode(buf, sizeof buf, &m, key.data(), key.size()), 0u);
    m.name_len = SIZE_MAX - 3; // name + NUL + time digits would wrap to a small sum
    EXPECT_EQ(update_msg_encode(buf, sizeof buf, &m, key.data(), key.size()), 0u);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{too_short_for_encoding, too_short_for_encoding}));
}

// With an empty key nothing is computed: the record's MAC goes out as it was.
TEST(UpdateMsgEncode, EmptyKeyLeavesTheMacAsItWas) {
    update_msg m = make(987, "alpha", {192, 0, 2, 7});
    std::memset(m.mac, 0x5a, sizeof m.mac);
    uint8_t buf[64];
    ASSERT_EQ(update_msg_encode(buf, sizeof buf, &m, "", 0), 40u);
    EXPECT_EQ(bytes(buf + 15, buf + 35), bytes(20, 0x5a));
}

TEST(UpdateMsgDecode, WorkedExample) {
    LogCapture cap;
    const bytes d = example();
    decoded r(d);
    ASSERT_EQ(r.result, 15u);
    EXPECT_EQ(r.m.time, 987);
    EXPECT_EQ(std::string(r.m.name, r.m.name_len), "alpha");
    EXPECT_EQ(bytes(r.m.addr, r.m.addr + 4), (bytes{192, 0, 2, 7}));
    EXPECT_EQ(bytes(r.m.mac, r.m.mac + 20), bytes(d.begin() + 15, d.begin() + 35));
    // The name is not copied: it points into the datagram itself.
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(r.m.name), r.copy.get() + 4);
    EXPECT_TRUE(cap.records().empty());
}

TEST(UpdateMsgDecode, WorkedExampleIPv6) {
    LogCapture cap;
    update_msg m = make6(987, "alpha", doc6);
    size_t len;
    const bytes d = encode(m, UPDATE_MSG_MAX, &len);
    decoded r(d);
    ASSERT_EQ(r.result, 27u);
    EXPECT_EQ(r.m.family, AF_INET6);
    EXPECT_EQ(r.m.time, 987);
    EXPECT_EQ(std::string(r.m.name, r.m.name_len), "alpha");
    EXPECT_EQ(bytes(r.m.addr6, r.m.addr6 + 16), bytes(doc6, doc6 + 16));
    EXPECT_EQ(bytes(r.m.addr, r.m.addr + 4), bytes(4, 0));
    EXPECT_EQ(bytes(r.m.mac, r.m.mac + 20), bytes(d.begin() + 27, d.begin() + 47));
    EXPECT_TRUE(cap.records().empty());
}

// The decoder names the family and clears the other address, whatever the
// record held before.
TEST(UpdateMsgDecode, FamilyIsRecordedAndTheOtherAddressCleared) {
    const bytes v4 = example();
    update_msg m6 = make6(987, "alpha", doc6);
    size_t len;
    const bytes v6 = encode(m6, UPDATE_MSG_MAX, &len);
    for (const bytes *d : {&v4, &v6}) {
        update_msg m;
        std::memset(&m, 0xa5, sizeof m);
        ASSERT_NE(update_msg_decode(&m, d->data(), d->size()), 0u);
        const bool six = d == &v6;
        EXPECT_EQ(m.family, six ? AF_INET6 : AF_INET);
        EXPECT_EQ(bytes(m.addr, m.addr + 4), six ? bytes(4, 0) : (bytes{192, 0, 2, 7}));
        EXPECT_EQ(bytes(m.addr6, m.addr6 + 16), six ? bytes(doc6, doc6 + 16) : bytes(16, 0));
    }
}

// Anything but the exact IPv6 shape goes through the IPv4 rules and is
// refused by them, with their one record (a stray byte after the tag is
// therefore not silent here: the IPv4 tag is looked for inside the MAC).
TEST(UpdateMsgDecode, MalformedIPv6Datagrams) {
    // The fifth address byte is what the IPv4 rules take for the address
    // NUL: 0 in 2001:db8::7, not 0 in 2001:db8:ab00::7.
    uint8_t other[16];
    std::memcpy(other, doc6, 16);
    other[4] = 0xab;
    size_t len;
    update_msg m = make6(987, "alpha", doc6);
    const bytes d = encode(m, UPDATE_MSG_MAX, &len);
    update_msg mo = make6(987, "alpha", other);
    const bytes o = encode(mo, UPDATE_MSG_MAX, &len);
    auto with = [](bytes x, size_t at, uint8_t v) {
        x[at] = v;
        return x;
    };
    auto plus = [](bytes x, std::string more) {
        x.insert(x.end(), more.begin(), more.end());
        return x;
    };
    const struct {
        const char *what;
        bytes dgram;
        std::vector<log_record> records;
    } rows[] = {
        {"no NUL after the address", with(d, 26, 'x'), {bad_tag}},
        {"no NUL after the address, fifth byte set", with(o, 26, 'x'), {truncated}},
        {"tag changed", with(d, 51, '2'), {bad_tag}},
        {"tag changed, fifth byte set", with(o, 51, '2'), {truncated}},
        {"one byte after the tag", plus(d, "x"), {bad_tag}},
        {"a NUL after the tag", plus(d, "\0"s), {bad_tag}},
        {"one byte after the tag, fifth byte set", plus(o, "x"), {truncated}},
        {"one MAC byte missing", plus(bytes(d.begin(), d.end() - 6), "sha-1"), {bad_tag}},
        {"one address byte missing",
         plus(bytes(d.begin(), d.begin() + 25), std::string(d.begin() + 26, d.end())),
         {bad_tag}},
        {"letter among digits", with(d, 1, 'x'), {invalid}},
        // Twelve address bytes: neither shape.
        {"IPv4 datagram padded", plus(example(), std::string(12, '\0')), {}},
    };
    for (const auto &row : rows) {
        LogCapture cap;
        decoded r(row.dgram);
        EXPECT_EQ(r.result, 0u) << row.what;
        EXPECT_EQ(cap.records(), row.records) << row.what;
    }
    // Every cut of a sound IPv6 datagram is refused with one record.
    for (const bytes *x : {&d, &o}) {
        for (size_t cut = 0; cut < x->size(); cut++) {
            LogCapture cap;
            decoded r(bytes(x->begin(), x->begin() + static_cast<long>(cut)));
            EXPECT_EQ(r.result, 0u) << cut;
            EXPECT_EQ(cap.records().size(), 1u) << cut;
        }
    }
}

TEST(UpdateMsgDecode, AcceptedTimeFields) {
    const std::string tail = "\0h\0\x0a\0\0\x01\0"s + std::string(20, 'M') + "sha-1";
    const struct {
        std::string digits;
        time_t time;
    } rows[] = {
        {"", 0},
        {"7", 7},
        {"007", 7},
        {"0", 0},
        {"1700000000", 1700000000},
        {"9223372036854775807", INT64_MAX},
        // More than 19 digits wrap modulo 2^64.
        {"18446744073709551615", -1},
        {"18446744073709551616", 0},
        {"18446744073709551617", 1},
        {"000000000000000000000000000042", 42},
    };
    for (const auto &row : rows) {
        LogCapture cap;
        decoded r(b(row.digits + tail));
        EXPECT_EQ(r.result, row.digits.size() + 8) << row.digits;
        EXPECT_EQ(r.m.time, row.time) << row.digits;
        EXPECT_EQ(std::string(r.m.name, r.m.name_len), "h");
        EXPECT_EQ(bytes(r.m.addr, r.m.addr + 4), (bytes{10, 0, 0, 1}));
        EXPECT_TRUE(cap.records().empty()) << row.digits;
    }
}

// Addresses are taken by position, so zero bytes in them are no separators.
TEST(UpdateMsgDecode, EmptyNameAndZeroAddressBytes) {
    for (auto addr : {bytes{10, 0, 0, 1}, bytes{0, 0, 0, 0}, bytes{0, 255, 0, 0}}) {
        for (std::string name : {"", "x", "with space"}) {
            update_msg m = make(1700000000, name, {addr[0], addr[1], addr[2], addr[3]});
            size_t len;
            bytes d = encode(m, UPDATE_MSG_MAX, &len);
            ASSERT_EQ(len, name.size() + 42);
            decoded r(d);
            EXPECT_EQ(r.result, name.size() + 17);
            EXPECT_EQ(r.m.time, 1700000000);
            EXPECT_EQ(std::string(r.m.name, r.m.name_len), name);
            EXPECT_EQ(bytes(r.m.addr, r.m.addr + 4), addr);
            EXPECT_EQ(bytes(r.m.mac, r.m.mac + 20), bytes(m.mac, m.mac + 20));
        }
    }
}

// Cut the worked example at every length: each stage refuses with its own
// record, and none reads past the cut.
TEST(UpdateMsgDecode, EveryTruncationIsRefusedWithItsRecord) {
    const bytes d = example();
    for (size_t len = 0; len < d.size(); len++) {
        LogCapture cap;
        decoded r(bytes(d.begin(), d.begin() + static_cast<long>(len)));
        EXPECT_EQ(r.result, 0u) << len;
        // Up to the address NUL (offset 14) the datagram is too short;
        // after it the MAC and tag are missing.
        const log_record &want = len < 15 ? truncated : bad_tag;
        EXPECT_EQ(cap.records(), std::vector<log_record>{want}) << len;
    }
}

TEST(UpdateMsgDecode, MalformedDatagrams) {
    const std::string head = "987\0a\0\1\2\3\4\0"s;
    const std::string mac = std::string(20, 'M');
    const struct {
        const char *what;
        std::string dgram;
        std::vector<log_record> records;
    } rows[] = {
        {"letter among digits", "98x7\0a\0\1\2\3\4\0"s + mac + "sha-1", {invalid}},
        {"sign before digits", "-987\0a\0\1\2\3\4\0"s + mac + "sha-1", {invalid}},
        {"only digits", "9876543210", {truncated}},
        {"no NUL after the name", "987\0alpha"s, {truncated}},
        {"wrong address separator", "987\0a\0\1\2\3\4X"s + mac + "sha-1", {truncated}},
        {"tag changed", head + mac + "sha-2", {bad_tag}},
        {"tag in upper case", head + mac + "SHA-1", {bad_tag}},
        {"one byte after the tag", head + mac + "sha-1x", {}},
        {"a NUL after the tag", head + mac + "sha-1\0"s, {}},
    };
    for (const auto &row : rows) {
        LogCapture cap;
        decoded r(b(row.dgram));
        EXPECT_EQ(r.result, 0u) << row.what;
        EXPECT_EQ(cap.records(), row.records) << row.what;
    }
    // The same head with the tag in place is sound.
    EXPECT_EQ(decoded(b(head + mac + "sha-1")).result, 11u);
}

TEST(UpdateMsgDecode, EveryTagByteMatters) {
    const bytes d = example();
    for (size_t i = 35; i < 40; i++) {
        LogCapture cap;
        bytes bad = d;
        bad[i] ^= 0x20;
        EXPECT_EQ(decoded(bad).result, 0u) << i;
        EXPECT_EQ(cap.records(), std::vector<log_record>{bad_tag}) << i;
    }
}

TEST(UpdateMsgDecode, NullBufferIsAnEmptyDatagram) {
    LogCapture cap;
    update_msg m{};
    EXPECT_EQ(update_msg_decode(&m, nullptr, 0), 0u);
    EXPECT_EQ(update_msg_decode(&m, nullptr, 40), 0u);
    EXPECT_EQ(cap.records(), (std::vector<log_record>{truncated, truncated}));
}

TEST(UpdateMsgRoundTrip, RandomRecordsSurvive) {
    std::mt19937_64 rng(42);
    for (int round = 0; round < 1000; round++) {
        const bool six = round % 2 == 1;
        std::string name(rng() % 60, '\0');
        for (auto &c : name)
            c = static_cast<char>(1 + rng() % 255); // any byte but NUL
        auto t = static_cast<time_t>(rng() >> (rng() % 64));
        update_msg m = make(t, name, {});
        for (auto &a : m.addr)
            a = static_cast<uint8_t>(rng());
        for (auto &a : m.addr6)
            a = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
        m.family = six ? AF_INET6 : 0;
        size_t len;
        bytes d = encode(m, UPDATE_MSG_MAX, &len);
        ASSERT_EQ(len, (t > 0 ? std::to_string(t).size() : 0) + name.size() + (six ? 44 : 32));
        decoded r(d);
        ASSERT_EQ(r.result, len - 25);
        EXPECT_EQ(r.m.family, six ? AF_INET6 : AF_INET);
        EXPECT_EQ(r.m.time, t > 0 ? t : 0); // no digits for a time of zero or less
        EXPECT_EQ(std::string(r.m.name, r.m.name_len), name);
        if (six)
            EXPECT_EQ(0, std::memcmp(r.m.addr6, m.addr6, 16));
        else
            EXPECT_EQ(0, std::memcmp(r.m.addr, m.addr, 4));
        uint8_t check[HMAC_SHA1_LEN];
        hmac_sha1(check, d.data(), r.result, key.data(), key.size());
        EXPECT_TRUE(hmac_sha1_equal(check, r.m.mac));
    }
}

} // namespace
