// Row keys of the `items` table: the note id in the high bits and the
// item's sequence number in the low 24, so one document's items are one
// contiguous rowid range (see schema.cc).
#ifndef TAVLO_STORE_ITEM_KEY_H_
#define TAVLO_STORE_ITEM_KEY_H_

#include <cstdint>

#include "tavlo/types.h"

namespace tavlo::store {

constexpr int kSeqBits = 24;
constexpr int64_t kSeqMask = (int64_t{1} << kSeqBits) - 1;

inline int64_t ItemKey(NOTEID id, int64_t seq) {
  return (static_cast<int64_t>(id) << kSeqBits) | (seq & kSeqMask);
}

}  // namespace tavlo::store

#endif  // TAVLO_STORE_ITEM_KEY_H_
