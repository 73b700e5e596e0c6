// Where caught mail lives, and the spool of the messages that sendmail could
// not hand to the catcher (it was not running): each one file, its envelope
// first, written whole into tmp/ and then named, so the catcher (which
// delivers the spool whenever it starts and whenever a file appears) never
// reads half of one. No MIME parsing here: sendmail, the catcher and the
// command all read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/debugging/MailParsing.hpp"

namespace vesk::mail {

/// The catcher's port on 127.0.0.1.
inline constexpr int kCatcherPort = 2525;
/// What the catcher's greeting says, by which sendmail tells it from
/// another program on its port (which never gets a mail).
inline constexpr std::string_view kCatcherBanner = " ESMTP Vesk mail catcher";
/// The largest message sendmail takes and the catcher keeps.
inline constexpr std::size_t kLargestMessage = std::size_t{32} << 20;

/// The developer's caught mail (the catcher's store).
std::string storeDirectory();
/// The messages waiting for the catcher.
std::string spoolDirectory();

/// Whether `address` can stand in an envelope: at most 998 bytes, no
/// control character, no angle bracket.
bool isEnvelopeAddress(std::string_view address);

/// One waiting message.
struct Spooled {
    std::string path;
    Envelope envelope;
    std::string message;
};

class Spool {
  public:
    explicit Spool(std::string directory);

    /// Makes the directory (and those above it); false when it cannot.
    bool make() const;

    /// Keeps the message; false when it cannot be written whole (or the
    /// envelope cannot be written at all).
    bool put(const Envelope& envelope, std::string_view message) const;
    /// The waiting files, oldest first.
    [[nodiscard]] std::vector<std::string> waiting() const;
    /// The file at `path`; none when it is no spool file (it is then moved
    /// aside as NAME.unreadable, never delivered or lost).
    [[nodiscard]] std::optional<Spooled> read(const std::string& path) const;
    /// Delivered: the file goes.
    void done(const Spooled& spooled) const;

    [[nodiscard]] const std::string& directory() const noexcept { return directory_; }

  private:
    std::string directory_;
};

/// The header block of `message` without its Bcc fields (sendmail -t's
/// recipients see no Bcc), the body as it was.
std::string withoutBcc(std::string_view message);

}  // namespace vesk::mail
