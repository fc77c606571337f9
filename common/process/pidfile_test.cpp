#include "common/process/pidfile.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Larger than any PID a kernel hands out, so kill() reports ESRCH for it.
constexpr const char *GONE_PID = "99999999";

std::string pid_line(pid_t pid) {
    return std::to_string(pid) + "\n";
}

std::string owned(const std::string &path, long pid) {
    return "Error: PID file \"" + path + "\" exists and is owned by " + std::to_string(pid) + "\n";
}

struct PidfileTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("zorvel.pid");
    LogCapture cap;
};

TEST_F(PidfileTest, NewFileHoldsThisPidAndLineFeedWithModeLessUmask) {
    mode_t old = umask(027);
    int rc = pidfile_create(path.c_str());
    umask(old);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(read_file(path), pid_line(getpid()));
    struct stat st = {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(cap.records().empty());
}

TEST_F(PidfileTest, NullPathFailsWithoutRecord) {
    EXPECT_EQ(pidfile_create(nullptr), -1);
    EXPECT_TRUE(cap.records().empty());
}

// Every digit of the file joins the PID, wherever it stands.
TEST_F(PidfileTest, RunningOwnerStopsSecondInstance) {
    std::string ppid = std::to_string(getppid());
    std::string split = ppid.substr(0, 1) + " \n" + ppid.substr(1) + "\n";
    for (const std::string &content : {pid_line(getppid()), split, "pid=" + ppid + "x"}) {
        SCOPED_TRACE(content);
        cap.clear();
        write_file(path, content);
        EXPECT_EQ(pidfile_create(path.c_str()), -1);
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, owned(path, getppid())}}));
        EXPECT_EQ(read_file(path), content) << "a running owner's file is left alone";
    }
}

TEST_F(PidfileTest, FileWithoutValidPidFailsWithBothRecords) {
    for (const char *content : {"", "\n", "none\n", "000\n", "4294967296\n"}) {
        SCOPED_TRACE(content);
        cap.clear();
        write_file(path, content);
        EXPECT_EQ(pidfile_create(path.c_str()), -1);
        EXPECT_EQ(cap.records(),
                  (std::vector<log_record>{
                      {LOG_ERR, "Invalid PID in existing PID file \"" + path + "\"\n"},
                      {LOG_ERR, owned(path, 0)}}));
    }
}

// A longer old content must leave no trailing digits behind.
TEST_F(PidfileTest, StaleFileIsRewrittenInPlace) {
    std::string self = std::to_string(getpid());
    for (const std::string &content :
         {std::string(GONE_PID) + "\n", std::string("9999 9999\n\n\n\n\n\n\n\n\n\n\n\n"),
          // A restart handed the PID of the instance that left the file.
          self + "\n"}) {
        SCOPED_TRACE(content);
        cap.clear();
        write_file(path, content);
        EXPECT_EQ(pidfile_create(path.c_str()), 0);
        EXPECT_EQ(read_file(path), pid_line(getpid()));
        EXPECT_TRUE(cap.records().empty());
    }
}

TEST_F(PidfileTest, CreationFailureNamesPathAndError) {
    std::string missing = dir.file("no/such/dir.pid");
    EXPECT_EQ(pidfile_create(missing.c_str()), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Unable to create PID file \"" + missing +
                                                     "\": " + strerror(ENOENT) + "\n"}}));
}

TEST_F(PidfileTest, DanglingLinkCannotBeOpenedForReading) {
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(pidfile_create(path.c_str()), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Unable to open existing PID file \"" + path +
                                                     "\": " + strerror(ENOENT) + "\n"}}));
}

// A link planted where the stale file stood would otherwise let the
// rewrite clobber whatever it points to.
TEST_F(PidfileTest, StaleLinkIsNotFollowedForRewriting) {
    std::string target = dir.write("victim", std::string(GONE_PID) + "\n");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(pidfile_create(path.c_str()), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Unable to truncate existing PID file \"" + path +
                                                     "\": " + strerror(ELOOP) + "\n"}}));
    EXPECT_EQ(read_file(target), std::string(GONE_PID) + "\n");
}

// Run as an ordinary user, the probe of a root process fails with EPERM,
// which must not be taken for a stale file.
TEST_F(PidfileTest, ProbeRefusedForAnotherUsersProcess) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to nobody";
    const passwd *pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    uid_t nobody = pw->pw_uid;
    gid_t nogroup = pw->pw_gid;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    write_file(path, "1\n");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        cap.clear();
        std::string out = "setuid failed";
        if (setgid(nogroup) == 0 && setuid(nobody) == 0) {
            out = std::to_string(pidfile_create(path.c_str()));
            for (const auto &r : cap.records())
                out += "|" + r.text;
        }
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(got, "-1|kill(1, 0) from \"" + path + "\" failure: " + strerror(EPERM) + "\n");
    EXPECT_EQ(read_file(path), "1\n");
}

TEST(PidfileWritePid, WritesDecimalDigitsMostSignificantFirst) {
    const std::pair<pid_t, const char *> cases[] = {
        {0, "0"}, {7, "7"}, {10, "10"}, {4194304, "4194304"}, {2147483647, "2147483647"}};
    for (const auto &[pid, text] : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pidfile_write_pid(fds[1], pid);
        close(fds[1]);
        char buf[32] = {};
        ssize_t n = read(fds[0], buf, sizeof buf - 1);
        close(fds[0]);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), text);
    }
}

} // namespace
