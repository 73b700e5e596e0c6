#include "vesk/sites/ServerConfig.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "vesk/sites/FrameworkInfo.hpp"
#include "vesk/sites/NginxTemplate.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/system/PHPPool.hpp"

namespace vesk::ServerConfig {

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDomainName(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (!ServedSites::siteName(label) || *ServedSites::siteName(label) != label) return false;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return true;
}

/// `path` in double quotes for nginx, or none when nginx would read it as
/// anything but that path (a quote or backslash ends or escapes, '$' starts a
/// variable in certificate paths).
std::optional<std::string> quotedPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    const bool plain = std::none_of(path.begin(), path.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f || c == '"' || c == '\\' || c == '$';
    });
    if (!plain) return std::nullopt;
    return "\"" + std::string(path) + "\"";
}

/// Whether `path` can stand unquoted in a configuration line: absolute, no
/// white space, quotes, ';', braces, '$', '#', backslash or control character.
bool isPlainPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    constexpr std::string_view kUnsafe = " \t\"';{}$#\\\\";
    return std::none_of(path.begin(), path.end(), [&](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f || kUnsafe.find(c) != std::string_view::npos;
    });
}

/// `block` with its root directive's path in double quotes (a path may hold
/// spaces and any character but a quote, backslash or '$').
std::string withQuotedRoot(std::string block) {
    constexpr std::string_view kRoot = "\n    root ";
    const auto at = block.find(kRoot);
    if (at == std::string::npos) return block;
    const auto from = at + kRoot.size();
    const auto end = block.find(";\n", from);
    if (end == std::string::npos) return block;
    const auto quoted = quotedPath(std::string_view(block).substr(from, end - from));
    if (quoted) block.replace(from, end - from, *quoted);
    return block;
}

/// The denial every generated block carries, as the built-in templates write it.
constexpr std::string_view kDotDenial =
    "    location ~ /\\.(?!well-known).* {\n        deny all;\n    }\n";

/// `block` (a server block ending in its closing brace) with the denial of
/// dot-paths first among its locations by pattern (nginx takes the first
/// that matches, so a script inside .git never reaches PHP), added when its
/// template has none.
std::string withDotDenial(std::string block) {
    if (const auto at = block.find(kDotDenial); at != std::string::npos) {
        // With the empty line before it.
        const std::size_t from = at > 0 && block[at - 1] == '\n' ? at - 1 : at;
        block.erase(from, at + kDotDenial.size() - from);
    }
    const auto first = block.find("    location ~");
    if (first != std::string::npos) {
        block.insert(first, std::string(kDotDenial) + "\n");
        return block;
    }
    const auto close = block.rfind('}');
    if (close == std::string::npos) return block;
    block.insert(close, "\n" + std::string(kDotDenial));
    return block;
}

/// `block` with its PHP location taking PATH_INFO URLs (/report.php/extra
/// runs report.php with PATH_INFO /extra), and passing only scripts that
/// exist.
std::string withPathInfo(std::string block) {
    constexpr std::string_view kPHP = "    location ~ \\.php$ {\n";
    const auto at = block.find(kPHP);
    if (at == std::string::npos) return block;
    block.replace(at, kPHP.size(),
                  "    location ~ [^/]\\.php(/|$) {\n"
                  "        fastcgi_split_path_info ^(.+?\\.php)(/.*)$;\n"
                  // try_files forgets the split: its part is kept first.
                  "        set $vesk_path_info $fastcgi_path_info;\n"
                  "        try_files $fastcgi_script_name =404;\n"
                  "        fastcgi_param PATH_INFO $vesk_path_info;\n");
    return block;
}

/// The developer's snippets a block includes, before its closing brace; the
/// site's own after those for every site.
std::string snippetIncludes(const Layout& layout, const std::string& domain) {
    if (!layout.snippetsDir) return {};
    std::string t;
    const auto all = quotedPath(*layout.snippetsDir + "/all/*.conf");
    if (all)
        t += "\n    # Your own directives for every site (vesk never writes there).\n    include " +
             *all + ";\n";
    if (!domain.empty()) {
        const auto own = quotedPath(*layout.snippetsDir + "/sites/" + domain + "/*.conf");
        if (own) t += "    include " + *own + ";\n";
    }
    return t;
}

