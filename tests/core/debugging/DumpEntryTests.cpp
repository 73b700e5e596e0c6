// Dumps, errors, warnings, logs, captured traffic and database snapshots.
#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

#include "vesk/debugging/CapturedMail.hpp"
#include "vesk/debugging/CapturedQuery.hpp"
#include "vesk/debugging/CapturedRequest.hpp"
#include "vesk/debugging/DumpEntry.hpp"
#include "vesk/debugging/DumpPayload.hpp"
#include "vesk/debugging/ErrorEntry.hpp"
#include "vesk/debugging/LogEntry.hpp"
#include "vesk/foundation/Clock.hpp"
#include "vesk/services/DatabaseSnapshot.hpp"

namespace {

using vesk::CodeSnippet;

TEST(DumpPayload, DecodesAndBecomesAnEntry) {
    const auto p = vesk::decodeJSON<vesk::DumpPayload>(
        R"J({"type":"dump","file":"/app/x.php","line":12,"content":"array(1)","varType":"array","extra":1})J");
    EXPECT_EQ(p.trace, std::nullopt);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::DumpPayload>(
                     R"({"type":"dump","file":"f","line":1,"content":"c"})"),
                 vesk::DecodingError);
    vesk::Clock::replace([] { return vesk::Date{1234}; });
    const auto a = p.toDumpEntry();
    const auto b = p.toDumpEntry();
    vesk::Clock::replace(nullptr);
    EXPECT_NE(a.id, b.id);
    EXPECT_EQ(a.timestamp, vesk::Date{1234});
    EXPECT_EQ(a.type, "array");
    EXPECT_EQ(a.language, "php");
    EXPECT_EQ(a.label, std::nullopt);
    EXPECT_EQ(vesk::decodeJSON<vesk::DumpEntry>(vesk::encodeJSON(a)), a);
    const auto withTrace = vesk::decodeJSON<vesk::DumpPayload>(
        R"({"type":"t","file":"f","line":1,"content":"c","varType":"v","trace":[{"file":"a","line":2}],"siteDomain":null})");
    ASSERT_TRUE(withTrace.trace.has_value());
    EXPECT_EQ(withTrace.trace->at(0).function, std::nullopt);
}

TEST(DumpEntry, LanguageLooks) {
    vesk::DumpEntry e;
    const auto look = [&](const std::string& language) {
        e.language = language;
        return std::string(e.languageIcon()) + " " + std::string(e.languageColorName());
    };
    EXPECT_EQ(look("js"), "j.square.fill green");
    EXPECT_EQ(look("Python"), "p.square.fill purple");
    EXPECT_EQ(look("py"), "p.square.fill blue");
    EXPECT_EQ(look("php"), "p.square.fill purple");
    EXPECT_EQ(look("rb"), "r.square.fill red");
    EXPECT_EQ(look("go"), "g.square.fill cyan");
}

