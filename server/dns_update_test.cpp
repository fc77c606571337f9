#include "server/dns_update.h"

#include "server/dns_exchange.h"
#include "tests/support/dns_update_run.h"
#include "tests/support/effector_run.h"
#include "tests/support/engine_drive.h"

#include "common/protocol/update_msg.h"
#include "server/presence.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"
#include "tests/support/sx_text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char acct[] = "home";
const std::string secret = "zorvel test key, not a secret";
constexpr time_t now = 1796910545;

// The arguments of the one dns-update form in text.
struct form {
    sx_text_tree tree;
    explicit form(const std::string &text) : tree(text) {}
    const sx_node *args() const { return sx_first(tree.first())->next; }
};

bool parse(const std::string &text, dns_update_conf *c) {
    form f(text);
    return dns_update_parse(f.args(), acct, 4, c);
}

TEST(DnsUpdateParse, FormsAndDefaults) {
    LogCapture cap;
    dns_update_conf c;
    // The secret stays in the form's atom, so the form outlives the record.
    form f("(dns-update (server ns.example.test 53) (zone example.test)"
           " (key upd.key hmac-sha256 |em9ydmVs|))");
    ASSERT_TRUE(dns_update_parse(f.args(), acct, 4, &c));
    EXPECT_STREQ(c.host, "ns.example.test");
    EXPECT_STREQ(c.port, "53");
    EXPECT_STREQ(c.owner_text, "home.example.test");
    EXPECT_EQ(c.ttl, 60u);
    EXPECT_EQ(c.wait_ms, 1000);
    EXPECT_EQ(c.key.alg, tsig_alg::hmac_sha256);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(c.key.secret), c.key.secret_len),
              "zorvel");

    ASSERT_TRUE(parse("(dns-update (server ::1 5300) (zone Example.Test.) (ttl 0) (wait 250)"
                      " (owner Laptop.example.test.) (key k hmac-sha1 \"s\"))",
                      &c));
    EXPECT_STREQ(c.owner_text, "Laptop.example.test");
    EXPECT_EQ(c.ttl, 0u);
    EXPECT_EQ(c.wait_ms, 250);
    EXPECT_EQ(c.key.alg, tsig_alg::hmac_sha1);
    EXPECT_TRUE(cap.records().empty());
}

TEST(DnsUpdateParse, FaultsAreLoggedWithTheAccountAndNeverTheSecret) {
    const std::string base = "(server 127.0.0.1 53) (zone example.test) ";
    const std::string key = "(key k hmac-sha256 |c2VjcmV0|)";
    const struct {
        std::string form, log;
    } rows[] = {
        {"(zone example.test) " + key, "Missing dns-update server for account home\n"},
        {"(server 127.0.0.1 53) " + key, "Missing dns-update zone for account home\n"},
        {base, "Missing dns-update key for account home\n"},
        {"(server 127.0.0.1) (zone example.test) " + key,
         "Invalid dns-update server port \"\" for account home\n"},
        {base + "(key k hmac-md5 |c2VjcmV0|)",
         "Invalid dns-update key algorithm \"hmac-md5\" for account home: HMAC-MD5 is broken "
         "and RFC 8945 forbids it for TSIG; use hmac-sha256\n"},
        {base + "(key k hmac-md5.sig-alg.reg.int. |c2VjcmV0|)",
         "Invalid dns-update key algorithm \"hmac-md5.sig-alg.reg.int.\" for account home: "
         "HMAC-MD5 is broken and RFC 8945 forbids it for TSIG; use hmac-sha256\n"},
        {base + "(key k hmac-sha224 |c2VjcmV0|)",
         "Invalid dns-update key algorithm \"hmac-sha224\" for account home\n"},
        {base + "(key k hmac-sha256 \"\")",
         "Invalid dns-update key secret for \"k\" for account home\n"},
        {base + "(key a..b hmac-sha256 |c2VjcmV0|)",
         "Invalid dns-update key name \"a..b\" for account home\n"},
        {"(server 127.0.0.1 53) (zone a..b) " + key,
         "Invalid dns-update zone \"a..b\" for account home\n"},
        {base + key + " (owner www.example.net)",
         "dns-update owner www.example.net is not in zone example.test for account home\n"},
        {base + key + " (owner " + std::string(64, 'x') + ".example.test)",
         "Invalid dns-update owner \"" + std::string(64, 'x') +
             ".example.test\" for account home\n"},
        {base + key + " (ttl -1)", "Invalid dns-update ttl \"-1\" for account home\n"},
        {base + key + " (ttl 2147483648)",
         "Invalid dns-update ttl \"2147483648\" for account home\n"},
        {base + key + " (wait 0)", "Invalid dns-update wait \"0\" for account home\n"},
        {base + key + " (wait 60001)", "Invalid dns-update wait \"60001\" for account home\n"},
        {base + key + " (colour blue)", "Invalid dns-update option \"colour\" for account home\n"},
        {base + key + " stray", "Invalid dns-update option \"stray\" for account home\n"},
    };
    for (const auto &r : rows) {
        LogCapture cap;
        dns_update_conf c;
        EXPECT_FALSE(parse("(dns-update " + r.form + ")", &c)) << r.form;
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, r.log}})) << r.form;
        for (const auto &rec : cap.records())
            EXPECT_EQ(rec.text.find("c2VjcmV0"), std::string::npos);
    }
}

