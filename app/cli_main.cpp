// terralume-cli: the command line of terralume over GDAL rasters, started by
// terralume when it is given arguments. See README.md.
#include "command_line.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char **argv)
{
    return terralume::cli::run_command_line(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
