#include "CommandLine.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <ostream>

namespace vesk::cli {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        const auto at = text.find(separator);
        const std::string_view part = text.substr(0, at);
        if (!part.empty()) parts.push_back(part);
        text = at == std::string_view::npos ? std::string_view{} : text.substr(at + 1);
    }
    return parts;
}

struct Declared {
    std::string name;
    bool takesValue = false;
};

std::vector<Declared> declaredOptions(const CommandSpec& command) {
    std::vector<Declared> out;
    for (const std::string_view option : split(command.options, ' ')) {
        const bool value = option.back() == '=';
        out.push_back({std::string(value ? option.substr(0, option.size() - 1) : option), value});
    }
    return out;
}

std::string usageLine(const CommandSpec& command) {
    return "usage: " + std::string(command.usage);
}

}  // namespace

bool asksForHelp(const std::vector<std::string>& words) {
    for (const auto& word : words) {
        if (word == "--") return false;
        if (word == "--help" || word == "-h") return true;
    }
    return false;
}

Arguments parseArguments(const CommandSpec& command, const std::vector<std::string>& words) {
    CLI::App app{std::string(command.summary), std::string(command.name)};
    app.set_help_flag();  // --help is the command's own (printCommandHelp)
    app.allow_extras();   // the positional words, and what is checked below
    app.positionals_at_end(false);
    const auto declared = declaredOptions(command);
    std::vector<std::vector<std::string>> values(declared.size());
    std::vector<CLI::Option*> options;
    for (std::size_t i = 0; i < declared.size(); ++i) {
        const Declared& d = declared[i];
        options.push_back(
            d.takesValue ? app.add_option(d.name, values[i])->expected(1)->allow_extra_args(false)
                         : app.add_flag(d.name));
    }
    // A flag takes no value: "--json=1" is no option of the command.
    for (const std::string& word : words) {
        if (word == "--") break;
        const auto equals = word.find('=');
        if (equals == std::string::npos || word.size() < 2 || word[0] != '-') continue;
        const std::string name = word.substr(0, equals);
        if (std::any_of(declared.begin(), declared.end(),
                        [&](const Declared& d) { return !d.takesValue && d.name == name; })) {
            throw CommandLineError{"vesk " + std::string(command.name) + ": no option " + name +
                                   "\n" + usageLine(command)};
        }
    }
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch&) {
        for (std::size_t i = 0; i < declared.size(); ++i) {
            if (declared[i].takesValue && options[i]->count() > 0 && values[i].empty()) {
                throw CommandLineError{"vesk " + std::string(command.name) + ": " +
                                       declared[i].name + " needs a value\n" + usageLine(command)};
            }
        }
        const auto last = std::find_if(words.rbegin(), words.rend(), [&](const std::string& w) {
            return std::any_of(declared.begin(), declared.end(),
                               [&](const Declared& d) { return d.takesValue && d.name == w; });
        });
        throw CommandLineError{"vesk " + std::string(command.name) + ": " +
                               (last != words.rend() ? *last : std::string("an option")) +
                               " needs a value\n" + usageLine(command)};
    } catch (const CLI::ParseError& e) {
        throw CommandLineError{"vesk " + std::string(command.name) + ": " + e.what() + "\n" +
                               usageLine(command)};
    }
    Arguments args;
    // What is left is the command's words; a word like an option that no
    // declaration takes is refused, never quietly ignored (vesk uninstall
    // --purg would keep what it names).
    bool afterSeparator = false;
    for (const std::string& word : app.remaining()) {
        if (!afterSeparator && word == "--") {
            afterSeparator = true;
            continue;
        }
        if (!afterSeparator && word.size() >= 2 && word[0] == '-') {
            throw CommandLineError{"vesk " + std::string(command.name) + ": no option " +
                                   word.substr(0, word.find('=')) + "\n" + usageLine(command)};
        }
        args.words.push_back(word);
    }
    for (std::size_t i = 0; i < declared.size(); ++i) {
        if (options[i]->count() == 0) continue;
        if (declared[i].takesValue) {
            args.flags.insert(declared[i].name + "=" + values[i].back());
        } else {
            args.flags.insert(declared[i].name);
        }
    }
    return args;
}

void printHelp(std::span<const CommandSpec> commands, std::ostream& out) {
    out << "usage: vesk COMMAND [ARGUMENTS]\n\nCommands:\n";
    for (const auto& c : commands) out << "  " << c.usage << "\n      " << c.summary << "\n";
    out << "\nvesk --version prints the version; vesk COMMAND --help describes one command.\n";
}

void printCommandHelp(const CommandSpec& command, std::ostream& out) {
    out << usageLine(command) << "\n  " << command.summary << "\n";
}

std::string completionScript(std::span<const CommandSpec> commands) {
    std::string names;
    for (const auto& c : commands) names.append(c.name).append(" ");
    names += "help";
    const auto offer = [](std::string_view what) -> std::string {
        if (what == "dirs") return "mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")";
        if (what == "files") return "mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")";
        if (what == "commands")
            return "mapfile -t COMPREPLY < <(compgen -W \"$commands\" -- \"$cur\")";
        if (what == "php") {
            return "mapfile -t COMPREPLY < <(compgen -W \"$(cd /usr/sbin 2>/dev/null && ls "
                   "php-fpm[0-9]* 2>/dev/null | sed 's/^php-fpm//')\" -- \"$cur\")";
        }
        return "mapfile -t COMPREPLY < <(compgen -W \"" + std::string(what) + "\" -- \"$cur\")";
    };
    std::string s =
        "# bash completion for vesk, made by vesk --completion from its commands' declarations\n"
        "_vesk() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]}\n"
        "    local commands=\"" +
        names +
        "\"\n"
        "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
        "        mapfile -t COMPREPLY < <(compgen -W \"$commands --help --version\" -- \"$cur\")\n"
        "        return\n"
        "    fi\n"
        "    local at=$((COMP_CWORD - 1)) before=${COMP_WORDS[COMP_CWORD - 1]}\n"
        "    case ${COMP_WORDS[1]} in\n";
    for (const auto& c : commands) {
        std::string arm = "        " + std::string(c.name) + ")\n";
        std::string options;
        for (const auto& d : declaredOptions(c)) options += (options.empty() ? "" : " ") + d.name;
        if (!options.empty()) {
            arm +=
                "            if [[ $cur == -* ]]; then\n"
                "                mapfile -t COMPREPLY < <(compgen -W \"" +
                options +
                "\" -- \"$cur\")\n"
                "                return\n"
                "            fi\n";
        }
        for (const std::string_view rule : split(c.arguments, ';')) {
            const auto colon = rule.find(':');
            if (colon == std::string_view::npos) continue;
            const std::string_view where = rule.substr(0, colon);
            const std::string_view position = where.substr(0, where.find('@'));
            std::string test;
            if (position != "*") test = "[ \"$at\" -eq " + std::string(position) + " ]";
            if (const auto word = where.find('@'); word != std::string_view::npos) {
                test += (test.empty() ? "" : " && ");
                test += "[ \"$before\" = " + std::string(where.substr(word + 1)) + " ]";
            }
            if (test.empty()) test = "true";
            arm += "            if " + test + "; then\n                " +
                   offer(rule.substr(colon + 1)) + "\n                return\n            fi\n";
        }
        s += arm + "            ;;\n";
    }
    s += "        help)\n            " + offer("commands") + "\n            ;;\n";
    s += "    esac\n}\ncomplete -F _vesk vesk\n";
    return s;
}

}  // namespace vesk::cli