// The key as name servers' tools print it: the name and the algorithm with
// their final dots, and every algorithm RFC 8945 lists but MD5.
TEST(DnsUpdateParse, KeyFormsAsNameServerToolsPrintThem) {
    const struct {
        const char *alg;
        tsig_alg want;
    } rows[] = {
        {"hmac-sha256.", tsig_alg::hmac_sha256}, {"hmac-sha384", tsig_alg::hmac_sha384},
        {"hmac-sha384.", tsig_alg::hmac_sha384}, {"hmac-sha512", tsig_alg::hmac_sha512},
        {"hmac-sha512.", tsig_alg::hmac_sha512}, {"hmac-sha1.", tsig_alg::hmac_sha1},
    };
    for (const auto &r : rows) {
        LogCapture cap;
        dns_update_conf c;
        ASSERT_TRUE(parse(std::string("(dns-update (server ns.example.test 53) (zone example.test)"
                                      " (key zorvel-home. ") +
                              r.alg + " |em9ydmVs|))",
                          &c))
            << r.alg;
        EXPECT_EQ(c.key.alg, r.want) << r.alg;
        EXPECT_EQ(c.key.name.len, 13u) << "zorvel-home. is the same name as zorvel-home";
        EXPECT_TRUE(cap.records().empty());
    }
}

// A name server on 127.0.0.1 whose behaviour the test scripts: it gets the
// first request and the means to answer, in a thread of its own.
class fake_ns {
  public:
    using script = std::function<void(fake_ns &, const std::string &req)>;

    explicit fake_ns(script s) {
        udp_ = socket(AF_INET, SOCK_DGRAM, 0);
        tcp_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        int one = 1;
        setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(udp_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            getsockname(udp_, reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
            bind(tcp_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(tcp_, 1) != 0)
            ADD_FAILURE() << "fake name server cannot bind";
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this, s] {
            std::string req = receive();
            if (!req.empty())
                s(*this, req);
        });
    }
    ~fake_ns() {
        join();
        close(udp_);
        close(tcp_);
    }
    int port() const { return port_; }
    // Waits for the script to end, so what it recorded can be read.
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

    // The next request over UDP, waiting at most three seconds.
    std::string receive() {
        pollfd p{udp_, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            return {};
        char buf[4096];
        socklen_t len = sizeof client_;
        ssize_t n =
            recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&client_), &len);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    // Answers over UDP, from the server's port or (forged) from another.
    void send(const std::string &msg, bool from_other_port = false) {
        int fd = udp_;
        if (from_other_port)
            fd = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&client_),
               sizeof client_);
        if (from_other_port)
            close(fd);
    }
    // Takes one TCP connection, reads one framed request and answers it.
    std::string serve_tcp(const std::function<std::string(const std::string &)> &answer) {
        pollfd p{tcp_, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            return {};
        int c = accept(tcp_, nullptr, nullptr);
        std::string in;
        char buf[4096];
        while (in.size() < 2 || in.size() < 2 + size_t(uint8_t(in[0]) << 8 | uint8_t(in[1]))) {
            pollfd q{c, POLLIN, 0};
            if (poll(&q, 1, 3000) != 1)
                break;
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<size_t>(n));
        }
        std::string req = in.size() > 2 ? in.substr(2) : std::string();
        std::string out = answer(req);
        std::string frame = {char(out.size() >> 8), char(out.size() & 0xff)};
        frame += out;
        ::send(c, frame.data(), frame.size(), MSG_NOSIGNAL);
        close(c);
        return req;
    }

  private:
    int udp_ = -1, tcp_ = -1, port_ = 0;
    sockaddr_in client_{};
    std::thread thread_;
};

