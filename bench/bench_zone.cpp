// The zone effector when every account of a zone comes up once: N accounts
// whose records stand in one zone each get a new address, one update after
// the other. Beside it, in the same run, the floor of any safe rewrite of
// that zone: read it whole, write it beside, fsync, rename. Ends with the
// time per update as a multiple of the floor, and fails a run in which a
// record was not written.
#include "server/zone.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string bench_dir() {
    static std::string dir = [] {
        char tmpl[] = "/var/tmp/zorvel-bench.XXXXXX";
        const char *d = mkdtemp(tmpl);
        return std::string(d != nullptr ? d : ".");
    }();
    return dir;
}

std::string zone_text(int accounts) {
    std::string z = "$ORIGIN bench.test.\n$TTL 300\n@ IN SOA ns1 hostmaster ( 1 2h 1h 2w 5m )\n"
                    "  IN NS ns1\nns1 IN A 192.0.2.1\n";
    char line[64];
    for (int i = 0; i < accounts; i++) {
        snprintf(line, sizeof line, "h%d\t300\tIN\tA\t192.0.2.%d\n", i, 1 + i % 250);
        z += line;
    }
    return z;
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
        abort();
}

std::string read_all(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// Each iteration is one account coming up with a new address.
void zone_updates(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::string path = bench_dir() + "/updates.zone";
    write_file(path, zone_text(n));
    int i = 0;
    for (auto _ : state) {
        char name[16];
        int len = snprintf(name, sizeof name, "h%d", i % n);
        const uint8_t addr[4] = {198, 51, 100, static_cast<uint8_t>(1 + i % 250)};
        zone_update(path.c_str(), name, static_cast<size_t>(len), AF_INET, addr);
        i++;
    }
    // Every account's record holds its new address.
    std::string z = read_all(path);
    int written = 0;
    char line[64];
    for (int k = 0; k < n && k < i; k++) {
        snprintf(line, sizeof line, "\nh%d\t300\tIN\tA\t198.51.100.%d\n", k, 1 + k % 250);
        if (z.find(line) != std::string::npos)
            written++;
    }
    state.counters["written"] = written;
    if (written != std::min(n, i))
        state.SkipWithError("records not written");
}

// Read the zone whole, write it beside, fsync, rename: what no safe update
// can do without.
void floor_rewrite(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::string path = bench_dir() + "/floor.zone";
    std::string tmp = path + ".new";
    write_file(path, zone_text(n));
    std::vector<char> buf;
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0)
            abort();
        buf.resize(static_cast<size_t>(st.st_size));
        if (read(fd, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size()))
            abort();
        close(fd);
        int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || write(out, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size()) ||
            fsync(out) != 0 || close(out) != 0 || rename(tmp.c_str(), path.c_str()) != 0)
            abort();
    }
}

class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    ratio_reporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && r.repetitions <= 1)
                times_[r.run_name.str()] = r.GetAdjustedRealTime();
            else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                times_[r.run_name.str()] = r.GetAdjustedRealTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nWall time per update as a multiple of the floor's (goal: at most 1.25x):\n");
        for (const auto &[name, t] : times_) {
            if (name.rfind("zone_update/", 0) != 0)
                continue;
            std::string size = name.substr(name.find('/') + 1);
            size = size.substr(0, size.find('/'));
            auto base = times_.find("floor/" + size + "/iterations:" + size + "/real_time");
            if (base != times_.end() && base->second > 0)
                std::printf("  %-44s %6.2fx\n", name.c_str(), t / base->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv) {
    for (int n : {1000, 10000}) {
        // One iteration per account: each comes up exactly once.
        benchmark::RegisterBenchmark("floor", floor_rewrite)
            ->Arg(n)
            ->Iterations(n)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("zone_update", zone_updates)
            ->Arg(n)
            ->Iterations(n)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();
    std::string dir = bench_dir();
    unlink((dir + "/updates.zone").c_str());
    unlink((dir + "/floor.zone").c_str());
    rmdir(dir.c_str());
    return 0;
}
