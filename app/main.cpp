// terralume: illumination map of a terrain over a period of the year.
// The whole run is a dialogue on the console; see README.md.
#include "phases.h"
#include "signals.h"

#include <iostream>
#include <unistd.h>

int main()
{
    terralume::install_stop_handlers();
    terralume::Console con{std::cin, std::cout, isatty(STDIN_FILENO) != 0};
    return terralume::run_terralume(con, terralume::base_folder());
}