tsig_key test_key(tsig_alg alg = tsig_alg::hmac_sha256) {
    tsig_key k{};
    dns_msg_name_from_text(&k.name, "upd.key", 7);
    k.alg = alg;
    k.secret = reinterpret_cast<const uint8_t *>(secret.data());
    k.secret_len = secret.size();
    return k;
}

// The request's MAC, read from its TSIG record.
std::string mac_of(const std::string &req) {
    dns_msg_answer a{};
    const auto *p = reinterpret_cast<const uint8_t *>(req.data());
    if (!dns_msg_parse(p, req.size(), &a) || a.tsig_at == 0)
        return {};
    dns_name alg;
    size_t next;
    dns_msg_read_name(p, req.size(), a.tsig_rdata, &alg, &next);
    size_t mlen = dns_msg_get16(p + next + 8);
    return req.substr(next + 10, mlen);
}

struct answer_opts {
    unsigned rcode = 0;
    uint16_t flags = 0;
    uint16_t tsig_error = 0;
    int id_delta = 0;
    bool sign = true;
    bool spoil_mac = false;
    bool bare = false; // no TSIG record at all, as some name servers refuse
    tsig_key key = test_key();
};

// An answer to req as a name server makes it: signed over the request's
// MAC, or unsigned with only an error, as for BADKEY.
std::string answer(const std::string &req, const answer_opts &o = {}) {
    uint8_t buf[1024] = {};
    uint16_t id = static_cast<uint16_t>(
        dns_msg_get16(reinterpret_cast<const uint8_t *>(req.data())) + o.id_delta);
    dns_msg_put16(buf, id);
    dns_msg_put16(buf + 2,
                  static_cast<uint16_t>(DNS_FLAG_QR | DNS_OPCODE_UPDATE << 11 | o.flags | o.rcode));
    if (o.bare)
        return std::string(reinterpret_cast<char *>(buf), DNS_HEADER_LEN);
    if (!o.sign) {
        std::string m(reinterpret_cast<char *>(buf), DNS_HEADER_LEN);
        m[11] = 1;
        m += std::string(reinterpret_cast<const char *>(o.key.name.wire), o.key.name.len);
        uint8_t t[] = {0x00, 0xfa, 0x00, 0xff, 0, 0, 0, 0, 0, 29};
        m.append(reinterpret_cast<char *>(t), sizeof t);
        m += std::string("\x0bhmac-sha256\0", 13);
        uint8_t f[] = {0,
                       0,
                       uint8_t(now >> 24),
                       uint8_t(now >> 16),
                       uint8_t(now >> 8),
                       uint8_t(now),
                       0x01,
                       0x2c,
                       0,
                       0,
                       uint8_t(id >> 8),
                       uint8_t(id),
                       uint8_t(o.tsig_error >> 8),
                       uint8_t(o.tsig_error),
                       0,
                       0};
        m.append(reinterpret_cast<char *>(f), sizeof f);
        return m;
    }
    std::string rm = mac_of(req);
    uint8_t mac[TSIG_MAC_MAX];
    size_t n =
        tsig_sign(buf, DNS_HEADER_LEN, sizeof buf, &o.key, now,
                  reinterpret_cast<const uint8_t *>(rm.data()), rm.size(), o.tsig_error, mac);
    std::string m(reinterpret_cast<char *>(buf), n);
    if (o.spoil_mac)
        m[n - 10] ^= 1;
    return m;
}

std::string conf_text(int port, int wait_ms = 1000) {
    return "(dns-update (server 127.0.0.1 " + std::to_string(port) +
           ") (zone example.test) (key upd.key hmac-sha256 \"" + secret + "\") (wait " +
           std::to_string(wait_ms) + "))";
}

const uint8_t addr4[4] = {192, 0, 2, 7};
const std::string head = "Account home: DNS update of home.example.test A to 192.0.2.7";

