#include "client/client_config.h"

#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>

namespace {

// Reads text as the client's configuration file.
struct ConfigFile {
    TempDir dir;
    client_config cfg;
    int rc;
    explicit ConfigFile(const std::string &text) {
        client_config_init(&cfg);
        rc = client_config_read(&cfg, dir.write("client.conf", text).c_str());
    }
    ~ConfigFile() { client_config_free(&cfg); }
    // Every server in order, "host port" for IPv4 and "6 host port" for
    // IPv6, joined with ", ".
    std::string servers() const {
        std::string out;
        for (int32_t i = 0; const client_server *s = client_config_server(&cfg, i); i++) {
            if (!out.empty())
                out += ", ";
            out += s->family == AF_INET6 ? "6 " : "";
            out += s->host != nullptr ? s->host : "<none>";
            out += " ";
            out += s->port != nullptr ? s->port : "<none>";
        }
        return out;
    }
    std::string name() const {
        return cfg.name != nullptr ? std::string(cfg.name, cfg.name_len) : "<none>";
    }
    std::string key() const {
        return cfg.key != nullptr ? std::string(cfg.key, cfg.key_len) : "<none>";
    }
    // The command of the n-th sensor, or "<none>".
    std::string sensor(size_t n) const {
        const sx_node *s = cfg.sensors.nsize > 0 ? &cfg.sensors.nodes[0] : nullptr;
        for (; s != nullptr && n > 0; n--)
            s = s->next;
        if (s == nullptr)
            return "<none>";
        if (!sx_is_list(s))
            return sx_text(s);
        const sx_node *cmd = sx_first(s) != nullptr ? sx_first(s)->next : nullptr;
        return cmd != nullptr && !sx_is_list(cmd) ? sx_text(cmd) : "<list>";
    }
};

TEST(ClientConfig, ReadsEverySettingAndItsSynonyms) {
    LogCapture cap;
    ConfigFile f("(server ns.example.net 5353)\n"
                 "(name host1) (key \"s3cr\\x00t\")\n"
                 "(interval 60) (resolv 30) (resolv-retry 10)\n"
                 "(sensor (system \"echo 192.0.2.7\") dhcp)\n");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.servers(), "ns.example.net 5353");
    EXPECT_EQ(f.name(), "host1");
    // A key is bytes: a NUL inside is kept with its length.
    EXPECT_EQ(f.key(), std::string("s3cr\0t", 6));
    EXPECT_EQ(f.cfg.interval, 60);
    EXPECT_EQ(f.cfg.resolv_interval, 30);
    EXPECT_EQ(f.cfg.resolv_retry, 10);
    EXPECT_EQ(f.sensor(0), "echo 192.0.2.7");
    EXPECT_EQ(f.sensor(1), "dhcp");
    EXPECT_EQ(f.sensor(2), "<none>");
    EXPECT_TRUE(client_config_complete(&f.cfg));
    EXPECT_TRUE(cap.records().empty());

    ConfigFile g("(resolv-interval 4) (resolv_retry 5)");
    EXPECT_EQ(g.cfg.resolv_interval, 4);
    EXPECT_EQ(g.cfg.resolv_retry, 5);
    ConfigFile h("(resolv_interval 6)");
    EXPECT_EQ(h.cfg.resolv_interval, 6);
}

TEST(ClientConfig, DefaultsWhenNotSet) {
    ConfigFile f("(name host1)");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.cfg.interval, 0);
    EXPECT_EQ(f.cfg.resolv_interval, -1);
    EXPECT_EQ(f.cfg.resolv_retry, 0);
    EXPECT_EQ(f.cfg.sensors.nsize, 0u);
}

TEST(ClientConfig, LaterSettingReplacesEarlier) {
    ConfigFile f("(name a) (name bb) (key k1) (key k2)\n"
                 "(interval 5) (interval 7) (resolv 1) (resolv_interval 2)\n"
                 "(sensor (system one) (system two)) (sensor (system three))\n");
    EXPECT_EQ(f.name(), "bb");
    EXPECT_EQ(f.key(), "k2");
    EXPECT_EQ(f.cfg.interval, 7);
    EXPECT_EQ(f.cfg.resolv_interval, 2);
    EXPECT_EQ(f.sensor(0), "three");
    EXPECT_EQ(f.sensor(1), "<none>");
}

TEST(ClientConfig, NumbersReadAsAtoiDoes) {
    const struct {
        const char *value;
        int32_t want;
    } cases[] = {
        {"10s", 10},
        {"soon", 0},
        {"-5", -5},
        {"+3", 3},
        {"\" \\t 42\"", 42},
        {"007", 7},
        {"1e3", 1},
        {"- 4", 0},
        {"2147483647", INT32_MAX},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        ConfigFile f(std::string("(interval ") + c.value + ")");
        EXPECT_EQ(f.cfg.interval, c.want);
    }
}

TEST(ClientConfig, ValuesThatDoNotFitLeaveTheSettingAlone) {
    LogCapture cap;
    ConfigFile f("(name n1) (key k1) (interval 9) (resolv 8) (resolv-retry 7)\n"
                 "(sensor (system keep))\n"
                 "(name \"\") (name (n2)) (key \"\") (key (k2))\n"
                 "(interval \"\") (interval (1)) (resolv) (resolv-retry ())\n"
                 "(sensor) (name)\n");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.name(), "n1");
    EXPECT_EQ(f.key(), "k1");
    EXPECT_EQ(f.cfg.interval, 9);
    EXPECT_EQ(f.cfg.resolv_interval, 8);
    EXPECT_EQ(f.cfg.resolv_retry, 7);
    EXPECT_EQ(f.sensor(0), "keep");
    EXPECT_TRUE(cap.records().empty());
}

