#include "platform/Memory.h"

#include <malloc.h>

namespace lectora::memory
{

void giveBack()
{
    ::malloc_trim(0);
}

void returnLargeBlocksAtOnce(std::size_t bytes)
{
    static const bool tuned = ::mallopt(M_MMAP_THRESHOLD, int(bytes)) == 1;
    (void)tuned;
}

} // namespace lectora::memory
