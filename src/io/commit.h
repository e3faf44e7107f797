// A set of outputs that other code writes (GDAL's drivers, with the files they
// write beside the main one), staged in a temporary folder beside their final
// names and committed all or none, as the dialogue commits its result.
#ifndef TERRALUME_IO_COMMIT_H
#define TERRALUME_IO_COMMIT_H

#include "file.h"

#include <string>
#include <vector>

namespace terralume
{

// The temporary folder .NAME.tmpXXXXXX beside the output NAME, with one area
// (a folder of its own) per output: what is written in area k under a name
// takes that name in the folder of NAME at commit(). Until then the earlier
// files stay as they were; abandon(), the destructor and a stopping signal
// (signals.h) remove the temporary folder and all it holds.
class StagedSet
{
  public:
    StagedSet() = default;
    StagedSet(const StagedSet &) = delete;
    StagedSet &operator=(const StagedSet &) = delete;
    ~StagedSet() { abandon(); }

    // Makes the temporary folder beside `output`; throws OutputError naming
    // `output`.
    void create(const std::string &output);
    bool is_open() const { return slot_ >= 0; }
    // The folder of the final names, ending with the separator, or empty.
    const std::string &folder() const { return folder_; }
    // The area of output k, made when first asked for, ending with the
    // separator.
    std::string area(size_t k);

    // The file `name` of the final folder, when no area holds it, is removed
    // with the commit (an earlier side file that would describe a new
    // output wrongly).
    void remove_at_commit(const std::string &name);

    // What the areas hold: each top-level file or folder with its final name,
    // then the files removed with the commit (no temporary name).
    // Throws OutputError when two areas hold the same name (two outputs
    // would write one file).
    std::vector<CommitEntry> entries() const;

    // Flushes every staged file and folder to the disk, then gives them their
    // final names all or none under `record` (held, its lock file in folder());
    // the temporary folder is removed. Throws OutputError naming the file at
    // fault, the earlier files put back.
    void commit(ResultLock &record);
    // Removes the temporary folder and all it holds.
    void abandon();

  private:
    std::string folder_;
    std::string staging_; // the temporary folder, ending with the separator
    std::vector<bool> areas_;
    std::vector<std::string> gone_;
    int slot_ = -1;
};

} // namespace terralume

#endif
