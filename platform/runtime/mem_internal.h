// Runtime-private access to memory blocks, for the text-list code, which has
// to grow a list even while its owner holds it locked.
#ifndef TAVLO_RUNTIME_MEM_INTERNAL_H_
#define TAVLO_RUNTIME_MEM_INTERNAL_H_

#include "tavlo/types.h"

namespace tavlo_rt {

// Address and size of a live block without taking a lock; null for a bad
// handle.  The address is good only until the next resize or free.
void* MemPeek(DHANDLE handle, DWORD* retSize);

// Resizes a block whatever its lock count, keeping its first min(old,new)
// bytes and its lock count.  Counts as a reallocation for fault injection.
// On failure (ERR_MEMORY, ERR_BAD_HANDLE) the block is left as it was.
STATUS MemResizeIgnoringLocks(DHANDLE handle, DWORD newSize);

}  // namespace tavlo_rt

#endif  // TAVLO_RUNTIME_MEM_INTERNAL_H_
