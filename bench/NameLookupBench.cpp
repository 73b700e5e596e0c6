// Name lookup through the system's own getaddrinfo with the vesk module,
// measured side by side with a direct res_nquery of the same name against the
// same dnsmasq, and the cost the module adds to names outside every resolver
// domain. Run through bench/nss_bench.sh, which makes the environment (a
// private copy of /etc naming the module, a resolver file for "test", and
// dnsmasq on the loopback of a private network) without touching the host.
#include <arpa/nameser.h>
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <resolv.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include <string>
#include "NameLookup.hpp"

namespace {

bool prepared(benchmark::State& state) {
    struct stat st {};
    if (::stat("/etc/resolver/test", &st) != 0) {
        state.SkipWithError("run through bench/nss_bench.sh");
        return false;
    }
    return true;
}

void useHostsLine(const char* line) {
    std::ofstream("/etc/nsswitch.conf", std::ios::trunc) << "hosts: " << line << "\n";
}

void lookUp(benchmark::State& state, const char* name, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    for (auto _ : state) {
        addrinfo* result = nullptr;
        const int rc = ::getaddrinfo(name, "80", &hints, &result);
        if (rc != 0) {
            state.SkipWithError(gai_strerror(rc));
            break;
        }
        benchmark::DoNotOptimize(result->ai_addr);
        ::freeaddrinfo(result);
    }
}

void BM_ResNquery(benchmark::State& state) {
    if (!prepared(state)) return;
    struct __res_state res;
    std::memset(&res, 0, sizeof res);
    res_ninit(&res);
    unsigned char answer[NS_PACKETSZ];
    for (auto _ : state) {
        const int n = res_nquery(&res, "app.test", ns_c_in, ns_t_a, answer, sizeof answer);
        if (n <= 0) {
            state.SkipWithError("res_nquery failed");
            break;
        }
        benchmark::DoNotOptimize(answer[0]);
    }
    res_nclose(&res);
}
BENCHMARK(BM_ResNquery)->UseRealTime();

void BM_GetaddrinfoResolverDomain(benchmark::State& state) {
    if (!prepared(state)) return;
    useHostsLine("files vesk [NOTFOUND=return] dns");
    lookUp(state, "app.test", static_cast<int>(state.range(0)));
}
BENCHMARK(BM_GetaddrinfoResolverDomain)->Arg(AF_INET)->Arg(AF_UNSPEC)->UseRealTime();

// The same name through glibc's own dns source (resolv.conf names the same
// dnsmasq): what getaddrinfo costs without the module.
void BM_GetaddrinfoThroughDnsSource(benchmark::State& state) {
    if (!prepared(state)) return;
    useHostsLine("files dns");
    lookUp(state, "app.test", static_cast<int>(state.range(0)));
}
BENCHMARK(BM_GetaddrinfoThroughDnsSource)->Arg(AF_INET)->Arg(AF_UNSPEC)->UseRealTime();

// A name the dns source answers: with and without the module before it.
void BM_GetaddrinfoOutside(benchmark::State& state) {
    if (!prepared(state)) return;
    useHostsLine(state.range(0) != 0 ? "files vesk [NOTFOUND=return] dns" : "files dns");
    lookUp(state, "www.example.org", AF_INET);
}
BENCHMARK(BM_GetaddrinfoOutside)->ArgName("module")->Arg(0)->Arg(1)->UseRealTime();

// The module's own part of that: a name outside every resolver domain.
void BM_ModuleAloneOutside(benchmark::State& state) {
    if (!prepared(state)) return;
    for (auto _ : state) {
        vesk::nss::Result r;
        vesk::nss::lookup(vesk::nss::kResolverDir, "www.example.org", AF_INET, r);
        benchmark::DoNotOptimize(r.status);
    }
}
BENCHMARK(BM_ModuleAloneOutside)->UseRealTime();

// The module's own part of a lookup under a resolver domain.
void BM_ModuleAloneResolverDomain(benchmark::State& state) {
    if (!prepared(state)) return;
    for (auto _ : state) {
        vesk::nss::Result r;
        vesk::nss::lookup(vesk::nss::kResolverDir, "app.test", static_cast<int>(state.range(0)), r);
        if (r.status != vesk::nss::Status::success) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(r.count);
    }
}
BENCHMARK(BM_ModuleAloneResolverDomain)->Arg(AF_INET)->Arg(AF_UNSPEC)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
