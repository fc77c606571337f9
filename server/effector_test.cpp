#include "server/effector.h"

#include "tests/support/effector_run.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"
#include "tests/support/sx_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const uint8_t host_addr[4] = {192, 0, 2, 7};

const uint8_t host_addr6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};

void run(const std::string &text, const uint8_t *addr = host_addr, const char *name = "host",
         int family = AF_INET) {
    sx_text_tree list(text);
    effector_run(list.first(), name, strlen(name), family, addr);
}

// The marker that closes every wait for signals; outside the table.
constexpr int marker = SIGWINCH;

// A child process that reports every signal it receives, in order, through
// a pipe. It waits with the signals blocked, so none of them ends it, and it
// quits by itself after half a minute should the test die.
class signal_recorder {
  public:
    signal_recorder() {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        sigset_t set = recorded();
        sigset_t old;
        sigprocmask(SIG_BLOCK, &set, &old);
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            char ready = 0;
            if (write(fds[1], &ready, 1) != 1)
                _exit(1);
            timespec tick{0, 100 * 1000 * 1000};
            for (int i = 0; i < 300; i++) {
                int sig = sigtimedwait(&set, nullptr, &tick);
                char b = static_cast<char>(sig);
                if (sig > 0 && write(fds[1], &b, 1) != 1)
                    _exit(1);
            }
            _exit(0);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(fds[1]);
        rfd_ = fds[0];
        if (pid_ < 0 || read_byte() != 0)
            ADD_FAILURE() << "signal recorder did not start";
    }
    ~signal_recorder() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (rfd_ >= 0)
            close(rfd_);
    }
    signal_recorder(const signal_recorder &) = delete;
    signal_recorder &operator=(const signal_recorder &) = delete;

    pid_t pid() const { return pid_; }
    // Writes this process's PID file with the PID put in place of "PID".
    std::string pidfile(const TempDir &dir, const std::string &name,
                        std::string contents = "PID\n") const {
        size_t at = contents.find("PID");
        if (at != std::string::npos)
            contents.replace(at, 3, std::to_string(pid_));
        return dir.write(name, contents);
    }
    // Every signal received so far: sends the marker and reads up to it.
    // Signals sent earlier are pending before the marker and are taken first.
    std::vector<int> received() {
        std::vector<int> got;
        kill(pid_, marker);
        for (;;) {
            int b = read_byte();
            if (b < 0) {
                ADD_FAILURE() << "no marker from the signal recorder";
                break;
            }
            if (b == marker)
                break;
            got.push_back(b);
        }
        return got;
    }

  private:
    static sigset_t recorded() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGTERM, SIGALRM, marker})
            sigaddset(&set, s);
        return set;
    }
    int read_byte() {
        pollfd p{rfd_, POLLIN, 0};
        char b;
        if (poll(&p, 1, 5000) != 1 || read(rfd_, &b, 1) != 1)
            return -1;
        return static_cast<unsigned char>(b);
    }
    pid_t pid_ = -1;
    int rfd_ = -1;
};

// A PID that no process has: a child that has been reaped.
pid_t vanished_pid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST(SignalFromName, Table) {
    const struct {
        const char *name;
        int sig;
    } table[] = {
        {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},
        {"TRAP", SIGTRAP}, {"ABRT", SIGABRT}, {"FPE", SIGFPE},   {"KILL", SIGKILL},
        {"BUS", SIGBUS},   {"SEGV", SIGSEGV}, {"SYS", SIGSYS},   {"PIPE", SIGPIPE},
        {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"URG", SIGURG},   {"STOP", SIGSTOP},
        {"TSTP", SIGTSTP}, {"CONT", SIGCONT}, {"CHLD", SIGCHLD}, {"TTIN", SIGTTIN},
        {"TTOU", SIGTTOU}, {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM},
        {"PROF", SIGPROF}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
    };
    for (const auto &e : table) {
        std::string lower = e.name;
        for (char &c : lower)
            c = static_cast<char>(tolower(c));
        for (const std::string &n : {std::string(e.name), lower, "SIG" + std::string(e.name),
                                     "sig" + lower, "Sig" + lower})
            EXPECT_EQ(signal_from_name(n.c_str()), e.sig) << n;
    }
}

