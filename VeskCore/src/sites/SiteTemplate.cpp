#include "vesk/sites/SiteTemplate.hpp"

namespace vesk {

namespace {

std::string substitute(const std::string& argument, std::string_view projectName) {
    static constexpr std::string_view token = "{name}";
    std::string out;
    std::size_t from = 0;
    for (auto at = argument.find(token); at != std::string::npos; at = argument.find(token, from)) {
        out.append(argument, from, at - from);
        out += projectName;
        from = at + token.size();
    }
    out.append(argument, from, std::string::npos);
    return out;
}

std::vector<std::string> substituteAll(const std::vector<std::string>& command,
                                       std::string_view projectName) {
    std::vector<std::string> out;
    out.reserve(command.size());
    for (const auto& a : command) out.push_back(substitute(a, projectName));
    return out;
}

}  // namespace

std::vector<std::string> SiteTemplate::resolvedCreateCommand(std::string_view projectName) const {
    return substituteAll(createCommand, projectName);
}

std::vector<std::vector<std::string>> SiteTemplate::resolvedPostCreateCommands(
    std::string_view projectName) const {
    std::vector<std::vector<std::string>> out;
    out.reserve(postCreateCommands.size());
    for (const auto& c : postCreateCommands) out.push_back(substituteAll(c, projectName));
    return out;
}

const std::vector<SiteTemplate>& SiteTemplate::builtinList() {
    static const std::vector<SiteTemplate> list{
        {"laravel",
         "Laravel",
         "Create a new Laravel project via Composer",
         {"composer", "create-project", "laravel/laravel", "{name}"},
         {{"php", "artisan", "key:generate"}}},
        {"wordpress",
         "WordPress",
         "Download and set up WordPress via WP-CLI",
         {"wp", "core", "download", "--path={name}"},
         {}},
        {"static", "Static", "Create a minimal static HTML site", {}, {}},
    };
    return list;
}

const SiteTemplate& SiteTemplate::laravel() {
    return builtinList()[0];
}
const SiteTemplate& SiteTemplate::wordpress() {
    return builtinList()[1];
}
const SiteTemplate& SiteTemplate::staticSite() {
    return builtinList()[2];
}

const std::map<std::string, SiteTemplate>& SiteTemplate::builtins() {
    static const std::map<std::string, SiteTemplate> byId = [] {
        std::map<std::string, SiteTemplate> m;
        for (const auto& t : builtinList()) m.insert_or_assign(t.id, t);
        return m;
    }();
    return byId;
}

}  // namespace vesk
