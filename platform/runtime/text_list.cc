// Packed text lists: [WORD 0x0501] WORD count, WORD lengths[count], texts.
//
// A list is a plain run of bytes so it can be stored as an item value and
// loaded back as is.  Lists read from disk are untrusted, which is why the
// insert path re-checks the layout against the caller's byte length before
// moving anything: a wrong length must give ERR_LIST_CORRUPT, not a write
// past the block.

#include <cstring>
#include <string>

#include "le.h"
#include "mem_internal.h"
#include "tavlo/runtime.h"

using tavlo_rt::GetWordLE;
using tavlo_rt::PutWordLE;

namespace {

// Lists are tagged with their own type code in the memory accounting.
constexpr WORD kListBlockTag = TYPE_TEXT_LIST;
constexpr DWORD kMaxListBytes = 0xFFFF;

inline DWORD HeaderBytes(BOOL withTypeCode) { return withTypeCode ? 4 : 2; }

// Offset of the count word.
inline DWORD CountOffset(BOOL withTypeCode) { return withTypeCode ? 2 : 0; }

}  // namespace

STATUS ListAllocate(WORD entries, WORD textSize, BOOL withTypeCode,
                    DHANDLE* retHandle, void** retList, WORD* retSize) {
  if (retHandle == nullptr) return ERR_BAD_ARG;
  *retHandle = NULLHANDLE;
  DWORD size = HeaderBytes(withTypeCode) + 2u * entries + textSize;
  if (size > kMaxListBytes) return ERR_LIST_FULL;

  DHANDLE h;
  STATUS err = OSMemAlloc(kListBlockTag, size, &h);
  if (err != NOERROR) return err;
  BYTE* p = static_cast<BYTE*>(OSLockObject(h));
  if (p == nullptr) {
    OSMemFree(h);
    return ERR_MEMORY;
  }
  // All lengths 0 and the reserved text bytes zero.
  std::memset(p, 0, size);
  if (withTypeCode) PutWordLE(p, TYPE_TEXT_LIST);
  PutWordLE(p + CountOffset(withTypeCode), entries);

  *retHandle = h;
  if (retList != nullptr) *retList = p;
  if (retSize != nullptr) *retSize = static_cast<WORD>(size);
  return NOERROR;
}

STATUS ListCheck(const void* list, BOOL withTypeCode, DWORD size) {
  if (list == nullptr) return ERR_LIST_CORRUPT;
  const BYTE* p = static_cast<const BYTE*>(list);
  DWORD header = HeaderBytes(withTypeCode);
  if (size < header) return ERR_LIST_CORRUPT;
  if (withTypeCode && GetWordLE(p) != TYPE_TEXT_LIST) return ERR_LIST_CORRUPT;
  DWORD count = GetWordLE(p + CountOffset(withTypeCode));
  DWORD texts = header + 2 * count;  // where the texts begin
  if (texts > size) return ERR_LIST_CORRUPT;
  // 65535 lengths of at most 65535 each cannot overflow 32 bits when added
  // to the 64 KB header, but keep the sum wide anyway.
  uint64_t needed = texts;
  for (DWORD i = 0; i < count; ++i) needed += GetWordLE(p + header + 2 * i);
  if (needed > size) return ERR_LIST_CORRUPT;
  return NOERROR;
}

STATUS ListAddEntry(DHANDLE handle, BOOL withTypeCode, WORD* size,
                    WORD entryNumber, const char* text, WORD textLen) {
  if (size == nullptr) return ERR_BAD_ARG;
  if (text == nullptr && textLen != 0) return ERR_BAD_ARG;
  DWORD blockSize;
  BYTE* p = static_cast<BYTE*>(tavlo_rt::MemPeek(handle, &blockSize));
  if (p == nullptr) return ERR_BAD_HANDLE;

  // The caller's length must describe a whole list inside the block.
  DWORD listSize = *size;
  if (listSize > blockSize) return ERR_LIST_CORRUPT;
  STATUS err = ListCheck(p, withTypeCode, listSize);
  if (err != NOERROR) return err;

  DWORD header = HeaderBytes(withTypeCode);
  DWORD count = GetWordLE(p + CountOffset(withTypeCode));
  if (entryNumber > count) return ERR_LIST_INDEX;
  DWORD newSize = listSize + 2 + textLen;
  if (newSize > kMaxListBytes) return ERR_LIST_FULL;

  // A text taken from this very list would move under us; copy it first.
  std::string own;
  const char* at = reinterpret_cast<const char*>(p);
  if (textLen != 0 && text >= at && text < at + blockSize) {
    own.assign(text, textLen);
    text = own.data();
  }

  // Where the new length word and the new text go, in the old layout.
  DWORD lenAt = header + 2 * entryNumber;
  DWORD textAt = header + 2 * count;
  for (DWORD i = 0; i < entryNumber; ++i) textAt += GetWordLE(p + header + 2 * i);

  if (blockSize < newSize) {
    // The block may be locked by our caller (the library adds to lists it
    // holds locked); it re-locks after the add, so moving it is allowed
    // here and here only.
    err = tavlo_rt::MemResizeIgnoringLocks(handle, newSize);
    if (err != NOERROR) return err;
    p = static_cast<BYTE*>(tavlo_rt::MemPeek(handle, nullptr));
  }

  // Everything from the insertion text on moves by a length word plus the
  // text; the lengths after the new one (and the texts before it) by a
  // length word.  Trailing bytes past the texts, if any, move along.
  std::memmove(p + textAt + 2 + textLen, p + textAt, listSize - textAt);
  std::memmove(p + lenAt + 2, p + lenAt, textAt - lenAt);
  PutWordLE(p + lenAt, textLen);
  if (textLen != 0) std::memcpy(p + textAt + 2, text, textLen);
  PutWordLE(p + CountOffset(withTypeCode), static_cast<WORD>(count + 1));
  *size = static_cast<WORD>(newSize);
  return NOERROR;
}

WORD ListGetNumEntries(const void* list, BOOL withTypeCode) {
  if (list == nullptr) return 0;
  return GetWordLE(static_cast<const BYTE*>(list) + CountOffset(withTypeCode));
}

STATUS ListGetText(const void* list, BOOL withTypeCode, WORD index,
                   char** retText, WORD* retTextLen) {
  if (list == nullptr) return ERR_BAD_ARG;
  const BYTE* p = static_cast<const BYTE*>(list);
  DWORD header = HeaderBytes(withTypeCode);
  DWORD count = GetWordLE(p + CountOffset(withTypeCode));
  if (index >= count) return ERR_LIST_INDEX;
  DWORD at = header + 2 * count;
  for (DWORD i = 0; i < index; ++i) at += GetWordLE(p + header + 2 * i);
  if (retText != nullptr) {
    *retText = const_cast<char*>(reinterpret_cast<const char*>(p + at));
  }
  if (retTextLen != nullptr) *retTextLen = GetWordLE(p + header + 2 * index);
  return NOERROR;
}
