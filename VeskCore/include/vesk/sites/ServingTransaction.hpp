// Changing what nginx serves as one step: the new site blocks are staged
// beside the live ones, nginx checks them (its own `nginx -t`), and only a
// configuration it accepts is swapped in, whole, in one rename; the running
// nginx then reloads it and the command waits until the old workers are
// gone.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include "vesk/sites/ServerConfig.hpp"

namespace vesk::serving {

/// nginx's verdict: its exit status and its own words.
struct Verdict {
    int status = 0;
    std::string output;
};

/// nginx's verdict on the environment's main configuration with the site
/// blocks in `sitesDir`. nginx -t binds the ports it would listen on, which
/// only root may do below 1024: as the developer, it runs as root of a user
/// and network namespace of its own (whose loopback has no IPv6 address, so
/// the blocks it reads listen on IPv4 alone), where nothing else can be
/// reached.
Verdict check(const ServerConfig::Layout& layout, const std::string& sitesDir);

/// nginx refused the staged configuration; what() is its verdict.
class Refused : public std::runtime_error {
  public:
    explicit Refused(const std::string& verdict) : std::runtime_error(verdict) {}
};

/// One change of the site blocks.
class Transaction {
  public:
    /// Stages an empty set of blocks beside the live ones (`sitesDir()`.new).
    explicit Transaction(const ServerConfig::Layout& layout);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    /// A transaction not committed leaves the live blocks as they were.
    ~Transaction();

    /// A block of the new set, as file `name`.
    void add(const std::string& name, const std::string& text);
    /// Has nginx check the new set and swaps it in; throws Refused, and
    /// keeps the live blocks, when nginx does not accept it.
    void commit();

  private:
    const ServerConfig::Layout& layout_;
    std::string staged_;
    bool committed_ = false;
};

/// Writes `text` to `path` (replaced whole) unless it holds that already.
void writeIfChanged(const std::string& path, const std::string& text);

/// Has the master reload (`reload`) and waits, up to five seconds, until the
/// workers of its old configuration are gone: until then they may still
/// take a connection and answer it with the old sites.
void reloadAndWait(long master, const std::function<void()>& reload);

}  // namespace vesk::serving
