// terralume: illumination map of a terrain over a period of the year.
// Without arguments the run is a dialogue on the console; with arguments it
// is the command line over GDAL rasters, the program terralume-cli beside
// this one, so that the dialogue never loads GDAL's libraries. See README.md.
#include "phases.h"
#include "signals.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace
{

// Starts terralume-cli from this program's folder with the same arguments
// (and the environment, short waits included: app/short_waits.cpp); returns
// only when it cannot.
int command_line(char **argv)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string cli = "terralume-cli";
    if (n > 0) {
        self[n] = '\0';
        const std::string path(self);
        cli = path.substr(0, path.rfind('/') + 1) + cli;
    }
    execv(cli.c_str(), argv);
    std::fprintf(stderr, "terralume: cannot start the command line %s (%s)\n", cli.c_str(), std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1)
        return command_line(argv);
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
