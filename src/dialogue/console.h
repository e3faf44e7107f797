// The operator's console: answers read as whitespace-separated tokens from an
// input stream, prompts and progress written to an output stream.
#ifndef TERRALUME_DIALOGUE_CONSOLE_H
#define TERRALUME_DIALOGUE_CONSOLE_H

#include "text.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace terralume
{

struct Console {
    std::istream &in;
    std::ostream &out;
    // True when `in` is the process's terminal: a key press is then read
    // straight from it, without echo and without waiting for a line end.
    bool terminal = false;
    // True when `out` is a terminal: progress is then shown as it happens.
    bool live = false;
};

// The console output on a file descriptor, buffered. A write that fails
// (a full disk, a reader gone while SIGPIPE is ignored) is remembered, and
// what follows is dropped: the run goes on without a console.
class ConsoleBuf : public std::streambuf
{
  public:
    explicit ConsoleBuf(int fd);
    ConsoleBuf(const ConsoleBuf &) = delete;
    ConsoleBuf &operator=(const ConsoleBuf &) = delete;
    ~ConsoleBuf() override { sync(); }
    // The errno of the first write that failed; 0 while none has.
    int error() const { return error_; }

  protected:
    int_type overflow(int_type c) override;
    int sync() override;

  private:
    bool drain();
    int fd_;
    int error_ = 0;
    char buffer_[65536];
};

// Each ask prints `prompt`, flushes, and reads one token. At the end of the
// input it throws RunFailure naming `question`. A numeric question answered
// with a token that is not a number drops the token and asks again (prompt
// included).
std::string ask_word(Console &con, const std::string &prompt, const std::string &question);
int32_t ask_int(Console &con, const std::string &prompt, const std::string &question);
double ask_double(Console &con, const std::string &prompt, const std::string &question);

// Waits for one key: on a terminal one key read without echo; otherwise one
// character if there is one. Never blocks at the end of the input.
void wait_key(Console &con);

} // namespace terralume

#endif