struct run_result {
    dns_update_result result;
    std::vector<log_record> log;
};

run_result run_against(fake_ns &ns, const uint8_t *addr = addr4, uint16_t type = DNS_TYPE_A,
                       int wait_ms = 1000) {
    LogCapture cap;
    form f(conf_text(ns.port(), wait_ms));
    dns_update_result r = dns_update_effector(f.args(), acct, 4, type, addr);
    return {r, cap.records()};
}

// The request carries the update and a TSIG that verifies as the name
// server checks it; forged answers before the real one change nothing.
TEST(DnsUpdateExchange, ForgedAnswersAreIgnoredUntilTheAuthenticOne) {
    FakeClock clock(now);
    std::string seen;
    fake_ns ns([&](fake_ns &s, const std::string &req) {
        seen = req;
        answer_opts wrong_id;
        wrong_id.id_delta = 1;
        answer_opts bad_mac;
        bad_mac.spoil_mac = true;
        answer_opts other_key;
        other_key.key.secret_len--;
        s.send(answer(req, wrong_id));
        s.send(answer(req, bad_mac));
        s.send(answer(req, other_key));
        s.send(answer(req), true);         // from another port
        s.send(answer(req).substr(0, 30)); // cut short
        s.send(req);                       // the request itself, echoed
        s.send(answer(req));
    });
    run_result r = run_against(ns);
    EXPECT_EQ(r.result, dns_update_result::applied);
    EXPECT_EQ(r.log, (std::vector<log_record>{{LOG_INFO, head + " applied by 127.0.0.1 port " +
                                                             std::to_string(ns.port()) + "\n"}}));

    // What went out: the update, signed.
    ns.join();
    dns_msg_answer a{};
    const auto *p = reinterpret_cast<const uint8_t *>(seen.data());
    ASSERT_TRUE(dns_msg_parse(p, seen.size(), &a));
    tsig_key k = test_key();
    EXPECT_EQ(tsig_verify(p, seen.size(), &a, &k, now, nullptr, 0, nullptr), tsig_verdict::valid);
    EXPECT_EQ(seen.substr(2, 10), std::string("\x28\x00\x00\x01\x00\x00\x00\x02\x00\x01", 10));
}

TEST(DnsUpdateExchange, OutcomesAndTheirMessages) {
    FakeClock clock(now);
    const std::string by = " by 127.0.0.1 port ";
    const struct {
        const char *what;
        answer_opts opts;
        dns_update_result result;
        int priority;
        std::string tail; // after "refused by 127.0.0.1 port N"
    } rows[] = {
        {"refused", {.rcode = 5}, dns_update_result::refused, LOG_ERR, ": REFUSED\n"},
        {"not authorised, signed BADTIME",
         {.rcode = 9, .tsig_error = TSIG_BADTIME},
         dns_update_result::refused,
         LOG_ERR,
         ": NOTAUTH, TSIG error BADTIME\n"},
        {"unknown key, unsigned",
         {.rcode = 9, .tsig_error = TSIG_BADKEY, .sign = false},
         dns_update_result::refused,
         LOG_ERR,
         " in an unsigned answer: NOTAUTH, TSIG error BADKEY\n"},
        {"unassigned rcode", {.rcode = 14}, dns_update_result::refused, LOG_ERR, ": RCODE 14\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        fake_ns ns([&](fake_ns &s, const std::string &req) { s.send(answer(req, row.opts)); });
        run_result r = run_against(ns);
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.log, (std::vector<log_record>{
                             {row.priority,
                              head + " refused" + by + std::to_string(ns.port()) + row.tail}}));
    }
}

