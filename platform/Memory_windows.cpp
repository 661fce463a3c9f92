#include "platform/Memory.h"

#include <windows.h>

namespace lectora::memory
{

void giveBack()
{
    ::HeapCompact(::GetProcessHeap(), 0);
}

} // namespace lectora::memory