/// `block` with `text` inserted before its last closing brace.
std::string beforeClosingBrace(std::string block, const std::string& text) {
    const auto close = block.rfind('}');
    if (close != std::string::npos && !text.empty()) block.insert(close, text);
    return block;
}

/// The PHP directives of one site as nginx passes them to PHP-FPM, inside
/// each location that passes requests to it; none when it has none.
std::string withSiteDirectives(std::string block, const Layout& layout, const std::string& domain) {
    const auto it = layout.serving.sites.find(domain);
    if (it == layout.serving.sites.end() || it->second.empty()) return block;
    std::string value;
    for (const auto& [name, v] : it->second) {
        if (!ServingRules::isDirective(name, v)) continue;
        if (!value.empty()) value += "\\n";
        value.append(name).append("=").append(v);
    }
    if (value.empty()) return block;
    constexpr std::string_view kParams = "        include fastcgi_params;\n";
    const std::string line = "        fastcgi_param PHP_VALUE \"" + value + "\";\n";
    for (auto at = block.find(kParams); at != std::string::npos;
         at = block.find(kParams, at + kParams.size() + line.size())) {
        block.insert(at + kParams.size(), line);
    }
    return block;
}

}  // namespace

std::string listenLines(const Layout& layout, int port, std::string_view parameters,
                        std::string_view indent) {
    const std::string suffix = parameters.empty() ? ";\n" : " " + std::string(parameters) + ";\n";
    const std::string p = std::to_string(port);
    std::string t;
    if (layout.lan) {
        t += std::string(indent) + "listen " + p + suffix;
        if (layout.ipv6) t += std::string(indent) + "listen [::]:" + p + suffix;
    } else {
        t += std::string(indent) + "listen 127.0.0.1:" + p + suffix;
        if (layout.ipv6) t += std::string(indent) + "listen [::1]:" + p + suffix;
    }
    return t;
}

bool deniesDotPaths(std::string_view block) {
    return block.find(kDotDenial) != std::string_view::npos;
}

DetectedProject projectOf(ProjectType type, std::optional<std::string> framework) {
    DetectedProject project;
    project.primaryType = type;
    project.allTypes = {type};
    if (framework) project.frameworkInfo = ProjectFrameworkInfo{std::move(*framework), {}, {}};
    return project;
}

DetectedProject detectProject(const std::string& path) {
    if (isFile(path + "/public/index.php")) {
        return projectOf(ProjectType::laravel, isFile(path + "/artisan")
                                                   ? std::optional<std::string>("Laravel")
                                                   : std::nullopt);
    }
    if (isFile(path + "/index.php")) {
        const bool wordpress = isFile(path + "/wp-config.php") || isFile(path + "/wp-load.php");
        return projectOf(ProjectType::php, wordpress ? std::optional<std::string>(std::string(
                                                           displayName(FrameworkType::wordpress)))
                                                     : std::nullopt);
    }
    if (!isFile(path + "/index.html") && isFile(path + "/package.json") &&
        isFile(path + "/dist/index.html")) {
        return projectOf(ProjectType::nodejs);
    }
    return projectOf(ProjectType::staticSite);
}

const NginxTemplate& plainPHPTemplate() {
    static const NginxTemplate plain{"php", "PHP files, no front controller", R"(server {
    listen 80;
    server_name {{domain}};
    root {{root}};
    index index.php index.html;

    location / {
        try_files $uri $uri/ =404;
    }

    location ~ \.php$ {
        fastcgi_pass unix:{{php_socket}};
        fastcgi_index index.php;
        fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;
        include fastcgi_params;
    }

    location ~ /\.(?!well-known).* {
        deny all;
    }
})",
                                     false};
    return plain;
}

const NginxTemplate& templateFor(const DetectedProject& project) {
    const bool wordpress = project.frameworkInfo &&
                           project.frameworkInfo->name == displayName(FrameworkType::wordpress);
    switch (project.primaryType) {
        case ProjectType::laravel:
            return NginxTemplate::laravel();
        case ProjectType::php:
            return wordpress ? NginxTemplate::wordpress() : plainPHPTemplate();
        case ProjectType::nodejs:
            return NginxTemplate::spa();
        default:
            return NginxTemplate::staticSite();
    }
}

