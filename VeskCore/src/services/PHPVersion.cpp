#include "vesk/services/PHPVersion.hpp"

namespace vesk {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int compareNumerically(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the runs by value without converting them, so a run of
            // any length compares right: skip leading zeros, then the longer
            // run is larger, then the first differing digit decides.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            const std::size_t ai = i;
            const std::size_t bj = j;
            while (i < a.size() && isDigit(a[i])) ++i;
            while (j < b.size() && isDigit(b[j])) ++j;
            const std::size_t alen = i - ai;
            const std::size_t blen = j - bj;
            if (alen != blen) return alen < blen ? -1 : 1;
            const int c = a.substr(ai, alen).compare(b.substr(bj, blen));
            if (c != 0) return c < 0 ? -1 : 1;
            continue;
        }
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[j]);
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool operator<(const PHPVersion& a, const PHPVersion& b) {
    return compareNumerically(a.version, b.version) < 0;
}

const std::vector<std::string>& availablePHPVersions() {
    static const std::vector<std::string> versions{"8.4", "8.3", "8.2", "8.1", "8.0", "7.4"};
    return versions;
}

}  // namespace vesk
