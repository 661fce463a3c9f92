#include "platform/Memory.h"

#include <windows.h>

namespace lectora::memory
{

void giveBack()
{
    ::HeapCompact(::GetProcessHeap(), 0);
}

// The process heap takes large blocks from the system and frees them back
// by itself.
void returnLargeBlocksAtOnce(std::size_t) {}

} // namespace lectora::memory
