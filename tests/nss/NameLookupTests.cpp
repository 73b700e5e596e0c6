// The name-service module's lookup, against resolver files in a temporary
// directory and a DNS responder of the test's own that answers whatever the
// test says: correct answers, and hostile ones.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "NameLookup.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::nss::Result;
using vesk::nss::Status;
using Bytes = std::string;

// --- A DNS responder on a loopback port ---------------------------------------

/// An answer to `query`, built record by record.
class Reply {
  public:
    explicit Reply(const Bytes& query, int rcode = ns_r_noerror) : m_(query) {
        m_[2] = static_cast<char>(0x80 | (m_[2] & 0x79));  // QR, keep opcode and RD
        m_[3] = static_cast<char>(0x80 | rcode);           // RA
    }
    /// A record owned by the question's name (a pointer to it).
    Reply& record(int type, const Bytes& rdata, std::uint32_t ttl = 60) {
        return recordNamed(Bytes("\xc0\x0c", 2), type, rdata, ttl);
    }
    Reply& recordNamed(const Bytes& owner, int type, const Bytes& rdata, std::uint32_t ttl = 60) {
        m_ += owner;
        put16(type);
        put16(ns_c_in);
        put16(ttl >> 16);
        put16(ttl & 0xffff);
        put16(static_cast<int>(rdata.size()));
        m_ += rdata;
        setCount(6, count(6) + 1);
        return *this;
    }
    Reply& truncated() {
        m_[2] = static_cast<char>(m_[2] | 0x02);
        return *this;
    }
    Reply& answerCount(int n) {
        setCount(6, n);
        return *this;
    }
    Reply& id(int v) {
        m_[0] = static_cast<char>(v >> 8);
        m_[1] = static_cast<char>(v & 0xff);
        return *this;
    }
    [[nodiscard]] const Bytes& bytes() const { return m_; }

  private:
    void put16(std::uint32_t v) {
        m_ += static_cast<char>((v >> 8) & 0xff);
        m_ += static_cast<char>(v & 0xff);
    }
    [[nodiscard]] int count(std::size_t at) const {
        return (static_cast<unsigned char>(m_[at]) << 8) | static_cast<unsigned char>(m_[at + 1]);
    }
    void setCount(std::size_t at, int n) {
        m_[at] = static_cast<char>(n >> 8);
        m_[at + 1] = static_cast<char>(n & 0xff);
    }
    Bytes m_;
};

int queryType(const Bytes& q) {
    // Header, then the name's labels, then type.
    std::size_t i = NS_HFIXEDSZ;
    while (i < q.size() && q[i] != 0) i += 1 + static_cast<unsigned char>(q[i]);
    return i + 2 < q.size()
               ? (static_cast<unsigned char>(q[i + 1]) << 8) | static_cast<unsigned char>(q[i + 2])
               : -1;
}

Bytes v4(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return Bytes(reinterpret_cast<const char*>(&a), 4);
}
Bytes v6(const char* text) {
    in6_addr a{};
    inet_pton(AF_INET6, text, &a);
    return Bytes(reinterpret_cast<const char*>(&a), 16);
}

/// Answers UDP (and TCP) queries on `address`:port with whatever `udp` and
/// `tcp` return (several datagrams, or none).
class Responder {
  public:
    using Handler = std::function<std::vector<Bytes>(const Bytes& query)>;

