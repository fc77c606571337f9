// The update protocol's hashing beside OpenSSL's, in one run: SHA-1 over
// 1 MiB, HMAC-SHA1 of a 50-byte message under a 16-byte key, and the
// server's decode-plus-verify of one datagram, IPv4 and IPv6. After the
// table it prints each ratio against its goal, from the medians when
// repetitions are on.
//
// OPENSSL_ia32cap steers only OpenSSL: "~0x1000020000000000:~0x20000020"
// forces its scalar SHA-1 (the baseline for our portable code), and
// ":~0x20000000" masks only its SHA extensions.
#include "common/process/log.h"
#include "common/protocol/hmac_sha1.h"
#include "common/protocol/sha1.h"
#include "common/protocol/update_msg.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

const std::vector<uint8_t> &mib() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(1 << 20);
        uint32_t x = 12345;
        for (auto &b : d) {
            x = x * 1103515245 + 12345;
            b = static_cast<uint8_t>(x >> 16);
        }
        return d;
    }();
    return data;
}

const uint8_t hmac_key[16] = {'k', 'e', 'y', '-', 'o', 'f', '-', 's',
                              'i', 'x', 't', 'e', 'e', 'n', '!', '!'};
const uint8_t hmac_msg[50] = "1700000000\0host.example.org\0\xc0\x00\x02\x07\0 padding..";

// Fast path on or off for the span of one benchmark.
struct fast_path {
    explicit fast_path(bool on) { sha1_set_fast_path(on); }
    ~fast_path() { sha1_set_fast_path(true); }
};

void sha1_mib(benchmark::State &st, bool fast) {
    fast_path fp(fast);
    const auto &d = mib();
    uint8_t out[SHA1_DIGEST_LEN];
    for (auto _ : st) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, d.data(), d.size());
        sha1_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}

void bm_sha1(benchmark::State &st) {
    sha1_mib(st, true);
}
void bm_sha1_portable(benchmark::State &st) {
    sha1_mib(st, false);
}

void bm_openssl_sha1(benchmark::State &st) {
    const auto &d = mib();
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned len;
    for (auto _ : st) {
        EVP_Digest(d.data(), d.size(), out, &len, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}

void hmac50(benchmark::State &st, bool fast) {
    fast_path fp(fast);
    uint8_t out[HMAC_SHA1_LEN];
    for (auto _ : st) {
        hmac_sha1(out, hmac_msg, sizeof hmac_msg, hmac_key, sizeof hmac_key);
        benchmark::DoNotOptimize(out);
    }
}

void bm_hmac_sha1(benchmark::State &st) {
    hmac50(st, true);
}
void bm_hmac_sha1_portable(benchmark::State &st) {
    hmac50(st, false);
}

void bm_openssl_hmac(benchmark::State &st) {
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned len;
    for (auto _ : st) {
        HMAC(EVP_sha1(), hmac_key, sizeof hmac_key, hmac_msg, sizeof hmac_msg, out, &len);
        benchmark::DoNotOptimize(out);
    }
}

// One datagram as a client of the present era sends it, IPv4 or IPv6.
struct datagram {
    uint8_t buf[UPDATE_MSG_MAX];
    size_t len;
    explicit datagram(int family = AF_INET) {
        static const char name[] = "host.example.org";
        update_msg m{};
        m.time = 1700000000;
        m.name = name;
        m.name_len = sizeof name - 1;
        const uint8_t addr[4] = {192, 0, 2, 7};
        std::memcpy(m.addr, addr, 4);
        const uint8_t addr6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
        std::memcpy(m.addr6, addr6, 16);
        m.family = family;
        len = update_msg_encode(buf, sizeof buf, &m, hmac_key, sizeof hmac_key);
    }
};

// The server's work per datagram: decode, MAC the prefix, compare.
void decode_verify(benchmark::State &st, int family) {
    const datagram d(family);
    for (auto _ : st) {
        update_msg m;
        uint8_t mac[HMAC_SHA1_LEN];
        size_t n = update_msg_decode(&m, d.buf, d.len);
        hmac_sha1(mac, d.buf, n, hmac_key, sizeof hmac_key);
        bool ok = hmac_sha1_equal(mac, m.mac);
        benchmark::DoNotOptimize(ok);
    }
}

void bm_decode_verify(benchmark::State &st) {
    decode_verify(st, AF_INET);
}
// The IPv6 datagram: the decoder's extra shape test first, and 12 more
// bytes under the MAC, which still fit the inner hash's one block.
void bm_decode_verify_ipv6(benchmark::State &st) {
    decode_verify(st, AF_INET6);
}

void bm_openssl_decode_verify(benchmark::State &st) {
    const datagram d;
    for (auto _ : st) {
        update_msg m;
        uint8_t mac[EVP_MAX_MD_SIZE];
        unsigned len;
        size_t n = update_msg_decode(&m, d.buf, d.len);
        HMAC(EVP_sha1(), hmac_key, sizeof hmac_key, d.buf, n, mac, &len);
        bool ok = CRYPTO_memcmp(mac, m.mac, HMAC_SHA1_LEN) == 0;
        benchmark::DoNotOptimize(ok);
    }
}

// Shows the table as usual and keeps each benchmark's CPU time per
// iteration: the median when repetitions are on, else the single run.
// CPU time rather than wall time, since the machine is shared.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs) {
            const std::string &name = r.run_name.function_name;
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (median || (r.run_type == Run::RT_Iteration && !ns.count(name)))
                ns[name] =
                    r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
        }
    }
};

