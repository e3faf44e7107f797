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

namespace terralume
{

namespace
{

long failing_operation = 0;
long failing_step = 0;
bool crashing_step = false;

// True when the test seam makes this output operation fail.
bool injected_failure() { return failing_operation > 0 && --failing_operation == 0; }

// link or rename of a recorded commit, with the test seam's failures.
int commit_step(int (*step)(const char *, const char *), const std::string &from, const std::string &to)
{
    if (failing_step > 0 && --failing_step == 0) {
        if (crashing_step)
            _exit(99);
        failing_step = 1; // and every step after it
        errno = EPERM;
        return -1;
    }
    return step(from.c_str(), to.c_str());
}

std::string folder_of(const std::string &path)
{
    const size_t cut = path.rfind('/');
    return cut == std::string::npos ? "" : path.substr(0, cut + 1);
}

bool same_file(const std::string &a, const std::string &b)
{
    struct stat sa {
    }, sb{};
    return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Every write of a small record, whole.
bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return ftruncate(fd, static_cast<off_t>(text.size())) == 0 && fdatasync(fd) == 0;
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

void seams::fail_commit_step(long n, bool crash)
{
    failing_step = n;
    crashing_step = crash;
}

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

void File::commit(std::initializer_list<File *> outputs, ResultLock *record)
{
    for (const File *o : outputs) {
        struct stat st {
        };
        if (stat(o->path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            o->fail("write", EISDIR);
    }
    if (record != nullptr && record->held()) {
        commit_all_or_none(outputs, *record);
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

// The earlier files are kept under backup names beside them (a hard link,
// or the file itself moved where links cannot be made) until every output has
// its name. The record is written before the first step, so that a run
// stopped at any step is undone by the next.
void File::commit_all_or_none(std::initializer_list<File *> outputs, ResultLock &record)
{
    struct Step {
        File *o;
        std::string backup; // the earlier file's backup name; empty when none
        bool moved = false; // the earlier file moved to its backup name
        bool renamed = false;
    };
    std::vector<Step> steps;
    std::vector<ResultLock::Entry> entries;
    for (File *o : outputs) {
        if (o->slot_ < 0)
            continue; // not created, or committed already
        Step s{o, "", false, false};
        struct stat st {
        };
        const std::string temp = tracked_path(o->slot_);
        if (lstat(o->path_.c_str(), &st) == 0) // name.oldXXXXXX beside name.tmpXXXXXX
            s.backup = temp.substr(0, temp.size() - 10) + ".old" + temp.substr(temp.size() - 6);
        entries.push_back({o->path_.substr(folder_of(o->path_).size()), temp.substr(folder_of(temp).size()),
                           s.backup.empty() ? "-" : s.backup.substr(folder_of(s.backup).size())});
        steps.push_back(s);
    }
    begin_commit();
    // Puts the earlier files back, and returns the error to report.
    const auto undo = [&](const File *o, int err) {
        bool undone = true;
        for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
            if (s->renamed || s->moved)
                undone = (s->backup.empty() ? unlink(s->o->path_.c_str())
                                            : std::rename(s->backup.c_str(), s->o->path_.c_str())) == 0 &&
                         undone;
            else if (!s->backup.empty())
                unlink(s->backup.c_str());
        }
        if (undone)
            record.clear();
        else
            record.keep(); // for the next run
        end_commit();
        o->fail("write", err);
    };
    if (!record.record(true, entries)) {
        const int err = errno;
        record.clear();
        end_commit();
        record.fail("write", err);
    }
    for (Step &s : steps) {
        if (s.backup.empty())
            continue;
        if (commit_step(link, s.o->path_, s.backup) == 0)
            continue;
        const int err = errno;
        if ((err != EPERM && err != EOPNOTSUPP && err != EMLINK) || commit_step(std::rename, s.o->path_, s.backup) != 0)
            undo(s.o, err);
        s.moved = true;
    }
    for (Step &s : steps) {
        if (commit_step(std::rename, tracked_path(s.o->slot_), s.o->path_) != 0)
            undo(s.o, errno);
        s.renamed = true;
        untrack_temporary(s.o->slot_);
        s.o->slot_ = -1;
    }
    // Unrecorded, a crash now would only undo a complete commit.
    record.record(false, entries);
    for (const Step &s : steps)
        if (!s.backup.empty())
            (crashing_step ? commit_step([](const char *backup, const char *) { return unlink(backup); }, s.backup, "")
                           : unlink(s.backup.c_str()));
    record.clear();
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

std::string ResultLock::path_for(const std::string &image_path)
{
    // NAME_irra.raw -> NAME_irra.lock; a name at the length limit is cut and
    // told apart by a hash of the whole.
    const std::string folder = folder_of(image_path);
    std::string name = image_path.substr(folder.size(), image_path.size() - folder.size() - 4);
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

void ResultLock::fail(const char *what, int err) const
{
    throw RunFailure(strf("\n\tCannot %s %s (%s) \n", what, path_.c_str(), std::strerror(err)));
}

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
            throw RunFailure(
                strf("\n\t%s is being written by another run (pid %ld) \n", what.c_str(), static_cast<long>(fl.l_pid)));
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

bool ResultLock::record(bool undo, const std::vector<Entry> &entries)
{
    std::string text = undo ? "undo\n" : "remove\n";
    for (const Entry &e : entries)
        text += e.final_name + "\t" + e.temporary + "\t" + e.backup + "\n";
    text += "end\n";
    // A record cut short has no end line, and is not acted upon.
    pending_ = write_all(fd_, text);
    return pending_;
}

void ResultLock::clear()
{
    if (ftruncate(fd_, 0) == 0) {
        pending_ = false;
        return;
    }
    keep();
}

void ResultLock::keep()
{
    // Not removed on a stopping signal either.
    if (slot_ >= 0)
        untrack_temporary(slot_);
    slot_ = -1;
}

void ResultLock::recover()
{
    std::string text(65536, '\0');
    const ssize_t got = pread(fd_, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    const bool undo = text.rfind("undo\n", 0) == 0;
    if ((!undo && text.rfind("remove\n", 0) != 0) || text.size() < 4 || text.compare(text.size() - 4, 4, "end\n") != 0)
        return; // no commit was under way
    begin_commit();
    pending_ = true;
    bool done = true;
    size_t p = text.find('\n') + 1;
    for (size_t end; (end = text.find('\n', p)) != std::string::npos && text.compare(p, end - p, "end") != 0;
         p = end + 1) {
        const std::string line = text.substr(p, end - p);
        const size_t a = line.find('\t');
        const size_t b = line.find('\t', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            break;
        const std::string final_name = folder_ + line.substr(0, a);
        const std::string temp = folder_ + line.substr(a + 1, b - a - 1);
        const std::string backup = line.substr(b + 1) == "-" ? "" : folder_ + line.substr(b + 1);
        unlink(temp.c_str());
        if (undo && backup.empty())
            done = (unlink(final_name.c_str()) == 0 || errno == ENOENT) && done;
        else if (undo && !same_file(backup, final_name))
            done = (std::rename(backup.c_str(), final_name.c_str()) == 0 || errno == ENOENT) && done;
        else if (!backup.empty())
            unlink(backup.c_str());
    }
    if (done)
        clear();
    else
        keep();
    end_commit();
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
