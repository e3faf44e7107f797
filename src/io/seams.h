// The test seams of the programs, all in one place: faults that tests inject
// and limits that keep a run small. Production code never sets them; the
// defaults leave every run as the operator knows it.
#ifndef TERRALUME_IO_SEAMS_H
#define TERRALUME_IO_SEAMS_H

#include <cstdint>

namespace terralume
{

// Test limits of a run; the defaults leave a run as the operator knows it.
struct RunLimits {
    uint64_t memory = 0;      // bytes the grids may take; 0: the machine's memory
    int64_t days = INT64_MAX; // days of the period computed at most
};

namespace seams
{

// With n > 0, the n-th checked output operation from now on (a write, or the
// close of an output) fails as on a full disk; 0 turns it off.
void fail_output_operation(long n);

// With n > 0, the n-th link or rename of a recorded commit from now on and
// every one after it fail with EPERM, or, with `crash`, the process ends at
// the n-th (status 99) as in a crash, the removal of the backups counted too;
// 0 turns it off.
void fail_commit_step(long n, bool crash = false);

// With n > 0, the n-th flush to the disk (fsync) of a staged set's files and
// folders or of a commit's folders from now on fails with EIO; 0 turns it
// off.
void fail_sync(long n);

} // namespace seams

} // namespace terralume

#endif
