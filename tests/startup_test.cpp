// Start-up as the caller sees it, end to end with the real programs: the
// exit status of a detached start, the records on standard error, the
// descriptors a daemon keeps, and SIGHUP reloads.
#include "common/protocol/update_msg.h"
#include "tests/support/scenario.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *SERVER = "zorvel-server";
constexpr const char *CLIENT = "zorvel-client";

// Kills and reaps a detached process the test adopted, on every way out.
struct reaper {
    pid_t pid = -1;
    ~reaper() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            wait_gone(pid);
    }
};

// True when descriptor fd of process pid is the null device.
bool fd_is_devnull(pid_t pid, int fd) {
    struct stat a, b;
    std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    return stat(path.c_str(), &a) == 0 && stat("/dev/null", &b) == 0 && S_ISCHR(a.st_mode) &&
           a.st_rdev == b.st_rdev;
}

std::string joined(const std::vector<std::string> &texts) {
    std::string s;
    for (const auto &t : texts)
        s += t;
    return s;
}

struct StartupTest : ::testing::Test {
    TempDir dir;
    SyslogCapture cap;
    int port = 0;

    void SetUp() override {
        std::string why;
        if (!cap.start(&why))
            GTEST_SKIP() << "cannot capture syslog here: " << why;
        port = free_udp_port();
        ASSERT_GT(port, 0);
    }

    std::string server_conf(const std::string &accounts = {}) {
        return dir.write("server.conf",
                         "(listen " + std::to_string(port) + " 127.0.0.1)\n" + accounts);
    }
    ChildProcess run(const std::string &program, std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return ChildProcess::spawn(args, dir.file("stdout"), dir.file("stderr"));
    }
    std::string err() { return dir.read("stderr"); }
};

