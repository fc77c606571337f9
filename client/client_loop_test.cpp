#include "client/client_loop.h"

#include "common/protocol/address.h"
#include "common/protocol/hmac_sha1.h"
#include "tests/support/log_capture.h"

#include "tests/support/scenario.h"
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

struct Client {
    client_config cfg;
    int sock;
    Client(const char *name, const char *key, const char *sensor) {
        client_config_init(&cfg);
        cfg.name = strdup(name);
        cfg.name_len = strlen(name);
        cfg.key = strdup(key);
        cfg.key_len = strlen(key);
        if (sensor != nullptr) {
            sx_node cmd{const_cast<char *>(sensor), strlen(sensor), nullptr};
            sx_node kind{const_cast<char *>("system"), 6, &cmd};
            sx_node list{&kind, SX_LIST, nullptr};
            sx_dup(&cfg.sensors, &list);
        }
        sock = client_socket();
    }
    ~Client() {
        close(sock);
        client_config_free(&cfg);
    }
    void send(time_t t) {
        update_msg msg{};
        msg.time = t;
        msg.name = cfg.name;
        msg.name_len = cfg.name_len;
        client_send(sock, &msg, &cfg);
    }
};

std::string quad(const uint8_t a[4]) {
    char t[16];
    snprintf(t, sizeof t, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return t;
}

// What the server will make of the datagram: it decodes, names the
// account and carries the sensor's address under a MAC made with the key.
TEST(ClientSend, DatagramDecodesAndAuthenticatesWithTheKey) {
    UdpReceiver server;
    ASSERT_GT(server.port(), 0);
    Client client("host1", "s3cret", "echo 192.0.2.7");
    LogCapture cap;
    ASSERT_EQ(client_connect(client.sock, "127.0.0.1", std::to_string(server.port()).c_str()), 0);
    client.send(1700000000);

    std::string d = server.receive();
    ASSERT_EQ(d.size(), 10u + 5u + 32u);
    update_msg msg{};
    size_t prefix = update_msg_decode(&msg, reinterpret_cast<const uint8_t *>(d.data()), d.size());
    ASSERT_EQ(prefix, d.size() - 25);
    EXPECT_EQ(msg.time, 1700000000);
    EXPECT_EQ(std::string(msg.name, msg.name_len), "host1");
    EXPECT_EQ(quad(msg.addr), "192.0.2.7");
    uint8_t mac[HMAC_SHA1_LEN];
    hmac_sha1(mac, d.data(), prefix, "s3cret", 6);
    EXPECT_TRUE(hmac_sha1_equal(mac, msg.mac));
    EXPECT_TRUE(cap.records().empty());
}

TEST(ClientSend, NoSensorAddressSendsZeroAddress) {
    UdpReceiver server;
    Client client("host1", "k", "true");
    LogCapture cap;
    ASSERT_EQ(client_connect(client.sock, "127.0.0.1", std::to_string(server.port()).c_str()), 0);
    client.send(5);
    std::string d = server.receive();
    update_msg msg{};
    ASSERT_GT(update_msg_decode(&msg, reinterpret_cast<const uint8_t *>(d.data()), d.size()), 0u);
    EXPECT_EQ(quad(msg.addr), "0.0.0.0");
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Error while reading output of \"true\"\n"}}));
}

TEST(ClientSend, MessageTooLongForTheBufferIsNotSent) {
    UdpReceiver server;
    Client big(std::string(UPDATE_MSG_MAX, 'n').c_str(), "k", nullptr);
    Client small("host1", "k", nullptr);
    std::string port = std::to_string(server.port());
    ASSERT_EQ(client_connect(big.sock, "127.0.0.1", port.c_str()), 0);
    ASSERT_EQ(client_connect(small.sock, "127.0.0.1", port.c_str()), 0);
    LogCapture cap;
    big.send(1700000000);
    small.send(1700000000);
    EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, "Message buffer too short\n"}}));
    // The first datagram to arrive is the small client's.
    EXPECT_EQ(server.receive().size(), 10u + 5u + 32u);
}

