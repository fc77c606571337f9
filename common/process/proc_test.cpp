#include "common/process/proc.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct child_report {
    std::string text; // what the child (or a process it forked) wrote
    int status = -1;  // the child's wait status
};

// Runs body in a forked child, so that a changed root, user or session
// never reaches the test process, and returns what body reported. Reads
// until every holder of the pipe is gone, for at most ten seconds.
child_report in_child(const std::function<std::string()> &body) {
    child_report r;
    int fds[2];
    if (pipe(fds) != 0)
        return {"pipe failed", -1};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return {"fork failed", -1};
    if (pid == 0) {
        close(fds[0]);
        std::string out = body();
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            r.text += "<timed out>";
            break;
        }
        char buf[512];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        r.text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, &r.status, 0);
    return r;
}

std::string texts(const LogCapture &cap) {
    std::string s;
    for (const auto &t : cap.texts())
        s += t;
    return s;
}

// The identity a process ends up with, in one comparable line.
std::string identity() {
    gid_t groups[16];
    int n = getgroups(16, groups);
    std::string s = "uid=" + std::to_string(getuid()) + "/" + std::to_string(geteuid()) +
                    " gid=" + std::to_string(getgid()) + "/" + std::to_string(getegid()) +
                    " groups=";
    for (int i = 0; i < n; i++)
        s += std::to_string(groups[i]) + ",";
    return s;
}

struct DropPrivilegesTest : ::testing::Test {
    TempDir root;
    uid_t nobody = 0;
    gid_t nogroup = 0;
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "changing root and user needs root";
        const passwd *pw = getpwnam("nobody");
        ASSERT_NE(pw, nullptr);
        nobody = pw->pw_uid;
        nogroup = pw->pw_gid;
        root.write("marker", "inside\n");
    }
    std::string as(uid_t u, gid_t g) const {
        return "uid=" + std::to_string(u) + "/" + std::to_string(u) + " gid=" + std::to_string(g) +
               "/" + std::to_string(g) + " groups=" + std::to_string(g) + ",";
    }
};

TEST(DropPrivileges, NothingGivenChangesNothing) {
    LogCapture cap;
    std::string before = identity();
    EXPECT_EQ(proc_drop_privileges(nullptr, nullptr), 0);
    EXPECT_EQ(identity(), before);
    EXPECT_TRUE(cap.records().empty());
}

// The lookup fails before anything changes, so these run in-process.
TEST(DropPrivileges, UnknownUserIsRefusedWithTheUserText) {
    for (const char *user : {"zorvel-no-such-user", "4000000000", "184467440737095516170"}) {
        SCOPED_TRACE(user);
        LogCapture cap;
        EXPECT_EQ(proc_drop_privileges("/nonexistent", user), -1);
        EXPECT_EQ(cap.records(),
                  (std::vector<log_record>{
                      {LOG_ERR,
                       std::string("Unable to get information about user \"") + user + "\"\n"}}));
    }
}

// Supplementary groups are set up first so that shedding them shows.
TEST_F(DropPrivilegesTest, UserAloneSwitchesUserAndKeepsRoot) {
    for (const std::string &user : {std::string("nobody"), std::to_string(nobody)}) {
        SCOPED_TRACE(user);
        child_report r = in_child([&] {
            gid_t extra[] = {0, 4};
            setgroups(2, extra);
            struct stat before = {}, after = {};
            stat("/", &before);
            LogCapture cap;
            std::string out = std::to_string(proc_drop_privileges(nullptr, user.c_str()));
            stat("/", &after);
            out += " " + identity() + (before.st_ino == after.st_ino ? " same root" : " new root");
            return out + texts(cap);
        });
        EXPECT_EQ(r.text, "0 " + as(nobody, nogroup) + " same root");
    }
}

TEST_F(DropPrivilegesTest, EmptyUserTextIsUserNumberZero) {
    child_report r = in_child([&] {
        LogCapture cap;
        int rc = proc_drop_privileges(nullptr, "");
        return std::to_string(rc) + " " + identity() + texts(cap);
    });
    EXPECT_EQ(r.text, "0 " + as(0, 0));
}

TEST_F(DropPrivilegesTest, RootAloneChangesRootAndKeepsUser) {
    child_report r = in_child([&] {
        std::string before = identity();
        LogCapture cap;
        std::string out = std::to_string(proc_drop_privileges(root.path().c_str(), nullptr));
        char cwd[64] = {};
        out += std::string(" cwd=") + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
        out += access("/marker", F_OK) == 0 ? " inside" : " outside";
        out += identity() == before ? " same user" : " new user";
        return out + texts(cap);
    });
    EXPECT_EQ(r.text, "0 cwd=/ inside same user");
}

