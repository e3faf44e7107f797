// terralume: illumination map of a terrain over a period of the year.
// The whole run is a dialogue on the console; see README.md.
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

int main(int, char **argv)
{
    wait_briefly(argv);
    // The console has its own buffer; a terminal still sees every day of a
    // run as it ends (see pos_sol), and the answers flush the questions.
    std::ios::sync_with_stdio(false);
    terralume::install_stop_handlers();
    terralume::ConsoleBuf console(STDOUT_FILENO);
    std::ostream out(&console);
    terralume::Console con{std::cin, out, isatty(STDIN_FILENO) != 0};
    con.live = isatty(STDOUT_FILENO) != 0;
    return terralume::run_terralume(con, terralume::base_folder());
}
