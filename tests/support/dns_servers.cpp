// Knot, BIND and PowerDNS for the end-to-end tests.
#include "tests/support/dns_servers.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size()))
        s.replace(i, from.size(), to);
    return s;
}

const char knot_conf[] = R"(server:
    rundir: "@DIR@"
    pidfile: "@DIR@/knot.pid"
    listen: @ADDR@@@PORT@
    udp-workers: 1
    tcp-workers: 1
    background-workers: 1
control:
    listen: "@DIR@/knot.sock"
log:
  - target: "@DIR@/ns.log"
    any: info
database:
    storage: "@DIR@"
key:
  - id: upd.key
    algorithm: hmac-sha256
    secret: @SECRET@
acl:
  - id: update
    key: upd.key
    action: update
template:
  - id: default
    storage: "@DIR@"
    file: "%s.zone"
zone:
  - domain: example.test.
    acl: update
    dnssec-signing: @DNSSEC@
)";

const char knot_file_conf[] = R"(server:
    rundir: "@DIR@"
    pidfile: "@DIR@/knot.pid"
    listen: @ADDR@@@PORT@
    udp-workers: 1
    tcp-workers: 1
    background-workers: 1
control:
    listen: "@DIR@/knot.sock"
log:
  - target: "@DIR@/ns.log"
    any: info
database:
    storage: "@DIR@"
template:
  - id: default
    storage: "@DIR@"
    file: "%s.zone"
    zonefile-sync: -1
    zonefile-load: whole
    journal-content: none
zone:
  - domain: example.test.
)";

const char bind_conf[] = R"(options {
    directory "@DIR@";
    pid-file "@DIR@/named.pid";
    session-keyfile "@DIR@/session.key";
    listen-on port @PORT@ { @ADDR@; };
    reuseport no;
    listen-on-v6 { none; };
    recursion no;
    dnssec-validation no;
};
controls { };
logging {
    channel file { file "@DIR@/ns.log"; severity info; print-time yes; };
    category default { file; };
    category update { file; };
    category update-security { file; };
};
key "upd.key" { algorithm hmac-sha256; secret "@SECRET@"; };
zone "example.test" {
    type primary;
    file "@DIR@/example.test.zone";
    update-policy { grant upd.key name home.example.test. A AAAA; };
};
)";

// PowerDNS's own settings only (its configuration directory is the test's);
// no caches, so a query right after an update sees it, and no lookups of
// its own.
const char pdns_conf[] = R"(launch=gsqlite3
gsqlite3-database=@DIR@/pdns.sqlite3
local-address=@ADDR@
local-port=@PORT@
socket-dir=@DIR@
guardian=no
daemon=no
disable-syslog=yes
loglevel=6
dnsupdate=yes
allow-dnsupdate-from=127.0.0.0/8,::1/128
cache-ttl=0
query-cache-ttl=0
negquery-cache-ttl=0
security-poll-suffix=
webserver=no
api=no
receiver-threads=1
distributor-threads=1
)";

const char pdns_schema[] = "/usr/share/pdns-backend-sqlite3/schema/schema.sqlite3.sql";

const char zone_text[] = "$ORIGIN example.test.\n"
                         "$TTL 60\n"
                         "@ IN SOA ns @TAG@ 1 3600 600 86400 60\n"
                         "@ IN NS ns\n"
                         "ns IN A 127.0.0.1\n";

} // namespace

std::string find_tool(const std::string &name) {
    std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string p = dir + "/" + name;
        if (!dir.empty() && access(p.c_str(), X_OK) == 0)
            return p;
    }
    return {};
}

std::vector<std::string> output_lines(const std::string &cmd) {
    std::vector<std::string> lines;
    FILE *f = popen(cmd.c_str(), "r");
    if (f == nullptr)
        return lines;
    char buf[1024];
    while (fgets(buf, sizeof buf, f) != nullptr) {
        std::string l = buf;
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        lines.push_back(l);
    }
    pclose(f);
    return lines;
}

