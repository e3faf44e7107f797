// Text of the programs' messages and answers: the one-line failure that ends
// a run, printf-style formatting, and whole-token number parsers.
#ifndef TERRALUME_IO_TEXT_H
#define TERRALUME_IO_TEXT_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace terralume
{

// A failure that ends the run with exit status 1. The message (possibly empty
// when it was printed already) goes to the console.
class RunFailure : public std::runtime_error
{
  public:
    explicit RunFailure(const std::string &message) : std::runtime_error(message) {}
};

// printf-style formatting into a string.
std::string strf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Whole-token parsers: the whole token must be the number. Integers must fit
// 32 bits; decimals must be finite.
std::optional<int32_t> parse_int(const std::string &token);
std::optional<double> parse_double(const std::string &token);

// The longest answer taken; a longer one ends the run.
constexpr size_t kAnswerMaxBytes = 65536;

} // namespace terralume

#endif
