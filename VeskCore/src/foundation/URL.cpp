#include "vesk/foundation/URL.hpp"

#include <uriparser/Uri.h>

namespace vesk {

std::optional<URL> URL::parse(std::string_view text) {
    UriUriA uri;
    const char* errorPos = nullptr;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.empty() || uriParseSingleUriExA(&uri, first, last, &errorPos) != URI_SUCCESS) {
        return std::nullopt;
    }
    std::optional<URL> out;
    if (uri.scheme.first != nullptr && uri.scheme.afterLast != uri.scheme.first) {
        out = URL(std::string(text), std::string(uri.scheme.first, uri.scheme.afterLast));
    }
    uriFreeUriMembersA(&uri);
    return out;
}

}  // namespace vesk