// Every record logged before the loop also reaches standard error, in the
// same text; a detached start exits with the detached process's outcome.
TEST_F(StartupTest, FailedStartsExitOneWithTheirRecordsOnStderrAndInSyslog) {
    become_subreaper(); // reaps the detached process that failed
    std::string missing = dir.file("missing.conf");
    std::string bad_pid = dir.file("no-such-dir/server.pid");
    std::string fifo = dir.file("fifo.conf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string cut = dir.write("cut.conf", "(listen " + std::to_string(port) +
                                                " 127.0.0.1)\n(account (name a) (key k)\n");
    struct row {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> records; // "$PID" stands for the detached process
    };
    const row rows[] = {
        {"missing file",
         {"-c", missing},
         {"Unable to stat \"" + missing + "\": No such file or directory\n",
          "Bad starting config, exiting\n"}},
        {"a FIFO without a writer",
         {"-c", fifo},
         {"Configuration file \"" + fifo + "\" is not a regular file\n",
          "Bad starting config, exiting\n"}},
        {"a directory",
         {"-c", dir.path()},
         {"Configuration file \"" + dir.path() + "\" is not a regular file\n",
          "Bad starting config, exiting\n"}},
        {"cut inside a form",
         {"-c", cut},
         {"Configuration file \"" + cut + "\" ends inside a list or an atom, not loaded\n",
          "Bad starting config, exiting\n"}},
        {"PID file in the foreground",
         {"-p", bad_pid, "-c", server_conf()},
         {"Listening on 1 sockets\n",
          "Unable to create PID file \"" + bad_pid + "\": No such file or directory\n"}},
        {"PID file after detaching",
         {"-d", "-p", bad_pid, "-c", server_conf()},
         {"Listening on 1 sockets\n", "Process successfully daemonized [$PID]\n",
          "Unable to create PID file \"" + bad_pid + "\": No such file or directory\n"}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        cap.clear();
        ChildProcess p = run(server_program(), r.args);
        auto st = p.wait();
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(exit_code(*st), 1);
        std::vector<std::string> want = r.records;
        for (auto &w : want) {
            size_t at = w.find("$PID");
            if (at == std::string::npos)
                continue;
            auto d = cap.wait_for("Process successfully daemonized", 5s, SERVER);
            ASSERT_TRUE(d.has_value());
            wait_gone(static_cast<pid_t>(d->pid), 1s);
            w.replace(at, 4, std::to_string(d->pid));
        }
        ASSERT_TRUE(cap.wait_for(want.back(), 5s, SERVER).has_value());
        EXPECT_EQ(cap.texts(SERVER), want);
        EXPECT_EQ(err(), joined(want));
    }
}

TEST_F(StartupTest, DetachedServerIsReadyWhenItsStarterExitsAndHoldsNoCallerDescriptor) {
    if (!become_subreaper())
        GTEST_SKIP() << "cannot adopt the detached process here";
    std::string pidfile = dir.file("server.pid");
    ChildProcess p = run(server_program(), {"-d", "-p", pidfile, "-c", server_conf()});
    auto st = p.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    // No waiting: the PID file exists when the starter has exited.
    std::string pid_text = read_file(pidfile);
    ASSERT_FALSE(pid_text.empty());
    reaper cleanup{static_cast<pid_t>(atol(pid_text.c_str()))};
    EXPECT_EQ(pid_text, std::to_string(cleanup.pid) + "\n");
    for (int fd = 0; fd <= 2; fd++)
        EXPECT_TRUE(fd_is_devnull(cleanup.pid, fd)) << "descriptor " << fd;
    // Start-up records reached the caller; the loop's do not.
    std::string daemonized =
        "Process successfully daemonized [" + pid_text.substr(0, pid_text.size() - 1) + "]\n";
    EXPECT_EQ(err(), "Listening on 1 sockets\n" + daemonized);
    kill(cleanup.pid, SIGTERM);
    ASSERT_TRUE(cap.wait_for("Server exiting\n", 5s, SERVER).has_value());
    EXPECT_TRUE(wait_gone(cleanup.pid));
    EXPECT_EQ(err(), "Listening on 1 sockets\n" + daemonized);
}

TEST_F(StartupTest, SighupReloadsAnUnchangedServerFileAndTheServerGoesOn) {
    std::string pidfile = dir.file("server.pid");
    ChildProcess p = run(server_program(), {"-p", pidfile, "-c", server_conf()});
    ASSERT_TRUE(cap.wait_for("Listening on 1 sockets\n", 5s, SERVER).has_value());
    // A datagram judged proves the loop runs, so the handlers are in place.
    ASSERT_TRUE(send_udp(port, "x", 1));
    ASSERT_TRUE(wait_until([&] { return cap.texts(SERVER).size() > 1; }));
    std::string before = err();
    cap.clear();
    p.signal(SIGHUP);
    ASSERT_TRUE(cap.wait_for("Listening on 1 sockets\n", 5s, SERVER).has_value());
    // The reload keeps the socket of the unchanged listen form: that is all
    // it logs, and the socket still serves.
    EXPECT_EQ(cap.texts(SERVER), (std::vector<std::string>{"Listening on 1 sockets\n"}));
    size_t judged = cap.texts(SERVER).size();
    ASSERT_TRUE(send_udp(port, "x", 1));
    EXPECT_TRUE(wait_until([&] { return cap.texts(SERVER).size() > judged; }));
    EXPECT_FALSE(p.wait(100ms).has_value()) << "SIGHUP does not end the server";
    EXPECT_EQ(read_file(pidfile), std::to_string(p.pid()) + "\n");
    EXPECT_EQ(err(), before) << "records of the running loop stay in syslog";
    p.signal(SIGTERM);
    auto st = p.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_FALSE(file_exists(pidfile));
}

// The name of the account in a datagram the client sent.
std::string sender_name(const std::string &dgram) {
    update_msg m = {};
    if (update_msg_decode(&m, reinterpret_cast<const uint8_t *>(dgram.data()), dgram.size()) == 0)
        return "<undecodable>";
    return std::string(m.name, m.name_len);
}

TEST_F(StartupTest, SighupMakesTheClientReadItsFileAgainAndKeepsItWhenBroken) {
    UdpReceiver wire;
    auto conf = [&](const std::string &name, const std::string &key) {
        return dir.write("client.conf", "(server 127.0.0.1 " + std::to_string(wire.port()) +
                                            ")\n(name " + name + ")\n" + key + "(interval 600)\n");
    };
    std::string path = conf("host1", "(key k)\n");
    ChildProcess p = run(client_program(), {"-c", path});
    ASSERT_EQ(sender_name(wire.receive()), "host1");

    conf("host2", "(key k)\n");
    p.signal(SIGHUP);
    // The reload cuts the ten-minute sleep short and sends at once.
    ASSERT_EQ(sender_name(wire.receive()), "host2");
    EXPECT_TRUE(cap.wait_for("Reloaded configuration file \"" + path + "\"\n", 5s, CLIENT));

    conf("host3", ""); // no key: the settings in force stay
    p.signal(SIGHUP);
    ASSERT_EQ(sender_name(wire.receive()), "host2");
    auto refused = cap.wait_for("Unable to reload", 5s, CLIENT);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->text,
              "Unable to reload configuration file \"" + path + "\", keeping the current one\n");
    EXPECT_EQ(err(), "") << "nothing after start-up goes to the caller";

    p.signal(SIGTERM);
    auto st = p.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
}

// ---------------------------------------------------------------------------
// The configuration check.

struct check_outcome {
    int status;
    std::string err, out;
};

check_outcome check(const TempDir &dir, const std::string &program, const std::string &conf,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {program, "-n", "-c", conf};
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess p = ChildProcess::spawn(args, dir.file("check.out"), dir.file("check.err"));
    auto st = p.wait();
    if (!st)
        return {-1, "<timed out>", {}};
    return {exit_code(*st), dir.read("check.err"), dir.read("check.out")};
}

struct check_row {
    const char *what;
    std::string text;
    std::string findings;       // "@" stands for the file's path
    bool warnings_only = false; // findings that do not fail the check
};

void expect_findings(const TempDir &dir, const std::string &program,
                     const std::vector<check_row> &rows) {
    for (const check_row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string conf = dir.write("check.conf", r.text);
        // Keys readable by others are a finding of their own, tested apart.
        chmod(conf.c_str(), 0600);
        check_outcome o = check(dir, program, conf);
        std::string want = r.findings;
        for (size_t at; (at = want.find('@')) != std::string::npos;)
            want.replace(at, 1, conf);
        EXPECT_EQ(o.err, want);
        EXPECT_EQ(o.status, want.empty() || r.warnings_only ? 0 : 1);
        EXPECT_EQ(o.out, "");
    }
}

// What the resolver says of host looked up as an IPv6 listening address.
std::string lookup6_error(const char *host) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, "5353", &hints, &res);
    if (rc == 0)
        freeaddrinfo(res);
    return rc == 0 ? "(resolved)" : gai_strerror(rc);
}

