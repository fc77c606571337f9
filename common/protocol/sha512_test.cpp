#include "common/protocol/sha512.h"

#include "tests/support/hex.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

std::string digest_of_parts(bool is384, const std::vector<std::string> &parts) {
    sha512_ctx ctx;
    if (is384)
        sha512_init_384(&ctx);
    else
        sha512_init(&ctx);
    for (const auto &p : parts)
        sha512_update(&ctx, p.data(), p.size());
    uint8_t out[SHA512_DIGEST_LEN + 1] = {};
    out[is384 ? SHA384_DIGEST_LEN : SHA512_DIGEST_LEN] = 0xa5; // must stay as it is
    sha512_final(&ctx, out);
    EXPECT_EQ(out[is384 ? SHA384_DIGEST_LEN : SHA512_DIGEST_LEN], 0xa5);
    return hex_of(out, is384 ? SHA384_DIGEST_LEN : SHA512_DIGEST_LEN);
}

std::string sha512(const std::string &s) {
    return digest_of_parts(false, {s});
}
std::string sha384(const std::string &s) {
    return digest_of_parts(true, {s});
}

const std::string two_blocks = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                               "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

TEST(Sha512, PublishedVectors) {
    EXPECT_EQ(sha512("abc"), "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                             "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(sha512(""), "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                          "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
    EXPECT_EQ(sha512(two_blocks),
              "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
              "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");
    EXPECT_EQ(sha512(std::string(1000000, 'a')),
              "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
              "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

TEST(Sha384, PublishedVectors) {
    EXPECT_EQ(sha384("abc"), "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
                             "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(sha384(""), "38b060a751ac96384cd9327eb1b1e36a21fdb71114be0743"
                          "4c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b");
    EXPECT_EQ(sha384(two_blocks), "09330c33f71147e83d192fc782cd1b4753111b173b3b05d2"
                                  "2fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039");
    EXPECT_EQ(sha384(std::string(1000000, 'a')),
              "9d0e1809716474cb086e834e310a4a1ced149e9c00f24852"
              "7972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985");
}

// 111 bytes leave room for the 0x80 and the 16 length bytes in the same
// block; 112 need a second one; 128 fill the block exactly.
TEST(Sha512, PaddingAtBlockBoundaries) {
    const struct {
        size_t n;
        const char *sha512, *sha384;
    } rows[] = {
        {111,
         "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760b4beff48404df811b95"
         "3828274461673c68d04e297b0eb7b2b4d60fc6b566a2",
         "3c37955051cb5c3026f94d551d5b5e2ac38d572ae4e07172085fed81f8466b8f90dc23a8ffcdea0b8d8e"
         "58e8fdacc80a"},
        {112,
         "c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32bd05f0f1ba33e568b88f"
         "d2d970929b719ecbb152f58f130a407c8830604b70ca",
         "187d4e07cb306103c69967bf544d0dfbe9042577599c73c330abc0cb64c61236d5ed565ee19119d8c317"
         "79a38f791fcd"},
        {128,
         "b73d1929aa615934e61a871596b3f3b33359f42b8175602e89f7e06e5f658a243667807ed300314b95ca"
         "cdd579f3e33abdfbe351909519a846d465c59582f321",
         "edb12730a366098b3b2beac75a3bef1b0969b15c48e2163c23d96994f8d1bef760c7e27f3c464d3829f5"
         "6c0d53808b0b"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(sha512(std::string(r.n, 'a')), r.sha512) << r.n << " bytes";
        EXPECT_EQ(sha384(std::string(r.n, 'a')), r.sha384) << r.n << " bytes";
    }
}

TEST(Sha512, AnySplitGivesTheSameDigest) {
    std::mt19937 rng(20261211);
    std::string msg(400, '\0');
    for (auto &c : msg)
        c = static_cast<char>(rng());
    const std::string whole = sha512(msg);
    for (size_t cut = 0; cut <= msg.size(); cut++)
        ASSERT_EQ(digest_of_parts(false, {msg.substr(0, cut), msg.substr(cut)}), whole) << cut;
    for (int round = 0; round < 50; round++) {
        std::vector<std::string> parts;
        for (size_t off = 0; off < msg.size();) {
            size_t n = rng() % 200;
            parts.push_back(msg.substr(off, n));
            off += n;
        }
        ASSERT_EQ(digest_of_parts(false, parts), whole) << "round " << round;
    }
}

} // namespace
