// A project's .env with the services' keys set, and nothing else of it
// touched.
#include "vesk/services/DotEnvFile.hpp"

#include <gtest/gtest.h>

#include <random>

#include "vesk/foundation/ServiceType.hpp"

namespace {

using vesk::dotenv::withKeys;

TEST(DotEnvFile, KeysAreSetWhereTheFileHasThemAndEverythingElseKept) {
    const std::string before =
        "APP_NAME=\"My App\"\n"
        "# The database\n"
        "DB_CONNECTION=sqlite\n"
        "export DB_HOST = 10.0.0.5   # the old server\n"
        "DB_PASSWORD='se#cret'\n"
        "\n"
        "MAIL_MAILER=log\n"
        "DB_HOST=again\n";
    const std::string after = withKeys(before, {{"DB_CONNECTION", "mysql"},
                                                {"DB_HOST", "127.0.0.1"},
                                                {"DB_PASSWORD", ""},
                                                {"DB_PORT", "3361"},
                                                {"REDIS_URL", "redis://127.0.0.1:6380"}});
    EXPECT_EQ(after,
              "APP_NAME=\"My App\"\n"
              "# The database\n"
              "DB_CONNECTION=mysql\n"
              "export DB_HOST = 127.0.0.1   # the old server\n"
              "DB_PASSWORD=\n"
              "\n"
              "MAIL_MAILER=log\n"
              "DB_HOST=127.0.0.1\n"
              "\n"
              "DB_PORT=3361\n"
              "REDIS_URL=redis://127.0.0.1:6380\n");
    EXPECT_EQ(withKeys(after, {{"DB_PORT", "3361"}}), after) << "setting again changes nothing";
}

TEST(DotEnvFile, TheFilesLineEndingAndItsLastLineAreKept) {
    EXPECT_EQ(withKeys("A=1\r\nB=2\r\n", {{"B", "3"}, {"C", "4"}}), "A=1\r\nB=3\r\n\r\nC=4\r\n");
    EXPECT_EQ(withKeys("A=1", {{"A", "2"}}), "A=2") << "no line feed added to a set key";
    EXPECT_EQ(withKeys("A=1", {{"B", "2"}}), "A=1\n\nB=2\n");
    EXPECT_EQ(withKeys("", {{"B", "2"}}), "B=2\n");
    EXPECT_EQ(withKeys("A=1\n\n", {{"B", "2"}}), "A=1\n\nB=2\n") << "one blank line, not two";
    // Lines that are no assignment stay as they are, even with a key's name.
    EXPECT_EQ(withKeys("# DB_HOST=x\nDB_HOST\n=DB_HOST\n", {{"DB_HOST", "h"}}),
              "# DB_HOST=x\nDB_HOST\n=DB_HOST\n\nDB_HOST=h\n");
}

TEST(DotEnvFile, ValuesAreQuotedWhenTheyNeedIt) {
    using vesk::dotenv::quoted;
    EXPECT_EQ(quoted("redis://127.0.0.1:6380"), "redis://127.0.0.1:6380");
    EXPECT_EQ(quoted(""), "");
    EXPECT_EQ(quoted("two words"), "\"two words\"");
    EXPECT_EQ(quoted("a\"b\\c$d"), "\"a\\\"b\\\\c\\$d\"");
    EXPECT_EQ(quoted("x#y"), "\"x#y\"");
    EXPECT_EQ(quoted("line\nbreak"), "\"line\\nbreak\"");
}

TEST(DotEnvFile, AnyTextKeepsEveryLineThatSetsNoneOfTheKeys) {
    // Random files of lines made of the characters that matter here.
    std::mt19937 random(42);
    const std::string alphabet = "AB_=#'\" \t\r\nx$\\";
    const vesk::dotenv::Entries entries{{"A", "one"}, {"B", "two words"}};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 60);
        for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
        const std::string once = withKeys(text, entries);
        EXPECT_EQ(withKeys(once, entries), once) << "setting twice changes nothing: " << text;
        // Every line of the text is still there, in order, unless it set a key.
        std::size_t at = 0;
        std::string_view rest = text;
        while (!rest.empty()) {
            const auto end = rest.find('\n');
            const std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
            const auto keyAt = line.find_first_not_of(" \t");
            const bool setsAKey =
                keyAt != std::string_view::npos && (line[keyAt] == 'A' || line[keyAt] == 'B' ||
                                                    line.substr(keyAt).rfind("export", 0) == 0);
            if (setsAKey) continue;
            const auto found = once.find(line, at);
            ASSERT_NE(found, std::string::npos) << "lost line [" << line << "] of [" << text << "]";
            at = found + line.size();
        }
    }
}

TEST(DotEnvFile, AServicesBlockIsItsEntries) {
    const auto block =
        vesk::connectionInfo(vesk::ServiceType::mysql, 3361).dotEnv(vesk::ServiceType::mysql);
    const auto entries = vesk::dotenv::parseBlock(block);
    ASSERT_EQ(entries.size(), 6U);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"DB_CONNECTION", "mysql"}));
    EXPECT_EQ(entries[2], (std::pair<std::string, std::string>{"DB_PORT", "3361"}));
    EXPECT_EQ(entries[5], (std::pair<std::string, std::string>{"DB_PASSWORD", ""}));
}

}  // namespace
