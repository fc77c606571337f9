#include "common/protocol/sha1.h"

#include "common/protocol/sha1_paths_test.h"
#include <cstring>

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

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

std::string digest_of_parts(const std::vector<std::string> &parts) {
    sha1_ctx ctx;
    sha1_init(&ctx);
    for (const auto &p : parts)
        sha1_update(&ctx, p.data(), p.size());
    uint8_t out[SHA1_DIGEST_LEN];
    sha1_final(&ctx, out);
    return hex(out, sizeof out);
}

std::string digest(const std::string &s) {
    return digest_of_parts({s});
}

bool same_state(const sha1_ctx &a, const sha1_ctx &b) {
    return a.count == b.count && std::memcmp(a.work, b.work, sizeof a.work) == 0 &&
           std::memcmp(a.h, b.h, sizeof a.h) == 0 && std::memcmp(a.w, b.w, sizeof a.w) == 0;
}

struct Sha1Test : Sha1PathsTest {};

INSTANTIATE_TEST_SUITE_P(Paths, Sha1Test, ::testing::Values(false, true), sha1_path_name);

TEST_P(Sha1Test, PublishedVectors) {
    EXPECT_EQ(digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                     "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "a49b2446a02c645bf419f995b67091253a04a259");
}

TEST_P(Sha1Test, MillionA) {
    const std::string a(1000000, 'a');
    EXPECT_EQ(digest(a), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    // The same message fed in uneven pieces.
    sha1_ctx ctx;
    sha1_init(&ctx);
    for (size_t off = 0, step = 1; off < a.size(); off += step, step = step % 997 + 13)
        sha1_update(&ctx, a.data() + off, std::min(step, a.size() - off));
    uint8_t out[SHA1_DIGEST_LEN];
    sha1_final(&ctx, out);
    EXPECT_EQ(hex(out, sizeof out), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// 55 bytes leave room for the 0x80 and the length in the same block; 56
// need a second one; 63 and 64 sit at the block's end.
TEST_P(Sha1Test, PaddingAtBlockBoundaries) {
    const struct {
        size_t n;
        const char *digest;
    } rows[] = {
        {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(digest(std::string(r.n, 'a')), r.digest) << r.n << " bytes";
}

TEST_P(Sha1Test, AnySplitGivesTheSameDigest) {
    std::mt19937 rng(20240611);
    std::string msg(300, '\0');
    for (auto &c : msg)
        c = static_cast<char>(rng());
    const std::string whole = digest(msg);

    // Every two-part split.
    for (size_t cut = 0; cut <= msg.size(); cut++)
        ASSERT_EQ(digest_of_parts({msg.substr(0, cut), msg.substr(cut)}), whole) << cut;
    // Runs of fixed part sizes, and random ones.
    for (size_t part : {1, 2, 3, 5, 61, 63, 64, 65, 127}) {
        std::vector<std::string> parts;
        for (size_t off = 0; off < msg.size(); off += part)
            parts.push_back(msg.substr(off, part));
        EXPECT_EQ(digest_of_parts(parts), whole) << "parts of " << part;
    }
    for (int round = 0; round < 50; round++) {
        std::vector<std::string> parts;
        for (size_t off = 0; off < msg.size();) {
            size_t n = rng() % 80;
            parts.push_back(msg.substr(off, n));
            off += n;
        }
        ASSERT_EQ(digest_of_parts(parts), whole) << "round " << round;
    }
}

TEST(Sha1Packing, BytesLandBigEndianInTheScheduleAndTheBlockClearsAfterCompression) {
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, "abcde", 5);
    EXPECT_EQ(ctx.count, 5u);
    EXPECT_EQ(ctx.w[0], 0x61626364u);
    EXPECT_EQ(ctx.w[1], 0x65000000u);
    sha1_update(&ctx, "fg", 2);
    EXPECT_EQ(ctx.w[1], 0x65666700u);
    EXPECT_EQ(ctx.w[2], 0u);

    const std::string rest(64 - 7, 'x');
    sha1_update(&ctx, rest.data(), rest.size());
    EXPECT_EQ(ctx.count, 64u);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(ctx.w[i], 0u) << "word " << i;
}

TEST(Sha1Edges, NullAndEmptyArgumentsChangeNothing) {
    sha1_init(nullptr);
    sha1_update(nullptr, "abc", 3);
    uint8_t out[SHA1_DIGEST_LEN];
    std::memset(out, 0xa5, sizeof out);
    sha1_final(nullptr, out);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0xa5);

    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, "abc", 3);
    const sha1_ctx before = ctx;
    sha1_update(&ctx, nullptr, 3);
    sha1_update(&ctx, "abc", 0);
    sha1_final(&ctx, nullptr);
    EXPECT_TRUE(same_state(ctx, before));
}

// The fast compression must leave every field exactly as the portable one
// does, not only the digest: h, the final a..e and the whole schedule.
TEST(Sha1FastPath, LeavesTheSameContextAsThePortableCode) {
    if (!sha1_fast_path_available())
        GTEST_SKIP() << "no SHA extensions on this CPU";
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; round++) {
        sha1_ctx a;
        std::memset(&a, 0, sizeof a);
        a.count = rng();
        for (auto &v : a.h)
            v = static_cast<uint32_t>(rng());
        for (int i = 0; i < 16; i++)
            a.w[i] = static_cast<uint32_t>(rng());
        sha1_ctx b = a;

        sha1_set_fast_path(true);
        sha1_transform(&a);
        sha1_transform_portable(&b);
        ASSERT_TRUE(same_state(a, b)) << "round " << round;
    }

    // And after every compression of a whole message.
    std::string msg(64 * 9 + 17, '\0');
    for (auto &c : msg)
        c = static_cast<char>(rng());
    sha1_ctx fast, portable;
    sha1_init(&fast);
    sha1_init(&portable);
    for (size_t off = 0; off < msg.size(); off += 64) {
        size_t n = std::min<size_t>(64, msg.size() - off);
        sha1_set_fast_path(true);
        sha1_update(&fast, msg.data() + off, n);
        sha1_set_fast_path(false);
        sha1_update(&portable, msg.data() + off, n);
        ASSERT_TRUE(same_state(fast, portable)) << "block at " << off;
    }
    // Many blocks in one call, from a block boundary and from inside a word.
    for (size_t lead : {0, 3, 64}) {
        sha1_init(&fast);
        sha1_init(&portable);
        sha1_set_fast_path(true);
        sha1_update(&fast, msg.data(), lead);
        sha1_update(&fast, msg.data() + lead, msg.size() - lead);
        sha1_set_fast_path(false);
        sha1_update(&portable, msg.data(), lead);
        sha1_update(&portable, msg.data() + lead, msg.size() - lead);
        ASSERT_TRUE(same_state(fast, portable)) << "after a lead of " << lead;
    }
    uint8_t d1[SHA1_DIGEST_LEN], d2[SHA1_DIGEST_LEN];
    sha1_set_fast_path(true);
    sha1_final(&fast, d1);
    sha1_set_fast_path(false);
    sha1_final(&portable, d2);
    sha1_set_fast_path(true);
    EXPECT_TRUE(same_state(fast, portable));
    EXPECT_EQ(hex(d1, sizeof d1), hex(d2, sizeof d2));
}

} // namespace
