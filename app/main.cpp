// terralume: illumination map of a terrain over a period of the year.
// Without arguments the run is a dialogue on the console; with arguments it
// is a command line over GDAL rasters. See README.md.
#include "command_line.h"
#include "phases.h"
#include "signals.h"

#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace
{

// The OpenMP runtime reads its settings once, as it loads. Unless told
// otherwise, its threads wait for one another by spinning for a long while:
// on a machine whose other cores are busy, threads spinning for a partner
// that is not running slow a run several times over. So, unless the user set
// the waiting policy, the program starts itself again with short spins
// (threads then sleep), which cost nothing measurable on an idle machine.
void wait_briefly(char **argv)
{
    if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr)
        return;
    if (setenv("GOMP_SPINCOUNT", "1000", 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    // Where that is impossible the run goes on with the runtime's own waits.
}

} // namespace

int main(int argc, char **argv)
{
    wait_briefly(argv);
    if (argc > 1)
        return terralume::cli::run_command_line(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
    // The console has its own buffer; a terminal still sees every day of a
    // run as it ends (see pos_sol), and the answers flush the questions.
    std::ios::sync_with_stdio(false);
    terralume::install_stop_handlers();
    terralume::Console con{std::cin, std::cout, isatty(STDIN_FILENO) != 0};
    con.live = isatty(STDOUT_FILENO) != 0;
    return terralume::run_terralume(con, terralume::base_folder());
}
