#include "file.h"

#include "seams.h"
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace terralume
{

namespace
{

long failing_operation = 0;

// True when the test seam makes this output operation fail.
bool injected_failure() { return failing_operation > 0 && --failing_operation == 0; }

std::string folder_of(const std::string &path)
{
    const size_t cut = path.rfind('/');
    return cut == std::string::npos ? "" : path.substr(0, cut + 1);
}

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

void seams::fail_output_operation(long n) { failing_operation = n; }

OutputError::OutputError(std::string file_, std::string action_, int error_)
    : RunFailure(strf("\n\tCannot %s %s (%s) \n", action_.c_str(), file_.c_str(), std::strerror(error_))),
      file(std::move(file_)), action(std::move(action_)), error(error_)
{
}

LockHeld::LockHeld(const std::string &what, long pid_)
    : RunFailure(strf("\n\t%s is being written by another run (pid %ld) \n", what.c_str(), pid_)), pid(pid_)
{
}

void File::fail(const char *what, int err) const { throw OutputError(path_, what, err); }

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

void File::commit(std::initializer_list<File *> outputs, ResultLock *record)
{
    for (const File *o : outputs) {
        struct stat st {
        };
        if (stat(o->path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            o->fail("write", EISDIR);
    }
    if (record != nullptr && record->held()) {
        // Each earlier file is kept under a backup name beside it,
        // name.oldXXXXXX beside name.tmpXXXXXX.
        std::vector<CommitEntry> entries;
        std::vector<File *> committed;
        for (File *o : outputs) {
            if (o->slot_ < 0)
                continue; // not created, or committed already
            const std::string temp = tracked_path(o->slot_);
            entries.push_back(
                {o->path_, temp, temp.substr(0, temp.size() - 10) + ".old" + temp.substr(temp.size() - 6)});
            committed.push_back(o);
        }
        commit_entries(entries, *record);
        for (File *o : committed) {
            untrack_temporary(o->slot_);
            o->slot_ = -1;
        }
        return;
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

namespace
{

// FOLDER + NAME.lock; a name at the length limit is cut and told apart by a
// hash of the whole.
std::string lock_beside(const std::string &folder, std::string name)
{
    const long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const size_t longest = name_max > 0 ? static_cast<size_t>(name_max) : NAME_MAX;
    if (name.size() + 5 > longest) {
        uint32_t hash = 2166136261u;
        for (const char c : name)
            hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        name = name.substr(0, longest - 5 - 9) + strf("~%08x", hash);
    }
    return folder + name + ".lock";
}

} // namespace

std::string ResultLock::path_for(const std::string &image_path)
{
    // NAME_irra.raw -> NAME_irra.lock
    const std::string folder = folder_of(image_path);
    return lock_beside(folder, image_path.substr(folder.size(), image_path.size() - folder.size() - 4));
}

std::string ResultLock::path_beside(const std::string &output)
{
    // OUTPUT -> OUTPUT.lock
    const std::string folder = folder_of(output);
    return lock_beside(folder, output.substr(folder.size()));
}

void ResultLock::fail(const char *what, int err) const { throw OutputError(path_, what, err); }

void ResultLock::acquire(const std::string &lock_path, const std::string &what)
{
    release();
    path_ = lock_path;
    folder_ = folder_of(lock_path);
    // A lock file removed by the run that held it, between our opening and
    // locking it, is no lock: open the new one.
    for (int attempt = 0; fd_ < 0; attempt++) {
        const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            fail("create", errno);
        struct flock fl {
        };
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &fl) != 0) {
            const int err = errno;
            if (err != EACCES && err != EAGAIN) {
                ::close(fd);
                fail("lock", err);
            }
            fl = {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            const bool told = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
            ::close(fd);
            if (!told && attempt < 100)
                continue; // released meanwhile
            throw LockHeld(what, static_cast<long>(fl.l_pid));
        }
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            fd_ = fd;
        else if (attempt < 100)
            ::close(fd);
        else {
            ::close(fd);
            fail("lock", EAGAIN);
        }
    }
    slot_ = track_temporary(path_);
    if (slot_ < 0) {
        const int err = slot_ == kPathTooLong ? ENAMETOOLONG : EMFILE;
        slot_ = -1;
        release();
        fail("create", err);
    }
    recover();
}

void ResultLock::release()
{
    if (fd_ < 0)
        return;
    // Removed while still held; kept when it records a commit not undone.
    if (!pending_)
        unlink(path_.c_str());
    if (slot_ >= 0)
        untrack_temporary(slot_);
    slot_ = -1;
    ::close(fd_);
    fd_ = -1;
}

} // namespace terralume
