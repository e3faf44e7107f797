// --instruction_set=NAME on a benchmark's command line: runs the kernels of
// one instruction set (avx512, avx2, generic), and leaves the other arguments
// to Google Benchmark.
#ifndef TERRALUME_BENCH_INSTRUCTION_SET_FLAG_H
#define TERRALUME_BENCH_INSTRUCTION_SET_FLAG_H

#include "engine.h"

#include <cstdio>
#include <string>

namespace terralume::bench
{

// Takes the flag out of argv; false, with a message, when this processor does
// not run the set named.
inline bool take_instruction_set(int &argc, char **argv, const char *program)
{
    const std::string key = "--instruction_set=";
    for (int a = 1; a < argc; a++) {
        const std::string arg = argv[a];
        if (arg.rfind(key, 0) != 0)
            continue;
        if (!use_instruction_set(arg.substr(key.size()))) {
            std::fprintf(stderr, "%s: this processor does not run %s\n", program, arg.c_str() + key.size());
            return false;
        }
        for (int b = a; b + 1 < argc; b++)
            argv[b] = argv[b + 1];
        argc--;
        a--;
    }
    return true;
}

} // namespace terralume::bench

#endif
