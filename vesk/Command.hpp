// The vesk command: what every command shares (its arguments, the
// developer's stores, the output conventions). Each command is a short
// function in a file of its own, over the library.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vesk/AppConfig.hpp"
#include "vesk/RecordFile.hpp"
#include "vesk/Site.hpp"

namespace vesk::cli {

/// A command line after the command's name: its words and its --flags.
struct Arguments {
    std::vector<std::string> words;
    std::set<std::string> flags;
    [[nodiscard]] bool has(const std::string& flag) const { return flags.count(flag) != 0; }
    /// The word at `index`, if given.
    [[nodiscard]] std::optional<std::string> word(std::size_t index) const {
        if (index < words.size()) return words[index];
        return std::nullopt;
    }
};

/// A failure the user can act on: one line on standard error, exit 1.
struct Failure {
    std::string message;
};
/// A command line the command does not take: its usage, exit 2.
struct UsageError {};

/// The developer's settings and site records, each in its own file.
RecordFile<AppConfig> settings();
RecordFile<std::vector<Site>> siteRecords();
/// The settings as stored, or the defaults.
AppConfig currentSettings();
/// Every served site (parked and linked).
std::vector<Site> servedSites();

/// An existing directory as an absolute path without "." or ".." parts or
/// links; the current directory when none is given.
std::string directory(const std::optional<std::string>& given);
/// The same, for a directory that will be served: fails when the web
/// server's configuration could not carry its path.
std::string servableDirectory(const std::optional<std::string>& given);

/// The PHP versions installed on this machine (a PHP-FPM program for each),
/// ascending.
std::vector<std::string> installedPHPVersions();
/// Fails naming the installed versions unless `version` is one of them.
void requireInstalledPHP(const std::string& version);

/// The command's functions.
int park(const Arguments& args);
int unpark(const Arguments& args);
int parked(const Arguments& args);
int link(const Arguments& args);
int unlink(const Arguments& args);
int links(const Arguments& args);
int sites(const Arguments& args);
int use(const Arguments& args);
int isolate(const Arguments& args);
int unisolate(const Arguments& args);
int doctor(const Arguments& args);

}  // namespace vesk::cli
