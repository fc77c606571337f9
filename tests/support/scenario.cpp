// Scenario harness.
#include "tests/support/scenario.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#endif

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/zorvel-test.XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        path_ = tmpl;
    // Programs may run as nobody inside this tree.
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
    std::string p = file(name);
    write_file(p, content);
    return p;
}

#ifndef ZORVEL_BINARY_DIR
#define ZORVEL_BINARY_DIR "."
#endif

std::string server_program() {
    return ZORVEL_BINARY_DIR "/server/zorvel-server";
}
std::string client_program() {
    return ZORVEL_BINARY_DIR "/client/zorvel-client";
}

namespace {

int g_log_fd = -1;

#ifdef __linux__
// Replaces /dev with a tmpfs that holds bind mounts of every original entry
// plus our own /dev/log socket. Only this process and its children see it.
bool private_dev_log(std::string *why) {
    auto fail = [why](const char *what) {
        if (why != nullptr)
            *why = std::string(what) + ": " + strerror(errno);
        return false;
    };
    if (unshare(CLONE_NEWNS) != 0)
        return fail("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("making / private");
    char stash[] = "/tmp/zorvel-dev.XXXXXX";
    if (mkdtemp(stash) == nullptr)
        return fail("mkdtemp");
    if (mount("/dev", stash, nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail("bind /dev");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return fail("tmpfs on /dev");
    DIR *d = opendir(stash);
    if (d == nullptr)
        return fail("opendir");
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "log")
            continue;
        std::string from = std::string(stash) + "/" + name, to = "/dev/" + name;
        struct stat st;
        if (lstat(from.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                if (symlink(target, to.c_str()) != 0) {
                    // best effort
                }
            }
            continue;
        }
        if (S_ISDIR(st.st_mode))
            mkdir(to.c_str(), 0755);
        else
            close(open(to.c_str(), O_CREAT | O_WRONLY, 0644));
        mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    }
    closedir(d);
    umount2(stash, MNT_DETACH);
    rmdir(stash);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return fail("socket");
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/dev/log");
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return fail("bind /dev/log");
    }
    chmod("/dev/log", 0666);
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    g_log_fd = fd;
    return true;
}
#endif

} // namespace

SyslogCapture::~SyslogCapture() = default;

bool SyslogCapture::start(std::string *why) {
#ifdef __linux__
    if (g_log_fd < 0 && !private_dev_log(why))
        return false;
    clear();
    return true;
#else
    if (why != nullptr)
        *why = "private /dev/log needs Linux mount namespaces";
    return false;
#endif
}

std::optional<syslog_entry> parse_syslog(std::string_view raw) {
    if (raw.size() < 3 || raw[0] != '<')
        return std::nullopt;
    size_t close_angle = raw.find('>');
    if (close_angle == std::string_view::npos)
        return std::nullopt;
    int pri = atoi(std::string(raw.substr(1, close_angle - 1)).c_str());
    std::string_view rest = raw.substr(close_angle + 1);
    // "Mmm dd hh:mm:ss " is 16 bytes.
    if (rest.size() < 16)
        return std::nullopt;
    rest.remove_prefix(16);
    size_t colon = rest.find(": ");
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view tag = rest.substr(0, colon);
    syslog_entry e{pri & 7, pri & ~7, std::string(tag), 0, std::string(rest.substr(colon + 2))};
    size_t bracket = tag.find('[');
    if (bracket != std::string_view::npos) {
        e.ident = std::string(tag.substr(0, bracket));
        e.pid = atol(std::string(tag.substr(bracket + 1)).c_str());
    }
    return e;
}

void SyslogCapture::drain() {
    if (g_log_fd < 0)
        return;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(g_log_fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        if (auto e = parse_syslog(std::string_view(buf, static_cast<size_t>(n))))
            entries_.push_back(std::move(*e));
    }
}

const std::vector<syslog_entry> &SyslogCapture::entries() {
    drain();
    return entries_;
}

std::vector<std::string> SyslogCapture::texts(std::string_view ident) {
    drain();
    std::vector<std::string> out;
    for (const auto &e : entries_)
        if (ident.empty() || e.ident == ident)
            out.push_back(e.text);
    return out;
}