int free_dns_port() {
    for (int attempt = 0; attempt < 20; attempt++) {
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        int port = -1;
        if (tcp >= 0 && bind(tcp, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
            getsockname(tcp, reinterpret_cast<sockaddr *>(&sa), &len) == 0) {
            int udp = socket(AF_INET, SOCK_DGRAM, 0);
            if (udp >= 0 && bind(udp, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
                port = ntohs(sa.sin_port);
            if (udp >= 0)
                close(udp);
        }
        if (tcp >= 0)
            close(tcp);
        if (port > 0)
            return port;
    }
    return -1;
}

// Knot binds its port with SO_REUSEPORT, so two of them, in tests that
// run at the same time, could share a port and take each other's messages.
// An address of the loopback network per test process keeps them apart.
// BIND listens only on the addresses of interfaces, so it stays on
// 127.0.0.1, where it is told not to share its port.
std::string test_ns_address(ns_kind kind) {
    if (kind == ns_kind::bind)
        return "127.0.0.1";
    unsigned pid = static_cast<unsigned>(getpid());
    return "127.53." + std::to_string((pid >> 8) & 255) + "." + std::to_string((pid & 255) | 1);
}

TestNameServer::TestNameServer(ns_kind kind, const TempDir &dir, bool dnssec)
    : kind_(kind), dir_(dir), dnssec_(dnssec), address_(test_ns_address(kind)) {}

std::string TestNameServer::config() const {
    std::string text = kind_ == ns_kind::knot   ? knot_conf
                       : kind_ == ns_kind::bind ? bind_conf
                       : kind_ == ns_kind::pdns ? pdns_conf
                                                : knot_file_conf;
    text = replace_all(text, "@DIR@", dir_.path());
    text = replace_all(text, "@PORT@", std::to_string(port_));
    text = replace_all(text, "@ADDR@", address_);
    text = replace_all(text, "@SECRET@", test_tsig_secret_b64);
    return replace_all(text, "@DNSSEC@", dnssec_ ? "on" : "off");
}

std::string TestNameServer::make_pdns_db() const {
    std::string sqlite = find_tool("sqlite3");
    std::string pdnsutil = find_tool("pdnsutil");
    if (sqlite.empty() || pdnsutil.empty() || !file_exists(pdns_schema))
        return "sqlite3, pdnsutil or the pdns-backend-sqlite3 schema missing: run "
               "scripts/install-deps";
    const std::string out = dir_.file("setup.out");
    const std::string util = pdnsutil + " --config-dir=" + dir_.path() + " ";
    const std::string steps[] = {
        sqlite + " " + dir_.file("pdns.sqlite3") + " < " + pdns_schema,
        util + "load-zone example.test " + dir_.file("example.test.zone"),
        util + "import-tsig-key " + test_tsig_name + " hmac-sha256 " + test_tsig_secret_b64,
        util + "set-meta example.test TSIG-ALLOW-DNSUPDATE " + test_tsig_name,
        util + "set-meta example.test SOA-EDIT-DNSUPDATE INCREASE",
    };
    for (const auto &step : steps)
        if (system((step + " >>" + out + " 2>&1").c_str()) != 0)
            return "PowerDNS set-up failed: " + step + "\n" + read_file(out);
    return {};
}

std::string TestNameServer::start() {
    std::string prog = find_tool(name());
    dig_ = find_tool("dig");
    if (prog.empty() || dig_.empty())
        return std::string(name()) + " or dig missing: run scripts/install-deps";
    bool restart = port_ > 0;
    // The SOA's mailbox names this name server, so the answers are known
    // to come from it and not from another test's on the same port.
    const std::string tag = "h" + std::to_string(getpid());
    if (!restart && !file_exists(dir_.file("example.test.zone")))
        dir_.write("example.test.zone", replace_all(zone_text, "@TAG@", tag_ = tag));
    if (kind_ == ns_kind::pdns && !restart) {
        // The configuration first: pdnsutil reads it to find the database.
        dir_.write("pdns.conf", config());
        if (std::string why = make_pdns_db(); !why.empty())
            return why;
    }
    // The port was free a moment ago; another program may take it first.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (!restart || attempt > 0)
            port_ = free_dns_port();
        std::string conf = dir_.write(kind_ == ns_kind::bind   ? "named.conf"
                                      : kind_ == ns_kind::pdns ? "pdns.conf"
                                                               : "knot.conf",
                                      config());
        std::vector<std::string> argv = {prog, "-c", conf};
        if (kind_ == ns_kind::bind)
            argv.push_back("-g"); // foreground, log to stderr too
        if (kind_ == ns_kind::pdns)
            argv = {prog, "--config-dir=" + dir_.path()};
        proc_ = ChildProcess::spawn(argv, dir_.file("ns.out"), dir_.file("ns.out"));
        if (wait_until(
                [&] {
                    // The PID file too: the kill effector reads it.
                    if (kind_ == ns_kind::knot_file && !file_exists(dir_.file("knot.pid")))
                        return false;
                    auto soa = query("example.test", "SOA");
                    // A zone of the test's own has no tag; the address of
                    // this process keeps other tests' answers away.
                    return !soa.empty() &&
                           (tag_.empty() ||
                            soa[0].find(" " + tag_ + ".example.test. ") != std::string::npos);
                },
                15s))
            return {};
        proc_.signal(SIGKILL);
        proc_.wait(5s);
    }
    return std::string(name()) + " did not answer:\n" + log();
}

void TestNameServer::stop() {
    proc_.signal(SIGTERM);
    if (!proc_.wait(10s)) {
        proc_.signal(SIGKILL);
        proc_.wait(5s);
    }
}

std::vector<std::string> TestNameServer::query(const std::string &qname, const std::string &type,
                                               const std::string &flags) const {
    return output_lines(dig_ + " +short +norecurse +time=1 +tries=1 " + flags + " -p " +
                        std::to_string(port_) + " @" + address_ + " " + qname + " " + type +
                        " 2>/dev/null");
}

long TestNameServer::serial() const {
    auto soa = query("example.test", "SOA");
    if (soa.empty())
        return -1;
    std::istringstream in(soa[0]);
    std::string mname, rname;
    long serial = -1;
    in >> mname >> rname >> serial;
    return serial;
}

std::string TestNameServer::log() const {
    return read_file(dir_.file("ns.log")) + read_file(dir_.file("ns.out"));
}
