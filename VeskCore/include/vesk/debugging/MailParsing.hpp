// A caught message read into the library's CapturedMail with GMime: the
// envelope's sender and recipients beside the headers' (Bcc is who the
// envelope names and the headers do not), the subject decoded, the text and
// HTML bodies decoded from their transfer and character encodings into
// UTF-8, the attachments and inline parts with their bytes. Its own library
// (VeskMail), so that only the programs that read mail load GMime and GLib.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/debugging/CapturedMail.hpp"

namespace vesk::mail {

/// What the SMTP conversation said of a message.
struct Envelope {
    std::string from;
    std::vector<std::string> recipients;
};

/// What a parse keeps.
struct ParseLimits {
    /// The attachments' bytes (without them, their sizes alone).
    bool attachmentBytes = true;
    /// The longest text or HTML body kept (cut at a character's start).
    std::size_t body = SIZE_MAX;
};

/// The message `raw` (as it arrived, CRLF or LF lines) as a CapturedMail
/// caught at `caught`, with a new id. Never throws on hostile input: what
/// cannot be read is left empty. Headers keep one value per name: the
/// first one the message has (the newest Received, say).
CapturedMail parse(std::string_view raw, const Envelope& envelope, Date caught,
                   const ParseLimits& limits = {});
/// The same of the message in the file at `path`, read from it as needed:
/// its parts are never all in memory, and without the attachments' bytes
/// what a mail costs is bounded whatever its size. `bytes`, when given, is
/// the file's content the caller still holds (a small message), parsed
/// without reading the file. None when it cannot be opened.
std::optional<CapturedMail> parseFile(const std::string& path, const Envelope& envelope,
                                      Date caught, const ParseLimits& limits = {},
                                      const std::optional<std::string>& bytes = std::nullopt);

/// What the headers of `raw` say of its envelope (sendmail -t): the first
/// From mailbox, and every To, Cc and Bcc mailbox once, groups opened.
Envelope envelopeOf(std::string_view raw);

}  // namespace vesk::mail
