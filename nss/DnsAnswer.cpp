// DNS messages, built and read with libresolv; nothing in an answer is
// trusted: it must answer our question, and only what it says about our name
// (or the names our name is an alias of, within the answer) is taken.
#include <arpa/nameser.h>
#include <resolv.h>

#include <cstring>

#include "NameLookup.hpp"

namespace vesk::nss {

namespace {

constexpr int kMaxAliases = 8;

/// The header fields of a message: id, flags, counts.
struct Header {
    std::uint16_t id;
    bool response;
    bool truncated;
    int opcode;
    int rcode;
};

Header headerOf(const unsigned char* m) {
    Header h{};
    h.id = static_cast<std::uint16_t>((m[0] << 8) | m[1]);
    h.response = (m[2] & 0x80) != 0;
    h.opcode = (m[2] >> 3) & 0x0f;
    h.truncated = (m[2] & 0x02) != 0;
    h.rcode = m[3] & 0x0f;
    return h;
}

/// The question of a message we built: name, type and class.
struct Question {
    char name[kMaxName];
    int type;
    int klass;
};

bool questionOf(ns_msg& msg, Question& q) {
    if (ns_msg_count(msg, ns_s_qd) != 1) return false;
    ns_rr rr;
    if (ns_parserr(&msg, ns_s_qd, 0, &rr) != 0) return false;
    std::strncpy(q.name, ns_rr_name(rr), sizeof q.name - 1);
    q.name[sizeof q.name - 1] = '\0';
    q.type = ns_rr_type(rr);
    q.klass = ns_rr_class(rr);
    return true;
}

/// Whether two names in presentation form (as libresolv writes them) are the
/// same: ASCII letters compare without case, a final dot is ignored.
int sameName(const char* a, const char* b) {
    std::size_t m = std::strlen(a);
    std::size_t n = std::strlen(b);
    if (m > 0 && a[m - 1] == '.') --m;
    if (n > 0 && b[n - 1] == '.') --n;
    if (m != n) return 0;
    for (std::size_t i = 0; i < n; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return 0;
    }
    return 1;
}

}  // namespace

int buildQuery(const char* name, int type, unsigned char* buffer, std::size_t size) {
    // The calling thread's own resolver state, which glibc keeps per thread
    // and sets up once; only a fresh random id is taken from it.
    return res_mkquery(ns_o_query, name, ns_c_in, type, nullptr, 0, nullptr, buffer,
                       static_cast<int>(size));
}

bool parseAnswer(const unsigned char* message, std::size_t length, const unsigned char* query,
                 std::size_t queryLength, Answer& out) {
    if (length < NS_HFIXEDSZ || length > 65535 || queryLength < NS_HFIXEDSZ) return false;
    const Header h = headerOf(message);
    const Header asked = headerOf(query);
    if (!h.response || h.id != asked.id || h.opcode != ns_o_query) return false;

    ns_msg askedMsg;
    ns_msg msg;
    Question ours{};
    Question theirs{};
    if (ns_initparse(query, static_cast<int>(queryLength), &askedMsg) != 0 ||
        !questionOf(askedMsg, ours)) {
        return false;
    }
    // A truncated answer may not even hold its question whole.
    if (h.truncated) {
        out = Answer{};
        out.kind = Answer::Kind::truncated;
        return true;
    }
    if (ns_initparse(message, static_cast<int>(length), &msg) != 0 || !questionOf(msg, theirs) ||
        theirs.type != ours.type || theirs.klass != ours.klass ||
        sameName(theirs.name, ours.name) != 1) {
        return false;
    }

    out.count = 0;
    out.ttl = 0;
    std::strncpy(out.canonical, ours.name, sizeof out.canonical - 1);
    out.canonical[sizeof out.canonical - 1] = '\0';
    if (h.rcode == ns_r_nxdomain) {
        out.kind = Answer::Kind::noSuchName;
        return true;
    }
    if (h.rcode != ns_r_noerror) {
        out.kind = Answer::Kind::serverFailed;
        return true;
    }
    out.kind = Answer::Kind::addresses;

    // Follow aliases from our name, within this answer, a bounded number of
    // times; then take the addresses of the name reached.
    const int records = ns_msg_count(msg, ns_s_an);
    for (int hop = 0; hop < kMaxAliases; ++hop) {
        bool moved = false;
        for (int i = 0; i < records && !moved; ++i) {
            ns_rr rr;
            if (ns_parserr(&msg, ns_s_an, i, &rr) != 0) return false;
            if (ns_rr_type(rr) != ns_t_cname || ns_rr_class(rr) != ns_c_in ||
                sameName(ns_rr_name(rr), out.canonical) != 1) {
                continue;
            }
            char target[kMaxName];
            if (ns_name_uncompress(ns_msg_base(msg), ns_msg_end(msg), ns_rr_rdata(rr), target,
                                   sizeof target) < 0) {
                return false;
            }
            std::memcpy(out.canonical, target, sizeof target);
            moved = true;
        }
        if (!moved) break;
    }
    const int wanted = ours.type;
    const std::size_t size = wanted == ns_t_a ? 4 : 16;
    for (int i = 0; i < records && out.count < kMaxAddresses; ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) != 0) return false;
        if (ns_rr_type(rr) != wanted || ns_rr_class(rr) != ns_c_in || ns_rr_rdlen(rr) != size ||
            sameName(ns_rr_name(rr), out.canonical) != 1) {
            continue;
        }
        Address& a = out.addresses[out.count];
        a.family = wanted == ns_t_a ? AF_INET : AF_INET6;
        std::memcpy(a.bytes, ns_rr_rdata(rr), size);
        const auto ttl = static_cast<std::int32_t>(ns_rr_ttl(rr) & 0x7fffffff);
        out.ttl = out.count == 0 || ttl < out.ttl ? ttl : out.ttl;
        ++out.count;
    }
    return true;
}

}  // namespace vesk::nss
