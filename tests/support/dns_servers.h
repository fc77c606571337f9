// Real name servers on loopback for the tests: Knot (knotd), BIND (named)
// and PowerDNS (pdns_server with its sqlite3 backend), each run in the
// foreground from a temporary directory, serving example.test. with a TSIG
// key that may update it. Also the tools that query them.
#pragma once

#include "tests/support/scenario.h"

#include <string>
#include <vector>

// The test zone's update key: upd.key., hmac-sha256.
inline constexpr char test_tsig_name[] = "upd.key";
inline constexpr char test_tsig_secret_b64[] = "dHNpZyBzZWNyZXQgb2YgdGhlIHpvcnZlbCB0ZXN0cw==";
inline constexpr char test_tsig_secret[] = "tsig secret of the zorvel tests";

// A program from PATH or the system directories, empty when missing.
std::string find_tool(const std::string &name);
// Output lines of a shell command that ends on its own.
std::vector<std::string> output_lines(const std::string &cmd);
// A port of 127.0.0.1 free for both UDP and TCP a moment ago.
int free_dns_port();
// knot, bind and pdns take updates signed with the test key; knot_file
// serves the zone file as the test writes it, with no journal, and reads it
// again on SIGHUP to the PID in knot.pid, as the zone effector expects.
enum class ns_kind { knot, bind, knot_file, pdns };

// The loopback address a name server of this kind listens on in this test
// process.
std::string test_ns_address(ns_kind kind);

class TestNameServer {
  public:
    // dnssec: let the name server sign the zone (Knot only).
    TestNameServer(ns_kind kind, const TempDir &dir, bool dnssec = false);
    // Empty on success, else why not (a missing program says so). Writes
    // dir/example.test.zone unless the test wrote it first.
    std::string start();
    // Stops the name server and waits for it; start() runs it again on the
    // same port.
    void stop();
    int port() const { return port_; }
    // The loopback address it listens on, of this test process alone.
    const std::string &address() const { return address_; }
    const char *name() const {
        return kind_ == ns_kind::bind ? "named" : kind_ == ns_kind::pdns ? "pdns_server" : "knotd";
    }
    // Answers to one query, one record a line, as dig +short prints them.
    std::vector<std::string> query(const std::string &qname, const std::string &type,
                                   const std::string &flags = {}) const;
    // The zone's SOA serial, -1 when there is no answer.
    long serial() const;
    // What the name server logged.
    std::string log() const;

  private:
    std::string config() const;
    // PowerDNS keeps the zone in a database: made once, from the zone file,
    // with the key allowed to update it. Empty on success, else why not.
    std::string make_pdns_db() const;
    ns_kind kind_;
    const TempDir &dir_;
    bool dnssec_;
    std::string address_;
    std::string tag_; // the SOA mailbox that tells this name server's answers
    std::string dig_;
    int port_ = -1;
    ChildProcess proc_;
};
