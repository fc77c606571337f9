// 1,000 changes through the dns-update effector against a running knotd,
// beside, in the same run, the floor (the same signed UPDATE messages sent
// and answered one after another by a bare loop) and what an operator would
// otherwise do (a system effector running knsupdate for each change).
// Prints the rates and the two ratios against their goals.
#include "common/csexp/sx_reader.h"
#include "common/process/log.h"
#include "server/dns_update.h"
#include "tests/support/dns_update_run.h"
#include "tests/support/effector_run.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char secret_b64[] = "dHNpZyBzZWNyZXQgb2YgdGhlIHpvcnZlbCB0ZXN0cw==";
const char secret[] = "tsig secret of the zorvel tests";

using clk = std::chrono::steady_clock;

double seconds_since(clk::time_point t) {
    return std::chrono::duration<double>(clk::now() - t).count();
}

std::string find_tool(const char *name) {
    for (const char *dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0)
            return p;
    }
    return {};
}

int free_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    if (f != nullptr) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

struct tree {
    sx_block b{};
    explicit tree(std::string text) {
        FILE *f = fmemopen(text.data(), text.size(), "r");
        sx_read_file(&b, f, 4096, 4096, 64);
        fclose(f);
    }
    ~tree() { sx_free(&b); }
};

// The bare loop: each message sent on a connected socket and its answer
// awaited, nothing parsed or checked.
double floor_rate(int port, const std::vector<std::string> &msgs) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    uint8_t buf[4096];
    auto t = clk::now();
    for (const auto &m : msgs) {
        send(fd, m.data(), m.size(), 0);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1 || recv(fd, buf, sizeof buf, 0) <= 0) {
            fprintf(stderr, "floor: no answer\n");
            exit(1);
        }
    }
    double s = seconds_since(t);
    close(fd);
    return static_cast<double>(msgs.size()) / s;
}

unsigned g_errors = 0;
void count_errors(int priority, const char *) {
    if (priority <= 3)
        g_errors++;
}

} // namespace

