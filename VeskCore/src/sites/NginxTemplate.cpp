#include "vesk/sites/NginxTemplate.hpp"

#include <functional>

namespace vesk {

namespace {

const char* const kLaravel = R"(server {
    listen 80;
    server_name {{domain}};
    root {{root}}/public;
    index index.php index.html;

    location / {
        try_files $uri $uri/ /index.php?$query_string;
    }

    location ~ \.php$ {
        fastcgi_pass unix:{{php_socket}};
        fastcgi_index index.php;
        fastcgi_param SCRIPT_FILENAME $realpath_root$fastcgi_script_name;
        include fastcgi_params;
    }

    location ~ /\.(?!well-known).* {
        deny all;
    }
})";

const char* const kSpa = R"(server {
    listen 80;
    server_name {{domain}};
    root {{root}}/dist;
    index index.html;

    location / {
        try_files $uri $uri/ /index.html;
    }

    location ~* \.(js|css|png|jpg|jpeg|gif|ico|svg|woff|woff2)$ {
        expires 1y;
        add_header Cache-Control "public, immutable";
    }

    location ~ /\.(?!well-known).* {
        deny all;
    }
})";

const char* const kWordpress = R"(server {
    listen 80;
    server_name {{domain}};
    root {{root}};
    index index.php index.html;

    location / {
        try_files $uri $uri/ /index.php?$args;
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

    location = /favicon.ico { log_not_found off; access_log off; }
    location = /robots.txt  { log_not_found off; access_log off; }
})";

const char* const kStatic = R"(server {
    listen 80;
    server_name {{domain}};
    root {{root}};
    index index.html;

    location / {
        try_files $uri $uri/ =404;
    }

    location ~ /\.(?!well-known).* {
        deny all;
    }
})";

const char* const kProxy = R"(server {
    listen 80;
    server_name {{domain}};

    location / {
        proxy_pass http://127.0.0.1:{{port}};
        proxy_http_version 1.1;
        proxy_set_header Upgrade $http_upgrade;
        proxy_set_header Connection "upgrade";
        proxy_set_header Host $host;
        proxy_set_header X-Real-IP $remote_addr;
        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
        proxy_set_header X-Forwarded-Proto $scheme;
    }
})";

const char* const kNode = R"(server {
    listen 80;
    server_name {{domain}};

    location / {
        proxy_pass http://127.0.0.1:{{port}};
        proxy_http_version 1.1;
        proxy_set_header Upgrade $http_upgrade;
        proxy_set_header Connection "upgrade";
        proxy_set_header Host $host;
        proxy_set_header X-Real-IP $remote_addr;
        proxy_cache_bypass $http_upgrade;
    }
})";

}  // namespace

std::string NginxTemplate::render(const std::map<std::string, std::string>& variables) const {
    std::string text = content;
    for (const auto& [name, value] : variables) {
        const std::string token = "{{" + name + "}}";
        std::string out;
        out.reserve(text.size());
        std::size_t from = 0;
        for (std::size_t at = text.find(token); at != std::string::npos;
             at = text.find(token, from)) {
            out.append(text, from, at - from);
            out += value;
            from = at + token.size();
        }
        out.append(text, from, std::string::npos);
        text = std::move(out);
    }
    return text;
}

std::optional<std::string> NginxTemplate::renderListening(
    const std::map<std::string, std::string>& variables, std::string_view listen) const {
    const std::string text = render(variables);
    std::string out;
    out.reserve(text.size() + listen.size());
    bool replaced = false;
    int depth = 0;
    std::size_t line = 0;
    while (line < text.size()) {
        std::size_t end = text.find('\n', line);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string_view whole(text.data() + line, end - line);
        const auto first = whole.find_first_not_of(" \t");
        const std::string_view rest =
            first == std::string_view::npos ? std::string_view{} : whole.substr(first);
        const bool directive =
            rest.rfind("listen", 0) == 0 && rest.size() > 6 && (rest[6] == ' ' || rest[6] == '\t');
        if (depth == 1 && directive) {
            if (!replaced) out += listen;
            replaced = true;
        } else {
            out += whole;
        }
        // The nesting after this line: braces outside quotes and comments.
        char quote = 0;
        for (const char c : whole) {
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '#') {
                break;
            } else if (c == '{') {
                ++depth;
            } else if (c == '}') {
                --depth;
            }
        }
        line = end;
    }
    if (!replaced) return std::nullopt;
    return out;
}

const std::vector<NginxTemplate>& NginxTemplate::builtInTemplates() {
    static const std::vector<NginxTemplate> all{
        {"laravel", "Laravel application with PHP-FPM", kLaravel, true},
        {"spa", "Single Page Application (React, Vue, etc.)", kSpa, true},
        {"wordpress", "WordPress with permalink support", kWordpress, true},
        {"static", "Static file serving", kStatic, true},
        {"proxy", "Reverse proxy to a local port", kProxy, true},
        {"node", "Node.js application with WebSocket support", kNode, true},
    };
    return all;
}

const NginxTemplate& NginxTemplate::laravel() {
    return builtInTemplates()[0];
}
const NginxTemplate& NginxTemplate::spa() {
    return builtInTemplates()[1];
}
const NginxTemplate& NginxTemplate::wordpress() {
    return builtInTemplates()[2];
}
const NginxTemplate& NginxTemplate::staticSite() {
    return builtInTemplates()[3];
}
const NginxTemplate& NginxTemplate::proxy() {
    return builtInTemplates()[4];
}
const NginxTemplate& NginxTemplate::node() {
    return builtInTemplates()[5];
}

}  // namespace vesk

std::size_t std::hash<vesk::NginxTemplate>::operator()(
    const vesk::NginxTemplate& t) const noexcept {
    const std::hash<std::string> h;
    std::size_t v = h(t.name);
    v = v * 31 + h(t.description);
    v = v * 31 + h(t.content);
    return v * 31 + (t.isBuiltIn ? 1 : 0);
}
