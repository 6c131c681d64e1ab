// Items of an open document: append, delete, look up and typed reads.
// Everything here works on the document in memory; QDSNoteUpdate saves.
#include <cstdio>
#include <cstring>

#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

bool NameIs(const Item& it, const char* name, size_t len) {
  return it.name.size() == len && (len == 0 || memcmp(it.name.data(), name, len) == 0);
}

Item* FindItem(Note* n, const char* name, size_t len) {
  for (Item& it : n->items) {
    if (NameIs(it, name, len)) return &it;
  }
  return nullptr;
}

STATUS CheckSize(WORD flags, uint64_t total) {
  if (total > kMaxItemValue) return ERR_ITEM_TOO_BIG;
  if ((flags & ITEM_SUMMARY) && total > kMaxSummaryValue) return ERR_ITEM_TOO_BIG;
  return NOERROR;
}

// Appends a copy of a whole value (type code first).
STATUS AppendWhole(Note* n, WORD flags, const char* name, WORD nameLen,
                   WORD type, const void* typeCode, const void* value,
                   DWORD valueLen) {
  DWORD total = valueLen + (typeCode ? 2 : 0);
  DHANDLE h = NULLHANDLE;
  STATUS st = OSMemAlloc(kTagItemValue, total, &h);
  if (st) return st;
  char* p = static_cast<char*>(OSLockObject(h));
  if (p == nullptr) {
    OSMemFree(h);
    return ERR_MEMORY;
  }
  size_t at = 0;
  if (typeCode) {
    memcpy(p, typeCode, 2);
    at = 2;
  }
  if (valueLen) memcpy(p + at, value, valueLen);
  OSUnlockObject(h);
  st = NoteAdoptItem(n, flags, name, nameLen, BLOCKID{h, 0}, total, type);
  if (st) OSMemFree(h);
  return st;
}

// Takes over a block holding a whole value.  On failure the block stays
// the caller's and the document is unchanged.
// Checks a whole value handed in a block: it holds at least a type code,
// fits the item limits and lies inside its block.
STATUS CheckBlockValue(WORD flags, BLOCKID value, DWORD valueLen) {
  if (valueLen < 2) return ERR_BAD_ARG;
  STATUS st = CheckSize(flags, valueLen);
  if (st) return st;
  DWORD size = 0;
  st = OSMemGetSize(value.pool, &size);
  if (st) return st;
  if (uint64_t{value.block} + valueLen > size) return ERR_BAD_ARG;
  return NOERROR;
}

STATUS Adopt(Note* n, WORD flags, const char* name, WORD nameLen,
             BLOCKID value, DWORD valueLen, BLOCKID* retItem) {
  STATUS st = CheckBlockValue(flags, value, valueLen);
  if (st) return st;
  // A block the document already owns would be freed twice.
  for (const Item& it : n->items) {
    if (it.bid.pool == value.pool) return ERR_BAD_ARG;
  }
  const char* p = OSLockBlock(value);
  if (p == nullptr) return ERR_MEMORY;
  WORD type = LoadWord(p);
  OSUnlockBlock(value);
  st = NoteAdoptItem(n, flags, name, nameLen, value, valueLen, type);
  if (st) return st;
  if (retItem) *retItem = value;
  return NOERROR;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSItemAppend(NOTEHANDLE note, WORD flags, const char* name,
                     WORD nameLen, WORD type, const void* value,
                     DWORD valueLen) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  if ((name == nullptr && nameLen) || (value == nullptr && valueLen)) {
    return ERR_BAD_ARG;
  }
  STATUS st = CheckSize(flags, uint64_t{valueLen} + 2);
  if (st) return st;
  BYTE code[2] = {static_cast<BYTE>(type & 0xFF), static_cast<BYTE>(type >> 8)};
  return AppendWhole(n, flags, name, nameLen, type, code, value, valueLen);
}

STATUS QDSItemAppendByBLOCKID(NOTEHANDLE note, WORD flags, const char* name,
                              WORD nameLen, BLOCKID value, DWORD valueLen,
                              BLOCKID* retItem) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  if (name == nullptr && nameLen) return ERR_BAD_ARG;
  return Adopt(n, flags, name, nameLen, value, valueLen, retItem);
}

STATUS QDSItemAppendObject(NOTEHANDLE note, WORD flags, const char* name,
                           WORD nameLen, BLOCKID value, DWORD valueLen,
                           BOOL fDealloc) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  if (name == nullptr && nameLen) return ERR_BAD_ARG;
  if (fDealloc) return Adopt(n, flags, name, nameLen, value, valueLen, nullptr);
  STATUS st = CheckBlockValue(flags, value, valueLen);
  if (st) return st;
  const char* p = OSLockBlock(value);
  if (p == nullptr) return ERR_MEMORY;
  st = AppendWhole(n, flags, name, nameLen, LoadWord(p), nullptr, p, valueLen);
  OSUnlockBlock(value);
  return st;
}

STATUS QDSItemDelete(NOTEHANDLE note, const char* name, WORD nameLen) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  if (name == nullptr && nameLen) return ERR_BAD_ARG;
  size_t found = 0;
  for (const Item& it : n->items) found += NameIs(it, name, nameLen);
  if (found == 0) return ERR_ITEM_NOT_FOUND;
  // Everything that can fail happens before the first item goes, so a
  // failed delete leaves the document as it was.
  std::vector<PendingDelete> dels;
  try {
    n->deleted.reserve(n->deleted.size() + found);
    for (const Item& it : n->items) {
      if (!NameIs(it, name, nameLen) || it.slot == 0) continue;
      PendingDelete del;
      del.slot = it.slot;
      del.summary = (it.flags & ITEM_SUMMARY) != 0;
      del.name = it.name;
      dels.push_back(std::move(del));
    }
  } catch (...) {
    return ERR_MEMORY;
  }
  for (PendingDelete& del : dels) n->deleted.push_back(std::move(del));
  size_t out = 0;
  for (size_t i = 0; i < n->items.size(); ++i) {
    Item& it = n->items[i];
    if (NameIs(it, name, nameLen)) {
      OSMemFree(it.bid.pool);
      continue;
    }
    if (out != i) n->items[out] = std::move(it);
    ++out;
  }
  n->items.resize(out);
  return NOERROR;
}

