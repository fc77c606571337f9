#include "client/client_loop.h"

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
