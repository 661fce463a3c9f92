#include "platform/Memory.h"

#include <malloc.h>

namespace lectora::memory
{

void giveBack()
{
    ::malloc_trim(0);
}

} // namespace lectora::memory