TEST(ServerCheck, CleanFilePassesSilentlyAndEachProblemIsReportedWithItsLine) {
    TempDir dir;
    std::string zone = dir.write("zone", "x 1234567890\n");
    std::string pid = dir.write("named.pid", "1\n");
    const std::string listen = "(listen 5353 127.0.0.1)\n";
    const std::string acct = "(account (name a) (key 0123456789abcdef))\n";
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::vector<check_row> rows = {
        {"clean",
         listen + "(defaults (interval 300 60) (flags allow-unsafe no_unsafe))\n" +
             "(account (name a) (key \"0123456789abcdef\") (timeout 600) (max-past -1)\n" +
             "  (effector (zone " + zone + ") (kill HUP " + pid + ") (kill (sigusr1 " + pid +
             ")) (system \"true\")))\n(account (name b) (key 0123456789abcdef))\n",
         ""},
        {"state and replay",
         listen + "(state " + dir.file("presence") +
             ")\n(defaults (flags no-replay allow_replay))\n" + acct,
         ""},
        {"state unusable", listen + "(state ())\n(state " + dir.file("no/presence") + ")\n" + acct,
         "@:2: Value of \"state\" ignored: a list or empty\n"
         "@:3: Unable to keep state file \"" +
             dir.file("no/presence") + "\": No such file or directory\n"},
        {"state not a regular file",
         listen + "(state " + fifo + ")\n(state " + dir.path() + ")\n" + acct,
         "@:2: State file \"" + fifo +
             "\" is not a regular file\n"
             "@:3: State file \"" +
             dir.path() + "\" is not a regular file\n"},
        {"missing close", listen + "(account (name a)\n (key 0123456789abcdef)\n",
         "@:2: List not closed at the end of the file\n"},
        {"unfinished atom", listen + acct + "(account (name \"b)\n",
         "@:3: List not closed at the end of the file\n"
         "@:3: List not closed at the end of the file\n"
         "@:3: Atom not finished at the end of the file\n"
         "@:3: Statement ignored: not a list of a keyword and a value\n"
         "@:3: Account left out: it has no name and no key\n"},
        {"stray close", listen + acct + ")\n", "@:3: \")\" closes no list\n"},
        // A top-level atom is a comment.
        {"shapes",
         listen + "\"comment\"\n(timeout)\n((x) y)\n(account (name a) (key 0123456789abcdef) "
                  "(timeout))\n",
         "@:3: Statement ignored: not a list of a keyword and a value\n"
         "@:4: Statement ignored: not a list of a keyword and a value\n"
         "@:5: Statement ignored: not a list of a keyword and a value\n"},
        {"accounts left out",
         listen + "(account (name a))\n(account (key 0123456789abcdef))\n(account (name "
                  "\"\") (key 0123456789abcdef))\n(default (name d))\n(account (key "
                  "0123456789abcdef))\n",
         "@:2: Account left out: it has no key\n@:3: Account left out: it has no name\n"
         "@:4: Account left out: it has no name\n"},
        {"unknown words",
         listen + "(lisen 53)\n(account (name a) (key 0123456789abcdef) (colour red) (flags "
                  "allow-unsafe "
                  "allow-safe))\n",
         "@:2: Unknown server option \"lisen\"\n@:3: Unknown account option \"colour\"\n"
         "@:3: Unknown account flag \"allow-safe\"\n"
         "@:3: Warning: account \"a\" allows unsafe messages without a time window (max-past): a "
         "captured "
         "datagram moves its record at any later time\n"
         "@:3: Warning: account \"a\" allows unsafe messages without no-replay: a captured "
         "datagram "
         "replayed from elsewhere moves its record\n"},
        // The defaults count, and interval sets the window as max-past does.
        {"allow-unsafe guarded",
         listen + "(defaults (flags allow-unsafe no-replay) (interval 300 60))\n" + acct +
             "(account (name b) (key 0123456789abcdef) (max-past 0))\n"
             "(account (name c) (key 0123456789abcdef) (flags allow-replay) (max-past 60))\n",
         "@:4: Warning: account \"b\" allows unsafe messages without a time window (max-past): a "
         "captured "
         "datagram moves its record at any later time\n"
         "@:5: Warning: account \"c\" allows unsafe messages without no-replay: a captured "
         "datagram "
         "replayed from elsewhere moves its record\n",
         true},
        {"numbers",
         listen + "(account (name a) (key 0123456789abcdef) (timeout 10s) (interval 5 -3) "
                  "(max-past ()))\n",
         "@:2: Value of \"timeout\" is not a number, read as -1\n"
         "@:2: Value of \"interval\" is not a number, read as -1\n"
         "@:2: Value of \"max-past\" is not a number, read as -1\n"},
        // The limits as the load reads them: what it would pass over for
        // the default is refused.
        {"limits",
         listen + "(system-max 0)\n(system-timeout -1)\n(system-max 4)\n(system-timeout 1m)\n",
         "@:2: Value of \"system-max\" is not a positive number; the default stays\n"
         "@:3: Value of \"system-timeout\" is not a positive number; the default stays\n"
         "@:5: Value of \"system-timeout\" is not a positive number; the default stays\n"},
        // The placeholder however written, in a default too; a short key
        // only warns.
        {"placeholder key",
         listen + "(default (key |PASTE-THE-BASE64-KEY-HERE|))\n(account (name a))\n" +
             "(account (name b) (key PASTE-THE-BASE64-KEY-HERE))\n",
         "@:2: Key is the example's placeholder, which anyone can read: make one with head -c 32 "
         "/dev/urandom | base64\n"
         "@:4: Key is the example's placeholder, which anyone can read: make one with head -c 32 "
         "/dev/urandom | base64\n"},
        {"short key", listen + "(account (name a) (key |c2hvcnQga2V5IG9mIDE1|))\n",
         "@:2: Warning: key of 15 bytes is short: use at least 16 (head -c 32 /dev/urandom | "
         "base64)\n",
         true},
        {"same names",
         listen + acct +
             "(account (name b) (key 0123456789abcdef))\n(account (name A) (key "
             "0123456789abcdeX))\n",
         "@:4: Account \"A\" has the same name as the account of line 2\n"},
        {"effectors",
         listen + "(account (name a) (key 0123456789abcdef) (effector (reload)\n (kill SIGNOPE " +
             pid + ") (kill " + dir.file("gone.pid") + ")\n (zone " + dir.file("gone.zone") +
             ") (zone) system))\n",
         "@:2: Unkown server effector \"reload\"\n@:3: Unkown signal \"SIGNOPE\"\n"
         "@:3: Unable to open target PID file \"" +
             dir.file("gone.pid") +
             "\": No such file or directory\n"
             "@:4: Unable to read zone file \"" +
             dir.file("gone.zone") +
             "\": No such file or directory\n"
             "@:4: Effector \"zone\" has nothing to act on\n"
             "@:4: Effector \"system\" has nothing to act on\n"},
        {"dns-update",
         listen + "(account (name a) (key 0123456789abcdef) (effector (dns-update (server "
                  "127.0.0.1 53)\n"
                  " (zone example.test) (key k.example. hmac-sha384. |c2VjcmV0|) (ttl 0)\n"
                  " (owner A.Example.Test.) (wait 60000))))\n",
         ""},
        {"dns-update faults",
         listen +
             "(account (name a) (key 0123456789abcdef) (effector\n"
             " (dns-update (zone example.test) (key k hmac-sha256 s))\n"
             " (dns-update (server 127.0.0.1 53) (zone example.test) (key k hmac-md5 s))\n"
             " (dns-update (server 127.0.0.1 53) (zone example.test) (key k hmac-sha1 s)\n"
             "   (owner a..b.example.test))\n"
             " (dns-update (server 127.0.0.1 53) (zone example.test) (key k hmac-sha1 s)\n"
             "   (owner www.example.net) (ttl 60))\n"
             " (dns-update (server 127.0.0.1 53) (zone example.test) (key k hmac-sha1 s)\n"
             "   (wait 1s))\n"
             " (dns-update (server 127.0.0.1 no-such-service) (zone example.test)\n"
             "   (key k hmac-sha1 s))))\n"
             "(account (name " +
             std::string(64, 'x') +
             ") (key 0123456789abcdef) (effector\n"
             " (dns-update (server 127.0.0.1 53) (zone example.test) (key k hmac-sha1 s))))\n",
         "@:3: Missing dns-update server\n"
         "@:4: Invalid dns-update key algorithm \"hmac-md5\": HMAC-MD5 is broken and RFC 8945 "
         "forbids it for TSIG; use hmac-sha256\n"
         "@:6: Invalid dns-update owner \"a..b.example.test\"\n"
         "@:8: dns-update owner www.example.net is not in zone example.test\n"
         "@:10: Invalid dns-update wait \"1s\"\n"
         "@:11: Address lookup of 127.0.0.1:no-such-service failed: " +
             std::string(gai_strerror(EAI_SERVICE)) +
             "\n"
             "@:14: Invalid dns-update owner \"" +
             std::string(64, 'x') + ".example.test\"\n"},
        {"listen", "(listen no-such-service 127.0.0.1)\n" + acct,
         "@:1: Address lookup of 127.0.0.1:no-such-service failed: " +
             std::string(gai_strerror(EAI_SERVICE)) + "\n"},
        {"listen6 alone listens", "(listen6 5353 ::1)\n" + acct, ""},
        {"listen6 looks up IPv6 only", "(listen6 5353 127.0.0.1)\n(listen6 5353 (::1))\n" + acct,
         "@:1: Address lookup of 127.0.0.1:5353 failed: " + lookup6_error("127.0.0.1") +
             "\n@:2: Value of \"listen6\" ignored: a list or empty\n"},
        {"no listen", acct, "@: No (listen ...) form: the server would have no socket\n"},
        {"empty", "  \n", "@: Empty configuration file\n"},
    };
    expect_findings(dir, server_program(), rows);

    check_outcome o = check(dir, server_program(), dir.file("missing.conf"));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, dir.file("missing.conf") +
                         ": Unable to open configuration file: No such file or directory\n");
    // Neither a FIFO that no one writes nor a directory holds the check up
    // or passes for an empty file.
    for (const std::string &other : {fifo, dir.path()}) {
        o = check(dir, server_program(), other);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, other + ": Configuration file is not a regular file\n");
    }
}

