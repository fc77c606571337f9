// Test helpers: capture log records through the catalogue's sink, and a
// fixed clock.
#pragma once

#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/log_limit.h"

#include <ostream>
#include <string>
#include <syslog.h>
#include <vector>

struct log_record {
    int priority;
    std::string text;
    bool operator==(const log_record &o) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const log_record &r) {
    const char *p = r.priority == LOG_ERR       ? "ERR"
                    : r.priority == LOG_WARNING ? "WARNING"
                    : r.priority == LOG_INFO    ? "INFO"
                                                : "?";
    return os << "{" << p << ", \"" << r.text << "\"}";
}

// While alive, every log record is appended to records() instead of going
// to syslog. Not reentrant: one capture at a time.
class LogCapture {
  public:
    // Each capture, and each clear(), starts with a refusal limiter that has
    // counted nothing, as a fresh server's.
    LogCapture() {
        store().clear();
        log_limit_reset();
        log_set_sink(&LogCapture::sink);
    }
    ~LogCapture() { log_set_sink(nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<log_record> &records() const { return store(); }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto &r : store())
            t.push_back(r.text);
        return t;
    }
    void clear() {
        store().clear();
        log_limit_reset();
    }

  private:
    static std::vector<log_record> &store() {
        static std::vector<log_record> records;
        return records;
    }
    static void sink(int priority, const char *text) { store().push_back({priority, text}); }
};

// While alive, clock_now() returns now(), which the test sets and advances.
class FakeClock {
  public:
    explicit FakeClock(time_t start) {
        now() = start;
        clock_set_source(&FakeClock::read);
    }
    ~FakeClock() { clock_set_source(nullptr); }
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;
    void set(time_t t) { now() = t; }
    void advance(time_t s) { now() += s; }
    static time_t &now() {
        static time_t t = 0;
        return t;
    }

  private:
    static time_t read() { return now(); }
};
