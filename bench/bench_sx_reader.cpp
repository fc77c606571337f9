// The S-expression reader over configuration-like text, beside a baseline
// measured in the same run on the same file: a plain fread of the whole file
// into a buffer and one memchr scan over it. The summary at the end gives
// each reading as a multiple of the baseline's CPU time at the same size.
#include "common/csexp/sx_reader.h"
#include "common/csexp/sx_tree.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// A small deterministic generator, so every run reads the same text.
struct lcg {
    uint64_t s = 0x2545f4914f6cdd1dULL;
    uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(s >> 33);
    }
};

std::string base64(const unsigned char *p, size_t n) {
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = p[i] << 16 | (i + 1 < n ? p[i + 1] << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        s += a[v >> 18 & 63];
        s += a[v >> 12 & 63];
        s += i + 1 < n ? a[v >> 6 & 63] : '=';
        s += i + 2 < n ? a[v & 63] : '=';
    }
    return s;
}

// Server-style configuration: listen and default statements, then account
// forms with base64 or hex keys, options and nested effector lists holding
// quoted commands with escapes.
std::string config_text(size_t size) {
    lcg rng;
    std::string t = "(listen 0.0.0.0 \"9053\")\n(listen localhost 9054)\n"
                    "(defaults (max-past 300) (max-future 60) (timeout 900))\n";
    char line[512];
    for (unsigned i = 0; t.size() < size; i++) {
        unsigned char key[20];
        for (unsigned char &k : key)
            k = static_cast<unsigned char>(rng.next());
        std::string k64 = base64(key, sizeof(key));
        std::snprintf(line, sizeof(line),
                      "(account host%06u |%s|\n  (ip 192.0.%u.%u) (timeout %u)\n", i, k64.c_str(),
                      rng.next() % 256, rng.next() % 256, 300 + rng.next() % 600);
        t += line;
        if (i % 4 == 3) {
            t += "  (key #";
            for (unsigned char k : key) {
                std::snprintf(line, sizeof(line), "%02x", k);
                t += line;
            }
            t += "#)\n";
        }
        std::snprintf(line, sizeof(line),
                      "  (effectors\n"
                      "    (zone \"/var/zones/example.org\" host%06u.example.org)\n"
                      "    (kill \"/var/run/named.pid\" hup)\n"
                      "    (system \"logger -t zorvel \\\"%%n is now at %%a\\\"\\n\")\n"
                      "    (sensors (first (exec \"ip -4 addr show dev eth%u\")) (fallback)))\n"
                      "  (flags up-only 4:safe))\n",
                      i, i % 4);
        t += line;
    }
    return t;
}

// The text in a temporary file, removed at exit.
struct text_file {
    std::string path;
    size_t size = 0;
    explicit text_file(size_t want) {
        char tmpl[] = "/tmp/bench_sx_reader.XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0) {
            std::perror("mkstemp");
            std::exit(2);
        }
        path = tmpl;
        std::string t = config_text(want);
        size = t.size();
        if (write(fd, t.data(), t.size()) != static_cast<ssize_t>(t.size())) {
            std::perror("write");
            std::exit(2);
        }
        close(fd);
    }
    ~text_file() { unlink(path.c_str()); }
};

FILE *open_or_die(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(2);
    }
    return f;
}

// What any reader of a whole file pays at least: a fresh buffer (the reader
// must build fresh buffers too, so both pay for first touching their
// memory), one fread, and one scan of every byte.
void baseline(benchmark::State &state, const text_file *file) {
    for (auto _ : state) {
        char *buf = static_cast<char *>(std::malloc(file->size));
        FILE *f = open_or_die(file->path);
        size_t got = std::fread(buf, 1, file->size, f);
        std::fclose(f);
        const void *hit = std::memchr(buf, '\x01', got);
        benchmark::DoNotOptimize(hit);
        benchmark::DoNotOptimize(got);
        std::free(buf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size));
}

