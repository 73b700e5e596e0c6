// The command line: each command's declaration (usage, summary, options and
// what its arguments are), from which its options are parsed, its --help is
// written and the bash completion is made.
#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Command.hpp"

namespace vesk::cli {

struct CommandSpec {
    std::string_view name;
    std::string_view usage;
    std::string_view summary;
    int (*run)(const Arguments&);
    /// The options the command takes, space-separated; one that takes a
    /// value ends with '=' (given as "--opt VALUE" or "--opt=VALUE").
    std::string_view options = {};
    /// What its arguments are, for completion, ';'-separated rules
    /// "POSITION:WHAT" (POSITION a number from 1, or '*' for any; with
    /// "@WORD" after it, only after that word), WHAT one of "dirs", "files",
    /// "php" (the installed PHP versions), "commands" or words to offer.
    std::string_view arguments = {};
};

/// A command line the command does not take: what to say (a line), exit 2.
struct CommandLineError {
    std::string message;
};

/// Parses the words after the command's name by its declaration (CLI11).
/// Throws CommandLineError for an option it does not declare or a value
/// left out.
Arguments parseArguments(const CommandSpec& command, const std::vector<std::string>& words);

/// Whether the words ask for the command's help (--help or -h).
bool asksForHelp(const std::vector<std::string>& words);

/// vesk --help: every command's usage and summary.
void printHelp(std::span<const CommandSpec> commands, std::ostream& out);
/// vesk COMMAND --help.
void printCommandHelp(const CommandSpec& command, std::ostream& out);

/// The bash completion script for the commands.
std::string completionScript(std::span<const CommandSpec> commands);

}  // namespace vesk::cli
