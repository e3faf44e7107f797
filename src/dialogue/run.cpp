#include "run.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace terralume
{

void release_free_memory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

namespace
{

long failing_operation = 0;

// True when the test seam makes this output operation fail.
bool injected_failure() { return failing_operation > 0 && --failing_operation == 0; }

mode_t process_umask()
{
    static const mode_t mask = [] {
        const mode_t m = umask(0);
        umask(m);
        return m;
    }();
    return mask;
}

} // namespace

void File::fail_output_operation(long n) { failing_operation = n; }

void File::fail(const char *what, int err) const
{
    throw RunFailure(strf("\n\tCannot %s %s (%s) \n", what, path_.c_str(), std::strerror(err)));
}

bool File::open(const std::string &path, const char *mode)
{
    abandon();
    path_ = path;
    reading_ = mode[0] == 'r';
    f_ = std::fopen(path.c_str(), mode);
    return f_ != nullptr;
}

void File::create(const std::string &path)
{
    abandon();
    path_ = path;
    reading_ = false;
    const size_t cut = path.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : path.substr(0, cut + 1);
    const std::string name = path.substr(folder.size());

    // What would only show when the file is renamed, after the whole
    // computation, is looked for now.
    struct stat st {
    };
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        fail("create", EISDIR);
    const long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const size_t longest = name_max > 0 ? static_cast<size_t>(name_max) : NAME_MAX;
    if (name.size() > longest)
        fail("create", ENAMETOOLONG);

    // name.tmpXXXXXX, shortened to fit when the name is near the limit.
    const std::string suffix = ".tmpXXXXXX";
    const std::string temp = folder + name.substr(0, longest - std::min(longest, suffix.size())) + suffix;
    slot_ = track_temporary(temp);
    if (slot_ < 0) {
        const int err = slot_ == kPathTooLong ? ENAMETOOLONG : EMFILE;
        slot_ = -1;
        fail("create", err);
    }
    const int fd = mkstemp(tracked_path(slot_));
    if (fd < 0) {
        const int err = errno;
        untrack_temporary(slot_);
        slot_ = -1;
        fail("create", err);
    }
    // mkstemp makes the file private; an output gets the usual permissions.
    if (fchmod(fd, 0666 & ~process_umask()) != 0 || (f_ = fdopen(fd, "w")) == nullptr) {
        const int err = errno;
        ::close(fd);
        abandon();
        fail("create", err);
    }
}

std::string File::temporary() const { return slot_ >= 0 ? std::string(tracked_path(slot_)) : std::string(); }

void File::write(const void *data, size_t size)
{
    if (size == 0)
        return;
    if (injected_failure())
        fail("write", ENOSPC);
    if (std::fwrite(data, 1, size, f_) != size)
        fail("write", errno);
}

size_t File::read(void *data, size_t size)
{
    const size_t got = std::fread(data, 1, size, f_);
    if (got != size && std::ferror(f_))
        fail("read", errno);
    return got;
}

void File::close()
{
    if (f_ == nullptr)
        return;
    FILE *f = f_;
    f_ = nullptr;
    int err = std::ferror(f) != 0 ? EIO : 0;
    if (!reading_ && err == 0) {
        if (injected_failure())
            err = ENOSPC;
        else if (std::fflush(f) != 0 || (slot_ >= 0 && fsync(fileno(f)) != 0))
            err = errno;
    }
    if (std::fclose(f) != 0 && err == 0)
        err = errno;
    if (err != 0)
        fail(reading_ ? "read" : "write", err);
}

void File::commit(std::initializer_list<File *> outputs)
{
    for (const File *o : outputs) {
        struct stat st {
        };
        if (stat(o->path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            o->fail("write", EISDIR);
    }
    begin_commit();
    for (File *o : outputs) {
        if (o->slot_ < 0)
            continue; // not created, or committed already
        if (std::rename(tracked_path(o->slot_), o->path_.c_str()) != 0) {
            const int err = errno;
            end_commit();
            o->fail("write", err);
        }
        untrack_temporary(o->slot_);
        o->slot_ = -1;
    }
    end_commit();
}

void File::abandon()
{
    if (f_ != nullptr)
        std::fclose(f_);
    f_ = nullptr;
    if (slot_ >= 0) {
        unlink(tracked_path(slot_));
        untrack_temporary(slot_);
        slot_ = -1;
    }
}

} // namespace terralume
