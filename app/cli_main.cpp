// terralume-cli: the command line of terralume over GDAL rasters, started by
// terralume when it is given arguments. See README.md.
#include "command_line.h"
#include "signals.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char **argv)
{
    // A stopping signal removes the outputs not yet committed; a write past
    // the file-size limit fails like any other.
    terralume::install_stop_handlers(terralume::StopLayout::CommandLine);
    return terralume::cli::run_command_line(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