void print_ratio(const ratio_reporter &rep, const char *what, const char *ours, const char *theirs,
                 bool speed, double goal) {
    auto a = rep.ns.find(ours), b = rep.ns.find(theirs);
    if (a == rep.ns.end() || b == rep.ns.end())
        return;
    // A speed ratio is their time over ours (higher is better); a time
    // ratio is ours over theirs (lower is better).
    double ratio = speed ? b->second / a->second : a->second / b->second;
    const char *verdict = goal == 0                                 ? ""
                          : (speed ? ratio >= goal : ratio <= goal) ? "  met"
                                                                    : "  MISSED";
    std::printf("%-44s %8.3f", what, ratio);
    if (goal != 0)
        std::printf("   goal %s %.2f%s", speed ? ">=" : "<=", goal, verdict);
    std::printf("\n");
}

void quiet(int, const char *) {}

// Masks OpenSSL's SHA extensions and its vector SHA-1 code alike.
const char scalar_cap[] = "~0x1000020000000000:~0x20000020";

} // namespace

BENCHMARK(bm_sha1)->Name("sha1_1MiB");
BENCHMARK(bm_sha1_portable)->Name("sha1_portable_1MiB");
BENCHMARK(bm_openssl_sha1)->Name("openssl_sha1_1MiB");
BENCHMARK(bm_hmac_sha1)->Name("hmac_sha1_50B");
BENCHMARK(bm_hmac_sha1_portable)->Name("hmac_sha1_portable_50B");
BENCHMARK(bm_openssl_hmac)->Name("openssl_hmac_50B");
BENCHMARK(bm_decode_verify)->Name("decode_verify");
BENCHMARK(bm_decode_verify_ipv6)->Name("decode_verify_ipv6");
BENCHMARK(bm_openssl_decode_verify)->Name("openssl_decode_verify");

int main(int argc, char **argv) {
    log_set_sink(quiet);
    // Medians of five runs unless the command line says otherwise.
    std::vector<char *> args(argv, argv + argc);
    bool reps = false;
    for (int i = 1; i < argc; i++)
        reps = reps || std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
    static char rep_arg[] = "--benchmark_repetitions=5";
    static char agg_arg[] = "--benchmark_display_aggregates_only=true";
    if (!reps) {
        args.push_back(rep_arg);
        args.push_back(agg_arg);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return 1;

    const char *cap = std::getenv("OPENSSL_ia32cap");
    std::printf("SHA extensions in this CPU: %s; OPENSSL_ia32cap=%s\n",
                sha1_fast_path_available() ? "yes" : "no", cap ? cap : "(unset)");
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();

    // Each goal holds against one OpenSSL configuration; in the other runs
    // its ratio is shown without a verdict.
    const bool openssl_default = cap == nullptr;
    const bool openssl_scalar = cap != nullptr && std::strcmp(cap, scalar_cap) == 0;
    std::printf("\nRatios (CPU time, medians)\n");
    print_ratio(rep, "hmac_sha1 time / OpenSSL HMAC()", "hmac_sha1_50B", "openssl_hmac_50B", false,
                openssl_default ? 0.5 : 0);
    print_ratio(rep, "sha1 throughput / OpenSSL SHA-1", "sha1_1MiB", "openssl_sha1_1MiB", true,
                openssl_default ? 0.8 : 0);
    print_ratio(rep, "portable sha1 throughput / OpenSSL SHA-1", "sha1_portable_1MiB",
                "openssl_sha1_1MiB", true, openssl_scalar ? 0.5 : 0);
    print_ratio(rep, "decode+verify time / with OpenSSL HMAC()", "decode_verify",
                "openssl_decode_verify", false, 0);
    print_ratio(rep, "decode+verify time, IPv6 / IPv4", "decode_verify_ipv6", "decode_verify",
                false, 1.1);
    print_ratio(rep, "portable hmac_sha1 time / OpenSSL HMAC()", "hmac_sha1_portable_50B",
                "openssl_hmac_50B", false, 0);
    if (!openssl_default && !openssl_scalar)
        std::printf("(goals are judged with OPENSSL_ia32cap unset or set to \"%s\")\n", scalar_cap);
    else if (openssl_default)
        std::printf("(the portable goal is judged against OpenSSL's scalar code: run again\n"
                    " with OPENSSL_ia32cap=\"%s\")\n",
                    scalar_cap);
    else
        std::printf("(the hmac and sha1 goals are judged with OPENSSL_ia32cap unset)\n");
    return 0;
}
