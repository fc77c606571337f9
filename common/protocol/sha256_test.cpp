#include "common/protocol/sha256.h"

#include "tests/support/hex.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

std::string digest_of_parts(const std::vector<std::string> &parts) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    for (const auto &p : parts)
        sha256_update(&ctx, p.data(), p.size());
    uint8_t out[SHA256_DIGEST_LEN];
    sha256_final(&ctx, out);
    return hex_of(out, sizeof out);
}

std::string digest(const std::string &s) {
    return digest_of_parts({s});
}

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                     "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(digest(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 55 bytes leave room for the 0x80 and the length in the same block; 56
// need a second one; 64 fills the block exactly.
TEST(Sha256, PaddingAtBlockBoundaries) {
    const struct {
        size_t n;
        const char *digest;
    } rows[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(digest(std::string(r.n, 'a')), r.digest) << r.n << " bytes";
}

TEST(Sha256, AnySplitGivesTheSameDigest) {
    std::mt19937 rng(20261210);
    std::string msg(300, '\0');
    for (auto &c : msg)
        c = static_cast<char>(rng());
    const std::string whole = digest(msg);
    for (size_t cut = 0; cut <= msg.size(); cut++)
        ASSERT_EQ(digest_of_parts({msg.substr(0, cut), msg.substr(cut)}), whole) << cut;
    for (size_t part : {1, 3, 61, 64, 65}) {
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

TEST(Sha256, NullArgumentsChangeNothing) {
    sha256_init(nullptr);
    sha256_update(nullptr, "abc", 3);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, nullptr, 3);
    sha256_update(&ctx, "abc", 0);
    sha256_final(&ctx, nullptr);
    uint8_t out[SHA256_DIGEST_LEN];
    sha256_init(&ctx);
    sha256_final(&ctx, out);
    EXPECT_EQ(hex_of(out, sizeof out), digest(""));
}

} // namespace
