// Files of a run: streams that report every failure as a RunFailure naming
// the file, outputs written under temporary names and committed together, and
// the lock that keeps two runs off one result.
#ifndef TERRALUME_IO_FILE_H
#define TERRALUME_IO_FILE_H

#include "text.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace terralume
{

// A file that cannot be created, written or committed: the RunFailure of the
// dialogue's layout, with the file, the action and the error apart for the
// command line's own.
class OutputError : public RunFailure
{
  public:
    OutputError(std::string file, std::string action, int error);
    std::string file;   // the path at fault
    std::string action; // "create", "write", "lock"...
    int error;          // errno
};

class ResultLock;

// One file or folder of a commit: the final name it takes, the temporary
// name under which it is complete, and the backup name an earlier file of the
// final name takes until every entry has its name. All lie in the folder of
// the record's lock file, or in folders below it.
struct CommitEntry {
    std::string final_path;
    std::string temporary;
    std::string backup;
};

// Gives every entry its final name, all or none, with `record` (held)
// telling the next run what to put right if this one is stopped halfway:
// the earlier files are linked (or moved) to their backup names, the
// temporaries renamed into place, the folders of the final names flushed to
// the disk, then the backups removed. When any step fails the earlier files
// are put back and OutputError names the entry's final name. `staging`, a
// folder of temporaries, is named in the record for the next run to remove.
// Runs between begin_commit and end_commit: a stopping signal waits.
void commit_entries(const std::vector<CommitEntry> &entries, ResultLock &record, const std::string &staging = "");

// A file stream that reports every failure as a RunFailure naming the file.
//
// An output made with create() is written under a temporary name in the
// folder of its final name and takes that name only at commit(): until then
// an earlier file of that name stays as it was, and abandon(), the destructor
// or a stopping signal (signals.h) remove the temporary file.
class File
{
  public:
    File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() { abandon(); }

    // Opens `path` with the fopen `mode`; false when it cannot be opened.
    bool open(const std::string &path, const char *mode);
    // Starts the output `path`, empty; throws RunFailure when it cannot be
    // made (a folder of that name, a folder that is missing or not writable,
    // a name too long).
    void create(const std::string &path);
    bool is_open() const { return f_ != nullptr; }
    // The name the file has, or will have once committed.
    const std::string &path() const { return path_; }
    // The temporary name of an output not committed yet; empty otherwise.
    std::string temporary() const;
    FILE *get() { return f_; }

    void write(const std::string &s) { write(s.data(), s.size()); }
    void write(const void *data, size_t size);
    // Reads up to `size` bytes; returns how many were read (fewer at the end).
    size_t read(void *data, size_t size);
    // Checked; an output's data are on the disk once it returns.
    void close();
    // Gives closed outputs their final names. A folder found in the place of
    // one of them fails the commit before any is renamed; a stopping signal
    // waits until all are. With a `record`, the outputs take their names all
    // or none: the earlier files of their names stay reachable under backup
    // names until all are in place, and are put back when any step fails; the
    // record lets the next run put things right after a crash meanwhile.
    static void commit(std::initializer_list<File *> outputs, ResultLock *record = nullptr);
    // Closes without looking at errors and removes the temporary file of an
    // output not committed: for a run that has failed already.
    void abandon();

  private:
    [[noreturn]] void fail(const char *what, int err) const;
    FILE *f_ = nullptr;
    std::string path_;
    bool reading_ = false;
    int slot_ = -1; // the tracked temporary name of an output, see signals.h
};

// The name of a result held for the time of a run: an advisory lock on a lock
// file beside the result (NAME_irra.lock), so that two runs never write the
// same result at once. The file also records a commit under way (see
// File::commit), which the next run of that name completes or undoes when the
// one that made it was stopped halfway (kill -9, a crash). The lock file is
// removed when the lock is released.
class ResultLock
{
  public:
    ResultLock() = default;
    ResultLock(const ResultLock &) = delete;
    ResultLock &operator=(const ResultLock &) = delete;
    ~ResultLock() { release(); }

    // The lock file of the result image `image_path` (NAME_irra.raw).
    static std::string path_for(const std::string &image_path);
    // The lock file of a set of outputs named after `output`: OUTPUT.lock.
    static std::string path_beside(const std::string &output);
    // Takes the lock, or throws LockHeld: "`what` is being written by
    // another run (pid N)" when another process holds it. Then puts right a
    // commit left halfway.
    void acquire(const std::string &lock_path, const std::string &what);
    void release();
    bool held() const { return fd_ >= 0; }
    // A record of a commit is in the lock file, kept for the next run.
    bool pending() const { return pending_; }

    // The record of a commit: what to do with each of its outputs when it was
    // cut short. A folder's entries: the final name, the temporary name, the
    // backup name ("-" for none), relative to the lock file's folder, and the
    // identity (device:inode) of the new file, which alone is undone.
    struct Entry {
        std::string final_name, temporary, backup, identity;
    };
    // `undo`: put the earlier files back; otherwise only remove the backups.
    // `staging`: a folder of temporaries to remove, relative to the lock
    // file's folder, or empty. False when it cannot be written.
    bool record(bool undo, const std::vector<Entry> &entries, const std::string &staging = "");
    // The lock file's folder, ending with the separator, or empty.
    const std::string &folder() const { return folder_; }
    const std::string &path() const { return path_; }
    void clear();
    // Keeps the lock file and its record past the run, for the next one.
    void keep();
    [[noreturn]] void fail(const char *what, int err) const;

  private:
    void recover();
    int fd_ = -1;
    int slot_ = -1;
    bool pending_ = false; // a record is in the file
    std::string path_;
    std::string folder_; // ending with the separator, or empty
};

// Another run holds the lock: the dialogue's message, and that run's pid.
class LockHeld : public RunFailure
{
  public:
    LockHeld(const std::string &what, long pid);
    long pid;
};

} // namespace terralume

#endif
