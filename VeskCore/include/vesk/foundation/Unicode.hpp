// The library's Unicode rules, all answered by ICU: UTF-8 validity, grapheme
// clusters, lower-casing, the newline set and white space.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::Unicode {

/// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs).
bool isValidUTF8(std::string_view text);

/// Number of extended grapheme clusters (user-perceived characters).
std::size_t graphemeCount(std::string_view utf8);

/// Full Unicode lower-casing, independent of the process locale.
std::string lowercased(std::string_view utf8);

/// U+000A through U+000D, U+0085, U+2028 and U+2029.
bool isNewline(char32_t c);

/// White space or a newline (the Unicode White_Space property).
bool isWhitespaceOrNewline(char32_t c);

/// Removes white space and newlines from both ends.
std::string_view trimmed(std::string_view utf8);

/// Horizontal white space: the tab and the space separators (Zs).
bool isBlank(char32_t c);

/// Removes horizontal white space (not newlines) from both ends.
std::string_view trimmedBlanks(std::string_view utf8);

enum class LineBreaks {
    crlfIsOne,      ///< "\r\n" is one break
    eachCharacter,  ///< every newline character breaks by itself ("\r\n" makes an empty line)
};

/// Splits at every member of the newline set.
std::vector<std::string_view> lines(std::string_view utf8,
                                    LineBreaks breaks = LineBreaks::crlfIsOne);

/// Appends `text` escaped for XML: markup characters as references, control
/// characters (which XML cannot carry) dropped, bytes that are not UTF-8 as
/// U+FFFD; at most `limit` characters.
void appendXMLEscaped(std::string& out, std::string_view text,
                      std::size_t limit = std::string_view::npos);

/// Appends `text` as a terminal may show it without obeying it: control
/// characters (C0 but the line feed and tab, DEL, C1) and the bidirectional
/// overrides and isolates are written visibly as \xNN or \uNNNN, and bytes
/// that are not UTF-8 as \xNN, so no escape sequence reaches the terminal.
/// With `keepLayout` false the line feed and tab are made visible too. When
/// `more` says more text follows, an incomplete sequence at the end is left:
/// returns how many bytes of `text` were taken.
std::size_t appendTerminalSafe(std::string& out, std::string_view text, bool keepLayout = true,
                               bool more = false);

/// `text` as `appendTerminalSafe` writes it.
std::string terminalSafe(std::string_view text, bool keepLayout = true);

}  // namespace vesk::Unicode
