// What the TSIG algorithms cost: SHA-512 of 1 MiB beside OpenSSL's in the
// same run, and signing one update message with each algorithm the
// dns-update effector offers. A change's whole exchange with a name server
// takes milliseconds; this shows that the choice of algorithm does not
// show against it.
#include "common/protocol/dns_msg.h"
#include "common/protocol/sha512.h"
#include "common/protocol/tsig.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <openssl/evp.h>
#include <string>
#include <vector>

namespace {

const std::vector<uint8_t> &mib() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(1 << 20);
        uint32_t x = 54321;
        for (auto &b : d) {
            x = x * 1103515245 + 12345;
            b = static_cast<uint8_t>(x >> 16);
        }
        return d;
    }();
    return data;
}

void bm_sha512(benchmark::State &st) {
    const auto &d = mib();
    uint8_t out[SHA512_DIGEST_LEN];
    for (auto _ : st) {
        sha512_ctx ctx;
        sha512_init(&ctx);
        sha512_update(&ctx, d.data(), d.size());
        sha512_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(d.size()));
}

void bm_openssl_sha512(benchmark::State &st) {
    const auto &d = mib();
    uint8_t out[SHA512_DIGEST_LEN];
    unsigned n = 0;
    for (auto _ : st) {
        EVP_Digest(d.data(), d.size(), out, &n, EVP_sha512(), nullptr);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(d.size()));
}

// One A update of home.example.test, as the effector builds it, signed.
void bm_sign(benchmark::State &st, tsig_alg alg) {
    static const char secret[] = "tsig secret of the zorvel tests";
    tsig_key k{};
    dns_msg_name_from_text(&k.name, "zorvel-home", 11);
    k.alg = alg;
    k.secret = reinterpret_cast<const uint8_t *>(secret);
    k.secret_len = sizeof secret - 1;
    dns_name zone, owner;
    dns_msg_name_from_text(&zone, "example.test", 12);
    dns_msg_name_from_text(&owner, "home.example.test", 17);
    const uint8_t a[4] = {192, 0, 2, 7};
    dns_msg_update u{0x1234, &zone, &owner, DNS_TYPE_A, 60, a};
    uint8_t buf[1024], mac[TSIG_MAC_MAX];
    size_t base = dns_msg_build_update(buf, sizeof buf, &u);
    for (auto _ : st) {
        dns_msg_put16(buf + 10, 0); // as built, without the TSIG record
        size_t n = tsig_sign(buf, base, sizeof buf, &k, 1796910545, nullptr, 0, 0, mac);
        benchmark::DoNotOptimize(n);
    }
}

// CPU times of each benchmark by name, for the ratio at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs)
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
                ns[r.run_name.function_name] = r.GetAdjustedCPUTime();
    }
};

} // namespace

BENCHMARK(bm_sha512)->Name("sha512_1MiB");
BENCHMARK(bm_openssl_sha512)->Name("openssl_sha512_1MiB");
BENCHMARK_CAPTURE(bm_sign, sha1, tsig_alg::hmac_sha1)->Name("tsig_sign_hmac_sha1");
BENCHMARK_CAPTURE(bm_sign, sha256, tsig_alg::hmac_sha256)->Name("tsig_sign_hmac_sha256");
BENCHMARK_CAPTURE(bm_sign, sha384, tsig_alg::hmac_sha384)->Name("tsig_sign_hmac_sha384");
BENCHMARK_CAPTURE(bm_sign, sha512, tsig_alg::hmac_sha512)->Name("tsig_sign_hmac_sha512");

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto a = rep.ns.find("sha512_1MiB"), b = rep.ns.find("openssl_sha512_1MiB");
    if (a != rep.ns.end() && b != rep.ns.end())
        std::printf("%-44s %8.3f\n", "SHA-512 throughput, ours / OpenSSL", b->second / a->second);
    auto s256 = rep.ns.find("tsig_sign_hmac_sha256"), s512 = rep.ns.find("tsig_sign_hmac_sha512");
    if (s256 != rep.ns.end() && s512 != rep.ns.end())
        std::printf("%-44s %8.3f\n", "signing time, hmac-sha512 / hmac-sha256",
                    s512->second / s256->second);
    benchmark::Shutdown();
    return 0;
}
