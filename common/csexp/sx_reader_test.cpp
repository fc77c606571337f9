// Reader: tree shapes, atom encodings, chunk and unit invariance, failures.
#include "common/csexp/sx_reader.h"

#include "common/csexp/sx_check.h"
#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_parser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

struct row {
    std::string text;
    std::string tree; // sx_check_render of the result
};

// Reading a text through a real stream, as the programs do.
FILE *stream_of(const std::string &text) {
    FILE *f = std::tmpfile();
    if (f == nullptr)
        return nullptr;
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
        std::fclose(f);
        return nullptr;
    }
    std::rewind(f);
    return f;
}

// The rendered tree, or a description of what went wrong.
std::string outcome(int rc, sx_block &b) {
    if (rc != 0)
        return "<failed>";
    std::string bad = sx_check_layout(b);
    std::string r = bad.empty() ? sx_check_render(b.nsize > 0 ? &b.nodes[0] : nullptr)
                                : "<layout: " + bad + ">";
    sx_free(&b);
    return r;
}

std::string read_text(const std::string &text, size_t chunk, size_t dunit = 4096,
                      size_t nunit = 64) {
    FILE *f = stream_of(text);
    if (f == nullptr)
        return "<no stream>";
    sx_block b{};
    int rc = sx_read_file(&b, f, chunk, dunit, nunit);
    std::fclose(f);
    return outcome(rc, b);
}

// Feeds the text in pieces of random sizes (1 to max) drawn from a fixed seed.
std::string read_split(const std::string &text, unsigned seed, size_t max, size_t dunit,
                       size_t nunit) {
    std::mt19937 rng(seed);
    parser p;
    if (sxp_init(&p, dunit, nunit) != 0)
        return "<init failed>";
    size_t at = 0;
    while (at < text.size()) {
        size_t k = std::min<size_t>(text.size() - at, 1 + rng() % max);
        if (sxp_feed(&p, text.data() + at, k) != 0) {
            sxp_release(&p);
            return "<failed>";
        }
        at += k;
    }
    sx_block b{p.sxm.data, p.sxm.dsize, p.sxm.nodes, p.sxm.nsize};
    sx_heap_free(p.atom);
    sx_heap_free(p.stack);
    return outcome(0, b);
}

// While alive, every resize moves its buffer, so that growth always has
// pointers to follow, whatever the allocator would have done.
struct moving_heap {
    moving_heap() { sx_heap_set_moving(true); }
    ~moving_heap() { sx_heap_set_moving(false); }
    moving_heap(const moving_heap &) = delete;
    moving_heap &operator=(const moving_heap &) = delete;
};

// Every way of handing the text over must give the same tree: whole, byte
// by byte, in random pieces, and with units so small that nearly every atom
// and node grows the buffers, each growth moving them.
void expect_tree(const std::string &text, const std::string &tree) {
    size_t whole = text.size() + 1;
    EXPECT_EQ(read_text(text, whole), tree) << "whole";
    EXPECT_EQ(read_text(text, 1), tree) << "byte at a time";
    EXPECT_EQ(read_text(text, whole, 1, 1), tree) << "whole, units 1";
    moving_heap moving;
    EXPECT_EQ(read_text(text, 3, 1, 1), tree) << "chunks of 3, units 1";
    for (unsigned seed = 1; seed <= 4; seed++) {
        EXPECT_EQ(read_split(text, seed, 5, 1, 1), tree) << "random splits, units 1, seed " << seed;
        EXPECT_EQ(read_split(text, seed, 17, 3, 2), tree)
            << "random splits, units 3/2, seed " << seed;
    }
}

void expect_rows(const std::vector<row> &rows) {
    for (const row &r : rows) {
        SCOPED_TRACE("text: [" + r.text + "]");
        expect_tree(r.text, r.tree);
    }
}

