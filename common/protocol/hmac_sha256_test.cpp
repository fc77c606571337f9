#include "common/protocol/hmac_sha256.h"

#include "common/protocol/hmac_sha1.h"
#include "tests/support/hex.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string mac(const std::string &msg, const std::string &key) {
    uint8_t out[HMAC_SHA256_LEN];
    hmac_sha256(out, msg.data(), msg.size(), key.data(), key.size());
    return hex_of(out, sizeof out);
}

// The cases of RFC 4231; case 5's MAC is truncated to 128 bits there, and
// cases 6 and 7 have 131-byte keys, which are hashed before use.
TEST(HmacSha256, Rfc4231Vectors) {
    const struct {
        std::string key, msg;
        const char *mac;
    } rows[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {bytes_of_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size "
         "data. The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto &r : rows) {
        std::string want = r.mac;
        EXPECT_EQ(mac(r.msg, r.key).substr(0, want.size()), want) << r.msg;
    }
}

TEST(HmacSha256, KeyOf64BytesIsUsedAsItIsAndOf65IsHashed) {
    std::string k64;
    for (int i = 0; i < 64; i++)
        k64 += static_cast<char>(i);
    EXPECT_EQ(mac("update", k64),
              "451b7459d24e2f21031f44006068adff79c1af63754106add9ae7e381c852b6c");
    EXPECT_EQ(mac("update", k64 + '\x40'),
              "94c9462408c3791112723736c3b1b38d63253d2fbc306e7d4afb33910c5e941e");
}

// Feeding the message in pieces gives the one-shot MAC, for both hashes.
TEST(HmacStreaming, PiecesGiveTheOneShotMac) {
    std::string msg;
    for (int i = 0; i < 200; i++)
        msg += static_cast<char>(i * 7);
    const std::string key = "tsig secret";
    uint8_t whole256[HMAC_SHA256_LEN], whole1[HMAC_SHA1_LEN];
    hmac_sha256(whole256, msg.data(), msg.size(), key.data(), key.size());
    hmac_sha1(whole1, msg.data(), msg.size(), key.data(), key.size());
    for (size_t cut : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{130}, msg.size()}) {
        hmac_sha256_ctx c256;
        hmac_sha256_init(&c256, key.data(), key.size());
        hmac_sha256_update(&c256, msg.data(), cut);
        hmac_sha256_update(&c256, msg.data() + cut, msg.size() - cut);
        uint8_t out256[HMAC_SHA256_LEN];
        hmac_sha256_final(&c256, out256);
        EXPECT_TRUE(hmac_sha256_equal(out256, whole256)) << cut;

        hmac_sha1_ctx c1;
        hmac_sha1_init(&c1, key.data(), key.size());
        hmac_sha1_update(&c1, msg.data(), cut);
        hmac_sha1_update(&c1, msg.data() + cut, msg.size() - cut);
        uint8_t out1[HMAC_SHA1_LEN];
        hmac_sha1_final(&c1, out1);
        EXPECT_TRUE(hmac_sha1_equal(out1, whole1)) << cut;
    }
}

TEST(HmacSha256, MissingOrEmptyInputsLeaveTheOutputUntouched) {
    uint8_t out[HMAC_SHA256_LEN];
    std::memset(out, 0x5a, sizeof out);
    hmac_sha256(nullptr, "m", 1, "k", 1);
    hmac_sha256(out, nullptr, 1, "k", 1);
    hmac_sha256(out, "m", 0, "k", 1);
    hmac_sha256(out, "m", 1, nullptr, 1);
    hmac_sha256(out, "m", 1, "k", 0);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0x5a);
}

TEST(HmacSha256, EqualOnlyWhenEveryByteMatches) {
    uint8_t a[HMAC_SHA256_LEN], b[HMAC_SHA256_LEN];
    for (size_t i = 0; i < sizeof a; i++)
        a[i] = static_cast<uint8_t>(i * 37 + 1);
    std::memcpy(b, a, sizeof a);
    EXPECT_TRUE(hmac_sha256_equal(a, b));
    for (size_t i = 0; i < sizeof a; i++) {
        b[i] ^= 0x80;
        EXPECT_FALSE(hmac_sha256_equal(a, b)) << "byte " << i;
        b[i] ^= 0x80;
    }
    EXPECT_FALSE(hmac_sha256_equal(a, nullptr));
}

} // namespace