STATUS QDSItemInfo(NOTEHANDLE note, const char* name, WORD nameLen,
                   WORD* retType, BLOCKID* retValue, DWORD* retValueLen) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  if (name == nullptr && nameLen) return ERR_BAD_ARG;
  Item* it = FindItem(n, name, nameLen);
  if (it == nullptr) return ERR_ITEM_NOT_FOUND;
  if (retType) *retType = it->type;
  if (retValue) *retValue = it->bid;
  if (retValueLen) *retValueLen = it->len;
  return NOERROR;
}

STATUS QDSItemInfoByIndex(NOTEHANDLE note, DWORD index, char* nameBuf,
                          WORD nameBufLen, WORD* retNameLen, WORD* retFlags,
                          WORD* retType, BLOCKID* retValue,
                          DWORD* retValueLen) {
  Note* n = Notes().Get(note);
  if (n == nullptr) return ERR_BAD_NOTE;
  if (index >= n->items.size()) return ERR_ITEM_NOT_FOUND;
  const Item& it = n->items[index];
  if (nameBuf && nameBufLen) {
    size_t k = it.name.size() < nameBufLen ? it.name.size() : nameBufLen - 1u;
    memcpy(nameBuf, it.name.data(), k);
    nameBuf[k] = '\0';
  }
  if (retNameLen) *retNameLen = static_cast<WORD>(it.name.size());
  if (retFlags) *retFlags = it.flags;
  if (retType) *retType = it.type;
  if (retValue) *retValue = it.bid;
  if (retValueLen) *retValueLen = it.len;
  return NOERROR;
}

DWORD QDSItemCount(NOTEHANDLE note) {
  Note* n = Notes().Get(note);
  return n ? static_cast<DWORD>(n->items.size()) : 0;
}

BOOL QDSItemIsPresent(NOTEHANDLE note, const char* name, WORD nameLen) {
  Note* n = Notes().Get(note);
  if (n == nullptr || (name == nullptr && nameLen)) return FALSE;
  return FindItem(n, name, nameLen) ? TRUE : FALSE;
}

WORD QDSItemGetText(NOTEHANDLE note, const char* name, char* buf,
                    WORD bufLen) {
  Note* n = Notes().Get(note);
  if (n == nullptr || name == nullptr || buf == nullptr || bufLen == 0) return 0;
  Item* it = FindItem(n, name, strlen(name));
  if (it == nullptr) return 0;
  const char* p = OSLockBlock(it->bid);
  if (p == nullptr) return 0;
  const char* text = nullptr;
  size_t len = 0;
  char number[32];
  switch (it->type) {
    case TYPE_TEXT:
      text = p + 2;
      len = it->len - 2;
      break;
    case TYPE_TEXT_LIST: {
      // WORD count, count WORD lengths, then the texts: every length is
      // checked against the value before the first text is read.
      if (it->len < 4) break;
      WORD count = LoadWord(p + 2);
      if (count == 0 || 4u + 2u * count > it->len) break;
      size_t first = LoadWord(p + 4);
      size_t at = 4 + 2 * static_cast<size_t>(count);
      if (at + first > it->len) break;
      text = p + at;
      len = first;
      break;
    }
    case TYPE_NUMBER: {
      if (it->len < 10) break;
      double d;
      memcpy(&d, p + 2, sizeof d);
      int k = snprintf(number, sizeof number, "%.15g", d);
      if (k > 0) {
        text = number;
        len = static_cast<size_t>(k) < sizeof number ? k : sizeof number - 1;
      }
      break;
    }
    default:
      break;
  }
  WORD copied = 0;
  if (text != nullptr) {
    copied = static_cast<WORD>(len < bufLen ? len : bufLen);
    memcpy(buf, text, copied);
  }
  OSUnlockBlock(it->bid);
  return copied;
}

// Copies the 8 bytes after the type code of the first item `name` when it
// has type `type` and a whole 8-byte value; a short value counts as absent.
static BOOL ReadEightBytes(NOTEHANDLE note, const char* name, WORD type,
                           void* out) {
  Note* n = Notes().Get(note);
  if (n == nullptr || name == nullptr) return FALSE;
  Item* it = FindItem(n, name, strlen(name));
  if (it == nullptr || it->type != type || it->len < 10) return FALSE;
  const char* p = OSLockBlock(it->bid);
  if (p == nullptr) return FALSE;
  memcpy(out, p + 2, 8);
  OSUnlockBlock(it->bid);
  return TRUE;
}

BOOL QDSItemGetNumber(NOTEHANDLE note, const char* name, double* retNumber) {
  double d;
  if (!ReadEightBytes(note, name, TYPE_NUMBER, &d)) return FALSE;
  if (retNumber) *retNumber = d;
  return TRUE;
}

BOOL QDSItemGetTime(NOTEHANDLE note, const char* name, TIMEDATE* retTime) {
  TIMEDATE t;
  if (!ReadEightBytes(note, name, TYPE_TIME, &t)) return FALSE;
  if (retTime) *retTime = t;
  return TRUE;
}