// Paths are those of the new root, and the check binds nothing: a port in
// use by a running server passes.
TEST(ServerCheck, FilesAreSeenFromTheNewRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "changing root needs root";
    TempDir root;
    root.write("zone", "x 1234567890\n");
    root.write("server.conf",
               "(listen 5353 127.0.0.1)\n(account (name a) (key 0123456789abcdef) (effector "
               "(zone /zone) (zone /" +
                   root.path() + "/zone)))\n");
    chmod(root.file("server.conf").c_str(), 0600);
    // The leak checker of a sanitizer build reads /proc at exit, which the
    // new root lacks; the other checks of that build stay on.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string saved = asan != nullptr ? asan : "";
    setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
    check_outcome o = check(root, server_program(), "/server.conf", {"-t", root.path()});
    if (asan != nullptr)
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "/server.conf:2: Unable to read zone file \"/" + root.path() +
                         "/zone\": No such file or directory\n");
}

// A zone the check's user may not write is named with who was checked,
// and so is a directory that takes no temporary file beside the zone.
TEST(ServerCheck, MissingPermissionNamesTheUserAndGroupsChecked) {
    if (geteuid() != 0)
        GTEST_SKIP() << "switching user needs root";
    const passwd *pw = getpwnam("nobody");
    if (pw == nullptr)
        GTEST_SKIP() << "no user nobody";
    const group *gr = getgrgid(pw->pw_gid);
    const std::string as = " (checked as user nobody, groups " +
                           (gr != nullptr ? std::string(gr->gr_name) : std::to_string(pw->pw_gid)) +
                           ")";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string zone = dir.write("zone", "x 1234567890\n");
    ASSERT_EQ(chmod(zone.c_str(), 0644), 0);
    std::string conf = dir.write("check.conf", "(listen 5353 127.0.0.1)\n"
                                               "(account (name a) (key 0123456789abcdef) "
                                               "(effector (zone " +
                                                   zone + ")))\n");
    // The checked user's own file, so that only the zone's permissions speak.
    ASSERT_EQ(chown(conf.c_str(), pw->pw_uid, pw->pw_gid), 0);
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    check_outcome o = check(dir, server_program(), conf, {"-u", "nobody"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, conf + ":2: Unable to write to zone file \"" + zone + "\": Permission denied" +
                         as + "\n" + conf +
                         ":2: Warning: unable to create files in zone directory \"" + dir.path() +
                         "\": Permission denied" + as +
                         "; the zone is then rewritten in place, not replaced whole\n");

    // Root's zone, that the user may write, in a directory it may write:
    // the new file could not be given root as its owner.
    std::string open_dir = dir.file("open");
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    std::string roots = open_dir + "/zone";
    write_file(roots, "x 1234567890\n");
    ASSERT_EQ(chmod(roots.c_str(), 0666), 0);
    conf = dir.write("check.conf", "(listen 5353 127.0.0.1)\n"
                                   "(account (name a) (key 0123456789abcdef) "
                                   "(effector (zone " +
                                       roots + ")))\n");
    ASSERT_EQ(chown(conf.c_str(), pw->pw_uid, pw->pw_gid), 0);
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    o = check(dir, server_program(), conf, {"-u", "nobody"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, conf +
                         ":2: Warning: unable to give a new file the owner and group of zone "
                         "file \"" +
                         roots + "\"" + as +
                         "; the zone is then rewritten in place, not replaced whole\n");
}

// -s reads the state file without a running server; the view itself is
// tested with its module, here the option and the exit status.
TEST(ServerStatus, ShowsWhoIsUpOrSaysThereIsNoStateFile) {
    TempDir dir;
    const std::string acct = "(listen 5353 127.0.0.1)\n(account (name a) (key 0123456789abcdef))\n";
    std::string with = dir.write("with.conf", "(state " + dir.file("presence") + ")\n" + acct);
    dir.write("presence", "(up a 192.0.2.1 " + std::to_string(time(nullptr)) + ")\n");
    std::string without = dir.write("without.conf", acct);
    auto status = [&](const std::string &program, const std::string &conf) {
        ChildProcess p = ChildProcess::spawn({program, "-s", "-c", conf}, dir.file("status.out"),
                                             dir.file("status.err"));
        auto st = p.wait();
        return check_outcome{st ? exit_code(*st) : -1, dir.read("status.err"),
                             dir.read("status.out")};
    };
    check_outcome o = status(server_program(), with);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out.rfind("a IPv4 192.0.2.1, seen ", 0), 0u) << o.out;
    EXPECT_NE(o.out.find(", no timeout\n1 up, 0 down\n"), std::string::npos) << o.out;

    o = status(server_program(), without);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, without + ": No (state FILE) form: the server keeps no record of who is up\n");
    EXPECT_EQ(o.out, "");

    // The client has no such view.
    o = status(client_program(), with);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("Usage: "), std::string::npos) << o.err;
}

