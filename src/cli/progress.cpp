#include "progress.h"

#include <cstdio>
#include <string>

namespace terralume::cli
{

namespace
{

std::string clock_time(double seconds)
{
    const long s = static_cast<long>(seconds + 0.5);
    char t[32];
    if (s >= 3600)
        std::snprintf(t, sizeof t, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(t, sizeof t, "%ld:%02ld", s / 60, s % 60);
    return t;
}

} // namespace

Progress::Progress(std::ostream &err, bool shown, size_t total)
    : err_(err), shown_(shown && total > 0), total_(total), start_(std::chrono::steady_clock::now()), last_(start_)
{
}

void Progress::update(size_t done)
{
    if (!shown_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200))
        return;
    last_ = now;
    draw(done);
}

void Progress::finish()
{
    if (!shown_)
        return;
    draw(total_);
    err_ << "\n";
    err_.flush();
}

void Progress::draw(size_t done)
{
    constexpr int kWidth = 30;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const int filled = static_cast<int>(kWidth * done / total_);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    std::string left = "?";
    if (done > 0)
        left = clock_time(elapsed * static_cast<double>(total_ - done) / static_cast<double>(done));
    err_ << "\r[" << bar << "] " << done << "/" << total_ << " sun positions, " << clock_time(elapsed) << " elapsed, "
         << left << " left ";
    err_.flush();
}

} // namespace terralume::cli