bool isServablePath(std::string_view path) {
    // Written in double quotes: only a quote or a backslash could end or
    // escape them, and '$' start a variable; "{{" would be a template's.
    return quotedPath(path).has_value() && path.find("{{") == std::string_view::npos;
}

bool isPHPVersion(std::string_view v) {
    const auto dot = v.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == v.size() || v.size() > 7) {
        return false;
    }
    return std::count(v.begin(), v.end(), '.') == 1 && std::all_of(v.begin(), v.end(), [](char c) {
               return (c >= '0' && c <= '9') || c == '.';
           });
}

std::string nginxMain(const Layout& layout, const MainOptions& options) {
    std::string t;
    t += "# Written by vesk: the development sites' web server.\n";
    t += "user " + options.workersAccount.value_or(layout.user + " " + layout.group) + ";\n";
    t += "worker_processes auto;\n";
    // The site blocks' patterns (dot-files, PHP) are matched on every request.
    t += "pcre_jit on;\n";
    // The environment's own pid file, never Debian's /run/nginx.pid: the
    // environment's nginx (bin/nginx) finds its master through it for "-s"
    // (stop, reload). "nginx -t" writes its pid file too: a check as the
    // developer uses one of theirs.
    t += "pid " + layout.runDir() + (options.discardLogs ? "/nginx-check.pid" : "/nginx.pid") +
         ";\n";
    t += "error_log " +
         (options.discardLogs ? std::string("/dev/null") : layout.logDir() + "/nginx-error.log") +
         ";\n\n";
    t += "events {\n    worker_connections 1024;\n}\n\n";
    t += "http {\n";
    t += "    include /etc/nginx/mime.types;\n";
    t += "    default_type application/octet-stream;\n";
    t += "    sendfile on;\n";
    // A reply's headers and the start of its file in one packet.
    t += "    tcp_nopush on;\n";
    t += "    server_names_hash_bucket_size 128;\n";
    // Development limits: bodies as large as PHP takes them, requests as
    // long as a debugger holds them.
    t += "    client_max_body_size " + layout.serving.nginxBodyLimit().value_or("512m") + ";\n";
    const std::string timeout =
        std::to_string(std::clamp(layout.serving.requestTimeoutSeconds, 1, 86'400)) + "s";
    for (const char* directive : {"fastcgi_read_timeout", "fastcgi_send_timeout",
                                  "proxy_read_timeout", "proxy_send_timeout"}) {
        t += "    " + std::string(directive) + " " + timeout + ";\n";
    }
    // Request bodies and upstream replies are buffered in the environment,
    // where the workers (the developer) may write.
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        t += "    " + std::string(kind) + "_temp_path " + layout.veskBase + "/tmp/nginx-" + kind +
             ";\n";
    }
    // Every request's fields for the statistics, tab-separated: nginx
    // escapes tabs and control characters inside values.
    t += "    log_format vesk '$remote_addr\\t$msec\\t$request_method\\t$request_uri\\t"
         "$server_protocol\\t$status\\t$body_bytes_sent\\t$request_time\\t$http_user_agent"
         "\\t$host';\n";
    t += options.discardLogs ? std::string("    access_log off;\n")
                             : "    access_log " + layout.logDir() + "/nginx-access.log vesk;\n";
    // A proxied site's upstream connection stays open for the next request,
    // unless the request asks to become a WebSocket.
    t += "    map $http_upgrade $vesk_connection {\n        default upgrade;\n        \"\" \"\";\n"
         "    }\n";
    if (layout.xdebug.on) {
        // A request that names one of Xdebug's triggers, as a cookie or a
        // query parameter, goes to the pool that loads it; any other stays
        // on the pool without it.
        std::string triggers;
        for (const std::string_view name : kXdebugTriggers) {
            triggers.append("$cookie_").append(name).append("$arg_").append(name);
        }
        t += "    map \"" + triggers + "\" " + std::string(kXdebugVariable) +
             " {\n        \"\" \"\";\n        default \"-" +
             std::string(rawValue(layout.xdebug.config.mode)) + "\";\n    }\n";
    }
    t += "    include " + options.sitesDir.value_or(layout.sitesDir()) + "/*.conf;\n\n";
    t += "    server {\n" + listenLines(layout, 80, "default_server", "        ") +
         "        server_name _;\n        return 404;\n    }\n";
    t += "}\n";
    return t;
}

namespace {

/// A block's server_name: the site's full domain, its aliases and its
/// subdomains (www.app.test is the site's too, over HTTP as over HTTPS: its
/// certificate names them); none when one is no name.
std::optional<std::string> serverNames(const Site& site) {
    if (!isDomainName(site.fullDomain())) return std::nullopt;
    std::string names = site.fullDomain();
    for (const std::string& alias : site.aliases) {
        if (!isDomainName(alias)) return std::nullopt;
        names += ' ';
        names += alias;
    }
    names += " *." + site.fullDomain();
    return names;
}

/// A block's listen lines: 80, or 443 with the certificate, when `text`
/// gets the server that sends HTTP to HTTPS. None when the files' paths
/// cannot be written.
std::optional<std::string> listenFor(const Layout& layout, const std::string& names,
                                     const std::optional<TLSFiles>& tls, std::string& text) {
    if (!tls) return listenLines(layout, 80, "");
    const auto certificate = quotedPath(tls->certificate);
    const auto key = quotedPath(tls->key);
    if (!certificate || !key) return std::nullopt;
    text += "server {\n" + listenLines(layout, 80, "") + "    server_name " + names +
            ";\n    return 301 https://$host$request_uri;\n}\n\n";
    return listenLines(layout, 443, "ssl http2") + "    ssl_certificate " + *certificate +
           ";\n    ssl_certificate_key " + *key + ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n";
}

}  // namespace

std::optional<std::string> nginxSite(const Site& site, const std::string& defaultPHP,
                                     const Layout& layout, const DetectedProject& project,
                                     const std::optional<TLSFiles>& tls) {
    const std::string php = site.phpVersion.value_or(defaultPHP);
    if (!isServablePath(site.path) || !isDomainName(site.fullDomain()) || !isPHPVersion(php)) {
        return std::nullopt;
    }
    const auto names = serverNames(site);
    if (!names) return std::nullopt;
    const NginxTemplate& t = templateFor(project);
    std::string text = "# Written by vesk for " + site.fullDomain() + "\n";
    const auto listen = listenFor(layout, *names, tls, text);
    if (!listen) return std::nullopt;
    const std::string socket = layout.xdebug.coversSite(site.fullDomain())
                                   ? layout.phpSocket(php + std::string(kXdebugVariable))
                                   : layout.phpSocket(php);
    const auto rendered = t.renderListening(
        {{"domain", *names}, {"root", site.path}, {"php_socket", socket}}, *listen);
    if (!rendered) return std::nullopt;
    const std::string block = withSiteDirectives(
        beforeClosingBrace(withDotDenial(withPathInfo(withQuotedRoot(*rendered))),
                           snippetIncludes(layout, site.fullDomain())),
        layout, site.fullDomain());
    text += block;
    text += '\n';
    return text;
}

namespace {

std::string upstreamName(std::string_view kind, const Site& site) {
    std::string name = "vesk_" + std::string(kind) + "_" + site.fullDomain();
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '.' || c == '-'; }, '_');
    return name;
}

}  // namespace

