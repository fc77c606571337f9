// zorvel-server under a flood of junk datagrams over loopback, beside a bare
// poll()+recvfrom() loop fed the same flood in the same run.
//
// A flooder sends, flat out from 127.0.0.1, four kinds of junk in turn:
// bytes that are no update, a wrong MAC, an unknown account, a stale time.
// A valid client sends one update every 20 ms, each from the next address
// of 127.0.1.0/24 and carrying 0.0.0.0 for an allow-unsafe account, so that
// every update the server accepts is an address change and logs one record.
// The bare loop counts the datagrams it receives from 127.0.1.0/24. The
// server's records are read from a private /dev/log (needs root).
//
// Prints, for each: the share of the valid client's datagrams accepted; for
// the server, the records per second other than the valid client's own
// presence records; and the ratio of the two shares.
#include "common/protocol/update_msg.h"
#include "tests/support/scenario.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto RUN = std::chrono::seconds(10);
constexpr auto VALID_EVERY = std::chrono::milliseconds(20);

std::string datagram(const char *name, const char *key, time_t when, const uint8_t addr[4]) {
    update_msg m = {};
    m.time = when;
    m.name = name;
    m.name_len = strlen(name);
    memcpy(m.addr, addr, 4);
    uint8_t buf[UPDATE_MSG_MAX];
    size_t n = update_msg_encode(buf, sizeof buf, &m, key, strlen(key));
    return {reinterpret_cast<const char *>(buf), n};
}

sockaddr_in loopback(int port, const char *addr = "127.0.0.1") {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, addr, &sa.sin_addr);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return sa;
}

// Junk flat out until stop; returns the count sent.
unsigned long flood(int port, const std::atomic<bool> &stop) {
    const uint8_t self[4] = {127, 0, 0, 1};
    const std::string kinds[] = {
        "no update at all",
        datagram("valid", "wrong", time(nullptr), self),
        datagram("ghost", "k", time(nullptr), self),
        datagram("valid", "k", time(nullptr) - 3600, self),
    };
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = loopback(port);
    unsigned long sent = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        const std::string &d = kinds[sent % 4];
        if (sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0)
            sent++;
    }
    close(fd);
    return sent;
}

// One valid update per period, each from the next address of 127.0.1.0/24.
unsigned long valid_client(int port, const std::atomic<bool> &stop) {
    const uint8_t none[4] = {};
    sockaddr_in to = loopback(port);
    unsigned long sent = 0;
    auto next = clock_type::now();
    while (!stop.load(std::memory_order_relaxed)) {
        std::string from = "127.0.1." + std::to_string(sent % 250 + 1);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in src = loopback(0, from.c_str());
        std::string d = datagram("valid", "k", time(nullptr), none);
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) == 0 &&
            sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0)
            sent++;
        close(fd);
        next += VALID_EVERY;
        std::this_thread::sleep_until(next);
    }
    return sent;
}

struct run_result {
    unsigned long junk = 0, valid = 0;
};

run_result drive(int port) {
    std::atomic<bool> stop{false};
    run_result r;
    std::thread f([&] { r.junk = flood(port, stop); });
    std::thread v([&] { r.valid = valid_client(port, stop); });
    std::this_thread::sleep_for(RUN);
    stop = true;
    f.join();
    v.join();
    return r;
}

// The baseline: a bare loop in a child process, one datagram per poll().
double bare_share() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return 0;
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        unsigned long valid = 0;
        auto end = clock_type::now() + RUN + std::chrono::seconds(1);
        pollfd p = {fd, POLLIN, 0};
        uint8_t buf[1024];
        while (clock_type::now() < end) {
            if (poll(&p, 1, 100) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            if (recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                         &fl) > 0 &&
                (ntohl(from.sin_addr.s_addr) >> 8) == 0x7f0001)
                valid++;
        }
        if (write(pipefd[1], &valid, sizeof valid) != sizeof valid)
            _exit(1);
        _exit(0);
    }
    close(pipefd[1]);
    run_result r = drive(ntohs(sa.sin_port));
    unsigned long valid = 0;
    if (read(pipefd[0], &valid, sizeof valid) != sizeof valid)
        valid = 0;
    waitpid(pid, nullptr, 0);
    close(fd);
    close(pipefd[0]);
    printf("bare loop: junk sent %lu, valid sent %lu, valid received %lu (%.1f%%)\n", r.junk,
           r.valid, valid, 100.0 * valid / r.valid);
    return static_cast<double>(valid) / r.valid;
}

double server_share(SyslogCapture *cap, double *records_per_s) {
    TempDir dir;
    int port = free_udp_port();
    std::string conf = dir.write("server.conf", "(listen " + std::to_string(port) +
                                                    " 127.0.0.1)\n(account (name valid) (key k) "
                                                    "(interval 60) (flags allow-unsafe))\n");
    ChildProcess p = ChildProcess::spawn({server_program(), "-c", conf});
    if (!cap->wait_for("Listening on", std::chrono::seconds(10), "zorvel-server"))
        return 0;
    cap->clear();
    // The records are read while the flood runs, as a syslog daemon would:
    // a full /dev/log queue would otherwise hold the server up.
    run_result r;
    std::atomic<bool> done{false};
    std::thread t([&] {
        r = drive(port);
        done = true;
    });
    while (!done) {
        cap->entries();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    t.join();
    // Let the last queued datagrams be judged and the summaries fall due.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    p.signal(SIGTERM);
    p.wait();
    unsigned long accepted = 0, other = 0;
    for (const std::string &t : cap->texts("zorvel-server")) {
        if (t.rfind("Accound valid changed address", 0) == 0 || t.rfind("Account valid up", 0) == 0)
            accepted++;
        else if (t != "Server exiting\n")
            other++;
    }
    double secs = std::chrono::duration<double>(RUN).count();
    *records_per_s = other / secs;
    printf("server:    junk sent %lu, valid sent %lu, valid accepted %lu (%.1f%%), "
           "other records %lu (%.1f a second)\n",
           r.junk, r.valid, accepted, 100.0 * accepted / r.valid, other, *records_per_s);
    return static_cast<double>(accepted) / r.valid;
}

} // namespace

int main() {
    SyslogCapture cap;
    std::string why;
    if (!cap.start(&why)) {
        fprintf(stderr, "bench_flood: cannot capture syslog: %s\n", why.c_str());
        return 2;
    }
    double bare = bare_share();
    double rate = 0;
    double server = server_share(&cap, &rate);
    double ratio = bare > 0 ? server / bare : 0;
    printf("share ratio server/bare %.2f (goal at least 0.8): %s\n", ratio,
           ratio >= 0.8 ? "met" : "NOT met");
    printf("records a second %.1f (goal at most 40): %s\n", rate, rate <= 40 ? "met" : "NOT met");
    return 0;
}
