// Row keys of the `items` table (see schema.cc).  A key is the note id in
// the high bits and a 24-bit slot in the low bits:
//
//   slot 0                  the document's header row (modified time, OID)
//   slot seq                an item of at most kBigValue bytes, in `items`
//   slot kBigSlot | seq     a larger item, in `big`
//
// `seq` orders the items of a document.  Keeping large values (stream
// pieces, big recipient lists) in a table of their own keeps the header
// and the small items - the ones a queue pass rewrites - of several
// documents together on one leaf page, however much data the documents
// carry.
#ifndef TAVLO_STORE_ITEM_KEY_H_
#define TAVLO_STORE_ITEM_KEY_H_

#include <cstdint>

#include "tavlo/types.h"

namespace tavlo::store {

constexpr int kSlotBits = 24;
constexpr int64_t kSlotMask = (int64_t{1} << kSlotBits) - 1;
constexpr int64_t kBigSlot = int64_t{1} << (kSlotBits - 1);
constexpr int64_t kSeqLimit = kBigSlot - 1;  // largest sequence number
constexpr DWORD kBigValue = 2048;

inline int64_t ItemKey(NOTEID id, int64_t slot) {
  return (static_cast<int64_t>(id) << kSlotBits) | (slot & kSlotMask);
}
inline int64_t KeyFirst(NOTEID id) { return ItemKey(id, 0); }
inline int64_t KeyLast(NOTEID id) { return ItemKey(id, kSlotMask); }
inline int64_t SlotFor(int64_t seq, DWORD len) {
  return len > kBigValue ? (seq | kBigSlot) : seq;
}
inline int64_t SeqOf(int64_t slot) { return slot & (kBigSlot - 1); }

// The header row's value: modified time (microseconds, little-endian
// int64) then the ORIGINATORID image.
constexpr int kHeaderSize = 8 + static_cast<int>(sizeof(ORIGINATORID));

}  // namespace tavlo::store

#endif  // TAVLO_STORE_ITEM_KEY_H_
