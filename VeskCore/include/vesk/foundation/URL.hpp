// A parsed URL: the text of an RFC 3986 URI reference that has a scheme.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesk {

class URL {
  public:
    /// None unless `text` is an RFC 3986 URI with a scheme.
    static std::optional<URL> parse(std::string_view text);

    [[nodiscard]] const std::string& absoluteString() const noexcept { return text_; }
    [[nodiscard]] const std::string& scheme() const noexcept { return scheme_; }

    friend bool operator==(const URL&, const URL&) = default;

  private:
    URL(std::string text, std::string scheme)
        : text_(std::move(text)), scheme_(std::move(scheme)) {}
    std::string text_;
    std::string scheme_;
};

}  // namespace vesk