// Keys that other local users can read are reported by the check and at
// start-up, naming the file and its mode; the server's own group may read.
TEST(ServerCheck, KeysReadableByOthersAreReported) {
    TempDir dir;
    std::string conf = dir.write(
        "keys.conf", "(listen 5353 127.0.0.1)\n(account (name a) (key 0123456789abcdef))\n");
    std::string nokeys = dir.write("nokeys.conf", "(listen 5353 127.0.0.1)\n");
    chmod(nokeys.c_str(), 0644);
    gid_t other = getegid() == 0 ? 1 : 0;
    const struct {
        mode_t mode;
        bool own_group;
        std::string finding;
    } rows[] = {
        {0600, true, ""},
        {0640, true, ""},
        {0644, true, "Warning: holds keys and is readable by other users (mode 0644)\n"},
        {0604, true, "Warning: holds keys and is readable by other users (mode 0604)\n"},
        {0640, false, "Warning: holds keys and is readable by other users (mode 0640)\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.finding);
        bool chowned =
            chown(conf.c_str(), static_cast<uid_t>(-1), r.own_group ? getegid() : other) == 0;
        if (!r.own_group && !chowned)
            continue; // only root hands a file to another group
        chmod(conf.c_str(), r.mode);
        check_outcome o = check(dir, server_program(), conf);
        EXPECT_EQ(o.err, r.finding.empty() ? "" : conf + ": " + r.finding);
        EXPECT_EQ(o.status, 0) << "a warning only";
    }
    EXPECT_EQ(check(dir, server_program(), nokeys).status, 0) << "no keys, nothing to hide";

    // At start-up the same rule, as a record the caller also sees.
    std::string conf2 = dir.write("start.conf", "(listen " + std::to_string(free_udp_port()) +
                                                    " 127.0.0.1)\n(account (name a) (key k))\n");
    chmod(conf2.c_str(), 0644);
    ChildProcess p =
        ChildProcess::spawn({server_program(), "-c", conf2}, "", dir.file("start.err"));
    std::string want = "Configuration file \"" + conf2 +
                       "\" holds keys and is readable by other users (mode 0644)\n";
    EXPECT_TRUE(wait_until([&] { return dir.read("start.err").find(want) != std::string::npos; }));
    p.signal(SIGTERM);
    auto st = p.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
}

TEST(ClientCheck, CleanFilePassesSilentlyAndEachProblemIsReportedWithItsLine) {
    TempDir dir;
    const std::string base = "(server 127.0.0.1 5353)\n(name h)\n(key 0123456789abcdef)\n";
    std::vector<check_row> rows = {
        {"clean", base + "(interval 60)\n(resolv-retry 10)\n(sensor (system \"echo 192.0.2.1\"))\n",
         ""},
        {"missing close", base + "(sensor (system \"echo\")\n",
         "@:4: List not closed at the end of the file\n"},
        {"unfinished atom", base + "(interval 60)\n60",
         "@:5: Atom not finished at the end of the file\n"},
        {"shapes and words", base + "(interval)\n\"comment\"\n(())\n(colour red)\n",
         "@:4: Statement ignored: not a list of a keyword and a value\n"
         "@:6: Statement ignored: not a list of a keyword and a value\n"
         "@:7: Unknown client option \"colour\"\n"},
        {"values", base + "(interval 10s)\n(resolv soon)\n(key ())\n(name \"\")\n",
         "@:4: Value of \"interval\" is not a number, read as 10\n"
         "@:5: Value of \"resolv\" is not a number, read as 0\n"
         "@:6: Value of \"key\" ignored: a list or empty\n"
         "@:7: Value of \"name\" ignored: a list or empty\n"},
        {"sensors", base + "(sensor (pipe x) system\n  (system) (system (x)))\n",
         "@:4: Unknown address sensor \"pipe\"\n@:4: System sensor without a command\n"
         "@:5: System sensor without a command\n@:5: System sensor without a command\n"},
        {"missing settings", "(server 127.0.0.1)\n(name #680078#)\n",
         "@:2: Value of \"name\" holds a NUL byte\n"
         "@: Missing setting PORT of (server HOST PORT)\n@: Missing setting (name NAME)\n"
         "@: Missing setting (key KEY)\n"},
        {"server lookup", "(server 127.0.0.1 no-such-service)\n(name h)\n(key 0123456789abcdef)\n",
         "@:1: Address lookup of 127.0.0.1:no-such-service failed: " +
             std::string(gai_strerror(EAI_SERVICE)) + "\n"},
        {"placeholder key",
         "(server 127.0.0.1 5353)\n(name h)\n(key |PASTE-THE-BASE64-KEY-HERE|)\n",
         "@:3: Key is the example's placeholder, which anyone can read: make one with head -c 32 "
         "/dev/urandom | base64\n"},
        {"IPv6 only",
         "(server6 \"::1\" 5353)\n(name h)\n(key 0123456789abcdef)\n(sensor6 (system x))\n", ""},
        {"IPv6 half given", base + "(server6 \"::1\")\n(sensor6 (pipe x))\n",
         "@:5: Unknown address sensor \"pipe\"\n@: Missing setting PORT of (server6 HOST PORT)\n"},
        {"IPv6 lookup", "(server6 127.0.0.1 5353)\n(name h)\n(key 0123456789abcdef)\n",
         "@:1: Address lookup of 127.0.0.1:5353 failed: " +
             std::string(gai_strerror(EAI_ADDRFAMILY)) + "\n"},
        // Every server form is a server: each one is checked.
        {"several servers",
         base + "(server 127.0.0.1 no-such-service)\n(server6 \"::1\")\n(server6 \"::1\" 5353)\n",
         "@: Missing setting PORT of (server6 HOST PORT)\n"
         "@:4: Address lookup of 127.0.0.1:no-such-service failed: " +
             std::string(gai_strerror(EAI_SERVICE)) + "\n"},
        {"interface sensors",
         base + "(sensor (interface lo) (interface) (interface lo ula))\n"
                "(sensor6 (interface lo ula) (interface \"\") (interface lo (x) fast))\n",
         "@:4: Interface sensor without an interface name\n"
         "@:4: Unknown word \"ula\" in interface sensor\n"
         "@:5: Interface sensor without an interface name\n"
         "@:5: Unknown word \"()\" in interface sensor\n"
         "@:5: Unknown word \"fast\" in interface sensor\n"},
        // An interface that is not there yet may come later.
        {"interface not there", base + "(sensor6 (interface zv-none0))\n",
         "@:4: Warning: no interface \"zv-none0\" now\n", true},
    };
    expect_findings(dir, client_program(), rows);
}

} // namespace