std::optional<syslog_entry> SyslogCapture::wait_for(std::string_view needle,
                                                    std::chrono::milliseconds timeout,
                                                    std::string_view ident) {
    std::optional<syslog_entry> found;
    wait_until(
        [&] {
            drain();
            for (const auto &e : entries_)
                if ((ident.empty() || e.ident == ident) &&
                    e.text.find(needle) != std::string::npos) {
                    found = e;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}

size_t SyslogCapture::count(std::string_view needle) {
    drain();
    size_t n = 0;
    for (const auto &e : entries_)
        if (e.text.find(needle) != std::string::npos)
            n++;
    return n;
}

void SyslogCapture::clear() {
    drain();
    entries_.clear();
}

ChildProcess ChildProcess::spawn(const std::vector<std::string> &argv,
                                 const std::string &stdout_path, const std::string &stderr_path) {
    ChildProcess c;
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        auto redirect = [](const std::string &path, int fd) {
            int f =
                open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (f >= 0) {
                dup2(f, fd);
                close(f);
            }
        };
        redirect(stdout_path, 1);
        redirect(stderr_path, 2);
        // Children start with default signal handling and an empty mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    c.pid_ = pid;
    return c;
}

ChildProcess::ChildProcess(ChildProcess &&o) noexcept : pid_(o.pid_), status_(o.status_) {
    o.pid_ = -1;
}

ChildProcess &ChildProcess::operator=(ChildProcess &&o) noexcept {
    if (this != &o) {
        this->~ChildProcess();
        pid_ = o.pid_;
        status_ = o.status_;
        o.pid_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0)
        return status_;
    wait_until(
        [&] {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = st;
            return status_.has_value();
        },
        timeout);
    return status_;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !status_)
        kill(pid_, sig);
}

int exit_code(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

bool become_subreaper() {
#ifdef __linux__
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
#else
    return false;
#endif
}

bool wait_gone(pid_t pid, std::chrono::milliseconds timeout) {
    return wait_until(
        [pid] {
            int st;
            waitpid(pid, &st, WNOHANG);
            return kill(pid, 0) != 0 && errno == ESRCH;
        },
        timeout);
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

UdpReceiver::UdpReceiver() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    timeval tv{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port_ = ntohs(sa.sin_port);
}

UdpReceiver::~UdpReceiver() {
    if (fd_ >= 0)
        close(fd_);
}

std::string UdpReceiver::receive() {
    char buf[2048];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

int UdpReceiver::pending() {
    int n = 0;
    char buf[2048];
    while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0)
        n++;
    return n;
}

int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool send_udp(int port, const void *data, size_t len, const char *source) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            close(fd);
            return false;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ssize_t n = sendto(fd, data, len, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    close(fd);
    return n == static_cast<ssize_t>(len);
}

UdpReceiver6::UdpReceiver6(const char *addr) {
    fd_ = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    socklen_t len = sizeof sa;
    timeval tv{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (inet_pton(AF_INET6, addr, &sa.sin6_addr) == 1 &&
        bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port_ = ntohs(sa.sin6_port);
}

UdpReceiver6::~UdpReceiver6() {
    if (fd_ >= 0)
        close(fd_);
}

std::string UdpReceiver6::receive(std::string *source) {
    char buf[2048];
    sockaddr_in6 from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (source != nullptr) {
        char text[INET6_ADDRSTRLEN] = "";
        if (n >= 0)
            inet_ntop(AF_INET6, &from.sin6_addr, text, sizeof text);
        *source = text;
    }
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

int UdpReceiver6::pending() {
    int n = 0;
    char buf[2048];
    while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0)
        n++;
    return n;
}

bool mount_small_tmpfs(const std::string &dir, const std::string &options, std::string *why) {
#ifdef __linux__
    if (geteuid() != 0) {
        *why = "mounting a tmpfs needs root";
        return false;
    }
    // Private first: a shared root would carry the mount out to the host.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("private mount namespace: ") + strerror(errno);
        return false;
    }
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        *why = "mount -t tmpfs -o " + options + " " + dir + ": " + strerror(errno);
        return false;
    }
    return true;
#else
    (void)dir;
    (void)options;
    *why = "tmpfs mounts in a private namespace are a Linux feature";
    return false;
#endif
}

void unmount_small_tmpfs(const std::string &dir) {
#ifdef __linux__
    umount2(dir.c_str(), MNT_DETACH);
#else
    (void)dir;
#endif
}

bool enter_private_network(const std::vector<std::string> &addrs6, std::string *why) {
#ifdef __linux__
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        return false;
    }
    std::vector<std::vector<std::string>> commands = {{"link", "set", "lo", "up"}};
    for (const auto &a : addrs6)
        commands.push_back({"-6", "addr", "add", a + "/128", "dev", "lo", "nodad"});
    for (auto &c : commands) {
        std::vector<std::string> argv = {"/sbin/ip"};
        if (access(argv[0].c_str(), X_OK) != 0)
            argv[0] = "/usr/sbin/ip";
        argv.insert(argv.end(), c.begin(), c.end());
        ChildProcess ip = ChildProcess::spawn(argv);
        auto st = ip.wait();
        if (!st.has_value() || exit_code(*st) != 0) {
            *why = "ip " + c[0] + " " + c[1] + " failed";
            return false;
        }
    }
    return true;
#else
    (void)addrs6;
    *why = "network namespaces are a Linux feature";
    return false;
#endif
}