TEST(SxReader, ItemsListsAndTokens) {
    expect_rows({
        {"", ""},
        {" \t\r\n ", ""},
        {"(a b)", "(a b)"},
        {"(a)(b c)", "(a) (b c)"},
        {"()", "()"},
        {"(((a)))", "(((a)))"},
        {"a b\tc\nd\re (f)", "a b c d e (f)"},
        // A ")" with nothing open is ignored; lists still open at the end
        // keep what they hold.
        {"a)", "a"},
        {")(", "()"},
        {"a ) b (c)) (d) ", "a b (c) (d)"},
        {"(a (b", "(a ())"},
        {"(a (b ", "(a (b))"},
        // A token needs a delimiter after it to be complete.
        {"x", ""},
        {"(x)", "(x)"},
        {"a b c", "a b"},
        // Only SP, TAB, LF and CR separate; every other byte is a token byte.
        {"a;b [c] {d} 'e: ", "a;b [c] {d} 'e:"},
        {"a\vb\fc ", R"("a\x0bb\x0cc")"},
        {"a\0b "s, R"("a\x00b")"},
        {"\xc3\xa9t\xc3\xa9 ", R"("\xc3\xa9t\xc3\xa9")"},
        // Delimiters separate items without whitespace.
        {"abc\"d e\"f ", R"(abc "d e" f)"},
        {"a#62#c|ZA==|e ", "a b c d e"},
        {"a(b)c ", "a (b) c"},
    });
}

TEST(SxReader, DigitRuns) {
    expect_rows({
        {"42 ", "42"},
        {"42(", "42 ()"},
        {"(42)", "(42)"},
        {"42x ", "42x"},
        {"12ab(", "12ab ()"},
        {"1.5 ", "1.5"},
        {"1:2 3:a b", "2 \"a b\""},
        {"42", ""},
        // Verbatim atoms take exactly the declared bytes, whatever they are.
        {"4:ab()", R"x("ab()")x"},
        {"3:(\")x ", R"x("(\")" x)x"},
        {"5:a\0\n\\\" "s, R"("a\x00\n\\\"")"},
        {"0: x ", R"("" x)"},
        {"(0:)", R"((""))"},
        {"00:x ", R"("" x)"},
        {"10:abcde", ""},
        {"(2:ab 3:ab", "(ab)"},
        // A length prefix of the other encodings is read and dropped, never
        // compared with the atom.
        {"3\"abcdef\"", "abcdef"},
        {"1#616263#", "abc"},
        {"99|YWJj|", "abc"},
        // Digits that overflow wrap: 2^64 is an empty verbatim atom.
        {"18446744073709551616:x ", R"("" x)"},
    });
}

TEST(SxReader, QuotedStrings) {
    expect_rows({
        {R"("")", R"("")"},
        {"\"a(b)#|\n\t\0\r\" "s, R"("a(b)#|\n\t\x00\r")"},
        {R"("a\nb")", R"("a\nb")"},
        {R"("\n\t\r\v\b\f\"\'\\")", R"("\n\t\r\x0b\x08\x0c\"'\\")"},
        {R"("\x41" "\101" "\x4F" "\x4f" "\377" "\000")", R"(A A O O "\xff" "\x00")"},
        // Bad escapes are kept as written.
        {R"("\8" "\q" "\4" "\09" "\xg" "\xAz" "\x4fz")",
         R"("\\8" "\\q" "\\4" "\\09" "\\xg" "\\xAz" Oz)"},
        {R"("\1x" "\12x" "\400" "\x"")", R"("\\1x" "\\12x" "\\400" "\\x\"")"},
        // The byte that cuts an escape short is taken literally, a quote too.
        {R"("\x4" more" x )", R"("\\x4\" more" x)"},
        {R"("\x4\n")", R"("\\x4\\n")"},
        {R"("\1\n")", R"("\\1\\n")"},
        // A backslash before a line break joins the lines.
        {"\"a\\\r\nb\"", "ab"},
        {"\"a\\\nb\"", "ab"},
        {"\"a\\\n\rb\"", "ab"},
        {"\"a\\\rb\"", "ab"},
        {"\"a\\\r\rb\"", R"("a\rb")"},
        {"\"a\\\n\nb\"", R"("a\nb")"},
        {"\"a\\\n\"x\" ", R"("a\"x")"},
        {"\"a\\\n\\n\" ", R"("a\\n")"},
        // Unterminated at the end of the input: dropped.
        {R"(a "abc)", "a"},
        {R"((a "b\")", "(a)"},
    });
}

TEST(SxReader, HexAndBase64Atoms) {
    expect_rows({
        {"##", R"("")"},
        {"#61 62#", "ab"},
        {"#616#", "a"},
        {"#6g1#", "a"},
        {"#6\n1 \"(62)|#", "ab"},
        {"#00ff#", R"("\x00\xff")"},
        {"#4F4f#", "OO"},
        {"#61", ""},
        {"||", R"("")"},
        {"|YWJj|", "abc"},
        {"|YWI=|", "ab"},
        {"|YQ|", "a"},
        {"|YQ==|", "a"},
        {"|Y|", R"("")"},
        {"|YWJjZA|", "abcd"},
        {"|Y W\nJ\tj|", "abc"},
        {"|+/+/|", R"("\xfb\xff\xbf")"},
        {"|YW(Jj)\"#|", "abc"},
        {"|YWJj", ""},
    });
}

// A configuration as the programs read it: nested effector lists, quoted
// commands with escapes, keys in hex and base64, verbatim atoms.
const char *const config = R"x((listen 0.0.0.0 "9053")
(listen localhost 9054)
(defaults (max-past 300) (max-future 60) (timeout 900))
(account gw1 |c2VjcmV0LWtleS0x| (ip 192.0.2.1)
  (effectors
    (zone "/var/zones/example.org" gw1.example.org)
    (kill "/var/run/named.pid" hup)
    (system "logger -t zorvel \"%n is now at %a\"\n\tdone")))
(account 3:gw2 #0011 2233 4455 6677 8899 aabb ccdd eeff 0011 2233#
  (effectors (system "echo \x41\101 \
continued")))
)x";

const char *const config_tree =
    R"x((listen 0.0.0.0 9053) (listen localhost 9054) )x"
    R"x((defaults (max-past 300) (max-future 60) (timeout 900)) )x"
    R"x((account gw1 secret-key-1 (ip 192.0.2.1) (effectors )x"
    R"x((zone /var/zones/example.org gw1.example.org) (kill /var/run/named.pid hup) )x"
    R"x((system "logger -t zorvel \"%n is now at %a\"\n\tdone"))) )x"
    R"x((account gw2 "\x00\x11\"3DUfw\x88\x99\xaa\xbb\xcc\xdd\xee\xff\x00\x11\"3" )x"
    R"x((effectors (system "echo AA continued"))))x";

