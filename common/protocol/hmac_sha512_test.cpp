#include "common/protocol/hmac_sha512.h"

#include "tests/support/hex.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string mac(bool is384, const std::string &msg, const std::string &key, size_t cut = 0) {
    hmac_sha512_ctx ctx;
    if (is384)
        hmac_sha512_init_384(&ctx, key.data(), key.size());
    else
        hmac_sha512_init(&ctx, key.data(), key.size());
    hmac_sha512_update(&ctx, msg.data(), cut);
    hmac_sha512_update(&ctx, msg.data() + cut, msg.size() - cut);
    uint8_t out[HMAC_SHA512_LEN];
    hmac_sha512_final(&ctx, out);
    return hex_of(out, is384 ? HMAC_SHA384_LEN : HMAC_SHA512_LEN);
}

// The cases of RFC 4231; case 5's MACs are truncated to 128 bits there,
// and cases 6 and 7 have 131-byte keys, longer than the 128-byte block,
// which are hashed before use.
TEST(HmacSha512, Rfc4231Vectors) {
    const struct {
        std::string key, msg;
        const char *sha384, *sha512;
    } rows[] = {
        {std::string(20, '\x0b'), "Hi There",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b"
         "2fa9cb6",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274ea"
         "ea3f4e4be9d914eeb61f1702e696c203a126854"},
        {"Jefe", "what do ya want for nothing?",
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecf"
         "ab21649",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f"
         "8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e10"
         "1a34f27",
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47"
         "e67c807b946a337bee8942674278859e13292fb"},
        {bytes_of_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         std::string(50, '\xcd'),
         "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c"
         "674cffb",
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc"
         "5788063a5f19741120c4f2de2adebeb10a298dd"},
        {std::string(20, '\x0c'), "Test With Truncation", "3abf34c3503b2a23a46efc619baef897",
         "415fad6271580a531d4179bc891d87a6"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df16"
         "3f44952",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215"
         "d6a1e5295e64f73f63f0aec8b915a985d786598"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size "
         "data. The key needs to be hashed before being used by the HMAC algorithm.",
         "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110"
         "c46523e",
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c"
         "3e4de15134676fb6de0446065c97440fa8c6a58"},
    };
    for (const auto &r : rows) {
        std::string w384 = r.sha384, w512 = r.sha512;
        EXPECT_EQ(mac(true, r.msg, r.key).substr(0, w384.size()), w384) << r.msg;
        EXPECT_EQ(mac(false, r.msg, r.key).substr(0, w512.size()), w512) << r.msg;
        // Fed in two pieces, the MAC is the same.
        EXPECT_EQ(mac(false, r.msg, r.key, r.msg.size() / 2).substr(0, w512.size()), w512);
    }
}

// A key of exactly one block is used as it is, one byte more is hashed.
TEST(HmacSha512, KeyOf128BytesIsUsedAsItIsAndOf129IsHashed) {
    std::string k128(128, 'k');
    EXPECT_NE(mac(false, "update", k128), mac(false, "update", k128 + 'k'));
    // As it is: the same as the key padded with zeros up to the block.
    EXPECT_EQ(mac(false, "update", "key"), mac(false, "update", "key" + std::string(125, '\0')));
}

TEST(HmacSha512, EqualOnlyWhenEveryByteMatches) {
    uint8_t a[HMAC_SHA512_LEN], b[HMAC_SHA512_LEN];
    for (size_t i = 0; i < sizeof a; i++)
        a[i] = static_cast<uint8_t>(i * 37 + 1);
    std::memcpy(b, a, sizeof a);
    EXPECT_TRUE(hmac_sha512_equal(a, b, sizeof a));
    for (size_t i = 0; i < sizeof a; i++) {
        b[i] ^= 0x80;
        EXPECT_FALSE(hmac_sha512_equal(a, b, sizeof a)) << "byte " << i;
        b[i] ^= 0x80;
    }
    // Only the first n bytes count: a 48-byte MAC beside a 64-byte buffer.
    b[HMAC_SHA384_LEN] ^= 1;
    EXPECT_TRUE(hmac_sha512_equal(a, b, HMAC_SHA384_LEN));
    EXPECT_FALSE(hmac_sha512_equal(a, nullptr, sizeof a));
}

} // namespace
