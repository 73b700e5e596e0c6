// A one-pass reader straight over a large text, for the stores whose
// documents are too large to hold beside their tape (its own library: only
// those stores link it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "vesk/foundation/json/Options.hpp"

namespace vesk {

/// A forward cursor straight over the text, without a tape (simdjson's
/// On-Demand parser): the same readers as JsonTape, for one pass over a
/// document too large to hold beside its tape and its records. Only what is
/// read is checked, so anything unusual (an unknown key, a number in an
/// unexpected form, a failed read) makes `finish()` false; decode the text
/// with JsonDocument then, which says why or reads it after all.
class JsonStream {
  public:
    /// `consumed`, when given, is told now and then how many leading bytes
    /// of the text will not be read again (so their memory may be given
    /// back).
    JsonStream(PaddedText text, const CodingOptions& options,
               std::function<void(std::size_t)> consumed = {});
    JsonStream(const JsonStream&) = delete;
    JsonStream& operator=(const JsonStream&) = delete;
    ~JsonStream();

    [[nodiscard]] const CodingOptions& options() const noexcept { return options_; }
    bool readNull();
    bool readBool(bool& out);
    bool readString(std::string_view& out);
    bool takeKey(std::string_view text);
    bool readInt64(std::int64_t& out);
    bool readUInt64(std::uint64_t& out);
    bool readDouble(double& out);
    bool enter(char open, std::size_t& scope, std::size_t& count);
    bool before(std::size_t scope);
    void leave();
    void skip();
    /// Whether every read succeeded and the value was the whole text.
    bool finish();

  private:
    struct Impl;
    CodingOptions options_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vesk