TEST(ClientSend, RefusedSendIsLoggedAndTheClientGoesOn) {
    int port;
    {
        UdpReceiver gone;
        port = gone.port();
    }
    Client client("host1", "k", nullptr);
    ASSERT_EQ(client_connect(client.sock, "127.0.0.1", std::to_string(port).c_str()), 0);
    LogCapture cap;
    // The refusal reaches the connected socket with the ICMP answer to an
    // earlier datagram, so it shows on a later send.
    for (int i = 0; i < 50 && cap.records().empty(); i++) {
        client.send(1);
        usleep(10000);
    }
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, std::string("Send failure of message: ") +
                                                     strerror(ECONNREFUSED) + "\n"}}));
}

// A sensor list of one system command, as the configuration holds it.
void set_sensor(sx_block *list, const char *command) {
    sx_free(list);
    sx_node cmd{const_cast<char *>(command), strlen(command), nullptr};
    sx_node kind{const_cast<char *>("system"), 6, &cmd};
    sx_node item{&kind, SX_LIST, nullptr};
    sx_dup(list, &item);
}

// A received datagram and its decoding, which points into it.
struct Decoded {
    std::string data;
    update_msg msg{};
    size_t prefix = 0;
    explicit Decoded(std::string d) : data(std::move(d)) {
        prefix =
            update_msg_decode(&msg, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    bool authentic(const char *key) const {
        uint8_t mac[HMAC_SHA1_LEN];
        hmac_sha1(mac, data.data(), prefix, key, strlen(key));
        return prefix != 0 && hmac_sha1_equal(mac, msg.mac);
    }
};

// The IPv6 message carries the IPv6 sensor's address and goes out from it;
// without one it carries :: from whatever source the system picks. An
// address the host does not hold cannot be bound: logged, nothing sent.
TEST(ClientSend6, BoundToTheSensorAddress) {
    UdpReceiver6 server;
    ASSERT_GT(server.port(), 0) << "no IPv6 loopback here";
    Client client("host1", "s3cret", nullptr);
    client_route6 r;
    client_route6_init(&r);
    LogCapture cap;
    ASSERT_EQ(client_lookup6(&r, "::1", std::to_string(server.port()).c_str()), 0);

    const struct {
        const char *sensor;
        const char *announced;
        std::vector<log_record> records;
    } cases[] = {
        {"echo ::1", "::1", {}},
        {"true", "::", {{LOG_ERR, "Error while reading output of \"true\"\n"}}},
        {"echo 0:0:0:0:0:0:0:1", "::1", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sensor);
        cap.clear();
        set_sensor(&client.cfg.sensors6, c.sensor);
        update_msg msg{};
        msg.time = 1700000000;
        msg.name = client.cfg.name;
        msg.name_len = client.cfg.name_len;
        EXPECT_EQ(client_send6(&r, &msg, &client.cfg), 0);
        std::string source;
        Decoded d(server.receive(&source));
        ASSERT_EQ(d.prefix, 10u + 5u + 19u);
        EXPECT_EQ(d.msg.family, AF_INET6);
        EXPECT_STREQ(address_format6(d.msg.addr6).s, c.announced);
        EXPECT_EQ(source, "::1");
        EXPECT_TRUE(d.authentic("s3cret"));
        EXPECT_EQ(cap.records(), c.records);
    }

    cap.clear();
    set_sensor(&client.cfg.sensors6, "echo 2001:db8::dead");
    update_msg msg{};
    msg.name = client.cfg.name;
    msg.name_len = client.cfg.name_len;
    EXPECT_EQ(client_send6(&r, &msg, &client.cfg), 0);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, std::string("Unable to bind socket to "
                                                             "2001:db8::dead: ") +
                                                     strerror(EADDRNOTAVAIL) + "\n"}}));
    EXPECT_EQ(server.pending(), 0);
    client_route6_close(&r);
}

// Runs client_loop over cfg's servers.
int run_loop(client_config *cfg) {
    client_slots s{};
    int rc = client_slots_open(&s, cfg);
    if (rc == 0)
        rc = client_loop(&s, cfg, "");
    client_slots_close(&s);
    return rc;
}

