#include "memory.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace terralume
{

namespace
{

uint64_t physical_memory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

// The first whole number of a file of /proc or /sys, if any ("max" is none).
std::optional<uint64_t> number_in(const std::string &path, const std::string &after = "")
{
    std::ifstream f(path);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = 0;
    if (!after.empty()) {
        p = text.find(after);
        if (p == std::string::npos)
            return std::nullopt;
        p += after.size();
    }
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t'))
        p++;
    if (p >= text.size() || !std::isdigit(static_cast<unsigned char>(text[p])))
        return std::nullopt;
    return std::strtoull(text.c_str() + p, nullptr, 10);
}

// Room left under a limit that `used` bytes count against.
uint64_t room(uint64_t limit, std::optional<uint64_t> used) { return limit - std::min(limit, used.value_or(0)); }

} // namespace

uint64_t memory_available()
{
    uint64_t available = physical_memory();
    if (const auto free = number_in("/proc/meminfo", "MemAvailable:"))
        available = std::min(available, *free * 1024);
    // The limits of the control groups of the process and of their parents.
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        const size_t a = line.find(':');
        const size_t b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        std::string controllers(1, ',');
        controllers.append(line, a + 1, b - a - 1).push_back(',');
        const bool v2 = controllers.size() == 2;
        if (!v2 && controllers.find(",memory,") == std::string::npos)
            continue;
        const std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
        for (std::string path = line.substr(b + 1);; path = path.substr(0, path.rfind('/'))) {
            std::string dir = root;
            if (path != "/")
                dir += path;
            if (const auto limit = number_in(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes")))
                available = std::min(
                    available, room(*limit, number_in(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"))));
            if (path.empty() || path == "/")
                break;
        }
    }
    // ulimit -v, less the address space the process uses already.
    rlimit as{};
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
        const auto pages = number_in("/proc/self/statm");
        available = std::min(available, room(as.rlim_cur, pages.value_or(0) * sysconf(_SC_PAGESIZE)));
    }
    return available;
}

} // namespace terralume
