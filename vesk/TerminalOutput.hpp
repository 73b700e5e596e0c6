// What the vesk command prints for people: every byte of it passes through
// here, so that text from outside (dumps, log lines, frame names, site and
// file names) reaches the terminal with its control characters visible and
// inert. Output for scripts (--json) is left exact.
#pragma once

#include <streambuf>
#include <string>

namespace vesk::cli {

/// A stream buffer that writes what it is given to `target`, made safe for
/// a terminal (`Unicode::appendTerminalSafe`); a UTF-8 sequence split
/// between two writes is kept until its end arrives.
class TerminalSafeBuffer : public std::streambuf {
  public:
    explicit TerminalSafeBuffer(std::streambuf* target) : target_(target) {}
    TerminalSafeBuffer(const TerminalSafeBuffer&) = delete;
    TerminalSafeBuffer& operator=(const TerminalSafeBuffer&) = delete;
    ~TerminalSafeBuffer() override;

    /// Writes everything held, an incomplete sequence at the end included.
    void finish();

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    void drain(bool more);

    std::streambuf* target_;
    std::string pending_;
    std::string out_;
};

/// While it lives, std::cout and std::cerr are made safe for a terminal
/// (unless `exact`); restored, with everything written, when it goes.
class TerminalSafeOutput {
  public:
    explicit TerminalSafeOutput(bool exact);
    TerminalSafeOutput(const TerminalSafeOutput&) = delete;
    TerminalSafeOutput& operator=(const TerminalSafeOutput&) = delete;
    ~TerminalSafeOutput();

  private:
    TerminalSafeBuffer out_;
    TerminalSafeBuffer err_;
    std::streambuf* originalOut_;
    std::streambuf* originalErr_;
    bool installed_;
};

}  // namespace vesk::cli
