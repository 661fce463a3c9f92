#pragma once
// Handing freed memory back to the system, where the allocator keeps it.

#include <cstddef>

namespace lectora::memory
{

// After a large message is gone: lets the allocator return its free pages.
void giveBack();
// From now on, blocks of `bytes` and more are taken from the system and given
// back as soon as they are freed. Left to itself the allocator may raise
// this bar after each large block it frees and keep the next ones in its
// heaps, so that memory taken by a few large messages stays with the process.
void returnLargeBlocksAtOnce(std::size_t bytes);

} // namespace lectora::memory
