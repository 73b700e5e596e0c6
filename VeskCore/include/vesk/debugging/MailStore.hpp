// Where the mail catcher keeps what it caught: each message as it arrived
// (ID.eml) and its CapturedMail record (ID.json, the attachments' bytes left
// in the raw message), in one directory of the developer's. A message is
// received into tmp/ and named only once it is whole, its record written
// after it, so a crash mid-write leaves no half mail; recover() reads again
// what a crash left between the two. Bounded: past the count or the total
// size, the oldest go first. Reading the store needs no MIME parser: only
// what keeps mail (and reads attachments again) is given one, so the vesk
// command lists and shows mail without loading GMime.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/debugging/CapturedMail.hpp"
#include "vesk/debugging/MailParsing.hpp"
#include "vesk/debugging/SmtpSession.hpp"

namespace vesk::mail {

struct StoreLimits {
    std::size_t count = 1000;
    std::uint64_t bytes = std::uint64_t{512} << 20;
    /// A body longer than this is cut in the record (the raw message keeps it).
    std::size_t body = std::size_t{1} << 20;
};

/// What reads a message in a file into its record (mail::parseFile, of VeskMail).
using Parser = std::optional<CapturedMail> (*)(const std::string& path, const Envelope& envelope,
                                               Date caught, const ParseLimits& limits,
                                               const std::optional<std::string>& bytes);

class Store {
  public:
    /// Without a parser, keep(), recover() and withAttachments() do nothing.
    explicit Store(std::string directory, StoreLimits limits = {}, Parser parser = nullptr);

    /// A message being received.
    class Incoming {
      public:
        ~Incoming();
        Incoming(const Incoming&) = delete;
        Incoming& operator=(const Incoming&) = delete;
        /// False once a write failed (a full disk): the message cannot be kept.
        bool write(std::string_view bytes);

      private:
        friend class Store;
        static constexpr std::size_t kPiece = 65536;
        Incoming(int fd, std::string path);
        bool flush();
        bool finish();
        int fd_;
        std::string path_;
        std::string pending_;
        off_t written_ = 0;
        /// The whole message, when it fitted in one piece.
        std::optional<std::string> whole_;
        bool failed_ = false;
    };

    /// A new message in tmp/; none when the directory cannot be written.
    std::unique_ptr<Incoming> begin();
    /// Parses, records and names it; the oldest go past the limits. Its id,
    /// or an empty text when it could not be kept.
    std::string keep(std::unique_ptr<Incoming> incoming, const Envelope& envelope);

    /// The records, newest first.
    [[nodiscard]] std::vector<CapturedMail> list() const;
    /// The mail whose id starts with `prefix` (at least 4 characters, one
    /// match); none otherwise.
    [[nodiscard]] std::optional<CapturedMail> find(std::string_view prefix) const;
    /// The message as it arrived, and its size.
    [[nodiscard]] std::optional<std::string> raw(const CapturedMail& mail) const;
    [[nodiscard]] std::uint64_t rawSize(const CapturedMail& mail) const;
    /// The message read again with its attachments' bytes.
    [[nodiscard]] std::optional<CapturedMail> withAttachments(const CapturedMail& mail) const;
    bool markRead(const CapturedMail& mail);
    bool remove(const CapturedMail& mail);
    /// Removes every mail; how many.
    std::size_t clear();
    /// After a crash: unfinished messages go, whole ones without a record
    /// are read again. How many were read again.
    std::size_t recover();

    [[nodiscard]] const std::string& directory() const noexcept { return directory_; }

  private:
    struct Kept {
        std::string name;
        std::int64_t time = 0;
        std::uint64_t size = 0;
    };
    /// Files of evicted mails, kept in tmp/ to be written again.
    struct Spares {
        static constexpr std::size_t kSpares = 64;
        std::vector<std::string> files;
        /// A spare's path, no longer a spare; none when there is none.
        std::optional<std::string> take();
        /// `path` kept as a spare in `tmp` (removed past the bound).
        void give(const std::string& path, const std::string& tmp);
    };
    void scan();
    /// After `id` (of `size` bytes) was kept: the oldest go past the limits.
    void enforceLimits(const std::string& id, std::uint64_t size);
    bool writeRecord(const CapturedMail& mail);

    std::string directory_;
    StoreLimits limits_;
    Parser parse_;
    /// What is kept, oldest first, and its size (the limits' account).
    std::vector<Kept> kept_;
    std::uint64_t total_ = 0;
    bool scanned_ = false;
    std::size_t keptSinceScan_ = 0;
    Spares spareRaw_;
    Spares spareRecord_;
};

/// The SMTP session's sink over a store: what it receives is kept there.
class StoreSink : public smtp::Sink {
  public:
    explicit StoreSink(Store& store) : store_(store) {}
    void begin(const std::string& from, const std::vector<std::string>& recipients) override;
    void write(std::string_view bytes) override;
    std::string commit() override;
    void abort() override;

  private:
    Store& store_;
    std::unique_ptr<Store::Incoming> incoming_;
    Envelope envelope_;
};

}  // namespace vesk::mail
