#include "vesk/services/WorkerOutput.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace vesk::workers {

namespace {

/// `line` without its terminal colours (ESC [ ... letter) and the blanks
/// around it.
std::string plain(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            i += 2;
            while (i < line.size() && !(line[i] >= '@' && line[i] <= '~')) ++i;
            continue;
        }
        out += line[i];
    }
    const auto first = out.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = out.find_last_not_of(" \t\r");
    return out.substr(first, last - first + 1);
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool isQueueName(std::string_view name) {
    if (name.empty() || name.size() > 128) return false;
    // Never an option of artisan's: it starts with a letter or a digit.
    if (std::isalnum(static_cast<unsigned char>(name.front())) == 0) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.' || c == ':' || c == ',';
    });
}

CommandLine commandLine(const QueueWorker& worker, const std::string& php) {
    CommandLine c;
    c.program = php;
    const std::string text = worker.artisanCommand();
    std::size_t at = 0;
    bool first = true;
    while (at <= text.size()) {
        const auto space = std::min(text.find(' ', at), text.size());
        std::string word = text.substr(at, space - at);
        // The first word is "php": the program itself.
        if (!word.empty() && !std::exchange(first, false)) c.arguments.push_back(std::move(word));
        at = space + 1;
    }
    return c;
}

JobLine classify(std::string_view raw) {
    const std::string line = plain(raw);
    if (line.empty()) return JobLine::none;
    // Laravel 9 and later: the job's name, dots, its time and its state.
    if (line.find(" .") != std::string::npos) {
        if (endsWith(line, " DONE")) return JobLine::processed;
        if (endsWith(line, " FAIL")) return JobLine::failed;
        if (endsWith(line, " RUNNING")) return JobLine::started;
    }
    // Laravel 8 and before: "[" and the date first.
    if (line.size() > 2 && line.front() == '[' &&
        std::isdigit(static_cast<unsigned char>(line[1])) != 0) {
        if (line.find("] Processed:") != std::string::npos) return JobLine::processed;
        if (line.find("] Failed:") != std::string::npos) return JobLine::failed;
        if (line.find("] Processing:") != std::string::npos) return JobLine::started;
    }
    return JobLine::none;
}

}  // namespace vesk::workers
