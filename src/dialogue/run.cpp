#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace terralume
{

File::~File()
{
    if (f_ != nullptr)
        std::fclose(f_);
}

bool File::open(const std::string &path, const char *mode)
{
    path_ = path;
    reading_ = mode[0] == 'r';
    f_ = std::fopen(path.c_str(), mode);
    return f_ != nullptr;
}

void File::write(const void *data, size_t size)
{
    if (size != 0 && std::fwrite(data, 1, size, f_) != size)
        throw RunFailure(strf("\n\tCannot write %s (%s) \n", path_.c_str(), std::strerror(errno)));
}

size_t File::read(void *data, size_t size)
{
    const size_t got = std::fread(data, 1, size, f_);
    if (got != size && std::ferror(f_))
        throw RunFailure(strf("\n\tCannot read %s (%s) \n", path_.c_str(), std::strerror(errno)));
    return got;
}

void File::close()
{
    if (f_ == nullptr)
        return;
    const bool failed = std::ferror(f_) != 0;
    const int rc = std::fclose(f_);
    f_ = nullptr;
    if (failed || rc != 0)
        throw RunFailure(
            strf("\n\tCannot %s %s (%s) \n", reading_ ? "read" : "write", path_.c_str(), std::strerror(errno)));
}

void File::abandon()
{
    if (f_ != nullptr)
        std::fclose(f_);
    f_ = nullptr;
}

void Run::completed(const std::string &path)
{
    incomplete.erase(std::remove(incomplete.begin(), incomplete.end(), path), incomplete.end());
}

} // namespace terralume
