// Scenario harness: run the real programs and watch what they do.
//
// - TempDir: a private directory, removed with everything in it.
// - SyslogCapture: moves the test process into a private mount namespace in
//   which /dev/log is a datagram socket of the test, so the programs' real
//   syslog records (as the C library formats them) can be read back. Needs
//   root (CI runs as root); start() says why when it cannot.
// - ChildProcess: fork/exec with bounded waits; killed and reaped when it
//   goes out of scope.
// Every wait here is bounded in time.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

std::string read_file(const std::string &path);
void write_file(const std::string &path, std::string_view content);
bool file_exists(const std::string &path);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes name inside the directory and returns its path.
    std::string write(std::string_view name, std::string_view content) const;
    std::string read(std::string_view name) const { return read_file(file(name)); }

  private:
    std::string path_;
};

// Paths of the programs under test.
std::string server_program();
std::string client_program();

struct syslog_entry {
    int priority; // severity only (LOG_ERR, LOG_WARNING, LOG_INFO, ...)
    int facility; // e.g. LOG_DAEMON
    std::string ident;
    long pid;
    std::string text; // the message as formatted, trailing newline kept
};

class SyslogCapture {
  public:
    SyslogCapture() = default;
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture &) = delete;
    SyslogCapture &operator=(const SyslogCapture &) = delete;

    // Sets up the private /dev/log (once per process; later captures reuse
    // it and start with no records). False with a reason when not permitted.
    bool start(std::string *why);
    // Reads what has arrived and returns every record so far.
    const std::vector<syslog_entry> &entries();
    // The texts of every record so far, optionally of one ident only.
    std::vector<std::string> texts(std::string_view ident = {});
    // Waits until a record whose text contains needle has arrived (from
    // ident, when given) and returns it; nullopt after the timeout.
    std::optional<syslog_entry> wait_for(std::string_view needle,
                                         std::chrono::milliseconds timeout = 10s,
                                         std::string_view ident = {});
    // How many records contain needle so far.
    size_t count(std::string_view needle);
    void clear();

  private:
    void drain();
    std::vector<syslog_entry> entries_;
};

// Parses one datagram as the C library's syslog() sends it:
// "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
std::optional<syslog_entry> parse_syslog(std::string_view raw);

class ChildProcess {
  public:
    ChildProcess() = default;
    // Starts argv[0] with argv; stdout and stderr go to the given files
    // (or /dev/null when empty). Check running() or pid() > 0.
    static ChildProcess spawn(const std::vector<std::string> &argv,
                              const std::string &stdout_path = {},
                              const std::string &stderr_path = {});
    ChildProcess(ChildProcess &&o) noexcept;
    ChildProcess &operator=(ChildProcess &&o) noexcept;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // The raw wait status once the process has ended, nullopt on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout = 10s);
    void signal(int sig);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Exit status of a wait status, -1 when the process did not exit normally.
int exit_code(int wait_status);

// Lets this process adopt (and reap) orphaned descendants, such as a
// program that detached with -d. Linux only; false elsewhere.
bool become_subreaper();
// Waits until pid no longer exists (reaping it when it is our child).
bool wait_gone(pid_t pid, std::chrono::milliseconds timeout = 10s);

// Polls cond every few milliseconds until it holds or the timeout passes.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 10s);

// A UDP socket bound to a free port on 127.0.0.1, standing in for the server
// to see what a client puts on the wire.
class UdpReceiver {
  public:
    UdpReceiver();
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver &) = delete;
    UdpReceiver &operator=(const UdpReceiver &) = delete;
    int port() const { return port_; }
    // The next datagram, waiting at most two seconds; empty when none came.
    std::string receive();
    // Drains and counts the datagrams queued now. Loopback delivers at send
    // time, so once a client has ended this sees everything it sent.
    int pending();

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
int free_udp_port();
// Sends one datagram to 127.0.0.1:port, from 127.0.0.1 or from the given
// source (any address of 127.0.0.0/8 will do on Linux). True when sent whole.
bool send_udp(int port, const void *data, size_t len, const char *source = nullptr);

// A UDP socket bound to a free port on an IPv6 address of this host (::1,
// or one the test gave its own network namespace) that also tells where
// each datagram came from.
class UdpReceiver6 {
  public:
    explicit UdpReceiver6(const char *addr = "::1");
    ~UdpReceiver6();
    UdpReceiver6(const UdpReceiver6 &) = delete;
    UdpReceiver6 &operator=(const UdpReceiver6 &) = delete;
    int port() const { return port_; }
    // The next datagram, waiting at most two seconds, and the text of its
    // source address; empty when none came.
    std::string receive(std::string *source = nullptr);
    int pending();

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Mounts a tmpfs with the given options (such as "size=64k,nr_inodes=16")
// over dir, in a mount namespace that this process enters for it, so the
// mount is gone with the process and never seen outside. A file system that
// fills is how a full disk is made. Linux and root only; false with a
// reason otherwise.
bool mount_small_tmpfs(const std::string &dir, const std::string &options, std::string *why);
// Takes such a mount away again, so the directory under it can be removed.
void unmount_small_tmpfs(const std::string &dir);

// Moves this process (and the children it starts later) into a network
// namespace of its own, with the loopback interface up and the given IPv6
// addresses on it (ready at once, without duplicate address detection).
// Linux and root only; false with a reason otherwise.
bool enter_private_network(const std::vector<std::string> &addrs6, std::string *why);
