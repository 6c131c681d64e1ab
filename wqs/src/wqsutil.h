// Small helpers shared by the work-queue store's source files: building
// derived item names into fixed buffers without overrunning them, deleting
// an item where "not there" is as good as deleted, and reading and writing
// little-endian words inside stored records.
#ifndef WQS_WQSUTIL_H_
#define WQS_WQSUTIL_H_

#include <cstring>

#include "tavlo/status.h"
#include "tavlo/store.h"
#include "tavlo/types.h"
#include "wqs/wqsmsg.h"
#include "wqs/wqstypes.h"

// Largest item name the library builds or accepts, terminator excluded.
// Item names are counted in a WORD, but every derived name of the store is
// short; a fixed buffer of this size (+1) holds any of them.
#define WQS_MAX_ITEM_NAME 255

// Writes the decimal text of `number` after `prefix` into `buf` of
// `bufLen` bytes, zero-terminated ("WQSRecip" + 3 -> "WQSRecip3").
// Returns the length written, or 0 (buf[0] = 0 when bufLen > 0) when the
// result, terminator included, would not fit.
WORD WQSUtilNameNumber(char* buf, size_t bufLen, const char* prefix,
                       DWORD number);

// Concatenates `prefix` and `name` into `buf` of `bufLen` bytes,
// zero-terminated.  Returns the length written, or 0 when it would not fit
// (nothing useful is left in buf then; buf[0] = 0 when bufLen > 0).
WORD WQSUtilNameConcat(char* buf, size_t bufLen, const char* prefix,
                       const char* name);

// Deletes every item called `name`.  A missing item (ERR_ITEM_NOT_FOUND)
// counts as success: the caller wants the item gone and it is.
STATUS WQSUtilDeleteItem(NOTEHANDLE hNote, const char* name, WORD nameLen);
inline STATUS WQSUtilDeleteItem(NOTEHANDLE hNote, const char* name) {
  return WQSUtilDeleteItem(hNote, name, (WORD)strlen(name));
}

// Checks a stored dynamic-array image of `size` bytes (an item value less
// its type code and user-data header) before it is used in place: the
// header fits, the stated size fits in what is there, the entry size is
// `entrySize`, the counts fit the capacity, the growth step is 1 to 65535
// (a copy grows the array by it), and at least `minUsed` entries are in
// use.
bool WQSUtilArrayImageSound(const void* image, DWORD size, DWORD entrySize,
                            DWORD minUsed);

// Appends the recipient-state array as the item WQSRecipData, under its
// own name as header name: the save and the update close both write it.
inline STATUS WQSUtilAppendRecipData(NOTEHANDLE hNote, dynarray_t* da) {
  return WQSAppendDynArrayToNote(hNote, da, WQS_ITEM_RECIPDATA,
                                 sizeof(WQS_ITEM_RECIPDATA) - 1,
                                 WQS_ITEM_RECIPDATA,
                                 sizeof(WQS_ITEM_RECIPDATA) - 1);
}

// Little-endian loads and stores at any alignment.  Stored records are
// memory images in little-endian order; these keep readers honest about
// that instead of casting unaligned pointers.
inline WORD WQSLoadWord(const void* p) {
  const BYTE* b = static_cast<const BYTE*>(p);
  return (WORD)(b[0] | (b[1] << 8));
}
inline DWORD WQSLoadDword(const void* p) {
  const BYTE* b = static_cast<const BYTE*>(p);
  return (DWORD)b[0] | ((DWORD)b[1] << 8) | ((DWORD)b[2] << 16) |
         ((DWORD)b[3] << 24);
}
inline void WQSStoreWord(void* p, WORD v) {
  BYTE* b = static_cast<BYTE*>(p);
  b[0] = (BYTE)v;
  b[1] = (BYTE)(v >> 8);
}
inline void WQSStoreDword(void* p, DWORD v) {
  BYTE* b = static_cast<BYTE*>(p);
  b[0] = (BYTE)v;
  b[1] = (BYTE)(v >> 8);
  b[2] = (BYTE)(v >> 16);
  b[3] = (BYTE)(v >> 24);
}

#endif  // WQS_WQSUTIL_H_