TEST(SignalFromName, DigitsEmptyAndUnknown) {
    const struct {
        const char *name;
        int sig;
    } cases[] = {
        {"15", 15},    {"0015", 15}, {"64", 64},         {"2147483647", 2147483647},
        {"", 0},       {"15x", -1},  {"SIG15", -1},      {" 1", -1},
        {"+1", -1},    {"-1", -1},   {"SIG", -1},        {"SIGSIGHUP", -1},
        {"WINCH", -1}, {"HUP ", -1}, {"2147483648", -1}, {"99999999999999999999", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(signal_from_name(c.name), c.sig) << '"' << c.name << '"';
    EXPECT_EQ(signal_from_name(nullptr), SIGHUP);
}

TEST(KillEffector, SignalsTheProcessOfThePidFile) {
    TempDir dir;
    signal_recorder child;
    std::string pf = child.pidfile(dir, "a.pid");
    LogCapture cap;
    const struct {
        std::string form;
        std::vector<int> want;
    } cases[] = {
        {"(kill " + pf + ")", {SIGHUP}},
        {"(kill usr1 " + pf + ")", {SIGUSR1}},
        {"(kill SigUsr2 " + pf + " " + dir.file("other.pid") + ")", {SIGUSR2}},
        {"(kill 15 " + pf + ")", {SIGTERM}},
        {"(kill \"\" " + pf + ")", {}}, // signal 0: asks whether it exists
        {"(kill " + pf + " (usr1 " + pf + "))", {SIGHUP}},
        {"(kill)", {}},
        {"kill", {}},
    };
    for (const auto &c : cases) {
        run(c.form);
        EXPECT_EQ(child.received(), c.want) << c.form;
    }
    EXPECT_EQ(cap.records(), std::vector<log_record>{});
}

TEST(KillEffector, PidFileContents) {
    TempDir dir;
    signal_recorder child;
    const struct {
        const char *contents;
        bool signalled;
    } cases[] = {
        {"PID\n", true},
        {"PID", true},
        {"PIDab\n", true},
        {"0PID\n", true},
        {" PID\n", false},
        {"+PID\n", false},
        {"-PID\n", false},
        {"0\n", false},
        {"", false},
        {"x\n", false},
        {"2147483648\n", false},
        {"4294967297\n", false},
        {"18446744073709551617\n", false},
    };
    for (const auto &c : cases) {
        std::string pf = child.pidfile(dir, "t.pid", c.contents);
        LogCapture cap;
        run("(kill USR1 " + pf + ")");
        EXPECT_EQ(child.received(), c.signalled ? std::vector<int>{SIGUSR1} : std::vector<int>{})
            << '"' << c.contents << '"';
        std::vector<log_record> want;
        if (!c.signalled)
            want.push_back({LOG_ERR, "Invalid PID file contents in \"" + pf + "\"\n"});
        EXPECT_EQ(cap.records(), want) << '"' << c.contents << '"';
    }
}

TEST(KillEffector, ListModeGoesOnAfterAMissingTarget) {
    TempDir dir;
    signal_recorder one, three, untouched;
    std::string pf1 = one.pidfile(dir, "1.pid");
    std::string missing = dir.file("2.pid");
    std::string pf3 = three.pidfile(dir, "3.pid");
    std::string pfu = untouched.pidfile(dir, "u.pid");
    // A FIFO that no one writes neither holds the server up nor is read.
    std::string fifo = dir.file("fifo.pid");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    LogCapture cap;

    run("(kill (usr1 " + pf1 + ") (" + missing + ") (" + fifo + ") " + pfu + " () ((usr2 " + pfu +
        ")) (" + pf3 + " (x)))");

    EXPECT_EQ(one.received(), std::vector<int>{SIGUSR1});
    EXPECT_EQ(three.received(), std::vector<int>{SIGHUP});
    EXPECT_EQ(untouched.received(), std::vector<int>{});
#ifdef EFTYPE
    const std::string not_regular = strerror(EFTYPE);
#else
    const std::string not_regular = strerror(EINVAL);
#endif
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Unable to open target PID file \"" + missing +
                                                     "\": No such file or directory\n"},
                                       {LOG_ERR, "Unable to open target PID file \"" + fifo +
                                                     "\": " + not_regular + "\n"}}));
}

TEST(KillEffector, Failures) {
    TempDir dir;
    signal_recorder child;
    std::string live = child.pidfile(dir, "live.pid");
    pid_t gone = vanished_pid();
    std::string dead = dir.write("dead.pid", std::to_string(gone) + "\n");
    std::string missing = dir.file("missing.pid");
    std::string g = std::to_string(gone);
    std::string p = std::to_string(child.pid());
    const struct {
        std::string form;
        std::string log;
    } cases[] = {
        {"(kill 15x " + missing + ")", "Unkown signal \"15x\"\n"},
        {"(kill SIG15 " + live + ")", "Unkown signal \"SIG15\"\n"},
        {"(kill \"HUP\\000x\" " + live + ")", "Unkown signal \"HUP\"\n"},
        {"(kill HUP)", "Unable to open target PID file \"HUP\": No such file or directory\n"},
        {"(kill " + dead + ")",
         "kill(" + g + " \"" + dead + "\", 1 \"HUP (default)\") failure: No such process\n"},
        {"(kill term " + dead + ")",
         "kill(" + g + " \"" + dead + "\", 15 \"term\") failure: No such process\n"},
        {"(kill 99 " + live + ")",
         "kill(" + p + " \"" + live + "\", 99 \"99\") failure: Invalid argument\n"},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        run(c.form);
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, c.log}})) << c.form;
    }
    EXPECT_EQ(child.received(), std::vector<int>{});
}

