#pragma once
// Handing freed memory back to the system, where the allocator keeps it.

namespace lectora::memory
{

// After a large message is gone: lets the allocator return its free pages.
void giveBack();

} // namespace lectora::memory