// Each message an answer may be, judged without a socket: only an
// authentic one is an answer; one without any TSIG record, whatever its
// RCODE, is an unsigned error and never a success.
TEST(DnsUpdateJudge, ForgedAndUnsignedAnswers) {
    uint8_t req[512] = {0x12, 0x34, 0x28, 0x00};
    tsig_key k = test_key();
    uint8_t req_mac[TSIG_MAC_MAX];
    size_t rn = tsig_sign(req, DNS_HEADER_LEN, sizeof req, &k, now, nullptr, 0, 0, req_mac);
    ASSERT_GT(rn, 0u);
    const std::string request(reinterpret_cast<char *>(req), rn);
    using J = dns_update_judgement;
    const struct {
        const char *what;
        std::string msg;
        J::kind_t kind;
        unsigned rcode;
        uint16_t tsig_error;
    } rows[] = {
        {"signed NOERROR", answer(request), J::answer, 0, 0},
        {"signed REFUSED", answer(request, {.rcode = 5}), J::answer, 5, 0},
        {"bare REFUSED", answer(request, {.rcode = 5, .bare = true}), J::unsigned_error, 5, 0},
        {"bare NOERROR", answer(request, {.bare = true}), J::unsigned_error, 0, 0},
        {"bare NOTAUTH", answer(request, {.rcode = 9, .bare = true}), J::unsigned_error, 9, 0},
        {"unsigned BADKEY", answer(request, {.rcode = 9, .tsig_error = TSIG_BADKEY, .sign = false}),
         J::unsigned_error, 9, TSIG_BADKEY},
        {"bad MAC", answer(request, {.spoil_mac = true}), J::ignore, 0, 0},
        {"bare, another ID", answer(request, {.rcode = 5, .id_delta = 1, .bare = true}), J::ignore,
         0, 0},
        {"bare, a query", answer(request, {.rcode = 5, .bare = true}).replace(2, 1, 1, '\x80'),
         J::ignore, 0, 0},
        {"bare, cut short", answer(request, {.rcode = 5, .bare = true}).substr(0, 11), J::ignore, 0,
         0},
        {"bare, bytes after the header", answer(request, {.rcode = 5, .bare = true}) + "x",
         J::ignore, 0, 0},
        {"the request echoed", request, J::ignore, 0, 0},
    };
    for (const auto &r : rows) {
        J j = dns_update_judge(reinterpret_cast<const uint8_t *>(r.msg.data()), r.msg.size(),
                               0x1234, &k, req_mac, tsig_mac_len(k.alg), now);
        EXPECT_EQ(j.kind, r.kind) << r.what;
        if (j.kind != J::ignore) {
            EXPECT_EQ(j.rcode, r.rcode) << r.what;
            EXPECT_EQ(j.tsig_error, r.tsig_error) << r.what;
        }
    }
}

// An answer without a TSIG record names the refusal once the wait is over;
// it never makes the update applied, and an authentic answer that comes
// after it still counts.
TEST(DnsUpdateExchange, UnsignedAnswersOnlyEverFailAndASignedOneStillWins) {
    FakeClock clock(now);
    const struct {
        const char *what;
        std::vector<answer_opts> answers;
        dns_update_result result;
        std::string tail; // after the head
    } rows[] = {
        {"bare REFUSED",
         {{.rcode = 5, .bare = true}},
         dns_update_result::refused,
         " refused by @ in an unsigned answer: REFUSED\n"},
        {"bare NOERROR",
         {{.bare = true}},
         dns_update_result::refused,
         " refused by @ in an unsigned answer: NOERROR\n"},
        {"bare REFUSED, then signed NOERROR",
         {{.rcode = 5, .bare = true}, {}},
         dns_update_result::applied,
         " applied by @\n"},
        {"unsigned BADSIG, then bare REFUSED",
         {{.rcode = 9, .tsig_error = TSIG_BADSIG, .sign = false}, {.rcode = 5, .bare = true}},
         dns_update_result::refused,
         " refused by @ in an unsigned answer: NOTAUTH, TSIG error BADSIG\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        fake_ns ns([&](fake_ns &s, const std::string &req) {
            for (const auto &o : row.answers)
                s.send(answer(req, o));
        });
        run_result r = run_against(ns, addr4, DNS_TYPE_A, 300);
        EXPECT_EQ(r.result, row.result);
        std::string tail = row.tail;
        tail.replace(tail.find('@'), 1, "127.0.0.1 port " + std::to_string(ns.port()));
        EXPECT_EQ(r.log, (std::vector<log_record>{
                             {row.result == dns_update_result::applied ? LOG_INFO : LOG_ERR,
                              head + tail}}));
    }
}

