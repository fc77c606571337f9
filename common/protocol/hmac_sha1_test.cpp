#include "common/protocol/hmac_sha1.h"

#include "common/protocol/sha1.h"

#include "common/protocol/sha1_paths_test.h"
#include <cstring>

#include <gtest/gtest.h>
#include <string>

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string mac(const std::string &msg, const std::string &key) {
    uint8_t out[HMAC_SHA1_LEN];
    hmac_sha1(out, msg.data(), msg.size(), key.data(), key.size());
    return hex(out, sizeof out);
}

struct HmacSha1Test : Sha1PathsTest {};

INSTANTIATE_TEST_SUITE_P(Paths, HmacSha1Test, ::testing::Values(false, true), sha1_path_name);

// The seven cases of RFC 2202; the last two have 80-byte keys, which are
// hashed before use.
TEST_P(HmacSha1Test, Rfc2202Vectors) {
    const std::string big = "Test Using Larger Than Block-Size Key";
    const struct {
        std::string key, msg;
        const char *mac;
    } rows[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12"
                     "\x13\x14\x15\x16\x17\x18\x19",
                     25),
         std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::string(20, '\x0c'), "Test With Truncation",
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {std::string(80, '\xaa'), big + " - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(80, '\xaa'), big + " and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(mac(r.msg, r.key), r.mac) << r.msg;
}

TEST_P(HmacSha1Test, KeyOf64BytesIsUsedAsItIsAndOf65IsHashed) {
    std::string k64, k65;
    for (int i = 0; i < 64; i++)
        k64 += static_cast<char>(i);
    k65 = k64 + static_cast<char>(64);
    EXPECT_EQ(mac("update", k64), "4b9e7f164bf6e812c064ed83c4f6dc68aa238604");
    EXPECT_EQ(mac("update", k65), "9181d38aca7fe10d3f2eba681f5e34c1fda7bd97");

    // A long key and its digest are the same key.
    uint8_t d[SHA1_DIGEST_LEN];
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, k65.data(), k65.size());
    sha1_final(&ctx, d);
    EXPECT_EQ(mac("update", std::string(reinterpret_cast<char *>(d), sizeof d)),
              mac("update", k65));
}

TEST(HmacSha1Edges, MissingOrEmptyInputsLeaveTheOutputUntouched) {
    uint8_t out[HMAC_SHA1_LEN];
    std::memset(out, 0x5a, sizeof out);
    hmac_sha1(nullptr, "m", 1, "k", 1);
    hmac_sha1(out, nullptr, 1, "k", 1);
    hmac_sha1(out, "m", 0, "k", 1);
    hmac_sha1(out, "m", 1, nullptr, 1);
    hmac_sha1(out, "m", 1, "k", 0);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0x5a);
}

TEST(HmacSha1Equal, EqualOnlyWhenEveryByteMatches) {
    uint8_t a[HMAC_SHA1_LEN], b[HMAC_SHA1_LEN];
    for (size_t i = 0; i < sizeof a; i++)
        a[i] = static_cast<uint8_t>(i * 37 + 1);
    std::memcpy(b, a, sizeof a);
    EXPECT_TRUE(hmac_sha1_equal(a, b));
    for (size_t i = 0; i < sizeof a; i++) {
        for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
            b[i] ^= bit;
            EXPECT_FALSE(hmac_sha1_equal(a, b)) << "byte " << i << " bit " << int{bit};
            b[i] ^= bit;
        }
    }
    EXPECT_FALSE(hmac_sha1_equal(a, nullptr));
    EXPECT_FALSE(hmac_sha1_equal(nullptr, b));
}

} // namespace