// One cycle sends one message to each server configured, each in its own
// family.
TEST(ClientLoop, DualStackSendsBothMessages) {
    UdpReceiver server4;
    UdpReceiver6 server6;
    ASSERT_GT(server6.port(), 0) << "no IPv6 loopback here";
    Client client("host1", "k", "echo 192.0.2.7");
    client_config_add_server(&client.cfg, AF_INET, "127.0.0.1",
                             std::to_string(server4.port()).c_str());
    client_config_add_server(&client.cfg, AF_INET6, "::1", std::to_string(server6.port()).c_str());
    set_sensor(&client.cfg.sensors6, "echo ::1");
    LogCapture cap;
    EXPECT_EQ(run_loop(&client.cfg), 0);
    Decoded d4(server4.receive());
    ASSERT_NE(d4.prefix, 0u);
    EXPECT_EQ(d4.msg.family, AF_INET);
    EXPECT_EQ(quad(d4.msg.addr), "192.0.2.7");
    Decoded d6(server6.receive());
    ASSERT_NE(d6.prefix, 0u);
    EXPECT_EQ(d6.msg.family, AF_INET6);
    EXPECT_STREQ(address_format6(d6.msg.addr6).s, "::1");
    EXPECT_EQ(d4.msg.time, d6.msg.time);
    EXPECT_TRUE(d4.authentic("k") && d6.authentic("k"));
    EXPECT_EQ(server4.pending() + server6.pending(), 0);
    EXPECT_TRUE(cap.records().empty());
}

// Several servers of a family each get the cycle's message, the sensors
// being asked once for all of them; a server that cannot be looked up is
// logged and does not keep the message from the others.
TEST(ClientLoop, EveryServerGetsTheMessageAndOneFailingHoldsUpNoOther) {
    UdpReceiver a, b;
    UdpReceiver6 c;
    ASSERT_GT(c.port(), 0) << "no IPv6 loopback here";
    TempDir dir;
    std::string count = dir.file("count");
    Client client("host1", "k", ("echo x >> " + count + "; echo 192.0.2.7").c_str());
    client_config_add_server(&client.cfg, AF_INET, "127.0.0.1", "no-such-service");
    client_config_add_server(&client.cfg, AF_INET, "127.0.0.1", std::to_string(a.port()).c_str());
    client_config_add_server(&client.cfg, AF_INET6, "::1", std::to_string(c.port()).c_str());
    client_config_add_server(&client.cfg, AF_INET, "127.0.0.1", std::to_string(b.port()).c_str());
    LogCapture cap;
    // No retry: the failure ends the run, once the others have had theirs.
    EXPECT_EQ(run_loop(&client.cfg), -1);
    for (UdpReceiver *r : {&a, &b}) {
        Decoded d(r->receive());
        EXPECT_EQ(quad(d.msg.addr), "192.0.2.7");
        EXPECT_TRUE(d.authentic("k"));
    }
    EXPECT_EQ(Decoded(c.receive()).msg.family, AF_INET6);
    EXPECT_EQ(read_file(count), "x\n");
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_ERR, std::string("Address lookup of 127.0.0.1:no-such-service failed: ") +
                                gai_strerror(EAI_SERVICE) + "\n"}}));
}

TEST(ClientConnect, FailuresNameHostPortAndResult) {
    Client client("host1", "k", nullptr);
    const struct {
        const char *host;
        const char *port;
        log_record record;
    } cases[] = {
        {"127.0.0.1",
         "no-such-service",
         {LOG_ERR, std::string("Address lookup of 127.0.0.1:no-such-service failed: ") +
                       gai_strerror(EAI_SERVICE) + "\n"}},
        // A broadcast address needs SO_BROADCAST, which the client never sets.
        {"255.255.255.255",
         "9",
         {LOG_ERR, std::string("Unable to connect() to 255.255.255.255:9 (255.255.255.255:9): ") +
                       strerror(EACCES) + "\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host);
        LogCapture cap;
        EXPECT_EQ(client_connect(client.sock, c.host, c.port), -1);
        EXPECT_EQ(cap.records(), std::vector<log_record>{c.record});
    }
}

} // namespace