TEST(SxReader, ConfigurationText) {
    expect_tree(config, config_tree);
}

// With the server's units the 65th node moves the node array; every link,
// null ones included, and every atom's bytes must survive the moves.
TEST(SxReader, GrowthKeepsLinksAndBytes) {
    std::string text = "(";
    std::string tree = "(";
    for (int i = 0; i < 64; i++) {
        std::string a = "atom" + std::to_string(i) + std::string(static_cast<size_t>(i * 7), 'x');
        text += a + " ";
        tree += (i ? " " : "") + a;
    }
    text += ") (end)";
    tree += ") (end)";
    moving_heap moving;
    EXPECT_EQ(read_text(text, 4096, 4096, 64), tree);
    EXPECT_EQ(read_text(text, 4096, 100, 64), tree);
    EXPECT_EQ(read_text(text, 4096, 100, 1), tree);
}

// A read error part-way ends the input like end of file: the items complete
// before it are the result.
TEST(SxReader, ReadErrorEndsInput) {
#if defined(__GLIBC__)
    struct source {
        const char *text;
        bool done;
    } src{"(a b) (c d", false};
    cookie_io_functions_t io{};
    io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
        auto *s = static_cast<source *>(cookie);
        if (s->done) {
            errno = EIO;
            return -1;
        }
        s->done = true;
        size_t n = std::min(size, std::strlen(s->text));
        std::memcpy(buf, s->text, n);
        return static_cast<ssize_t>(n);
    };
    FILE *f = fopencookie(&src, "r", io);
    ASSERT_NE(f, nullptr);
    sx_block b{};
    int rc = sx_read_file(&b, f, 3, 4096, 64);
    EXPECT_TRUE(ferror(f));
    std::fclose(f);
    EXPECT_EQ(outcome(rc, b), "(a b) (c)");
