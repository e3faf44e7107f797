#include "run.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace terralume
{

void release_free_memory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace terralume