TEST_F(DropPrivilegesTest, RootAndUserTogether) {
    child_report r = in_child([&] {
        LogCapture cap;
        std::string out = std::to_string(proc_drop_privileges(root.path().c_str(), "nobody"));
        out += access("/marker", F_OK) == 0 ? " inside " : " outside ";
        out += identity();
        return out + texts(cap);
    });
    EXPECT_EQ(r.text, "0 inside " + as(nobody, nogroup));
}

TEST_F(DropPrivilegesTest, FailuresNameTheirObjectAndError) {
    std::string missing = root.file("missing");
    child_report r = in_child([&] {
        LogCapture cap;
        int rc = proc_drop_privileges(missing.c_str(), "nobody");
        return std::to_string(rc) + " " + texts(cap);
    });
    EXPECT_EQ(r.text, "-1 Unable to chroot(" + missing + "); " + strerror(ENOENT) + "\n");

    // Once the user has been given up, root's group is out of reach.
    r = in_child([&] {
        if (setgid(nogroup) != 0 || setuid(nobody) != 0)
            return std::string("could not become nobody");
        LogCapture cap;
        int rc = proc_drop_privileges(nullptr, "root");
        return std::to_string(rc) + " " + texts(cap);
    });
    EXPECT_EQ(r.text, std::string("-1 Unable to setgid(root): ") + strerror(EPERM) + "\n");
}

void on_hangup(int) {}

// True when fd is the null device.
bool is_devnull(int fd) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat("/dev/null", &b) == 0 && S_ISCHR(a.st_mode) &&
           a.st_rdev == b.st_rdev;
}

TEST(Daemonize, ChildLeadsNewSessionWithSighupRestored) {
    become_subreaper(); // so the detached process can be reaped below
    child_report r = in_child([&] {
        struct sigaction sa = {};
        sa.sa_handler = on_hangup;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGHUP, &sa, nullptr);
        pid_t before = getpid();
        LogCapture cap;
        if (proc_daemonize() != 0)
            return "failed: " + texts(cap);
        struct sigaction now = {};
        sigaction(SIGHUP, nullptr, &now);
        int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
        std::string out = std::to_string(getpid()) + ":";
        out += getpid() != before ? " new pid" : " same pid";
        out += getsid(0) == getpid() ? ", own session" : ", old session";
        out += tty < 0 ? ", no terminal" : ", terminal";
        out += now.sa_handler == on_hangup ? ", SIGHUP restored" : ", SIGHUP changed";
        out += is_devnull(2) ? ", stderr null" : ", stderr kept";
        if (proc_daemon_ready() != 0)
            return out + ", ready failed";
        out += is_devnull(0) && is_devnull(1) && is_devnull(2) ? ", std null" : ", std kept";
        return out + ", " + texts(cap);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0) << "the parent exits with status 0 once ready";
    std::string pid = r.text.substr(0, r.text.find(':'));
    EXPECT_EQ(r.text, pid +
                          ": new pid, own session, no terminal, SIGHUP restored, stderr kept, "
                          "std null, Process successfully daemonized [" +
                          pid + "]\n");
    pid_t detached = static_cast<pid_t>(atol(pid.c_str()));
    if (detached > 0)
        wait_gone(detached);
}

// The process that was started reports the detached one's start-up: a
// child that ends before it is ready makes it exit with 1, whatever the
// child's own status.
TEST(Daemonize, ParentExitsWithOneWhenChildEndsBeforeReady) {
    become_subreaper();
    child_report r = in_child([&] {
        if (proc_daemonize() != 0)
            return std::string("failed");
        return std::to_string(getpid());
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    pid_t detached = static_cast<pid_t>(atol(r.text.c_str()));
    EXPECT_GT(detached, 0) << r.text;
    if (detached > 0)
        wait_gone(detached);
}

TEST(Daemonize, ReadyWithoutDetachingLeavesDescriptors) {
    child_report r = in_child([&] {
        bool before = is_devnull(2);
        int rc = proc_daemon_ready();
        return std::to_string(rc) + (is_devnull(2) == before ? " kept" : " changed");
    });
    EXPECT_EQ(r.text, "0 kept");
}

} // namespace
