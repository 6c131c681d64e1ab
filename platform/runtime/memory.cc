// Movable memory blocks behind 32-bit handles.
//
// A handle is (generation << kIndexBits) | index.  The index selects a slot
// in a flat table, so lock and unlock are a bounds check, a generation check
// and a counter change: no map lookup, no system call.  The generation is
// bumped whenever a slot is freed, so a handle kept past its OSMemFree no
// longer matches and is refused instead of reaching whatever block reuses
// the slot.  Freed slots are reused oldest first, which keeps a stale handle
// detectable for as long as possible.  Slot 0 is never used, so handle 0 is
// never valid.
//
// Single-threaded by design: the runtime runs on one thread and the only
// asynchronous code (the stop-request signal handler) touches none of this.

#include <cstdlib>
#include <new>
#include <type_traits>

#include "mem_internal.h"
#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

constexpr uint32_t kIndexBits = 22;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kGenMask = (1u << (32 - kIndexBits)) - 1;  // 10 bits

struct Block {
  void* data = nullptr;
  DWORD size = 0;
  DWORD locks = 0;
  WORD tag = 0;
  WORD gen = 1;  // never 0, so no live handle has all generation bits clear
  bool live = false;
  uint32_t next_free = 0;  // next slot in the free queue, 0 at its end
};

static_assert(std::is_trivially_copyable_v<Block>, "the table grows by realloc");

struct TagCount {
  DWORD blocks = 0;
  uint64_t bytes = 0;
};

// The table is a plain array grown with realloc (Block is trivially
// copyable) and the counters are plain arrays: all constant-initialised, so
// they are usable from other static initialisers and the lock path carries
// no initialisation guard.  Slot 0 is reserved.
Block* g_blocks = nullptr;
uint32_t g_slots = 0;     // slots in use or freed, slot 0 included
uint32_t g_capacity = 0;  // slots allocated
TagCount g_tags[65536];

// Freed slots, oldest first, chained through Block::next_free (slot 0 is
// never free, so 0 ends the chain).  Kept inside the table so that freeing
// needs no allocation and works even from other static destructors.
uint32_t g_free_head = 0;
uint32_t g_free_tail = 0;
DWORD g_total_blocks = 0;

// Fault injection: the `g_fault_countdown`-th call of a kind in
// `g_fault_kinds` fails, once.
WORD g_fault_kinds = 0;
DWORD g_fault_countdown = 0;
bool g_fault_fired = false;

// True when this call of `kind` is the one chosen to fail.
inline bool FaultHere(WORD kind) {
  if ((g_fault_kinds & kind) == 0) return false;
  if (--g_fault_countdown != 0) return false;
  g_fault_kinds = 0;
  g_fault_fired = true;
  return true;
}

inline DHANDLE MakeHandle(uint32_t index, WORD gen) {
  return (static_cast<uint32_t>(gen) << kIndexBits) | index;
}

// The live block a handle names, or null.
inline Block* Find(DHANDLE handle) {
  uint32_t index = handle & kIndexMask;
  if (index == 0 || index >= g_slots) return nullptr;
  Block* b = &g_blocks[index];
  if (!b->live || b->gen != (handle >> kIndexBits)) return nullptr;
  return b;
}

void Account(WORD tag, int blocks, int64_t bytes) {
  TagCount& t = g_tags[tag];
  t.blocks += blocks;
  t.bytes += bytes;
  g_total_blocks += blocks;
}

// Resizes `b` in place of its data pointer; the block is untouched on
// failure.
STATUS Resize(Block* b, DWORD newSize) {
  if (FaultHere(OSMEM_FAULT_REALLOC)) return ERR_MEMORY;
  void* p = std::realloc(b->data, newSize ? newSize : 1);
  if (p == nullptr) return ERR_MEMORY;
  Account(b->tag, 0, static_cast<int64_t>(newSize) - b->size);
  b->data = p;
  b->size = newSize;
  return NOERROR;
}

// Makes sure slot g_slots exists, growing the table if needed.
bool ReserveSlot() {
  if (g_slots == 0) g_slots = 1;  // slot 0 is never handed out
  if (g_slots < g_capacity) return true;
  if (g_capacity > kIndexMask) return false;  // every index is taken
  uint32_t cap = g_capacity == 0 ? 1024 : g_capacity * 2;
  if (cap > kIndexMask + 1) cap = kIndexMask + 1;
  void* p = std::realloc(g_blocks, sizeof(Block) * cap);
  if (p == nullptr) return false;
  g_blocks = static_cast<Block*>(p);
  for (uint32_t i = g_capacity; i < cap; ++i) new (&g_blocks[i]) Block();
  g_capacity = cap;
  return true;
}

}  // namespace

