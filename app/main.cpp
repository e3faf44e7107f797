// terralume: illumination map of a terrain over a period of the year.
// Without arguments the run is a dialogue on the console; with arguments it
// is a command line over GDAL rasters. See README.md.
#include "command_line.h"
#include "parallel.h"
#include "phases.h"
#include "signals.h"

#include <cstdlib>
#include <iostream>
#include <unistd.h>

int main(int argc, char **argv)
{
    terralume::restart_with_short_waits(argv);
    if (argc > 1)
        return terralume::cli::run_command_line(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
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