TEST(ErrorEntry, ShortFileAndFullDescription) {
    vesk::ErrorEntry e{vesk::UUID::random(),
                       *vesk::Date::parseISO8601("2025-01-31T12:00:00Z"),
                       "TypeError",
                       "bad",
                       "/var/www/app/Models/User.php",
                       42,
                       std::nullopt,
                       std::nullopt,
                       std::nullopt,
                       false};
    EXPECT_EQ(e.shortFile(), "User.php");
    EXPECT_EQ(e.fullDescription(),
              "TypeError: bad\nFile: /var/www/app/Models/User.php:42\nTime: 2025-01-31 12:00:00 "
              "+0000\n");
    e.trace = "#0 main";
    EXPECT_EQ(e.fullDescription().substr(e.fullDescription().size() - 8), "\n#0 main");
    EXPECT_EQ(vesk::lastPathComponent("index.php"), "index.php");
    EXPECT_EQ(vesk::lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(vesk::lastPathComponent(""), "");
    e.codeSnippet = CodeSnippet::from("a\nb", 1, 0);
    EXPECT_EQ(vesk::decodeJSON<vesk::ErrorEntry>(vesk::encodeJSON(e)), e);
}

std::vector<std::int64_t> numbers(const CodeSnippet& s) {
    std::vector<std::int64_t> out;
    for (const auto& l : s.lines) out.push_back(l.number);
    return out;
}

TEST(CodeSnippet, WindowsAroundTheErrorLine) {
    std::string ten;
    for (int i = 1; i <= 10; ++i) ten += "line" + std::to_string(i) + (i < 10 ? "\n" : "");
    EXPECT_EQ(numbers(CodeSnippet::from(ten, 5, 2)), (std::vector<std::int64_t>{3, 4, 5, 6, 7}));
    EXPECT_EQ(numbers(CodeSnippet::from(ten, 1, 3)), (std::vector<std::int64_t>{1, 2, 3, 4}));
    EXPECT_EQ(numbers(CodeSnippet::from(ten, 10, 3)), (std::vector<std::int64_t>{7, 8, 9, 10}));
    EXPECT_EQ(numbers(CodeSnippet::from(ten, 1, 0)), (std::vector<std::int64_t>{1}));
    EXPECT_TRUE(CodeSnippet::from(ten, 12, 1).lines.empty());
    EXPECT_EQ(numbers(CodeSnippet::from(ten, 12, 3)), (std::vector<std::int64_t>{9, 10}));
    EXPECT_TRUE(CodeSnippet::from(ten, 5, -1).lines.empty());
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(CodeSnippet::from(ten, kMax, kMax).lines.size(), 10U) << "no overflow at the edges";
    EXPECT_EQ(numbers(CodeSnippet::from(ten, std::int64_t{1} << 62, (std::int64_t{1} << 62) - 4)),
              (std::vector<std::int64_t>{4, 5, 6, 7, 8, 9, 10}))
        << "the window as the arithmetic gives it, however far the line";
    EXPECT_EQ(numbers(CodeSnippet::from(ten, kMax, kMax - 8)),
              (std::vector<std::int64_t>{8, 9, 10}));
    EXPECT_EQ(numbers(CodeSnippet::from(ten, kMin, kMax)), (std::vector<std::int64_t>{}))
        << "ends before the first line";
    EXPECT_EQ(numbers(CodeSnippet::from(ten, -(std::int64_t{1} << 62), kMax)).size(), 10U);

    const auto crlf = CodeSnippet::from("a\r\nb", 2, 5);
    ASSERT_EQ(crlf.lines.size(), 3U);
    EXPECT_EQ(crlf.lines[1].content, "");
    EXPECT_EQ(crlf.lines[2].content, "b");
    const auto sep = CodeSnippet::from(
        "a\xE2\x80\xA8"
        "b\xC2\x85"
        "c",
        3, 0);
    ASSERT_EQ(sep.lines.size(), 1U);
    EXPECT_EQ(sep.lines[0].content, "c");
    EXPECT_EQ(CodeSnippet::from("x\n", 2, 0).lines.at(0).content, "") << "an empty last line";
}

TEST(LogEntry, LevelsAndColours) {
    using L = vesk::LogEntry::LogLevel;
    EXPECT_EQ(vesk::fromRawValue<L>("warn"), std::nullopt);
    EXPECT_EQ(vesk::color(L::warning), "yellow");
    EXPECT_EQ(vesk::color(L::alert), "red");
    EXPECT_EQ(vesk::color(L::debug), "gray");
    EXPECT_EQ(vesk::allCases<L>().size(), 8U);
    const vesk::LogEntry e{vesk::UUID::random(), vesk::Date{5}, L::notice,   "m",
                           std::nullopt,         "local",       std::nullopt};
    EXPECT_EQ(vesk::decodeJSON<vesk::LogEntry>(vesk::encodeJSON(e)), e);
    std::string doc = vesk::encodeJSON(e);
    doc.replace(doc.find("notice"), 6, "warn");
    EXPECT_THROW((void)vesk::decodeJSON<vesk::LogEntry>(doc), vesk::DecodingError);
}

TEST(CapturedTraffic, MailQueriesAndRequests) {
    vesk::CapturedMail mail{vesk::UUID::random(),
                            vesk::Date{1},
                            "a@x.test",
                            {"b@x.test"},
                            {},
                            {},
                            "Hi",
                            std::nullopt,
                            std::nullopt,
                            {{"X-Id", "1"}},
                            {vesk::MailAttachment{"a.txt", "text/plain", 3, std::nullopt}},
                            false};
    const std::string doc = vesk::encodeJSON(mail);
    EXPECT_EQ(doc.find("htmlBody"), std::string::npos);
    EXPECT_EQ(doc.find("textBody"), std::string::npos);
    EXPECT_EQ(vesk::decodeJSON<vesk::CapturedMail>(doc), mail);
    std::string noCc = doc;
    noCc.replace(noCc.find("\"cc\":[],"), 8, "");
    EXPECT_THROW((void)vesk::decodeJSON<vesk::CapturedMail>(noCc), vesk::DecodingError);
    std::string badAttachment = doc;
    badAttachment.replace(badAttachment.find("\"size\":3"), 8, "\"size\":\"3\"");
    EXPECT_THROW((void)vesk::decodeJSON<vesk::CapturedMail>(badAttachment), vesk::DecodingError);
    const vesk::MailAttachment x{"f", "t", 2, vesk::Data{{1, 2}}};
    EXPECT_EQ(x, (vesk::MailAttachment{"f", "t", 2, vesk::Data{{1, 2}}}));
    EXPECT_EQ(vesk::decodeJSON<vesk::MailAttachment>(vesk::encodeJSON(x)), x);
    const std::unordered_set<vesk::MailAttachment> attachments{
        x, vesk::MailAttachment{"f", "t", 2, vesk::Data{{1, 2}}},
        vesk::MailAttachment{"f", "t", 2, vesk::Data{{1, 3}}}};
    EXPECT_EQ(attachments.size(), 2U) << "hashable over every field";

    const vesk::CapturedQuery q{vesk::UUID::random(), vesk::Date{2}, "select 1", {}, 0.5, "mysql",
                                std::nullopt};
    EXPECT_NE(vesk::encodeJSON(q).find("\"bindings\":[]"), std::string::npos);
    EXPECT_EQ(vesk::decodeJSON<vesk::CapturedQuery>(vesk::encodeJSON(q)), q);
    auto unmeasured = q;
    unmeasured.duration = std::nan("");
    try {
        (void)vesk::encodeJSON(unmeasured);
        ADD_FAILURE() << "a NaN duration was written";
    } catch (const vesk::EncodingError& e) {
        EXPECT_EQ(e.path(), "duration") << "never a text that cannot be read back";
    }
    const vesk::CapturedRequest r{
        vesk::UUID::random(), vesk::Date{3},        "GET", "https://x.test/", 200, 1.25,
        {{"Accept", "*/*"}},  std::string("x.test")};
    EXPECT_EQ(vesk::decodeJSON<vesk::CapturedRequest>(vesk::encodeJSON(r)), r);
}

TEST(SnapshotIndex, AddRemoveFind) {
    const auto snap = [](const std::string& name, const std::string& db) {
        return vesk::DatabaseSnapshot{vesk::UUID::random(), name,         "mysql", db,
                                      std::nullopt,         "/s/" + name, 10,      vesk::Date{0},
                                      std::nullopt};
    };
    vesk::SnapshotIndex index;
    index.add(snap("nightly", "first"));
    index.add(snap("weekly", "w"));
    index.add(snap("nightly", "second"));
    EXPECT_EQ(index.find("nightly")->databaseName, "first");
    EXPECT_EQ(index.find("Nightly"), std::nullopt);
    index.remove("nightly");
    ASSERT_EQ(index.snapshots.size(), 1U);
    EXPECT_EQ(index.snapshots[0].name, "weekly");
    index.remove("absent");
    EXPECT_EQ(index.snapshots.size(), 1U);
    EXPECT_EQ(vesk::decodeJSON<vesk::SnapshotIndex>(vesk::encodeJSON(index)), index);
    EXPECT_TRUE(vesk::decodeJSON<vesk::SnapshotIndex>(R"({"snapshots":[]})").snapshots.empty());
    EXPECT_THROW((void)vesk::decodeJSON<vesk::SnapshotIndex>("{}"), vesk::DecodingError);
}

}  // namespace