// A key name written with capitals goes out lower-cased, and the request
// still verifies under the key as the name server holds it.
TEST(DnsUpdateExchange, KeyNameGoesOutLowerCased) {
    FakeClock clock(now);
    std::string seen;
    fake_ns ns([&](fake_ns &s, const std::string &req) {
        seen = req;
        s.send(answer(req));
    });
    LogCapture cap;
    form f("(dns-update (server 127.0.0.1 " + std::to_string(ns.port()) +
           ") (zone example.test) (key UPD.Key. hmac-sha256. \"" + secret + "\"))");
    EXPECT_EQ(dns_update_effector(f.args(), acct, 4, DNS_TYPE_A, addr4),
              dns_update_result::applied);
    ns.join();
    EXPECT_NE(seen.find(std::string("\x03upd\x03key\x00\x00\xfa", 9)), std::string::npos);
    EXPECT_EQ(seen.find("UPD"), std::string::npos);
    dns_msg_answer a{};
    const auto *p = reinterpret_cast<const uint8_t *>(seen.data());
    ASSERT_TRUE(dns_msg_parse(p, seen.size(), &a));
    tsig_key k = test_key();
    EXPECT_EQ(tsig_verify(p, seen.size(), &a, &k, now, nullptr, 0, nullptr), tsig_verdict::valid);
}

TEST(DnsUpdateExchange, SilenceEndsTheWaitAndCountsWhatWasIgnored) {
    FakeClock clock(now);
    fake_ns ns([&](fake_ns &s, const std::string &req) {
        answer_opts bad;
        bad.spoil_mac = true;
        s.send(answer(req, bad));
        s.send(answer(req, bad));
    });
    run_result r = run_against(ns);
    EXPECT_EQ(r.result, dns_update_result::no_answer);
    EXPECT_EQ(r.log, (std::vector<log_record>{{LOG_ERR, head + ": no answer from 127.0.0.1 port " +
                                                            std::to_string(ns.port()) +
                                                            " within 1000 ms (2 ignored)\n"}}));

    // Nobody listening at all: the refused port is no answer either.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len), 0);
    close(fd);
    int port = ntohs(sa.sin_port);
    LogCapture cap;
    form f(conf_text(port, 100));
    EXPECT_EQ(dns_update_effector(f.args(), acct, 4, DNS_TYPE_A, addr4),
              dns_update_result::no_answer);
}

TEST(DnsUpdateExchange, TruncatedAnswerIsRetriedOverTcp) {
    FakeClock clock(now);
    std::string over_tcp;
    fake_ns ns([&](fake_ns &s, const std::string &req) {
        answer_opts tc;
        tc.flags = DNS_FLAG_TC;
        s.send(answer(req, tc).substr(0, DNS_HEADER_LEN));
        over_tcp = s.serve_tcp([](const std::string &r) { return answer(r); });
    });
    run_result r = run_against(ns);
    EXPECT_EQ(r.result, dns_update_result::applied);
    const std::string where = "127.0.0.1 port " + std::to_string(ns.port());
    EXPECT_EQ(r.log, (std::vector<log_record>{{LOG_INFO, head + ": truncated answer from " + where +
                                                             ", retrying over TCP\n"},
                                              {LOG_INFO, head + " applied by " + where + "\n"}}));
    ns.join();
    EXPECT_FALSE(over_tcp.empty());
}

// A lost request is sent again, the same bytes, and the answer to the
// copy counts.
TEST(DnsUpdateExchange, LostRequestIsSentAgain) {
    FakeClock clock(now);
    std::string first, second;
    fake_ns ns([&](fake_ns &s, const std::string &req) {
        first = req;
        second = s.receive();
        if (!second.empty())
            s.send(answer(second));
    });
    run_result r = run_against(ns);
    ns.join();
    EXPECT_EQ(r.result, dns_update_result::applied);
    EXPECT_EQ(first, second);
}

// A timeout deletes the RRset only; AAAA carries its 16 bytes.
TEST(DnsUpdateExchange, DeletionAndAaaa) {
    FakeClock clock(now);
    std::vector<std::string> reqs;
    for (int round = 0; round < 2; round++) {
        fake_ns ns([&](fake_ns &s, const std::string &req) {
            reqs.push_back(req);
            s.send(answer(req));
        });
        const uint8_t zero[4] = {};
        const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
        run_result r = round == 0 ? run_against(ns, zero) : run_against(ns, v6, DNS_TYPE_AAAA);
        EXPECT_EQ(r.result, dns_update_result::applied);
        ASSERT_EQ(r.log.size(), 1u);
        EXPECT_NE(r.log[0].text.find(round == 0 ? "DNS deletion of home.example.test A applied"
                                                : "home.example.test AAAA to 2001:db8::9 applied"),
                  std::string::npos)
            << r.log[0].text;
    }
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(dns_msg_get16(reinterpret_cast<const uint8_t *>(reqs[0].data()) + 8), 1);
    EXPECT_EQ(dns_msg_get16(reinterpret_cast<const uint8_t *>(reqs[1].data()) + 8), 2);
    EXPECT_NE(reqs[1].find(std::string("\x00\x1c\x00\x01\x00\x00\x00\x3c\x00\x10\x20\x01", 12)),
              std::string::npos);
}

