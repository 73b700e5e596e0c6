// Each command's options, as its declaration says and nothing else.
#include "CommandLine.hpp"

#include <gtest/gtest.h>

#include <array>

namespace {

using vesk::cli::CommandLineError;
using vesk::cli::CommandSpec;
using vesk::cli::parseArguments;

int none(const vesk::cli::Arguments&) {
    return 0;
}

constexpr CommandSpec kStats{"stats",
                             "vesk stats [--range R] [--json]",
                             "numbers",
                             none,
                             "--range= --json -n=",
                             "1:one two;2@one:dirs"};

std::string refusal(const std::vector<std::string>& words) {
    try {
        (void)parseArguments(kStats, words);
    } catch (const CommandLineError& e) {
        return e.message;
    }
    return "";
}

TEST(CommandLine, OnlyTheDeclaredOptionsAreTaken) {
    const auto args = parseArguments(kStats, {"word", "--range", "1h", "--json", "other"});
    EXPECT_EQ(args.words, (std::vector<std::string>{"word", "other"}));
    EXPECT_TRUE(args.has("--json"));
    EXPECT_EQ(args.value("--range"), "1h");
    EXPECT_EQ(parseArguments(kStats, {"--range=24h"}).value("--range"), "24h");
    EXPECT_EQ(parseArguments(kStats, {"-n", "5"}).value("-n"), "5");
    // After "--", words that look like options are words.
    EXPECT_EQ(parseArguments(kStats, {"--", "--json", "-x"}).words,
              (std::vector<std::string>{"--json", "-x"}));
    EXPECT_FALSE(parseArguments(kStats, {"--", "--json"}).has("--json"));

    EXPECT_EQ(refusal({"--jsno"}),
              "vesk stats: no option --jsno\nusage: vesk stats [--range R] [--json]");
    EXPECT_EQ(refusal({"--range"}).rfind("vesk stats: --range needs a value\n", 0), 0U);
    EXPECT_EQ(refusal({"--json=1"}).rfind("vesk stats: no option --json\n", 0), 0U)
        << "a flag takes no value";
    EXPECT_EQ(refusal({"-x", "word"}).rfind("vesk stats: no option -x\n", 0), 0U);
    EXPECT_EQ(refusal({"--purg=yes"}).rfind("vesk stats: no option --purg\n", 0), 0U);
    EXPECT_TRUE(vesk::cli::asksForHelp({"word", "-h"}));
    EXPECT_FALSE(vesk::cli::asksForHelp({"--", "--help"}));
}

TEST(CommandLine, TheCompletionIsMadeFromTheDeclarations) {
    const std::array commands{kStats, CommandSpec{"park", "vesk park", "p", none, "", "*:dirs"}};
    const std::string script = vesk::cli::completionScript(commands);
    EXPECT_NE(script.find("local commands=\"stats park help\""), std::string::npos) << script;
    EXPECT_NE(script.find("compgen -W \"--range --json -n\""), std::string::npos) << script;
    EXPECT_NE(script.find("if [ \"$at\" -eq 1 ]; then\n                mapfile -t COMPREPLY < "
                          "<(compgen -W \"one two\""),
              std::string::npos)
        << script;
    EXPECT_NE(script.find("if [ \"$at\" -eq 2 ] && [ \"$before\" = one ]; then"),
              std::string::npos);
    EXPECT_NE(script.find("park)\n            if true; then\n                mapfile -t COMPREPLY "
                          "< <(compgen -d"),
              std::string::npos)
        << script;
}

}  // namespace
