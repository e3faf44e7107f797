#include "console.h"
#include "signals.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <locale>
#include <ostream>
#include <termios.h>
#include <unistd.h>

namespace terralume
{

ConsoleBuf::ConsoleBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }

bool ConsoleBuf::drain()
{
    const char *p = pbase();
    while (p < pptr() && error_ == 0) {
        const ssize_t n = ::write(fd_, p, static_cast<size_t>(pptr() - p));
        if (n > 0)
            p += n;
        else if (n < 0 && errno != EINTR)
            error_ = errno;
        else if (n == 0)
            error_ = EIO;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
}

ConsoleBuf::int_type ConsoleBuf::overflow(int_type c)
{
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

int ConsoleBuf::sync() { return drain() ? 0 : -1; }

namespace
{

std::string next_token(Console &con, const std::string &prompt, const std::string &question)
{
    con.out << prompt;
    con.out.flush();
    // As `in >> token` reads, blanks skipped and the one after the token
    // left, but no further than an answer can sensibly go.
    std::string token;
    const std::istream::sentry ready(con.in);
    std::streambuf *in = con.in.rdbuf();
    const auto &blanks = std::use_facet<std::ctype<char>>(con.in.getloc());
    while (ready) {
        const std::streambuf::int_type c = in->sgetc();
        if (std::streambuf::traits_type::eq_int_type(c, std::streambuf::traits_type::eof())) {
            con.in.setstate(std::ios::eofbit);
            break;
        }
        const char ch = std::streambuf::traits_type::to_char_type(c);
        if (blanks.is(std::ctype_base::space, ch))
            break;
        if (token.size() == kAnswerMaxBytes)
            throw RunFailure(
                strf("\n\tThe answer to \"%s\" is longer than %zu characters \n", question.c_str(), kAnswerMaxBytes));
        token += ch;
        in->sbumpc();
    }
    if (token.empty()) {
        con.in.setstate(std::ios::failbit);
        throw RunFailure(strf("\n\tThe input ended while waiting for the answer to \"%s\" \n", question.c_str()));
    }
    return token;
}

template <typename T, typename Parse>
T ask_number(Console &con, const std::string &prompt, const std::string &question, Parse parse)
{
    for (;;) {
        if (const std::optional<T> v = parse(next_token(con, prompt, question)))
            return *v;
    }
}

} // namespace

std::string ask_word(Console &con, const std::string &prompt, const std::string &question)
{
    return next_token(con, prompt, question);
}

int32_t ask_int(Console &con, const std::string &prompt, const std::string &question)
{
    return ask_number<int32_t>(con, prompt, question, parse_int);
}

double ask_double(Console &con, const std::string &prompt, const std::string &question)
{
    return ask_number<double>(con, prompt, question, parse_double);
}

void wait_key(Console &con)
{
    con.out.flush();
    if (con.terminal) {
        termios saved{};
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            // A signal while the key is awaited puts the terminal back too.
            restore_terminal_on_stop(&saved);
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            char c = 0;
            [[maybe_unused]] const ssize_t got = read(STDIN_FILENO, &c, 1);
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            restore_terminal_on_stop(nullptr);
            return;
        }
    }
    con.in.get();
}

} // namespace terralume
