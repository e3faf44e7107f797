// The command line run in-process for the tests: its exit status and what it
// printed on each stream.
#ifndef TERRALUME_TESTS_CLI_SUPPORT_H
#define TERRALUME_TESTS_CLI_SUPPORT_H

#include "command_line.h"

#include <sstream>
#include <string>
#include <vector>

namespace terralume::test
{

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

// `terralume ARGS...`, without a terminal.
inline CliResult run_cli(std::vector<std::string> args)
{
    args.insert(args.begin(), "terralume");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = cli::run_command_line(static_cast<int>(argv.size()), argv.data(), out, err, false);
    return {status, out.str(), err.str()};
}

} // namespace terralume::test

#endif
