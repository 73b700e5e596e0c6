#include <gtest/gtest.h>

#include "vesk/Unicode.hpp"

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

}  // namespace
