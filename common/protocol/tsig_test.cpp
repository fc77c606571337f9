#include "common/protocol/tsig.h"

#include "tests/support/hex.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

// The key of the captured request below: zorvel-key., hmac-sha256, secret
// "zorvel test key, not a secret".
const std::string secret = "zorvel test key, not a secret";

tsig_key make_key(tsig_alg alg, const std::string &name = "zorvel-key") {
    tsig_key k{};
    EXPECT_TRUE(dns_msg_name_from_text(&k.name, name.data(), name.size()));
    k.alg = alg;
    k.secret = reinterpret_cast<const uint8_t *>(secret.data());
    k.secret_len = secret.size();
    return k;
}

// A signed update as a name server's update tool sent it at 0x6b1aadd1.
const char knsupdate_request[] =
    "1e0b28000001000000020001076578616d706c650474657374000006000104686f6d65c00c000100ff0000"
    "00000000c01e000100010000003c0004c00002070a7a6f7276656c2d6b65790000fa00ff00000000003d0b"
    "686d61632d7368613235360000006b1aadd1012c00209cb1675209bd60f73294f9cdeeefc223ed0572be59"
    "84dcbbddd59f6b77f9571a1e0b00000000";
constexpr uint64_t knsupdate_time = 0x6b1aadd1;

struct parsed {
    std::string bytes;
    dns_msg_answer ans{};
    bool ok = false;
    const uint8_t *p() const { return reinterpret_cast<const uint8_t *>(bytes.data()); }
};

parsed parse(std::string bytes) {
    parsed r;
    r.bytes = std::move(bytes);
    r.ok = dns_msg_parse(r.p(), r.bytes.size(), &r.ans);
    return r;
}

tsig_verdict verify(const parsed &m, const tsig_key &k, uint64_t now, const uint8_t *req_mac,
                    size_t req_len, uint16_t *err = nullptr) {
    return tsig_verify(m.p(), m.bytes.size(), &m.ans, &k, now, req_mac, req_len, err);
}

// The same update signed by the same tool with the longer MACs, at
// knsupdate_time_long and a moment later.
const char knsupdate_sha512_request[] =
    "df6828000001000000010001076578616d706c650474657374000006000104686f6d65c00c000100010000"
    "003c0004c00002070a7a6f7276656c2d6b65790000fa00ff00000000005d0b686d61632d73686135313200"
    "00006b1c00e2012c00403552565fe66fa8cb16b5d52e3479156d6ae720414ee7640bb039731fb8e89fd4d2"
    "22cd75f9b138262320b2e79d2944fe05c92e9a130e7fb35b9a637438529812df6800000000";
const char knsupdate_sha384_request[] =
    "a8df28000001000000010001076578616d706c650474657374000006000104686f6d65c00c000100010000"
    "003c0004c00002070a7a6f7276656c2d6b65790000fa00ff00000000004d0b686d61632d73686133383400"
    "00006b1c00e9012c0030adac51506687145f98c68c3aa93084a0f5d8a790b0942b6549a5934464810bd466"
    "5b82853e1183135317296ccd43afb7a8df00000000";
constexpr uint64_t knsupdate_time_long = 0x6b1c00e2;

// Another implementation's MAC checks out under ours, and any other key,
// algorithm, time or byte does not.
TEST(Tsig, VerifiesAnotherImplementationsRequest) {
    parsed m = parse(bytes_of_hex(knsupdate_request));
    ASSERT_TRUE(m.ok);
    tsig_key k = make_key(tsig_alg::hmac_sha256, "ZORVEL-key.");
    EXPECT_EQ(verify(m, k, knsupdate_time, nullptr, 0), tsig_verdict::valid);
    EXPECT_EQ(verify(m, k, knsupdate_time + 300, nullptr, 0), tsig_verdict::valid);
    EXPECT_EQ(verify(m, k, knsupdate_time - 301, nullptr, 0), tsig_verdict::invalid);
    EXPECT_EQ(verify(m, make_key(tsig_alg::hmac_sha1), knsupdate_time, nullptr, 0),
              tsig_verdict::invalid);
    EXPECT_EQ(verify(m, make_key(tsig_alg::hmac_sha256, "other-key"), knsupdate_time, nullptr, 0),
              tsig_verdict::invalid);
    // Every single flipped bit before the MAC's end spoils it (or the parse);
    // the header's ID is covered as the record's Original ID, which the
    // exchange compares with the ID it sent.
    size_t mac_end = m.bytes.size() - 6;
    for (size_t i = 2; i < mac_end; i++) {
        parsed bad = parse([&] {
            std::string b = m.bytes;
            b[i] ^= 0x01;
            return b;
        }());
        if (bad.ok) {
            EXPECT_NE(verify(bad, k, knsupdate_time, nullptr, 0), tsig_verdict::valid) << i;
        }
    }
}