int main(int argc, char **argv) {
    const int changes = argc > 1 ? atoi(argv[1]) : 1000;
    const int tool_changes = argc > 2 ? atoi(argv[2]) : 100;
    // ZORVEL_BENCH_SYNC_JOURNAL=1 keeps Knot's default of a synchronous
    // journal, so that each update waits for the disk.
    const char *sync_env = getenv("ZORVEL_BENCH_SYNC_JOURNAL");
    const bool sync_journal = sync_env != nullptr && *sync_env == '1';
    const std::string journal_mode = sync_journal ? "" : "    journal-db-mode: asynchronous\n";
    std::string knotd = find_tool("knotd"), knsupdate = find_tool("knsupdate");
    if (knotd.empty() || knsupdate.empty()) {
        printf("bench_dns_update: knotd or knsupdate missing, skipped\n");
        return 0;
    }
    char tmpl[] = "/tmp/zorvel-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    int port = free_port();
    write_file(dir + "/example.test.zone", "$ORIGIN example.test.\n$TTL 60\n"
                                           "@ IN SOA ns hostmaster 1 3600 600 86400 60\n"
                                           "@ IN NS ns\nns IN A 127.0.0.1\n");
    write_file(dir + "/knot.conf",
               "server:\n    rundir: \"" + dir + "\"\n    listen: 127.0.0.1@" +
                   std::to_string(port) + "\n    udp-workers: 1\n    tcp-workers: 1\n" +
                   "    background-workers: 1\ncontrol:\n    listen: \"" + dir +
                   "/knot.sock\"\nlog:\n  - target: \"" + dir + "/knot.log\"\n    any: warning\n" +
                   "database:\n    storage: \"" + dir + "\"\n" + journal_mode +
                   "key:\n  - id: upd.key\n" + "    algorithm: hmac-sha256\n    secret: " +
                   secret_b64 + "\nacl:\n  - id: update\n    key: upd.key\n    action: update\n" +
                   "template:\n  - id: default\n    storage: \"" + dir +
                   "\"\n    file: \"%s.zone\"\n    zonefile-sync: -1\nzone:\n  - domain: "
                   "example.test.\n    acl: update\n");
    pid_t ns = fork();
    if (ns == 0) {
        execl(knotd.c_str(), knotd.c_str(), "-c", (dir + "/knot.conf").c_str(), (char *)nullptr);
        _exit(127);
    }
    // Ready when an update goes through.
    log_set_sink(count_errors);
    tree form("(dns-update (server 127.0.0.1 " + std::to_string(port) +
              ") (zone example.test) (key upd.key hmac-sha256 |" + secret_b64 + "|) (wait 2000))");
    const sx_node *args = sx_first(&form.b.nodes[0])->next;
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        const uint8_t a[4] = {192, 0, 2, 1};
        up = dns_update_effector(args, "home", 4, DNS_TYPE_A, a) == dns_update_result::applied;
        if (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!up) {
        fprintf(stderr, "knotd did not take updates\n");
        kill(ns, SIGTERM);
        return 1;
    }

    // The same messages the effector sends, built and signed beforehand.
    dns_update_conf c;
    dns_update_parse(args, "home", 4, &c);
    std::vector<std::string> msgs;
    for (int i = 0; i < changes; i++) {
        const uint8_t a[4] = {198, 51, 100, static_cast<uint8_t>(i % 250 + 1)};
        dns_msg_update u{static_cast<uint16_t>(i), &c.zone, &c.owner, DNS_TYPE_A, c.ttl, a};
        uint8_t buf[1024], mac[TSIG_MAC_MAX];
        size_t n = dns_msg_build_update(buf, sizeof buf, &u);
        n = tsig_sign(buf, n, sizeof buf, &c.key, static_cast<uint64_t>(time(nullptr)), nullptr, 0,
                      0, mac);
        msgs.emplace_back(reinterpret_cast<char *>(buf), n);
    }

    // Effector: the form read and run for each change, as the server does.
    log_set_sink(nullptr);
    log_open("bench_dns_update");
    double best_floor = 0, best_effector = 0;
    for (int round = 0; round < 2; round++) {
        best_floor = std::max(best_floor, floor_rate(port, msgs));
        auto t = clk::now();
        for (int i = 0; i < changes; i++) {
            const uint8_t a[4] = {203, 0, 113, static_cast<uint8_t>(i % 250 + 1)};
            effector_run(&form.b.nodes[0], "home", 4, AF_INET, a);
        }
        best_effector = std::max(best_effector, changes / seconds_since(t));
    }

    // knsupdate through a system effector, as an operator would script it.
    std::string script = dir + "/update.sh";
    write_file(script, "#!/bin/sh\nprintf \"server 127.0.0.1 " + std::to_string(port) +
                           "\\nzone example.test.\\nupdate delete $1.example.test. A\\n"
                           "update add $1.example.test. 60 A $2\\nsend\\n\" | " +
                           knsupdate + " -y hmac-sha256:upd.key:" + secret_b64 + "\n");
    chmod(script.c_str(), 0755);
    tree sys("(system \"" + script + " \" (name) \" \" (addr))");
    auto t = clk::now();
    for (int i = 0; i < tool_changes; i++) {
        const uint8_t a[4] = {192, 0, 2, static_cast<uint8_t>(i % 250 + 1)};
        effector_run(&sys.b.nodes[0], "home", 4, AF_INET, a);
    }
    double tool_rate = tool_changes / seconds_since(t);

    kill(ns, SIGTERM);
    waitpid(ns, nullptr, 0);
    std::string rm = "rm -rf " + dir;
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", dir.c_str());

    printf("floor (bare loop, %d messages):     %8.0f changes/s\n", changes, best_floor);
    printf("dns-update effector (%d changes):   %8.0f changes/s\n", changes, best_effector);
    printf("system effector + knsupdate (%d):    %8.1f changes/s\n", tool_changes, tool_rate);
    double r_floor = best_effector / best_floor, r_tool = best_effector / tool_rate;
    printf("effector / floor:     %.2f (goal >= 0.8: %s)\n", r_floor,
           r_floor >= 0.8 ? "met" : "NOT met");
    printf("effector / knsupdate: %.1fx (goal >= 10x: %s)\n", r_tool,
           r_tool >= 10 ? "met" : "NOT met");
    return 0;
}
