// Dynamic array: header and entries in one runtime memory block, kept
// locked for the array's whole life so entry addresses stay put between
// growths.  The block image is also the stored form of three message items,
// so the header layout and the growth rule are part of the queue format.
#include "wqs/dynarray.h"

#include <cstring>

#include "tavlo/runtime.h"

dynarray_t* DACreate(DWORD dwEntrySize, DWORD dwAllocGranularity) {
  DWORD size = DA_HEADER_SIZE + dwEntrySize * dwAllocGranularity;
  DHANDLE h = NULLHANDLE;
  if (OSMemAlloc(DA_BLOCK_TYPE, size, &h) != NOERROR) return nullptr;
  dynarray_t* p = static_cast<dynarray_t*>(OSLockObject(h));
  if (p == nullptr) {
    OSMemFree(h);
    return nullptr;
  }
  p->hArray = h;
  p->dwSize = size;
  p->dwEntrySize = dwEntrySize;
  p->dwAllocGranularity = dwAllocGranularity;
  p->dwUsedEntries = 0;
  p->dwAvailableEntries = dwAllocGranularity;
  // Free slots are stored with the array; cleared, they never carry stale
  // heap bytes into a queue file.
  memset(reinterpret_cast<char*>(p) + DA_HEADER_SIZE, 0,
         size - DA_HEADER_SIZE);
  return p;
}

BOOL DADestroy(dynarray_t* pDArray) {
  DHANDLE h = pDArray->hArray;
  if (h == NULLHANDLE) return TRUE;
  OSUnlockObject(h);
  return OSMemFree(h) == NOERROR ? TRUE : FALSE;
}

// Relocks the array's block after a resize attempt.  A lock refusal right
// after the block was unlocked is not expected from a live handle; one
// second attempt covers a transient refusal (as the runtime's fault hooks
// produce) so the array is not left unlocked behind its owner's back.
static dynarray_t* Relock(DHANDLE h) {
  void* p = OSLockObject(h);
  if (p == nullptr) p = OSLockObject(h);
  return static_cast<dynarray_t*>(p);
}

BOOL DAAddEntry(dynarray_t** pRetDArray, const void* pEntry) {
  dynarray_t* p = *pRetDArray;
  // Grows once half or more of the slots are used, not only when full: the
  // stored capacities of existing queues depend on this exact rule.
  if (p->dwAvailableEntries <= p->dwUsedEntries) {
    DHANDLE h = p->hArray;
    // Counted wide: a header taken from storage could otherwise wrap the
    // new size below the old one, and the fill and the add below would run
    // past the block.
    uint64_t wide = (uint64_t)p->dwSize +
                    (uint64_t)p->dwEntrySize * p->dwAllocGranularity;
    if (wide > 0xFFFFFFFFu || wide <= p->dwSize) return FALSE;
    DWORD newSize = (DWORD)wide;
    OSUnlockObject(h);
    STATUS err = OSMemRealloc(h, newSize);
    // The resize either happened or left the block as it was; in both cases
    // the block is locked again so the array stays usable and releasable.
    dynarray_t* q = Relock(h);
    if (q == nullptr) return FALSE;
    *pRetDArray = q;
    if (err != NOERROR) return FALSE;
    memset(reinterpret_cast<char*>(q) + q->dwSize, 0, newSize - q->dwSize);
    q->dwSize = newSize;
    q->dwAvailableEntries += q->dwAllocGranularity;
    p = q;
  }
  memcpy(reinterpret_cast<char*>(p) + DA_HEADER_SIZE +
             (size_t)p->dwUsedEntries * p->dwEntrySize,
         pEntry, p->dwEntrySize);
  p->dwUsedEntries += 1;
  p->dwAvailableEntries -= 1;
  return TRUE;
}

DWORD DAGetNumberOfEntries(const dynarray_t* pDArray) {
  return pDArray->dwUsedEntries;
}

void* DAGetEntry(dynarray_t* pDArray, WORD wEntryNum) {
  return reinterpret_cast<char*>(pDArray) + DA_HEADER_SIZE +
         (size_t)wEntryNum * pDArray->dwEntrySize;
}

void DAChangeEntry(dynarray_t* pDArray, WORD wEntryNum, const void* pNewValue) {
  memcpy(DAGetEntry(pDArray, wEntryNum), pNewValue, pDArray->dwEntrySize);
}

// Only the used count is reset: the free count keeps its value, so the
// next adds follow the growth test with the numbers as they stand.
void DAClear(dynarray_t* pDArray) { pDArray->dwUsedEntries = 0; }

DWORD DASize(const dynarray_t* pDArray) { return pDArray->dwSize; }