    explicit Responder(const char* address = "127.0.0.1", std::uint16_t port = 0) {
        // The UDP port the kernel picks may be some other test's TCP port
        // at that moment (an outgoing connection's): then another pair is tried.
        for (int attempt = 0;; ++attempt) {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(port);
            inet_pton(AF_INET, address, &sa.sin_addr);
            udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            EXPECT_EQ(::bind(udp_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
            socklen_t len = sizeof sa;
            ::getsockname(udp_, reinterpret_cast<sockaddr*>(&sa), &len);
            port_ = ntohs(sa.sin_port);
            tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            const bool bound = ::bind(tcp_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            if (bound || port != 0 || attempt == 50) {
                EXPECT_TRUE(bound) << "TCP port " << port_;
                break;
            }
            ::close(tcp_);
            ::close(udp_);
        }
        ::listen(tcp_, 8);
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        ::close(udp_);
        ::close(tcp_);
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    Handler udp;
    Handler tcp;
    /// Called with each UDP query and where it came from, before it is answered.
    std::function<void(const Bytes&, const sockaddr_storage&, socklen_t)> before;
    std::atomic<int> udpQueries{0};
    std::atomic<int> tcpQueries{0};

  private:
    void serve() {
        while (!stop_) {
            pollfd p[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            if (p[0].revents & POLLIN) {
                char buf[2048];
                sockaddr_storage from{};
                socklen_t len = sizeof from;
                const ssize_t n =
                    ::recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) continue;
                ++udpQueries;
                if (before) before(Bytes(buf, static_cast<std::size_t>(n)), from, len);
                if (!udp) continue;
                for (const auto& d : udp(Bytes(buf, static_cast<std::size_t>(n)))) {
                    ::sendto(udp_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
                }
            }
            if (p[1].revents & POLLIN) serveTcp();
        }
    }
    void serveTcp() {
        const int c = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        unsigned char prefix[2];
        if (::recv(c, prefix, 2, MSG_WAITALL) == 2) {
            Bytes q((prefix[0] << 8) | prefix[1], '\0');
            if (::recv(c, q.data(), q.size(), MSG_WAITALL) == static_cast<ssize_t>(q.size())) {
                ++tcpQueries;
                if (tcp) {
                    for (const auto& d : tcp(q)) ::send(c, d.data(), d.size(), MSG_NOSIGNAL);
                }
            }
        }
        ::close(c);
    }

    int udp_ = -1;
    int tcp_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Bytes framed(const Bytes& m) {
    return Bytes{static_cast<char>(m.size() >> 8), static_cast<char>(m.size() & 0xff)} + m;
}

/// app.test is 127.0.0.1 and ::1; nothing else exists.
std::vector<Bytes> honest(const Bytes& q) {
    const int type = queryType(q);
    Reply r(q);
    if (type == ns_t_a) r.record(ns_t_a, v4("127.0.0.1"));
    if (type == ns_t_aaaa) r.record(ns_t_aaaa, v6("::1"));
    return {r.bytes()};
}

// --- Fixture ------------------------------------------------------------------

class NameLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vesk-nss-XXXXXX").string();
        root_ = ::mkdtemp(tmpl.data());
        dir = root_ + "/resolver";
        fs::create_directory(dir);
        ::chmod(dir.c_str(), 0755);
    }
    void TearDown() override { fs::remove_all(root_); }

    void file(const std::string& name, const std::string& text, mode_t mode = 0644) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        ::chmod(path.c_str(), mode);
    }
    void resolverFor(const Responder& r, const std::string& domain = "test", int timeout = 1) {
        file(domain, "nameserver 127.0.0.1\nport " + std::to_string(r.port()) + "\ntimeout " +
                         std::to_string(timeout) + "\n");
    }
    Result lookup(const char* name, int family = AF_UNSPEC) {
        Result r;
        vesk::nss::lookup(dir.c_str(), name, family, r);
        return r;
    }
    static std::vector<std::string> addresses(const Result& r) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < r.count; ++i) {
            char text[INET6_ADDRSTRLEN];
            inet_ntop(r.addresses[i].family, r.addresses[i].bytes, text, sizeof text);
            out.emplace_back(text);
        }
        return out;
    }

    std::string root_;
    std::string dir;
};

using Strings = std::vector<std::string>;

// --- Resolver files -------------------------------------------------------------

TEST(ResolverFile, ReadLikeTheOriginalFormat) {
    vesk::nss::ResolverFile f;
    const std::string text =
        "# a comment line\nnameserver 127.0.0.1\nnameserver ::1\n  nameserver\t10.0.0.1 x\n"
        "nameserver 10.0.0.2\nport 5353\ntimeout 90\nsearch_order 2\ndomain test\nsortlist x\n";
    ASSERT_TRUE(vesk::nss::parseResolverFile(text.data(), text.size(), f));
    EXPECT_EQ(f.serverCount, 3U) << "up to three name servers";
    EXPECT_EQ(f.servers[1].ss_family, AF_INET6);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in6*>(&f.servers[1])->sin6_port), 5353);
    EXPECT_EQ(f.timeout, vesk::nss::kMaxTimeout) << "a timeout is never unbounded";
    EXPECT_EQ(f.searchOrder, 2);
    for (const char* bad :
         {"nameserver localhost\n", "nameserver 127.0.0.1\nport 0\n",
          "nameserver 127.0.0.1\nport 65536\n", "nameserver 127.0.0.1\nport x\n",
          "nameserver 127.0.0.1\ntimeout 0\n", "port 53\n", "",
          "nameserver 127.0.0.1\nsearch_order -1\n", "nameserver fe80::1%eth0\n"}) {
        EXPECT_FALSE(vesk::nss::parseResolverFile(bad, std::strlen(bad), f)) << bad;
    }
    const std::string nul("nameserver 127.0.0.1\n\0", 22);
    EXPECT_FALSE(vesk::nss::parseResolverFile(nul.data(), nul.size(), f));
}

