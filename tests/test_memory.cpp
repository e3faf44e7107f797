// The memory check against what a whole run really takes: the terralume
// executable runs one day on a square and on a thin model, and its peak
// resident memory must stay within what the check counts (the run's grids
// and the engine's, allocator overhead included) plus the program itself.
#include "phases.h"
#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

// Peak resident bytes of terralume run on `base` with `answers`; -1 when it
// failed.
long long peak_of_run(const std::string &base, const fs::path &answers)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(answers.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        setenv("TERRALUME_IMAGES", base.c_str(), 1);
        execl(TL_TERRALUME, TL_TERRALUME, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

} // namespace

// A model of nb_lig x nb_col samples and the answers of a one-day run on it.
void write_model(const Scratch &s, int32_t nb_lig, int32_t nb_col)
{
    const size_t cells = static_cast<size_t>(nb_lig) * static_cast<size_t>(nb_col);
    std::vector<uint16_t> samples(cells);
    for (size_t k = 0; k < cells; k++)
        samples[k] = static_cast<uint16_t>(200 + (k * 7919) % 500);
    write_file(s.root() / "m/d_m2.raw", samples16(samples));
    write_file(s.root() / "m/d_m2.txt", strf("%d %d 2 200 700 30", nb_lig, nb_col));
    write_file(s.root() / "answers.txt", "m d 0 0 0 30 45 50 2 21 6 21 6");
}

TEST(Memory, TheCheckCoversWhatARunTakes)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's own memory would be counted as the run's";
#endif
    // The program itself, its libraries and its threads' stacks: a run on
    // a model of four cells.
    long long program = 0;
    {
        Scratch s;
        write_model(s, 2, 2);
        program = peak_of_run(s.base(), s.root() / "answers.txt");
        ASSERT_GT(program, 0);
    }
    // Thin models stay short: at noon the rays from their long sides run
    // along one another, so a run's work grows with the square of the side.
    const struct {
        int32_t nb_lig, nb_col;
    } shapes[] = {{700, 700}, {30000, 1}, {1, 30000}};
    for (const auto &shape : shapes) {
        Scratch s;
        write_model(s, shape.nb_lig, shape.nb_col);
        const long long peak = peak_of_run(s.base(), s.root() / "answers.txt");
        ASSERT_GT(peak, 0) << shape.nb_lig << " x " << shape.nb_col;
        const long long counted = static_cast<long long>(run_bytes(shape.nb_lig, shape.nb_col, 0, EngineKind::Fast));
        EXPECT_LE(peak - program, counted + (1 << 20)) << shape.nb_lig << " x " << shape.nb_col << ": peak " << peak
                                                       << ", program " << program << ", counted " << counted;
    }
    // A thin grid costs more a cell than a square one: a line pointer a line
    // in every grid.
    EXPECT_GT(run_bytes(30000, 1, 0, EngineKind::Fast) / 30000, run_bytes(700, 700, 0, EngineKind::Fast) / 490000 + 40);
}
