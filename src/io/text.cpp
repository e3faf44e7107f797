#include "text.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace terralume
{

std::string strf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string s;
    if (n > 0) {
        s.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(s.data(), s.size(), fmt, ap);
        s.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return s;
}

std::optional<int32_t> parse_int(const std::string &token)
{
    if (token.empty())
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(token.c_str(), &end, 10);
    if (errno != 0 || end != token.c_str() + token.size() || v < INT32_MIN || v > INT32_MAX)
        return std::nullopt;
    // strtoll skips leading blanks; a token has none, but be exact about it.
    if (token[0] != '-' && token[0] != '+' && (token[0] < '0' || token[0] > '9'))
        return std::nullopt;
    return static_cast<int32_t>(v);
}

std::optional<double> parse_double(const std::string &token)
{
    if (token.empty())
        return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

} // namespace terralume
