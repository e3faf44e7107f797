// A whole run of a program measured from outside, for the benchmarks that
// time terralume as a user starts it: standard input from a file, standard
// output to /dev/null, the base folder in TERRALUME_IMAGES.
#ifndef TERRALUME_TOOLS_WHOLE_RUN_H
#define TERRALUME_TOOLS_WHOLE_RUN_H

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace terralume::tools
{

struct RunMeasure {
    bool ok = false; // the program ended with status 0
    double wall = 0; // [s]
    double cpu = 0;  // user and system time [s]
    double peak = 0; // resident memory at its largest [byte]
};

// Runs args[0] with the arguments args[1..].
inline RunMeasure measure_run(const std::vector<std::string> &args, const std::string &input, const std::string &images)
{
    RunMeasure m;
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return m;
    if (pid == 0) {
        const int in = open(input.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0)
            _exit(127);
        setenv("TERRALUME_IMAGES", images.c_str(), 1);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return m;
    m.ok = true;
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.cpu =
        usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
    m.peak = usage.ru_maxrss * 1024.0;
    return m;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace terralume::tools

#endif
