// A progress bar on a terminal: positions done, time elapsed and left,
// redrawn in place at most a few times a second.
#ifndef TERRALUME_CLI_PROGRESS_H
#define TERRALUME_CLI_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <ostream>

namespace terralume::cli
{

class Progress
{
  public:
    // Draws nothing unless `shown`.
    Progress(std::ostream &err, bool shown, size_t total);
    void update(size_t done);
    // Draws the full bar and ends its line.
    void finish();

  private:
    void draw(size_t done);
    std::ostream &err_;
    bool shown_;
    size_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

} // namespace terralume::cli

#endif
