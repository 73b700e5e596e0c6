#include <gtest/gtest.h>

#include "vesk/foundation/Unicode.hpp"

namespace {

namespace U = vesk::Unicode;

TEST(Unicode, Utf8Validity) {
    EXPECT_TRUE(U::isValidUTF8("plain"));
    EXPECT_TRUE(U::isValidUTF8("\xE4\xB8\xAD"));
    EXPECT_FALSE(U::isValidUTF8("\xC0\xAF"));      // overlong
    EXPECT_FALSE(U::isValidUTF8("\xED\xA0\x80"));  // surrogate
    EXPECT_FALSE(U::isValidUTF8("\xE4\xB8"));      // truncated
}

TEST(Unicode, GraphemeClustersNotCodePoints) {
    EXPECT_EQ(U::graphemeCount(""), 0U);
    EXPECT_EQ(U::graphemeCount("e\xCC\x81"), 1U);  // e + combining acute
    EXPECT_EQ(U::graphemeCount("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"), 1U);  // ZWJ
    EXPECT_EQ(U::graphemeCount("\r\n"), 1U);
    EXPECT_EQ(U::graphemeCount("ab"), 2U);
}

TEST(Unicode, LowercasingIsUnicodeAware) {
    EXPECT_EQ(U::lowercased("ÄBC"), "äbc");
    EXPECT_EQ(U::lowercased("ΣΑΣ"), "σας");  // final sigma
}

TEST(Unicode, NewlineSetAndTrimming) {
    for (char32_t c : {U'\n', U'\v', U'\f', U'\r', U'\u0085', U'\u2028', U'\u2029'}) {
        EXPECT_TRUE(U::isNewline(c)) << static_cast<unsigned>(c);
    }
    EXPECT_FALSE(U::isNewline(U'\t'));
    EXPECT_TRUE(U::isWhitespaceOrNewline(U'\u00A0'));
    EXPECT_EQ(U::trimmed(" \t\u3000x y\u2028\n"), "x y");
    EXPECT_EQ(U::trimmed("\n\n"), "");
}

TEST(Unicode, LinesTreatCRLFAsOneBreak) {
    const auto l = U::lines("a\r\nb\rc\u2028d\n");
    ASSERT_EQ(l.size(), 5U);
    EXPECT_EQ(l[0], "a");
    EXPECT_EQ(l[1], "b");
    EXPECT_EQ(l[2], "c");
    EXPECT_EQ(l[3], "d");
    EXPECT_EQ(l[4], "");
}

TEST(Unicode, TerminalSafeTextCarriesNoInstruction) {
    EXPECT_EQ(U::terminalSafe("plain é 中文\n\tx"), "plain é 中文\n\tx");
    EXPECT_EQ(U::terminalSafe("\x1b]0;PWNED\x07\x1b[2J"), "\\x1b]0;PWNED\\x07\\x1b[2J");
    EXPECT_EQ(U::terminalSafe("a\rb\x7f"), "a\\x0db\\x7f");
    // C1 controls (CSI as one character), bidirectional overrides, bytes
    // that are not UTF-8.
    EXPECT_EQ(U::terminalSafe("\xc2\x9b"
                              "2J"),
              "\\u009b2J");
    EXPECT_EQ(U::terminalSafe("\xe2\x80\xae"
                              "cod\xe2\x81\xa6"),
              "\\u202ecod\\u2066");
    EXPECT_EQ(U::terminalSafe("\x9b\xff\xc3"), "\\x9b\\xff\\xc3");
    EXPECT_EQ(U::terminalSafe("a\nb\tc", false), "a\\x0ab\\x09c");
    // A sequence split between two writes is kept for the next.
    std::string out;
    const std::string text = "ok \xe4\xb8";
    EXPECT_EQ(U::appendTerminalSafe(out, text, true, true), 3U);
    EXPECT_EQ(out, "ok ");
    EXPECT_EQ(U::appendTerminalSafe(out, "\xe4\xb8\xad!", true, true), 4U);
    EXPECT_EQ(out, "ok 中!");
    out.clear();
    EXPECT_EQ(U::appendTerminalSafe(out, "\xe4\xb8", true, false), 2U);
    EXPECT_EQ(out, "\\xe4\\xb8");
}

}  // namespace