TEST(Tsig, VerifiesAnotherImplementationsLongerMacs) {
    const struct {
        const char *hex;
        tsig_alg alg;
    } rows[] = {{knsupdate_sha512_request, tsig_alg::hmac_sha512},
                {knsupdate_sha384_request, tsig_alg::hmac_sha384}};
    for (const auto &r : rows) {
        SCOPED_TRACE(tsig_alg_text(r.alg));
        parsed m = parse(bytes_of_hex(r.hex));
        ASSERT_TRUE(m.ok);
        EXPECT_EQ(verify(m, make_key(r.alg), knsupdate_time_long, nullptr, 0), tsig_verdict::valid);
        // The other long algorithm, and SHA-256, do not match.
        for (tsig_alg other : {tsig_alg::hmac_sha256, tsig_alg::hmac_sha384, tsig_alg::hmac_sha512})
            if (other != r.alg) {
                EXPECT_EQ(verify(m, make_key(other), knsupdate_time_long, nullptr, 0),
                          tsig_verdict::invalid);
            }
        std::string spoilt = m.bytes;
        spoilt[spoilt.size() - 10] ^= 1; // the MAC's last byte
        EXPECT_EQ(verify(parse(spoilt), make_key(r.alg), knsupdate_time_long, nullptr, 0),
                  tsig_verdict::invalid);
    }
}

// Signing a request and answering it, both ways and for every algorithm:
// the answer's MAC covers the request's, so an answer to another request,
// or signed with another request's MAC, is refused.
TEST(Tsig, AnswerCoversTheRequestMac) {
    for (tsig_alg alg : {tsig_alg::hmac_sha256, tsig_alg::hmac_sha384, tsig_alg::hmac_sha512,
                         tsig_alg::hmac_sha1}) {
        SCOPED_TRACE(tsig_alg_text(alg));
        tsig_key k = make_key(alg);
        const uint64_t now = 1796910545;
        uint8_t req[512] = {0x12, 0x34, 0x28, 0x00};
        uint8_t req_mac[TSIG_MAC_MAX];
        size_t rn = tsig_sign(req, DNS_HEADER_LEN, sizeof req, &k, now, nullptr, 0, 0, req_mac);
        ASSERT_GT(rn, 0u);
        parsed r = parse(std::string(reinterpret_cast<char *>(req), rn));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(dns_msg_get16(req + 10), 1);
        EXPECT_EQ(verify(r, k, now, nullptr, 0), tsig_verdict::valid);

        uint8_t ans[512] = {0x12, 0x34, 0xa8, 0x00};
        uint8_t ans_mac[TSIG_MAC_MAX];
        size_t an = tsig_sign(ans, DNS_HEADER_LEN, sizeof ans, &k, now + 2, req_mac,
                              tsig_mac_len(alg), 0, ans_mac);
        parsed a = parse(std::string(reinterpret_cast<char *>(ans), an));
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(verify(a, k, now, req_mac, tsig_mac_len(alg)), tsig_verdict::valid);
        uint8_t other_mac[TSIG_MAC_MAX];
        std::memcpy(other_mac, req_mac, sizeof other_mac);
        other_mac[0] ^= 1;
        EXPECT_EQ(verify(a, k, now, other_mac, tsig_mac_len(alg)), tsig_verdict::invalid);
        EXPECT_EQ(verify(a, k, now, nullptr, 0), tsig_verdict::invalid);

        // A signed error keeps its error field.
        uint16_t err = 0;
        dns_msg_put16(ans + 10, 0);
        an = tsig_sign(ans, DNS_HEADER_LEN, sizeof ans, &k, now, req_mac, tsig_mac_len(alg),
                       TSIG_BADTIME, ans_mac);
        a = parse(std::string(reinterpret_cast<char *>(ans), an));
        EXPECT_EQ(verify(a, k, now, req_mac, tsig_mac_len(alg), &err), tsig_verdict::valid);
        EXPECT_EQ(err, TSIG_BADTIME);
    }
}