TEST_F(NameLookupTest, TheLongestSuffixAtALabelBoundaryChoosesTheFile) {
    file("test", "nameserver 127.0.0.1\nport 1001\n");
    file("b.test", "nameserver 127.0.0.1\nport 1002\n");
    file("c.test", "nameserver 127.0.0.1\nport nonsense\n");
    const auto portFor = [&](const char* name) {
        vesk::nss::ResolverFile f;
        if (!vesk::nss::findResolverFile(dir.c_str(), name, f)) return 0;
        return static_cast<int>(f.port);
    };
    EXPECT_EQ(portFor("app.test"), 1001);
    EXPECT_EQ(portFor("a.b.test"), 1002);
    EXPECT_EQ(portFor("b.test"), 1002);
    EXPECT_EQ(portFor("APP.Test."), 1001) << "case and a final dot do not matter";
    EXPECT_EQ(portFor("x.c.test"), 1001) << "a malformed file is no file";
    EXPECT_EQ(portFor("mytest"), 0);
    EXPECT_EQ(portFor("test.example"), 0);
    for (const char* odd : {"", ".", "a..test", ".test", "a/test", "../test", "a\\.test", "a test",
                            "test..", "x\n.test"}) {
        EXPECT_EQ(portFor(odd), 0) << odd;
    }
    EXPECT_EQ(portFor((std::string(64, 'a') + ".test").c_str()), 0) << "a label over 63 bytes";
}