#else
    GTEST_SKIP() << "needs a stream that fails part-way";
#endif
}

TEST(SxReader, BadArgumentsAndNullOut) {
    FILE *f = stream_of("(a b) ");
    ASSERT_NE(f, nullptr);
    sx_block untouched{reinterpret_cast<char *>(1), 2, reinterpret_cast<sx_node *>(3), 4};
    sx_block b = untouched;
    EXPECT_EQ(sx_read_file(&b, nullptr, 4096, 4096, 64), -1);
    EXPECT_EQ(sx_read_file(&b, f, 0, 4096, 64), -1);
    EXPECT_EQ(sx_read_file(&b, f, 4096, 0, 64), -1);
    EXPECT_EQ(sx_read_file(&b, f, 4096, 4096, 0), -1);
    EXPECT_EQ(std::memcmp(&b, &untouched, sizeof(b)), 0);
    // Without out the tree is read and released (the sanitizer build checks).
    EXPECT_EQ(sx_read_file(nullptr, f, 4096, 4096, 64), 0);
    std::fclose(f);

    // An input without a complete item hands over an empty tree.
    f = stream_of("  (");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sx_read_file(&b, f, 4096, 4096, 64), 0);
    std::fclose(f);
    EXPECT_EQ(b.nsize, 1u);
    sx_free(&b);
    f = stream_of(" \"unterminated");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sx_read_file(&b, f, 4096, 4096, 64), 0);
    std::fclose(f);
    EXPECT_EQ(b.nsize, 0u);
    EXPECT_EQ(b.nodes, nullptr);
    EXPECT_EQ(b.dsize, 1u);
    sx_free(&b);
}

// Fails the allocation with the given index (0 first), once per read.
struct fault_at {
    static inline long target;
    static inline long calls;
    explicit fault_at(long k) {
        target = k;
        calls = 0;
        sx_heap_set_fault([] { return calls++ == target; });
    }
    ~fault_at() { sx_heap_set_fault(nullptr); }
    fault_at(const fault_at &) = delete;
    fault_at &operator=(const fault_at &) = delete;
};

// Each allocation of a read fails in turn: the read must fail with -1, hand
// nothing over and leak nothing (the sanitizer build checks the leaks).
TEST(SxReader, EveryAllocationFailureFailsCleanly) {
    struct units {
        size_t chunk, dunit, nunit;
    };
    for (units u : {units{4096, 4096, 64}, units{7, 5, 2}, units{1, 1, 1}}) {
        SCOPED_TRACE("chunk " + std::to_string(u.chunk) + " units " + std::to_string(u.dunit) +
                     "/" + std::to_string(u.nunit));
        bool finished = false;
        for (long k = 0; k < 100000 && !finished; k++) {
            FILE *f = stream_of(config);
            ASSERT_NE(f, nullptr);
            sx_block untouched{reinterpret_cast<char *>(1), 2, reinterpret_cast<sx_node *>(3), 4};
            sx_block b = untouched;
            int rc;
            bool injected;
            {
                fault_at fault(k);
                rc = sx_read_file(&b, f, u.chunk, u.dunit, u.nunit);
                injected = fault_at::calls > k;
            }
            std::fclose(f);
            if (injected) {
                ASSERT_EQ(rc, -1) << "allocation " << k;
                ASSERT_EQ(std::memcmp(&b, &untouched, sizeof(b)), 0) << "allocation " << k;
            } else {
                ASSERT_GT(k, 2);
                EXPECT_EQ(outcome(rc, b), config_tree);
                finished = true;
            }
        }
        EXPECT_TRUE(finished);
    }
}

} // namespace