TEST(ClientConfig, SkipsStrayItemsAndLogsUnknownKeywords) {
    LogCapture cap;
    ConfigFile f("stray () ((name x) 1) (Name y) (colour blue) (name host1) (colour)");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.name(), "host1");
    EXPECT_EQ(cap.records(), (std::vector<log_record>{
                                 {LOG_WARNING, "Unknown client option \"Name\"\n"},
                                 {LOG_WARNING, "Unknown client option \"colour\"\n"},
                             }));
}

// Cut at the NUL, such a name would reach the server as another account's,
// and such a host or port would be looked up as another one.
TEST(ClientConfig, RefusesNamesHostsAndPortsWithANulByte) {
    LogCapture cap;
    ConfigFile f("(server \"ns\\x00.evil\" 53) (name host1) (name \"ho\\x00st\") (key k)");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.name(), "<none>");
    EXPECT_EQ(f.servers(), "<none> 53");
    EXPECT_FALSE(client_config_complete(&f.cfg));
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_ERR, "Unusable client option \"server\": NUL byte in value\n"},
                  {LOG_ERR, "Unusable client option \"name\": NUL byte in value\n"},
              }));

    ConfigFile g("(server ns \"53\\x00\")");
    EXPECT_EQ(g.servers(), "ns <none>");
}

TEST(ClientConfig, CompleteOnlyWithHostPortNameAndKey) {
    const struct {
        const char *text;
        bool complete;
    } cases[] = {
        {"(server h p) (name n) (key k)", true},
        {"(server h) (name n) (key k)", false},
        {"(server \"\" p) (name n) (key k)", false},
        {"(server h \"\") (name n) (key k)", false},
        {"(server h p) (key k)", false},
        {"(server h p) (name n)", false},
        {"(name n) (key k)", false},
        // Either server will do, or both; one given half way is an error.
        {"(server6 h p) (name n) (key k)", true},
        {"(server h p) (server6 h p) (name n) (key k)", true},
        {"(server6 h) (name n) (key k)", false},
        {"(server h p) (server6 h) (name n) (key k)", false},
        {"(server h) (server6 h p) (name n) (key k)", false},
        {"(server6 \"\" p) (name n) (key k)", false},
        {"(server6 h p) (name n)", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ConfigFile f(c.text);
        EXPECT_EQ(client_config_complete(&f.cfg), c.complete);
    }
}

// Every server setting adds a server, in the order of the file, whatever
// its family; one whose host or port is a list, missing or refused stays
// as a half-given server, which makes the configuration incomplete.
TEST(ClientConfig, EachServerSettingAddsAServer) {
    const struct {
        const char *text;
        const char *servers;
        bool complete;
    } cases[] = {
        {"(server a 1) (server b 2)", "a 1, b 2", true},
        {"(server6 ns6.example.net 5353) (server a 1) (server6 \"2001:db8::53\" 8745)",
         "6 ns6.example.net 5353, a 1, 6 2001:db8::53 8745", true},
        {"(server a 1) (server b)", "a 1, b <none>", false},
        {"(server (h2) (p2)) (server a 1)", "<none> <none>, a 1", false},
        {"(server6 \"ns\\x00.evil\" 1) (server a 1)", "6 <none> 1, a 1", false},
        {"(server a 1) (server a 1)", "a 1, a 1", true},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ConfigFile f(std::string(c.text) + " (name n) (key k)");
        ASSERT_EQ(f.rc, 0);
        EXPECT_EQ(f.servers(), c.servers);
        EXPECT_EQ(client_config_complete(&f.cfg), c.complete);
    }
}

TEST(ClientConfig, ReadsTheIPv6Sensors) {
    LogCapture cap;
    ConfigFile f(
        "(sensor6 (system \"echo 2001:db8::7\") (interface eth0 ula)) (sensor (system a))\n"
        "(name n) (key k)\n");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.sensor(0), "a");
    ASSERT_GT(f.cfg.sensors6.nsize, 0u);
    const sx_node *s6 = &f.cfg.sensors6.nodes[0];
    EXPECT_STREQ(sx_text(sx_first(s6)->next), "echo 2001:db8::7");
    ASSERT_NE(s6->next, nullptr);
    EXPECT_STREQ(sx_text(sx_first(s6->next)->next), "eth0");
    EXPECT_EQ(s6->next->next, nullptr);
    EXPECT_TRUE(cap.records().empty());
}

TEST(ClientConfig, UnreadableOrEmptyFileFails) {
    TempDir dir;
    client_config cfg;
    client_config_init(&cfg);
    LogCapture cap;
    std::string missing = dir.file("missing.conf");
    EXPECT_EQ(client_config_read(&cfg, missing.c_str()), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Unable to open configuration file \"" + missing +
                                                     "\": No such file or directory\n"}}));
    cap.clear();
    for (const char *text : {"", " \n\t"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(client_config_read(&cfg, dir.write("c.conf", text).c_str()), -1);
    }
    EXPECT_TRUE(cap.records().empty());
    client_config_free(&cfg);
}

} // namespace
