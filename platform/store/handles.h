// Handle tables for the store's open objects (databases, documents,
// collections).  A handle is a 32-bit word:
//
//   bits 28..31  kind (so a document handle passed as a database handle is
//                refused instead of naming some unrelated slot)
//   bits 16..27  generation, bumped when the slot is freed, never 0
//   bits  0..15  slot index + 1
//
// A stale or foreign handle therefore fails the kind or generation check
// and the caller gets ERR_BAD_DB / ERR_BAD_NOTE / ERR_BAD_COLLECTION rather
// than someone else's object.  Single-threaded, like the rest of the store.
#ifndef TAVLO_STORE_HANDLES_H_
#define TAVLO_STORE_HANDLES_H_

#include <cstdint>
#include <vector>

namespace tavlo::store {

template <typename T, uint32_t kKind>
class HandleTable {
 public:
  static constexpr uint32_t kMaxSlots = 0xFFFF;

  // Registers `obj` and returns its handle; 0 when the table is full or
  // cannot grow.  The table does not own `obj`.
  uint32_t Add(T* obj) {
    uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      if (slots_.size() >= kMaxSlots) return 0;
      try {
        free_.reserve(slots_.size() + 1);  // so Remove never allocates
        slots_.push_back(Slot{});
      } catch (...) {
        return 0;
      }
      index = static_cast<uint32_t>(slots_.size() - 1);
    }
    slots_[index].obj = obj;
    ++live_;
    return (kKind << 28) | (uint32_t{slots_[index].gen} << 16) | (index + 1);
  }

  // The object a live handle names, or null.
  T* Get(uint32_t h) const {
    if ((h >> 28) != kKind) return nullptr;
    uint32_t index = (h & 0xFFFF);
    if (index == 0 || index > slots_.size()) return nullptr;
    const Slot& s = slots_[index - 1];
    if (s.obj == nullptr || s.gen != ((h >> 16) & 0xFFF)) return nullptr;
    return s.obj;
  }

  // Unregisters a live handle and returns its object (null when stale).
  T* Remove(uint32_t h) {
    T* obj = Get(h);
    if (obj == nullptr) return nullptr;
    uint32_t index = (h & 0xFFFF) - 1;
    Slot& s = slots_[index];
    s.obj = nullptr;
    s.gen = static_cast<uint16_t>(s.gen == 0xFFF ? 1 : s.gen + 1);
    free_.push_back(index);  // capacity reserved in Add
    --live_;
    return obj;
  }

  // Handles of every live object, for sweeps such as closing the documents
  // of a database being closed.
  std::vector<uint32_t> Live() const {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].obj != nullptr) {
        out.push_back((kKind << 28) | (uint32_t{slots_[i].gen} << 16) |
                      static_cast<uint32_t>(i + 1));
      }
    }
    return out;
  }

  size_t live() const { return live_; }

 private:
  struct Slot {
    T* obj = nullptr;
    uint16_t gen = 1;
  };
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  size_t live_ = 0;
};

}  // namespace tavlo::store

#endif  // TAVLO_STORE_HANDLES_H_