void reader(benchmark::State &state, const text_file *file, size_t chunk, size_t dunit,
            size_t nunit) {
    size_t nodes = 0;
    for (auto _ : state) {
        FILE *f = open_or_die(file->path);
        sx_block b{};
        if (sx_read_file(&b, f, chunk, dunit, nunit) != 0) {
            state.SkipWithError("sx_read_file failed");
            std::fclose(f);
            break;
        }
        std::fclose(f);
        nodes = b.nsize;
        sx_free(&b);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size));
    state.counters["nodes"] = static_cast<double>(nodes);
}

// The floor that the reader's output alone sets: fresh memory of the size of
// the two buffers a read of the file hands over, each page touched once.
void output_touch(benchmark::State &state, const text_file *file, size_t dunit, size_t nunit) {
    FILE *f = open_or_die(file->path);
    sx_block b{};
    if (sx_read_file(&b, f, 65536, dunit, nunit) != 0) {
        state.SkipWithError("sx_read_file failed");
        std::fclose(f);
        return;
    }
    std::fclose(f);
    // The capacities the buffers grew to, as the reader's units round them.
    size_t bytes = (b.dsize + dunit - 1) / dunit * dunit;
    bytes += (b.nsize + nunit - 1) / nunit * nunit * sizeof(sx_node);
    sx_free(&b);
    long page = sysconf(_SC_PAGESIZE);
    for (auto _ : state) {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            break;
        }
        for (size_t i = 0; i < bytes; i += static_cast<size_t>(page))
            static_cast<volatile char *>(p)[i] = 1;
        munmap(p, bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size));
    state.counters["output_MiB"] = static_cast<double>(bytes) / (1 << 20);
}

// Collects every run's time per iteration and prints the ratios at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    ratio_reporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the benchmark; a single
        // run stands for itself.
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && r.repetitions <= 1)
                times_[r.run_name.str()] = r.GetAdjustedCPUTime();
            else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                times_[r.run_name.str()] = r.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nCPU time as a multiple of the baseline's at the same size:\n");
        for (const auto &[name, t] : times_) {
            size_t slash = name.find('/');
            if (name.rfind("baseline/", 0) == 0 || slash == std::string::npos)
                continue;
            std::string size = name.substr(slash + 1, name.find('/', slash + 1) - slash - 1);
            auto base = times_.find("baseline/" + size);
            if (base != times_.end() && base->second > 0)
                std::printf("  %-48s %6.2fx\n", name.c_str(), t / base->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv) {
    static const text_file big(16u << 20);
    static const text_file mid(1u << 20);
    static const text_file small(64u << 10);

    // The server's chunk and units (4096 bytes, 4096 bytes, 64 nodes) at
    // every size; at 16 MiB also units sized to the text, so that nothing
    // grows twice, and what touching that much fresh memory costs alone.
    benchmark::RegisterBenchmark("baseline/16MiB", baseline, &big)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sx_read_file/16MiB/chunk:4096/units:4096,64", reader, &big, 4096,
                                 4096, 64)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sx_read_file/16MiB/chunk:65536/units:16MiB,2Mi", reader, &big,
                                 65536, 16u << 20, 2u << 20)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("output_touch/16MiB/units:16MiB,2Mi", output_touch, &big,
                                 16u << 20, 2u << 20)
        ->Unit(benchmark::kMillisecond);

    benchmark::RegisterBenchmark("baseline/1MiB", baseline, &mid)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("sx_read_file/1MiB/chunk:4096/units:4096,64", reader, &mid, 4096,
                                 4096, 64)
        ->Unit(benchmark::kMicrosecond);

    benchmark::RegisterBenchmark("baseline/64KiB", baseline, &small)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("sx_read_file/64KiB/chunk:4096/units:4096,64", reader, &small,
                                 4096, 4096, 64)
        ->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();
    return 0;
}