std::optional<std::string> nginxProxySite(const Site& site, const ProxyTarget& target,
                                          const Layout& layout, const std::optional<TLSFiles>& tls,
                                          const NginxTemplate& shape) {
    // Checked again here: the record may have been changed by hand.
    const auto again = ProxyTarget::parse(target.url());
    if (!again || !(*again == target) || !isDomainName(site.fullDomain())) return std::nullopt;
    const auto names = serverNames(site);
    if (!names) return std::nullopt;
    const std::string upstream = upstreamName("proxy", site);
    std::string text =
        "# Written by vesk for " + site.fullDomain() + ": forwards to " + target.url() + "\n";
    // Connections to the server are kept and reused: a request pays no
    // new TCP connection (most of the extra hop's time otherwise).
    text += "upstream " + upstream + " {\n    server " + target.address() +
            ";\n    keepalive 16;\n}\n\n";
    const auto listen = listenFor(layout, *names, tls, text);
    if (!listen) return std::nullopt;
    auto rendered =
        shape.renderListening({{"domain", *names}, {"port", std::to_string(target.port)}}, *listen);
    if (!rendered) return std::nullopt;
    const std::string pass = "proxy_pass http://127.0.0.1:" + std::to_string(target.port) + ";";
    const auto at = rendered->find(pass);
    if (at == std::string::npos) return std::nullopt;
    rendered->replace(at, pass.size(), "proxy_pass http://" + upstream + target.path + ";");
    const std::string upgrade = "proxy_set_header Connection \"upgrade\";";
    const auto u = rendered->find(upgrade);
    if (u != std::string::npos) {
        rendered->replace(u, upgrade.size(), "proxy_set_header Connection $vesk_connection;");
    }
    text += beforeClosingBrace(*rendered, snippetIncludes(layout, site.fullDomain()));
    text += '\n';
    return text;
}