// A name server that does not know the key answers NOTAUTH with a TSIG
// record without a MAC and the error BADKEY.
TEST(Tsig, UnsignedErrorAnswer) {
    tsig_key k = make_key(tsig_alg::hmac_sha256);
    std::string m = bytes_of_hex("1234a809000000000000"
                                 "0001"
                                 "0a7a6f7276656c2d6b65790000fa00ff00000000001d"
                                 "0b686d61632d7368613235360000006b1aadd1012c"
                                 "0000"
                                 "1234"
                                 "0011"
                                 "0000");
    parsed a = parse(m);
    ASSERT_TRUE(a.ok);
    uint16_t err = 0;
    uint8_t req_mac[TSIG_MAC_MAX] = {};
    EXPECT_EQ(verify(a, k, knsupdate_time, req_mac, 32, &err), tsig_verdict::unsigned_error);
    EXPECT_EQ(err, TSIG_BADKEY);
    EXPECT_STREQ(tsig_error_name(err), "BADKEY");
    // Without an error it is no answer at all.
    m[m.size() - 3] = 0;
    a = parse(m);
    EXPECT_EQ(verify(a, k, knsupdate_time, req_mac, 32, &err), tsig_verdict::invalid);
}

TEST(Tsig, SignRefusesWhatDoesNotFit) {
    tsig_key k = make_key(tsig_alg::hmac_sha256);
    uint8_t buf[128] = {};
    uint8_t mac[TSIG_MAC_MAX];
    size_t full = tsig_sign(buf, DNS_HEADER_LEN, sizeof buf, &k, 1, nullptr, 0, 0, mac);
    ASSERT_GT(full, 0u);
    for (size_t cap = DNS_HEADER_LEN; cap < full; cap++) {
        uint8_t b[128] = {};
        EXPECT_EQ(tsig_sign(b, DNS_HEADER_LEN, cap, &k, 1, nullptr, 0, 0, mac), 0u) << cap;
        EXPECT_EQ(dns_msg_get16(b + 10), 0) << "changed on failure";
    }
    EXPECT_EQ(tsig_sign(buf, 5, sizeof buf, &k, 1, nullptr, 0, 0, mac), 0u);
}

// The names as configurations write them and as name servers' tools print
// them, with the final dot, in either case.
TEST(Tsig, AlgorithmNames) {
    const struct {
        const char *text;
        bool ok;
        tsig_alg alg;
        bool md5;
    } rows[] = {
        {"hmac-sha256", true, tsig_alg::hmac_sha256, false},
        {"hmac-sha256.", true, tsig_alg::hmac_sha256, false},
        {"hmac-sha384", true, tsig_alg::hmac_sha384, false},
        {"hmac-sha512.", true, tsig_alg::hmac_sha512, false},
        {"hmac-sha1", true, tsig_alg::hmac_sha1, false},
        {"hmac-sha1.", true, tsig_alg::hmac_sha1, false},
        {"hmac-sha256..", false, {}, false},
        {"hmac-sha25", false, {}, false},
        {"hmac-sha2566", false, {}, false},
        {"HMAC-SHA256", true, tsig_alg::hmac_sha256, false},
        {"Hmac-Sha512.", true, tsig_alg::hmac_sha512, false},
        {"HMAC-MD5", false, {}, true},
        {"hmac-sha224", false, {}, false},
        {"", false, {}, false},
        {"hmac-md5", false, {}, true},
        {"hmac-md5.", false, {}, true},
        {"hmac-md5.sig-alg.reg.int.", false, {}, true},
        {"hmac-md5.sig-alg", false, {}, false},
    };
    for (const auto &r : rows) {
        tsig_alg a = tsig_alg::hmac_sha1;
        EXPECT_EQ(tsig_alg_from_text(r.text, &a), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(a, r.alg) << r.text;
        }
        EXPECT_EQ(tsig_alg_is_md5(r.text), r.md5) << r.text;
    }
    EXPECT_FALSE(tsig_alg_from_text(nullptr, nullptr));
    EXPECT_FALSE(tsig_alg_is_md5(nullptr));
}

// The key's name goes out in lower case whatever its configured case; the
// MAC is the one over the lower-cased name, so both verify alike.
TEST(Tsig, KeyNameIsSentLowerCased) {
    tsig_key upper = make_key(tsig_alg::hmac_sha256, "Zorvel-KEY.Example");
    tsig_key lower = make_key(tsig_alg::hmac_sha256, "zorvel-key.example");
    uint8_t a[512] = {0x12, 0x34, 0x28, 0x00}, b[512] = {0x12, 0x34, 0x28, 0x00};
    uint8_t mac_a[TSIG_MAC_MAX], mac_b[TSIG_MAC_MAX];
    size_t an = tsig_sign(a, DNS_HEADER_LEN, sizeof a, &upper, 1796910545, nullptr, 0, 0, mac_a);
    size_t bn = tsig_sign(b, DNS_HEADER_LEN, sizeof b, &lower, 1796910545, nullptr, 0, 0, mac_b);
    ASSERT_GT(an, 0u);
    EXPECT_EQ(hex_of(a, an), hex_of(b, bn));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(a) + DNS_HEADER_LEN, 20),
              std::string("\x0azorvel-key\x07"
                          "example\x00",
                          20));
}

} // namespace
