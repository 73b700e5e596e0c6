// One record kept in one JSON file (the settings, the list of sites), read
// and changed under a lock, so that two programs changing it at once never
// lose each other's change. A file that exists but cannot be read as the
// record is reported with its path and never overwritten.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "vesk/foundation/Json.hpp"

namespace vesk {

/// A record file that cannot be read, decoded or written; what() names its path.
class RecordFileError : public std::runtime_error {
  public:
    RecordFileError(std::string path, const std::string& reason);
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
};

namespace recordfile {

/// An advisory lock on "<path>.lock" (created 0600 beside the file, with
/// its missing directories 0700), held for the object's life.
class Lock {
  public:
    Lock(const std::string& path, bool exclusive);
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();

  private:
    int fd_ = -1;
};

/// The file's text, none when it does not exist; at most 64 MiB.
std::optional<std::string> readText(const std::string& path);
/// Replaces the file with `text`: written whole to a new file beside it,
/// synced (unless `sync` is false), then renamed over it (mode 0600).
void writeText(const std::string& path, std::string_view text, bool sync = true);

}  // namespace recordfile

template <class T>
class RecordFile {
  public:
    /// A record kept across crashes, or (not `durable`) state rewritten
    /// often that a crash may take back to its previous text: never a part.
    explicit RecordFile(std::string path, bool durable = true)
        : path_(std::move(path)), durable_(durable) {}

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

    /// The stored record, or `whenMissing` when there is no file.
    [[nodiscard]] T read(const T& whenMissing) const {
        const recordfile::Lock lock(path_, false);
        return load(whenMissing);
    }

    /// Reads the record (or `whenMissing`), lets `change` change it and
    /// stores the result, all under one exclusive lock; returns what was stored.
    template <class Change>
    T update(const T& whenMissing, Change&& change) {
        const recordfile::Lock lock(path_, true);
        T value = load(whenMissing);
        change(value);
        CodingOptions pretty;
        pretty.indent = 2;
        recordfile::writeText(path_, encodeJSON(value, pretty), durable_);
        return value;
    }

  private:
    T load(const T& whenMissing) const {
        const auto text = recordfile::readText(path_);
        if (!text) return whenMissing;
        try {
            return decodeJSON<T>(*text);
        } catch (const DecodingError& e) {
            throw RecordFileError(
                path_, std::string("cannot be read (") + e.what() + "); it is left as it is");
        }
    }

    std::string path_;
    bool durable_ = true;
};

}  // namespace vesk