std::optional<std::string> nginxViteSite(const Site& site, std::int64_t port,
                                         const std::string& defaultPHP, const Layout& layout,
                                         const DetectedProject& project,
                                         const std::optional<TLSFiles>& tls) {
    if (port < 1 || port > 65535) return std::nullopt;
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const bool php =
        project.primaryType == ProjectType::laravel || project.primaryType == ProjectType::php;
    if (!php) {
        auto block = nginxProxySite(site, ProxyTarget{"127.0.0.1", port, ""}, layout, tls);
        if (!block) return std::nullopt;
        const std::string own = "proxy_set_header Host $host;";
        const auto at = block->find(own);
        if (at != std::string::npos)
            block->replace(at, own.size(), "proxy_set_header Host " + host + ";");
        return block;
    }
    auto block = nginxSite(site, defaultPHP, layout, project, tls);
    if (!block) return std::nullopt;
    const std::string upstream = upstreamName("vite", site);
    const std::string pass = "        proxy_pass http://" + upstream +
                             ";\n        proxy_http_version 1.1;\n        proxy_set_header Host " +
                             host +
                             ";\n        proxy_set_header Upgrade $http_upgrade;\n"
                             "        proxy_set_header Connection $vesk_connection;\n";
    const std::string vite =
        "\n    # Vite's dev server: the pages' modules, and hot reload's WebSocket (which\n"
        "    # asks for the vite-hmr protocol at the page's own address).\n"
        "    if ($http_sec_websocket_protocol = \"vite-hmr\") {\n"
        "        rewrite ^ /@vesk-vite-hmr$uri last;\n    }\n"
        "    location ^~ /@vesk-vite-hmr/ {\n        internal;\n"
        "        rewrite ^/@vesk-vite-hmr(.*)$ $1 break;\n" +
        pass +
        "    }\n"
        "    location ~ ^/(@vite|@id|@fs|@react-refresh|node_modules|resources|src)/ {\n" +
        pass + "    }\n";
    // Into the block that serves the site (the last one: the first may be
    // HTTP's redirect to HTTPS).
    const auto close = block->rfind('}');
    if (close == std::string::npos) return std::nullopt;
    block->insert(close, vite);
    return "upstream " + upstream + " {\n    server " + host + ";\n    keepalive 16;\n}\n\n" +
           *block;
}

