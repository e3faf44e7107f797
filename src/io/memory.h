// The memory a program may still take.
#ifndef TERRALUME_IO_MEMORY_H
#define TERRALUME_IO_MEMORY_H

#include <cstdint>

namespace terralume
{

// The least of the memory the system has available, the room under the
// limits of the process's control groups (v2 memory.max, v1
// memory.limit_in_bytes) and under its address-space limit (ulimit -v).
uint64_t memory_available();

} // namespace terralume

#endif