STATUS OSMemAlloc(WORD blockType, DWORD size, DHANDLE* retHandle) {
  if (retHandle == nullptr) return ERR_BAD_ARG;
  *retHandle = NULLHANDLE;
  if (FaultHere(OSMEM_FAULT_ALLOC)) return ERR_MEMORY;

  if (g_free_head == 0 && !ReserveSlot()) return ERR_MEMORY;
  // malloc(0) may return null; a zero-sized block still needs an address.
  void* data = std::malloc(size ? size : 1);
  if (data == nullptr) return ERR_MEMORY;
  uint32_t index;
  if (g_free_head == 0) {
    index = g_slots++;
  } else {
    index = g_free_head;
    g_free_head = g_blocks[index].next_free;
    if (g_free_head == 0) g_free_tail = 0;
  }

  Block& b = g_blocks[index];
  b.data = data;
  b.size = size;
  b.locks = 0;
  b.tag = blockType;
  b.live = true;
  Account(blockType, 1, size);
  *retHandle = MakeHandle(index, b.gen);
  return NOERROR;
}

STATUS OSMemRealloc(DHANDLE handle, DWORD newSize) {
  Block* b = Find(handle);
  if (b == nullptr) return ERR_BAD_HANDLE;
  // A locked block's address is in someone's hands; moving it would leave
  // them pointing at freed memory.
  if (b->locks != 0) return ERR_LOCKED;
  return Resize(b, newSize);
}

STATUS OSMemFree(DHANDLE handle) {
  Block* b = Find(handle);
  if (b == nullptr) return ERR_BAD_HANDLE;
  // An injected fault reports the one failure a free has, yet releases the
  // block: callers' handling of a failed release can be tested without the
  // test leaking what it cannot name.
  const bool fault = FaultHere(OSMEM_FAULT_FREE);
  std::free(b->data);
  Account(b->tag, -1, -static_cast<int64_t>(b->size));
  b->data = nullptr;
  b->size = 0;
  b->locks = 0;
  b->live = false;
  b->gen = static_cast<WORD>((b->gen % kGenMask) + 1);  // 1..kGenMask
  uint32_t index = handle & kIndexMask;
  b->next_free = 0;
  if (g_free_tail == 0) {
    g_free_head = index;
  } else {
    g_blocks[g_free_tail].next_free = index;
  }
  g_free_tail = index;
  return fault ? ERR_BAD_HANDLE : NOERROR;
}

STATUS OSMemGetSize(DHANDLE handle, DWORD* retSize) {
  Block* b = Find(handle);
  if (b == nullptr) return ERR_BAD_HANDLE;
  if (retSize != nullptr) *retSize = b->size;
  return NOERROR;
}

void* OSLockObject(DHANDLE handle) {
  Block* b = Find(handle);
  if (b == nullptr) return nullptr;
  if (FaultHere(OSMEM_FAULT_LOCK)) return nullptr;
  if (b->locks == UINT32_MAX) return nullptr;  // would wrap to unlocked
  ++b->locks;
  return b->data;
}

BOOL OSUnlockObject(DHANDLE handle) {
  Block* b = Find(handle);
  if (b == nullptr || b->locks == 0) return FALSE;
  --b->locks;
  return TRUE;
}

namespace tavlo_rt {

void* MemPeek(DHANDLE handle, DWORD* retSize) {
  Block* b = Find(handle);
  if (b == nullptr) return nullptr;
  if (retSize != nullptr) *retSize = b->size;
  return b->data;
}

STATUS MemResizeIgnoringLocks(DHANDLE handle, DWORD newSize) {
  Block* b = Find(handle);
  if (b == nullptr) return ERR_BAD_HANDLE;
  return Resize(b, newSize);
}

}  // namespace tavlo_rt

// ---------------------------------------------------------------------------
// Test hooks.

void OSMemTestCount(WORD blockType, DWORD* retBlocks, DWORD* retBytes) {
  const TagCount& t = g_tags[blockType];
  if (retBlocks != nullptr) *retBlocks = t.blocks;
  if (retBytes != nullptr) {
    *retBytes = t.bytes > UINT32_MAX ? UINT32_MAX : static_cast<DWORD>(t.bytes);
  }
}

DWORD OSMemTestTotalBlocks(void) { return g_total_blocks; }

void OSMemTestFailNth(WORD kinds, DWORD n) {
  g_fault_fired = false;
  if (n == 0 || kinds == 0) {
    g_fault_kinds = 0;
    g_fault_countdown = 0;
    return;
  }
  g_fault_kinds = kinds;
  g_fault_countdown = n;
}

BOOL OSMemTestFaultFired(void) { return g_fault_fired ? TRUE : FALSE; }

void OSMemTestDisarm(void) {
  g_fault_kinds = 0;
  g_fault_countdown = 0;
}
