// Dynamic array: a growable array of fixed-size entries that lives, header
// and entries together, in one locked runtime memory block.  Because it is
// one run of bytes it is also a stored format: three message items hold a
// whole array image (see wqstypes.h for the item layout).
#ifndef WQS_DYNARRAY_H_
#define WQS_DYNARRAY_H_

#include "tavlo/types.h"

#define DA_BLOCK_TYPE ((WORD)0xF3DD)
#define DA_HEADER_SIZE 24

#pragma pack(push, 2)
struct dynarray_t {
  DHANDLE hArray;             // block holding this header and the entries
  DWORD dwSize;               // 24 + capacity * dwEntrySize
  DWORD dwEntrySize;
  DWORD dwAllocGranularity;   // slots to start with and to add per growth
  DWORD dwUsedEntries;
  DWORD dwAvailableEntries;
};
#pragma pack(pop)
static_assert(sizeof(dynarray_t) == 24, "dynarray_t header is 24 bytes");
static_assert(offsetof(dynarray_t, dwSize) == 4);
static_assert(offsetof(dynarray_t, dwEntrySize) == 8);
static_assert(offsetof(dynarray_t, dwAllocGranularity) == 12);
static_assert(offsetof(dynarray_t, dwUsedEntries) == 16);
static_assert(offsetof(dynarray_t, dwAvailableEntries) == 20);

dynarray_t* DACreate(DWORD dwEntrySize, DWORD dwAllocGranularity);
BOOL DADestroy(dynarray_t* pDArray);
BOOL DAAddEntry(dynarray_t** pRetDArray, const void* pEntry);
DWORD DAGetNumberOfEntries(const dynarray_t* pDArray);
void* DAGetEntry(dynarray_t* pDArray, WORD wEntryNum);
void DAChangeEntry(dynarray_t* pDArray, WORD wEntryNum, const void* pNewValue);
void DAClear(dynarray_t* pDArray);
DWORD DASize(const dynarray_t* pDArray);

#endif  // WQS_DYNARRAY_H_