// The effector list hands the update the family that changed: an IPv6
// change sets the AAAA RRset, an IPv4 one the A RRset.
TEST(DnsUpdateExchange, EffectorListPassesTheFamily) {
    FakeClock clock(now);
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
    const struct {
        int family;
        const uint8_t *addr;
        const char *text;
    } rows[] = {{AF_INET, addr4, "home.example.test A to 192.0.2.7 applied"},
                {AF_INET6, v6, "home.example.test AAAA to 2001:db8::9 applied"}};
    for (const auto &r : rows) {
        fake_ns ns([](fake_ns &s, const std::string &req) { s.send(answer(req)); });
        sx_text_tree list(conf_text(ns.port()));
        LogCapture cap;
        effector_run(list.first(), acct, 4, r.family, r.addr);
        ns.join();
        ASSERT_EQ(cap.records().size(), 1u);
        EXPECT_NE(cap.records()[0].text.find(r.text), std::string::npos) << cap.records()[0].text;
    }
}

TEST(DnsUpdateExchange, UnresolvableServerIsLogged) {
    LogCapture cap;
    form f("(dns-update (server host.invalid. 53) (zone example.test) (key k hmac-sha1 s))");
    EXPECT_EQ(dns_update_effector(f.args(), acct, 4, DNS_TYPE_A, addr4), dns_update_result::failed);
    ASSERT_EQ(cap.records().size(), 1u);
    EXPECT_EQ(cap.records()[0].text.rfind(head + ": lookup of host.invalid. port 53 failed: ", 0),
              0u)
        << cap.records()[0].text;
}

// A server name with several addresses: the first refuses (nothing listens
// there), so the request goes on at once to the next, which answers, and the
// answering address is logged.
TEST(DnsUpdateExchange, AddressesAreTriedInTurnAndTheAnsweringOneLogged) {
    FakeClock clock(now);
    fake_ns ns([&](fake_ns &s, const std::string &req) { s.send(answer(req)); });
    // The key's secret points into the form, which must outlive the exchange.
    form f(conf_text(ns.port(), 2000));
    dns_update_conf c;
    ASSERT_TRUE(dns_update_parse(f.args(), acct, 4, &c));
    dns_exchange_peer peers[2] = {};
    for (int i = 0; i < 2; i++) {
        auto &sa = reinterpret_cast<sockaddr_in &>(peers[i].sa);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(i == 0 ? INADDR_LOOPBACK + 1 : INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(i == 0 ? free_udp_port() : ns.port()));
        peers[i].len = sizeof sa;
    }
    LogCapture cap;
    dns_exchange x;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(dns_exchange_start(&x, &c, 77, DNS_TYPE_A, addr4, peers, 2, clock_mono_ms()));
    for (int n = 0; n < 200 && !x.finished; n++) {
        pollfd fds[DNS_EXCHANGE_MAX_PEERS];
        int k = dns_exchange_pollfds(&x, fds, DNS_EXCHANGE_MAX_PEERS);
        poll(fds, static_cast<nfds_t>(k), 20);
        dns_exchange_step(&x, clock_mono_ms());
    }
    dns_exchange_close(&x);
    ASSERT_TRUE(x.finished);
    EXPECT_EQ(x.answered_by, 1);
    // Not after a resend interval: the refusal moved it on.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(240));
    EXPECT_EQ(dns_update_report(&c, acct, 4, DNS_TYPE_A, addr4, &x), dns_update_result::applied);
    std::vector<log_record> log = cap.records();
    ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[0].text, head + ": 127.0.0.1 port " + std::to_string(ns.port()) +
                               " answered from 127.0.0.1\n");
}

} // namespace