std::optional<std::string> nginxParkedFallback(const std::vector<std::string>& parkedPaths,
                                               std::string_view tld, const std::string& defaultPHP,
                                               const Layout& layout) {
    if (!isDomainName(tld) || tld.find('.') != std::string_view::npos ||
        !isPHPVersion(defaultPHP)) {
        return std::nullopt;
    }
    std::vector<std::string> folders;
    for (const auto& p : parkedPaths) {
        if (isServablePath(p)) folders.push_back(p);
    }
    if (folders.empty()) return std::nullopt;
    std::string t;
    t += "# Written by vesk: directories new in a parked folder, until their own block is "
         "written.\n";
    t += "server {\n" + listenLines(layout, 80, "");
    // Exactly the names a parked directory is listed under: a label of
    // letters, digits and inner hyphens, 63 at most (quoted: the braces).
    t += "    server_name \"~^(?<vesk_site>[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?)\\." +
         std::string(tld) + "$\";\n";
    t += "    set $vesk_root \"\";\n";
    // The first folder holding the directory wins: tested last.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        // Quoted (a folder may hold spaces); the variable is still expanded.
        t += "    if (-d \"" + *it + "/$vesk_site\") {\n        set $vesk_root \"" + *it +
             "/$vesk_site\";\n    }\n";
    }
    t += "    if ($vesk_root = \"\") {\n        return 404;\n    }\n";
    t += "    if (-f $vesk_root/public/index.php) {\n        set $vesk_root $vesk_root/public;\n"
         "    }\n";
    t += "    root $vesk_root;\n    index index.php index.html;\n\n";
    // First among the patterns: a script inside .git never reaches PHP.
    t += kDotDenial;
    t += "\n";
    t += "    location / {\n        try_files $uri $uri/ /index.php?$query_string;\n    }\n\n";
    t += "    location ~ [^/]\\.php(/|$) {\n"
         "        fastcgi_split_path_info ^(.+?\\.php)(/.*)$;\n"
         "        set $vesk_path_info $fastcgi_path_info;\n"
         "        try_files $fastcgi_script_name =404;\n"
         "        fastcgi_param PATH_INFO $vesk_path_info;\n        fastcgi_pass unix:" +
         layout.phpSocket(layout.xdebug.on && layout.xdebug.sites.empty()
                              ? defaultPHP + std::string(kXdebugVariable)
                              : defaultPHP) +
         ";\n        fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;\n"
         "        include fastcgi_params;\n    }\n\n";
    t += snippetIncludes(layout, "");
    t += "}\n";
    return t;
}

std::string nginxDefaultTLS(const Layout& layout) {
    return "# Written by vesk: names no site is served under get no certificate at all.\n"
           "server {\n" +
           listenLines(layout, 443, "ssl http2 default_server") +
           "    server_name _;\n    ssl_reject_handshake on;\n}\n";
}

bool isXdebugConfig(const XdebugConfig& c) {
    const auto within = [](std::string_view text, std::string_view extra) {
        return !text.empty() && text.size() <= 253 &&
               std::all_of(text.begin(), text.end(), [&](char ch) {
                   return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                          (ch >= '0' && ch <= '9') || extra.find(ch) != std::string_view::npos;
               });
    };
    return within(c.ideKey, "_.-") && c.ideKey.size() <= 64 && within(c.clientHost, ".-:") &&
           c.clientPort > 0 && c.clientPort < 65536;
}

namespace {

/// A path as an ini value: in double quotes, which only a quote, a
/// backslash or '$' could end or expand.
std::optional<std::string> iniPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    const bool plain = std::none_of(path.begin(), path.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f || c == '"' || c == '\\' || c == '$';
    });
    if (!plain) return std::nullopt;
    return "\"" + std::string(path) + "\"";
}

std::string xdebugDirectives(const PHPPool& pool, const Layout& layout) {
    const XdebugConfig& c = layout.xdebug.config;
    std::string t;
    if (!isXdebugConfig(c)) return t;
    const auto admin = [&](std::string_view name, const std::string& value) {
        t.append("php_admin_value[xdebug.").append(name).append("] = ").append(value).append("\n");
    };
    admin("client_host", c.clientHost);
    admin("client_port", std::to_string(c.clientPort));
    admin("idekey", c.ideKey);
    // Only requests that carry a trigger reach this pool: "yes" starts on
    // each of them, "trigger" leaves it to Xdebug's own test.
    admin("start_with_request", c.startWithRequest ? "yes" : "trigger");
    admin("discover_client_host", "0");
    if (const auto dir = iniPath(layout.xdebugOutputDir)) {
        admin("output_dir", *dir);
        // The time, the worker and a random part: one file a request.
        admin("profiler_output_name", "cachegrind.out.%t.%p.%r");
        admin("trace_output_name", "trace.%t.%p.%r");
    }
    if (const auto log = iniPath(layout.logDir() + "/xdebug-" + pool.version + ".log")) {
        admin("log", *log);
    }
    return t;
}

}  // namespace