TEST_F(NameLookupTest, OnlyFilesThatAreRootsAloneAreHonoured) {
    const auto honoured = [&] {
        vesk::nss::ResolverFile f;
        return vesk::nss::findResolverFile(dir.c_str(), "app.test", f);
    };
    file("test", "nameserver 127.0.0.1\n");
    ASSERT_TRUE(honoured());
    ::chmod((dir + "/test").c_str(), 0664);
    EXPECT_FALSE(honoured()) << "writable by its group";
    ::chmod((dir + "/test").c_str(), 0644);
    ASSERT_EQ(::chown((dir + "/test").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(honoured()) << "owned by another user";
    fs::remove(dir + "/test");
    file("elsewhere", "nameserver 127.0.0.1\n");
    fs::create_symlink(dir + "/elsewhere", dir + "/test");
    EXPECT_FALSE(honoured()) << "a link";
    fs::remove(dir + "/test");
    file("test", "nameserver 127.0.0.1\n" + std::string(5000, '#'));
    EXPECT_FALSE(honoured()) << "larger than a resolver file can be";
    file("test", "nameserver 127.0.0.1\n");
    ::chmod(dir.c_str(), 0777);
    EXPECT_FALSE(honoured()) << "a directory anyone can write to";
    ::chmod(dir.c_str(), 0755);
    fs::remove(dir + "/test");
    ASSERT_EQ(::mkfifo((dir + "/test").c_str(), 0644), 0);
    EXPECT_FALSE(honoured()) << "a FIFO is not opened for reading (which would block)";
}

// --- Lookups ------------------------------------------------------------------

TEST_F(NameLookupTest, NamesOutsideResolverDomainsAreUnavailableWithoutAQuery) {
    Responder dns;
    dns.udp = honest;
    resolverFor(dns);
    EXPECT_EQ(lookup("example.com").status, Status::unavailable);
    EXPECT_EQ(lookup("mytest").status, Status::unavailable);
    EXPECT_EQ(dns.udpQueries.load(), 0);
    Result r;
    vesk::nss::lookup((root_ + "/absent").c_str(), "app.test", AF_UNSPEC, r);
    EXPECT_EQ(r.status, Status::unavailable);
}

TEST_F(NameLookupTest, BothFamiliesAtOnceOrOneAsked) {
    Responder dns;
    dns.udp = honest;
    resolverFor(dns);
    Result r = lookup("app.test");
    ASSERT_EQ(r.status, Status::success);
    EXPECT_EQ(addresses(r), (Strings{"127.0.0.1", "::1"}));
    EXPECT_STREQ(r.canonical, "app.test");
    EXPECT_EQ(r.ttl, 60);
    EXPECT_EQ(addresses(lookup("app.test", AF_INET)), Strings{"127.0.0.1"});
    EXPECT_EQ(addresses(lookup("app.test", AF_INET6)), Strings{"::1"});
}

TEST_F(NameLookupTest, UnknownNamesAreNotFound) {
    Responder dns;
    dns.udp = [](const Bytes& q) { return std::vector<Bytes>{Reply(q, ns_r_nxdomain).bytes()}; };
    resolverFor(dns);
    EXPECT_EQ(lookup("nope.test").status, Status::notFound);
    dns.udp = [](const Bytes& q) { return std::vector<Bytes>{Reply(q).bytes()}; };
    EXPECT_EQ(lookup("nodata.test").status, Status::notFound) << "no address of either family";
}

TEST_F(NameLookupTest, AFailingServerPassesToTheNext) {
    Responder failing("127.0.0.1");
    failing.udp = [](const Bytes& q) {
        return std::vector<Bytes>{Reply(q, ns_r_servfail).bytes()};
    };
    Responder good("127.0.0.2", failing.port());
    good.udp = honest;
    file("test", "nameserver 127.0.0.1\nnameserver 127.0.0.2\nport " +
                     std::to_string(failing.port()) + "\ntimeout 2\n");
    EXPECT_EQ(addresses(lookup("app.test")), (Strings{"127.0.0.1", "::1"}));
    EXPECT_GE(failing.udpQueries.load(), 1);
}

TEST_F(NameLookupTest, AServerRefusingOneFamilyStillAnswersTheOther) {
    // dnsmasq with only an IPv4 address for a domain refuses AAAA questions.
    Responder dns;
    dns.udp = [](const Bytes& q) {
        return queryType(q) == ns_t_aaaa ? std::vector<Bytes>{Reply(q, ns_r_refused).bytes()}
                                         : honest(q);
    };
    resolverFor(dns);
    EXPECT_EQ(addresses(lookup("app.test")), Strings{"127.0.0.1"});
    EXPECT_EQ(lookup("app.test", AF_INET6).status, Status::tryAgain);
}

TEST_F(NameLookupTest, ATruncatedAnswerIsAskedAgainOverTcp) {
    Responder dns;
    dns.udp = [](const Bytes& q) { return std::vector<Bytes>{Reply(q).truncated().bytes()}; };
    dns.tcp = [](const Bytes& q) {
        Reply r(q);
        if (queryType(q) == ns_t_a) {
            for (int i = 1; i <= 40; ++i) {
                r.record(ns_t_a, v4(("10.0.0." + std::to_string(i)).c_str()));
            }
        }
        return std::vector<Bytes>{framed(r.bytes())};
    };
    resolverFor(dns);
    const Result r = lookup("big.test");
    ASSERT_EQ(r.status, Status::success);
    EXPECT_EQ(r.count, vesk::nss::kMaxAddresses) << "bounded";
    EXPECT_EQ(dns.tcpQueries.load(), 2);
}

TEST_F(NameLookupTest, HostileAnswersAreNeverBelieved) {
    Responder dns;
    resolverFor(dns);
    // Junk first, then the honest answer: junk is dropped, the answer taken.
    const std::vector<std::function<Bytes(const Bytes&)>> junk = {
        [](const Bytes& q) {
            return Reply(q)
                .id(((q[0] & 0xff) << 8 ^ 0x5a5a) & 0xffff)
                .record(ns_t_a, v4("6.6.6.6"))
                .bytes();
        },
        [](const Bytes&) { return Bytes("\x12", 1); },
        [](const Bytes& q) { return q; },  // a query, not an answer
        [](const Bytes& q) { return Reply(q).answerCount(50).bytes(); },
        [](const Bytes& q) {  // a name compressed into a loop
            return Reply(q)
                       .recordNamed(Bytes("\xc0\x0c", 2), ns_t_cname, Bytes("\x01x\xc0\x00", 4))
                       .bytes()
                       .substr(0, NS_HFIXEDSZ) +
                   Bytes("\xc0\x0c", 2);
        },
        [](const Bytes& q) {
            return Reply(q).record(ns_t_a, v4("6.6.6.6")).bytes().substr(0, q.size() + 8);
        },
        [](const Bytes& q) {  // the question of another name
            Bytes other = q;
            other[NS_HFIXEDSZ + 1] = static_cast<char>(other[NS_HFIXEDSZ + 1] ^ 1);
            return Reply(other).record(ns_t_a, v4("6.6.6.6")).bytes();
        },
    };
    dns.udp = [&](const Bytes& q) {
        std::vector<Bytes> out;
        out.reserve(junk.size() + 1);
        for (const auto& j : junk) out.push_back(j(q));
        out.push_back(honest(q).front());
        return out;
    };
    EXPECT_EQ(addresses(lookup("app.test")), (Strings{"127.0.0.1", "::1"}));

    // Records that are not about our name, or not addresses, or malformed.
    dns.udp = [](const Bytes& q) {
        Reply r(q);
        r.recordNamed(Bytes("\x05other\x04test\x00", 12), queryType(q),
                      queryType(q) == ns_t_a ? v4("6.6.6.6") : v6("::6"));
        r.record(ns_t_txt, Bytes("\x03txt", 4));
        r.record(queryType(q), Bytes("\x7f\x00\x00\x01\x00", 5));
        r.record(ns_t_a, v4("127.0.0.9"));  // an A record in an AAAA answer too
        return std::vector<Bytes>{r.bytes()};
    };
    const Result r = lookup("app.test");
    EXPECT_EQ(addresses(r), Strings{"127.0.0.9"}) << "only the A answer's own A record";

    // An alias is followed within the answer, a loop of aliases is not.
    dns.udp = [](const Bytes& q) {
        Reply r(q);
        r.record(ns_t_cname, Bytes("\x04real\xc0\x10", 7));  // real.test
        r.recordNamed(Bytes("\x04real\x04test\x00", 11), queryType(q),
                      queryType(q) == ns_t_a ? v4("127.0.0.2") : v6("::2"));
        return std::vector<Bytes>{r.bytes()};
    };
    const Result aliased = lookup("app.test");
    EXPECT_EQ(addresses(aliased), (Strings{"127.0.0.2", "::2"}));
    EXPECT_STREQ(aliased.canonical, "real.test");
    dns.udp = [](const Bytes& q) {
        Reply r(q);
        r.record(ns_t_cname, Bytes("\xc0\x0c", 2));  // app.test is app.test
        return std::vector<Bytes>{r.bytes()};
    };
    EXPECT_EQ(lookup("app.test").status, Status::notFound);
}

TEST_F(NameLookupTest, AnswersFromAnotherPortAreNeverSeen) {
    // Another socket on the same address races the server with a forged
    // answer to the exact question and id; only the server's port counts.
    Responder dns;
    const int spoofer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    ASSERT_EQ(::bind(spoofer, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    std::atomic<int> forged{0};
    dns.before = [&](const Bytes& q, const sockaddr_storage& from, socklen_t len) {
        const int type = queryType(q);
        const Bytes lie = Reply(q).record(type, type == ns_t_a ? v4("6.6.6.6") : v6("::6")).bytes();
        if (::sendto(spoofer, lie.data(), lie.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                     len) > 0) {
            ++forged;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    dns.udp = honest;
    resolverFor(dns);
    EXPECT_EQ(addresses(lookup("app.test")), (Strings{"127.0.0.1", "::1"}));
    EXPECT_GE(forged.load(), 1);
    ::close(spoofer);
}

TEST_F(NameLookupTest, EveryLookupEndsByTheTimeout) {
    Responder silent;
    resolverFor(silent, "test", 1);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup("app.test").status, Status::tryAgain);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

    // A flood of junk does not hold the lookup either.
    silent.udp = [](const Bytes&) { return std::vector<Bytes>(200, Bytes(12, '\0')); };
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup("app.test").status, Status::tryAgain);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

    // TCP that promises more than it sends.
    silent.udp = [](const Bytes& q) { return std::vector<Bytes>{Reply(q).truncated().bytes()}; };
    silent.tcp = [](const Bytes&) { return std::vector<Bytes>{Bytes("\xff\xff\x01", 3)}; };
    EXPECT_EQ(lookup("app.test").status, Status::tryAgain);

    // Nothing listening: refused at once.
    const std::uint16_t port = silent.port();
    file("test",
         "nameserver 127.0.0.1\nport " + std::to_string(port == 65535 ? 1 : port + 1) + "\n");
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup("app.test").status, Status::tryAgain);
}

TEST_F(NameLookupTest, EntryPointsLayOutResultsInTheCallersBuffer) {
    Responder dns;
    dns.udp = honest;
    resolverFor(dns);
    char buffer[1024];
    int err = 0;
    int herr = 0;
    int32_t ttl = 0;
    gaih_addrtuple* tuples = nullptr;
    ASSERT_EQ(vesk::nss::hostsByName4(dir.c_str(), "app.test", &tuples, buffer, sizeof buffer, &err,
                                      &herr, &ttl),
              NSS_STATUS_SUCCESS);
    ASSERT_NE(tuples, nullptr);
    EXPECT_STREQ(tuples->name, "app.test");
    EXPECT_EQ(tuples->family, AF_INET);
    ASSERT_NE(tuples->next, nullptr);
    EXPECT_EQ(tuples->next->family, AF_INET6);
    EXPECT_EQ(tuples->next->next, nullptr);
    EXPECT_EQ(ttl, 60);

    hostent host{};
    char* canonical = nullptr;
    ASSERT_EQ(vesk::nss::hostsByName3(dir.c_str(), "app.test", AF_INET, &host, buffer,
                                      sizeof buffer, &err, &herr, &ttl, &canonical),
              NSS_STATUS_SUCCESS);
    EXPECT_STREQ(host.h_name, "app.test");
    EXPECT_EQ(host.h_aliases[0], nullptr);
    ASSERT_NE(host.h_addr_list[0], nullptr);
    EXPECT_EQ(std::memcmp(host.h_addr_list[0], "\x7f\x00\x00\x01", 4), 0);
    EXPECT_EQ(host.h_addr_list[1], nullptr);

    for (std::size_t small : {0, 5, 20}) {
        tuples = nullptr;
        EXPECT_EQ(vesk::nss::hostsByName4(dir.c_str(), "app.test", &tuples, buffer, small, &err,
                                          &herr, &ttl),
                  NSS_STATUS_TRYAGAIN);
        EXPECT_EQ(err, ERANGE) << "the caller retries with a larger buffer";
    }
    EXPECT_EQ(vesk::nss::hostsByName4(dir.c_str(), "example.com", &tuples, buffer, sizeof buffer,
                                      &err, &herr, &ttl),
              NSS_STATUS_UNAVAIL);
    EXPECT_EQ(vesk::nss::hostsByName3(dir.c_str(), "app.test", AF_UNIX, &host, buffer,
                                      sizeof buffer, &err, &herr, &ttl, &canonical),
              NSS_STATUS_UNAVAIL);
}

}  // namespace
