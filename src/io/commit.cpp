#include "commit.h"

#include "seams.h"
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace terralume
{

namespace
{

namespace fs = std::filesystem;

long failing_step = 0;
bool crashing_step = false;
long failing_sync = 0;

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

// fsync of `path` (a file or a folder); false with errno set when it fails.
bool sync_path(const std::string &path)
{
    if (failing_sync > 0 && --failing_sync == 0) {
        errno = EIO;
        return false;
    }
    const int fd = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    const int err = errno;
    close(fd);
    errno = err;
    return synced;
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

bool is_folder(const std::string &path)
{
    struct stat st {
    };
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// device:inode of `path`, not following a link; empty when it is not there.
std::string identity_of(const std::string &path)
{
    struct stat st {
    };
    if (lstat(path.c_str(), &st) != 0)
        return "";
    return strf("%llu:%llu", static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
}

// Removes a file, or a folder with all it holds; true when it is gone.
bool remove_any(const std::string &path)
{
    if (is_folder(path))
        return remove_tree(path.c_str());
    return unlink(path.c_str()) == 0 || errno == ENOENT;
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

// Names in a record: a tab, a line end and the backslash escaped.
std::string escaped(const std::string &name)
{
    std::string e;
    for (const char c : name)
        e += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : std::string(1, c);
    return e;
}

std::string unescaped(const std::string &text)
{
    std::string u;
    for (size_t k = 0; k < text.size(); k++) {
        if (text[k] != '\\' || k + 1 == text.size()) {
            u += text[k];
            continue;
        }
        const char c = text[++k];
        u += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
    return u;
}

std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> f;
    for (size_t p = 0;;) {
        const size_t tab = line.find('\t', p);
        f.push_back(line.substr(p, tab == std::string::npos ? std::string::npos : tab - p));
        if (tab == std::string::npos)
            return f;
        p = tab + 1;
    }
}

} // namespace

void seams::fail_commit_step(long n, bool crash)
{
    failing_step = n;
    crashing_step = crash;
}

void seams::fail_sync(long n) { failing_sync = n; }

void commit_entries(const std::vector<CommitEntry> &entries, ResultLock &record, const std::string &staging)
{
    struct Step {
        const CommitEntry *e;
        bool earlier = false; // a file of the final name was there
        bool folder = false;  // the entry is a folder
        bool moved = false;   // the earlier file moved to its backup name
        bool renamed = false;
    };
    const std::string &base = record.folder();
    const auto relative = [&](const std::string &path) { return path.substr(std::min(base.size(), path.size())); };
    std::vector<Step> steps;
    std::vector<ResultLock::Entry> recorded;
    std::set<std::string> folders;
    for (const CommitEntry &e : entries) {
        Step s{&e};
        struct stat st {
        };
        s.earlier = lstat(e.final_path.c_str(), &st) == 0;
        if (!s.earlier && e.temporary.empty())
            continue; // nothing to remove
        s.folder = !e.temporary.empty() && is_folder(e.temporary);
        // A folder in the place of a file is not replaced.
        if (s.earlier && S_ISDIR(st.st_mode) && !s.folder)
            throw OutputError(e.final_path, "write", EISDIR);
        recorded.push_back({relative(e.final_path), relative(e.temporary), s.earlier ? relative(e.backup) : "-",
                            e.temporary.empty() ? "" : identity_of(e.temporary)});
        folders.insert(folder_of(e.final_path));
        steps.push_back(s);
    }
    begin_commit();
    // Puts the earlier files back, and reports the error.
    const auto undo = [&](const CommitEntry &at, int err) {
        bool undone = true;
        for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
            const CommitEntry &e = *s->e;
            if (s->renamed && s->folder)
                undone = std::rename(e.final_path.c_str(), e.temporary.c_str()) == 0 && undone;
            if ((s->renamed || s->moved) && !s->earlier)
                undone = remove_any(e.final_path) && undone;
            else if (s->renamed || s->moved)
                undone = std::rename(e.backup.c_str(), e.final_path.c_str()) == 0 && undone;
            else if (s->earlier)
                unlink(e.backup.c_str());
        }
        if (undone)
            record.clear();
        else
            record.keep(); // for the next run
        end_commit();
        throw OutputError(at.final_path, "write", err);
    };
    if (!record.record(true, recorded, relative(staging))) {
        const int err = errno;
        record.clear();
        end_commit();
        record.fail("write", err);
    }
    for (Step &s : steps) {
        if (!s.earlier)
            continue;
        if (!s.folder && commit_step(link, s.e->final_path, s.e->backup) == 0)
            continue;
        const int err = s.folder ? EPERM : errno;
        if ((err != EPERM && err != EOPNOTSUPP && err != EMLINK) ||
            commit_step(std::rename, s.e->final_path, s.e->backup) != 0)
            undo(*s.e, err);
        s.moved = true;
    }
    for (Step &s : steps) {
        // An entry without a temporary is an earlier file that goes.
        const bool gone = s.e->temporary.empty();
        if (gone && !s.moved &&
            commit_step([](const char *final_path, const char *) { return unlink(final_path); }, s.e->final_path, "") !=
                0)
            undo(*s.e, errno);
        else if (!gone && commit_step(std::rename, s.e->temporary, s.e->final_path) != 0)
            undo(*s.e, errno);
        s.renamed = true;
    }
    // The new names on the disk before the earlier files go.
    for (const std::string &folder : folders)
        if (!sync_path(folder))
            undo(*steps.front().e, errno);
    // Unrecorded, a crash now would only undo a complete commit.
    record.record(false, recorded, relative(staging));
    for (const Step &s : steps)
        if (s.earlier)
            (crashing_step ? commit_step([](const char *backup, const char *) { return remove_any(backup) ? 0 : -1; },
                                         s.e->backup, "")
                           : (remove_any(s.e->backup) ? 0 : -1));
    record.clear();
    end_commit();
}

bool ResultLock::record(bool undo, const std::vector<Entry> &entries, const std::string &staging)
{
    std::string text = undo ? "undo2\n" : "remove2\n";
    for (const Entry &e : entries)
        text += escaped(e.final_name) + "\t" + escaped(e.temporary) + "\t" + escaped(e.backup) + "\t" +
                escaped(e.identity) + "\n";
    if (!staging.empty())
        text += "staging\t" + escaped(staging) + "\n";
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

// A record of the first layout ("undo" / "remove") names files beside the
// lock file, escapes nothing and has no identities: every new file found is
// taken as the commit's.
void ResultLock::recover()
{
    std::string text(65536, '\0');
    const ssize_t got = pread(fd_, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    const size_t first = text.find('\n');
    const std::string head = text.substr(0, first);
    const bool undo = head == "undo" || head == "undo2";
    const bool second = head == "undo2" || head == "remove2";
    if ((!undo && head != "remove" && head != "remove2") || text.size() < 4 ||
        text.compare(text.size() - 4, 4, "end\n") != 0)
        return; // no commit was under way
    begin_commit();
    pending_ = true;
    bool done = true;
    std::string staging;
    for (size_t p = first + 1, end; (end = text.find('\n', p)) != std::string::npos; p = end + 1) {
        const std::string line = text.substr(p, end - p);
        if (line == "end")
            break;
        std::vector<std::string> f = fields(line);
        if (second && f.size() == 2 && f[0] == "staging") {
            staging = folder_ + unescaped(f[1]);
            continue;
        }
        if (f.size() < 3)
            break;
        if (second)
            for (std::string &v : f)
                v = unescaped(v);
        const std::string final_name = folder_ + f[0];
        const std::string temp = folder_ + f[1];
        const std::string backup = f[2] == "-" ? "" : folder_ + f[2];
        // The new file in place: the final name is the one the commit made.
        const bool is_new = !second || (f.size() > 3 && !f[3].empty() && identity_of(final_name) == f[3] &&
                                        !same_file(temp, final_name));
        if (!f[1].empty())
            remove_any(temp);
        if (undo && backup.empty()) {
            if (is_new)
                done = remove_any(final_name) && done;
        } else if (undo && !same_file(backup, final_name) && (is_new || access(final_name.c_str(), F_OK) != 0)) {
            if (is_folder(backup) && is_folder(final_name))
                done = remove_any(final_name) && done;
            done = (std::rename(backup.c_str(), final_name.c_str()) == 0 || errno == ENOENT) && done;
        } else if (!backup.empty()) {
            remove_any(backup);
        }
    }
    if (done && !staging.empty())
        remove_tree(staging.c_str());
    if (done)
        clear();
    else
        keep();
    end_commit();
}

void StagedSet::create(const std::string &output)
{
    abandon();
    folder_ = folder_of(output);
    const std::string name = output.substr(folder_.size());
    const long name_max = pathconf(folder_.empty() ? "." : folder_.c_str(), _PC_NAME_MAX);
    const size_t longest = name_max > 0 ? static_cast<size_t>(name_max) : NAME_MAX;
    // .NAME.tmpXXXXXX, shortened to fit when the name is near the limit.
    const std::string suffix = ".tmpXXXXXX";
    std::string temp = folder_ + "." + name.substr(0, longest - std::min(longest, suffix.size() + 1)) + suffix;
    slot_ = track_temporary(temp, true);
    if (slot_ < 0) {
        const int err = slot_ == kPathTooLong ? ENAMETOOLONG : EMFILE;
        slot_ = -1;
        throw OutputError(output, "create", err);
    }
    if (mkdtemp(tracked_path(slot_)) == nullptr) {
        const int err = errno;
        untrack_temporary(slot_);
        slot_ = -1;
        throw OutputError(output, "create", err);
    }
    staging_ = std::string(tracked_path(slot_)) + "/";
    areas_.clear();
    gone_.clear();
}

std::string StagedSet::area(size_t k)
{
    const std::string a = staging_ + std::to_string(k) + "/";
    if (k >= areas_.size())
        areas_.resize(k + 1, false);
    if (!areas_[k]) {
        if (mkdir(a.c_str(), 0777) != 0 && errno != EEXIST)
            throw OutputError(a, "create", errno);
        areas_[k] = true;
    }
    return a;
}

void StagedSet::remove_at_commit(const std::string &name) { gone_.push_back(name); }

std::vector<CommitEntry> StagedSet::entries() const
{
    std::vector<CommitEntry> e;
    std::map<std::string, size_t> seen;
    for (size_t k = 0; k < areas_.size(); k++) {
        if (!areas_[k])
            continue;
        const std::string a = staging_ + std::to_string(k) + "/";
        std::error_code ec;
        std::vector<std::string> names;
        for (const auto &d : fs::directory_iterator(a, ec))
            names.push_back(d.path().filename().string());
        if (ec)
            throw OutputError(a, "read", ec.value());
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            if (!seen.emplace(n, k).second)
                throw OutputError(folder_ + n, "write", EEXIST);
            e.push_back({folder_ + n, a + n, staging_ + "old/" + n});
        }
    }
    for (const std::string &n : gone_)
        if (seen.count(n) == 0)
            e.push_back({folder_ + n, "", staging_ + "old/" + n});
    return e;
}

void StagedSet::commit(ResultLock &record)
{
    const std::vector<CommitEntry> e = entries();
    if (!e.empty() && mkdir((staging_ + "old").c_str(), 0777) != 0 && errno != EEXIST)
        throw OutputError(e.front().final_path, "write", errno);
    // Every file and folder staged, then the areas and the staging folder.
    for (const CommitEntry &c : e) {
        if (c.temporary.empty())
            continue;
        std::error_code ec;
        std::vector<std::string> paths = {c.temporary};
        if (is_folder(c.temporary))
            for (auto it = fs::recursive_directory_iterator(c.temporary, ec); !ec && it != fs::end(it);
                 it.increment(ec))
                paths.push_back(it->path().string());
        if (ec)
            throw OutputError(c.final_path, "write", ec.value());
        // Folders after what they hold.
        std::stable_partition(paths.begin(), paths.end(), [](const std::string &p) { return !is_folder(p); });
        for (const std::string &p : paths)
            if (!sync_path(p))
                throw OutputError(c.final_path, "write", errno);
    }
    for (size_t k = 0; k < areas_.size(); k++)
        if (areas_[k] && !sync_path(staging_ + std::to_string(k)))
            throw OutputError(e.empty() ? folder_ : e.front().final_path, "write", errno);
    if (!sync_path(staging_))
        throw OutputError(e.empty() ? folder_ : e.front().final_path, "write", errno);
    try {
        commit_entries(e, record, staging_.substr(0, staging_.size() - 1));
    } catch (const OutputError &) {
        // Backups that could not be put back stay for the next run.
        if (record.pending()) {
            untrack_temporary(slot_);
            slot_ = -1;
        }
        throw;
    }
    abandon();
}

void StagedSet::abandon()
{
    if (slot_ < 0)
        return;
    remove_tree(tracked_path(slot_));
    untrack_temporary(slot_);
    slot_ = -1;
    areas_.clear();
}

} // namespace terralume