class SystemEffector : public ::testing::Test {
  protected:
    TempDir dir;
    std::string out = dir.file("out");
    std::string output() { return file_exists(out) ? read_file(out) : "<none>"; }
};

TEST_F(SystemEffector, BuildsTheCommandFromTheTemplate) {
    const uint8_t gone[16] = {};
    const uint8_t wide[4] = {255, 255, 255, 255};
    const struct {
        std::string tmpl;
        const uint8_t *addr;
        std::string want;
        int family = AF_INET;
    } cases[] = {
        {"\"echo \" (name) \" \" (addr)", host_addr, "host 192.0.2.7\n"},
        {"\"echo \" (name) \" \" (addr)", gone, "host 0.0.0.0\n"},
        {"\"echo \" (name) (addr)", wide, "host255.255.255.255\n"},
        {"\"echo \" (ttl) () ((name)) \"name-\" (host) - (hostname) - (address) - (addr x y)",
         host_addr, "name-host-host-192.0.2.7-192.0.2.7\n"},
        {"\"echo \" (name) \" \" (type) \" \" (addr)", host_addr, "host A 192.0.2.7\n"},
        {"\"echo \" (name) \" \" (type) \" \" (address)", host_addr6, "host AAAA 2001:db8::7\n",
         AF_INET6},
        {"\"echo \" (type) \" \" (addr)", gone, "AAAA ::\n", AF_INET6},
    };
    for (const auto &c : cases) {
        unlink(out.c_str());
        LogCapture cap;
        run("(system " + c.tmpl + " \" > " + out + "\")", c.addr, "host", c.family);
        EXPECT_EQ(output(), c.want) << c.tmpl;
        EXPECT_EQ(cap.records(), std::vector<log_record>{}) << c.tmpl;
    }
}

TEST_F(SystemEffector, FailureStatusAndRefusals) {
    const struct {
        std::string form;
        std::string log;
    } cases[] = {
        {"(system \"exit 1\")", "System effector \"exit 1\" failure (256)\n"},
        {"(system \"kill -TERM $$\")", "System effector \"kill -TERM $$\" failure (15)\n"},
        {"(system \"exit 2\")", "System effector \"exit 2\" failure (512)\n"},
        // The shell would see only "touch OUT".
        {"(system \"touch " + out + "\\000; exit 3\")", "system(\"touch " + out + "\") fail\n"},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        run(c.form);
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, c.log}})) << c.form;
    }
    EXPECT_EQ(output(), "<none>");
}

TEST_F(SystemEffector, NothingWithoutArgumentsOrName) {
    LogCapture cap;
    run("(system) system");
    run("(system \"touch " + out + "\")", host_addr, "");
    effector_system(nullptr, "host", 4, AF_INET, host_addr);
    EXPECT_EQ(output(), "<none>");
    EXPECT_EQ(cap.records(), std::vector<log_record>{});
}

TEST(EffectorRun, UnknownAndMalformedForms) {
    LogCapture cap;
    effector_run(nullptr, "host", 4, AF_INET, host_addr);
    EXPECT_EQ(cap.records(), std::vector<log_record>{});

    for (int round = 0; round < 2; round++)
        run("((kill x)) () reload (reload 1) (Kill x) (\"zone\\000\" x)");
    std::vector<log_record> once{{LOG_WARNING, "Unkown server effector \"reload\"\n"},
                                 {LOG_WARNING, "Unkown server effector \"reload\"\n"},
                                 {LOG_WARNING, "Unkown server effector \"Kill\"\n"},
                                 {LOG_WARNING, "Unkown server effector \"zone\"\n"}};
    std::vector<log_record> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(cap.records(), twice);
}

// Forms run in order, and a failing one does not stop the next.
TEST(EffectorRun, FailureDoesNotStopTheNext) {
    TempDir dir;
    std::string out = dir.file("out");
    std::string zone = dir.file("missing.zone");
    LogCapture cap;

    run("(system \"echo one >> " + out + "\") (zone " + zone + ") (kill " +
        dir.file("missing.pid") + ") (system \"exit 1\") (system \"echo two >> " + out + "\")");

    EXPECT_EQ(read_file(out), "one\ntwo\n");
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_INFO, "Updating zone \"" + zone + "\" record \"host\" to 192.0.2.7\n"},
                  {LOG_ERR, "Unable to read zone file \"" + zone + "\"\n"},
                  {LOG_ERR, "Unable to open target PID file \"" + dir.file("missing.pid") +
                                "\": No such file or directory\n"},
                  {LOG_ERR, "System effector \"exit 1\" failure (256)\n"},
              }));
}

} // namespace