std::string phpFpmPool(std::string_view name, const Layout& layout) {
    const auto pool = PHPPool::parse(name);
    const std::string v(name);
    std::string t;
    if (pool && pool->xdebug) {
        t += "; Written by vesk: PHP " + pool->version + " with Xdebug (" +
             std::string(rawValue(*pool->xdebug)) + "), for the requests that ask for it.\n";
    } else {
        t += "; Written by vesk: PHP " + v + " for the development sites.\n";
    }
    t += "[global]\n";
    t += "pid = " + layout.phpPidFile(v) + "\n";
    t += "error_log = " + layout.logDir() + "/php-fpm-" + v + ".log\n";
    t += "daemonize = yes\n\n";
    t += pool && pool->xdebug ? "[vesk-xdebug]\n" : "[vesk]\n";
    t += "user = " + layout.user + "\n";
    t += "group = " + layout.group + "\n";
    t += "listen = " + layout.phpSocket(v) + "\n";
    t += "listen.owner = " + layout.user + "\n";
    t += "listen.group = " + layout.group + "\n";
    t += "listen.mode = 0660\n";
    if (pool && pool->xdebug) {
        // Requests with a trigger are few: workers are made for them and
        // go after a minute, keeping no memory the rest of the day.
        t += "pm = ondemand\n";
        t += "pm.max_children = 4\n";
        t += "pm.process_idle_timeout = 60s\n";
    } else {
        // Debian's own pool's numbers (two workers waiting, one to three idle
        // kept), but up to eight when requests come: a request held by a
        // debugger takes one. (Fewer idle ones keep less memory, but workers are
        // then ended and forked again all through a burst: a tenth fewer requests
        // a second; "ondemand" keeps none, and its master wakes for every new
        // connection: a sixth fewer.)
        t += "pm = dynamic\n";
        t += "pm.max_children = 8\n";
        t += "pm.start_servers = 2\n";
        t += "pm.min_spare_servers = 1\n";
        t += "pm.max_spare_servers = 3\n";
    }
    // PHP's own errors reach nginx's error log through FastCGI; the workers'
    // stdout and stderr are not piped through the master, which would add
    // to every request's latency under load.
    // A request held at a breakpoint is never cut by the pool.
    t += "request_terminate_timeout = 0\n";
    // The developer's own processes may look into the workers (a debugger,
    // and vesk finding what a dead master left holding its socket).
    t += "process.dumpable = yes\n";
    const std::string version = pool ? pool->version : v;
    for (const auto& [directive, value] : layout.serving.poolDirectives(version)) {
        if (ServingRules::isDirective(directive, value)) {
            t.append("php_value[").append(directive).append("] = ").append(value).append("\n");
        }
    }
    if (layout.prependFile && isPlainPath(*layout.prependFile)) {
        t += "php_admin_value[auto_prepend_file] = " + *layout.prependFile + "\n";
    }
    // mail() reaches the catcher and nothing else; no site can change it.
    if (layout.sendmailProgram && isPlainPath(*layout.sendmailProgram)) {
        t += "php_admin_value[sendmail_path] = " + *layout.sendmailProgram + " -t -i\n";
    }
    if (pool && pool->xdebug) t += xdebugDirectives(*pool, layout);
    return t;
}

std::string dnsmasq(std::string_view tld, std::string_view address, const Layout& layout) {
    std::string t;
    t += "# Written by vesk: every name under ." + std::string(tld) + " is " +
         std::string(address) + ".\n";
    t += "port=53\n";
    t += "listen-address=127.0.0.1\n";
    t += "bind-interfaces\n";
    t += "no-resolv\n";
    t += "no-hosts\n";
    t += "user=" + layout.user + "\n";
    t += "address=/" + std::string(tld) + "/" + std::string(address) + "\n";
    return t;
}

}  // namespace vesk::ServerConfig
