// Text lists from untrusted bytes.  ListCheck must agree with a plain
// reading of the layout, and every entry of a checked list must lie inside
// it (the list sits in a heap block of exactly its length, so a read past
// it is an ASan report).  ListAddEntry on any block and claimed length
// refuses, or leaves a whole list with the new entry in place and the
// others unchanged; ListAllocate gives a whole list or a STATUS.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

using Texts = std::vector<std::string>;

// The entries by a plain reading of the layout; false when the list is
// not whole within `size` bytes.
bool Parse(const BYTE* list, BOOL withType, DWORD size, Texts* out) {
  out->clear();
  const DWORD header = withType ? 4 : 2;
  if (size < header) return false;
  if (withType && (list[0] | list[1] << 8) != TYPE_TEXT_LIST) return false;
  const DWORD count = list[header - 2] | list[header - 1] << 8;
  DWORD at = header + 2 * count;
  if (at > size) return false;
  for (DWORD i = 0; i < count; ++i) {
    DWORD len = list[header + 2 * i] | list[header + 2 * i + 1] << 8;
    if (len > size - at) return false;
    out->emplace_back(reinterpret_cast<const char*>(list + at), len);
    at += len;
  }
  return true;
}

// ListCheck against the plain reading, then ListGetText on the first and
// last 16 entries (each read walks the lengths before it) and one past the
// end.  Returns whether the list is whole, with its entries.
bool Entries(const BYTE* list, BOOL withType, DWORD size, Texts* out) {
  const bool whole = Parse(list, withType, size, out);
  const bool checked = ListCheck(list, withType, size) == NOERROR;
  WQ_FUZZ_CHECK(whole == checked, "ListCheck says %d, plainly %d", checked,
                whole);
  if (!checked) return false;
  const WORD count = ListGetNumEntries(list, withType);
  WQ_FUZZ_CHECK(count == out->size(), "count %u, plainly %zu", count,
                out->size());
  char* text = nullptr;
  WORD len = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (i == 16 && count > 32) i = count - 16;
    STATUS st = ListGetText(list, withType, (WORD)i, &text, &len);
    WQ_FUZZ_CHECK(st == NOERROR, "ListGetText(%lu) gave %u on a checked list",
                  (unsigned long)i, st);
    const BYTE* t = reinterpret_cast<const BYTE*>(text);
    WQ_FUZZ_CHECK(t >= list && t + len <= list + size &&
                      std::string(text, len) == (*out)[i],
                  "entry %lu differs from its plain reading", (unsigned long)i);
  }
  WQ_FUZZ_CHECK(ListGetText(list, withType, count, &text, &len) ==
                    ERR_LIST_INDEX,
                "an index past the list was not refused");
  return true;
}

// A claimed length: mostly the real one, else near it, or anything.
DWORD ClaimedSize(FuzzedDataProvider& in, DWORD real) {
  BYTE how = in.ConsumeIntegral<BYTE>();
  if (how < 0xC0) return real;
  if (how < 0xFF) return real + (DWORD)(how - 0xE0);  // -32 .. +30
  return in.ConsumeIntegral<WORD>();
}

void AddEntry(FuzzedDataProvider& in, const std::vector<BYTE>& bytes,
              BOOL withType) {
  const DWORD n = (DWORD)bytes.size();
  const bool lockFirst = in.ConsumeBool();
  const bool textFromList = in.ConsumeBool();
  const WORD entry = in.ConsumeIntegral<WORD>() % 8 == 7
                         ? in.ConsumeIntegral<WORD>()
                         : in.ConsumeIntegralInRange<WORD>(0, 6);
  const DWORD claimed = ClaimedSize(in, n);
  std::string text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 64));
  const WORD textAt = in.ConsumeIntegral<WORD>();

  DHANDLE h = NULLHANDLE;
  if (OSMemAlloc(0x7E01, n, &h) != NOERROR) return;
  BYTE* p = static_cast<BYTE*>(OSLockObject(h));
  WQ_FUZZ_CHECK(p != nullptr, "cannot lock a new block");
  if (n) memcpy(p, bytes.data(), n);
  Texts before, after;
  const bool sound = claimed <= n && Entries(p, withType, claimed, &before);
  // The text may live inside the very list it is added to.
  const char* src = text.data();
  WORD srcLen = (WORD)text.size();
  if (textFromList && n > 0) {
    src = reinterpret_cast<const char*>(p + textAt % n);
    srcLen = (WORD)std::min<DWORD>(srcLen, n - textAt % n);
    text.assign(src, srcLen);
  }
  if (!lockFirst) OSUnlockObject(h);
  WORD size = (WORD)claimed;
  STATUS st = ListAddEntry(h, withType, &size, entry, src, srcLen);
  if (lockFirst) OSUnlockObject(h);
  p = static_cast<BYTE*>(OSLockObject(h));
  WQ_FUZZ_CHECK(p != nullptr, "block lost by ListAddEntry");
  DWORD blockSize = 0;
  OSMemGetSize(h, &blockSize);
  if (st == NOERROR) {
    WQ_FUZZ_CHECK(claimed <= 0xFFFF && sound && entry <= before.size(),
                  "ListAddEntry took a list that does not check or an index "
                  "past it (claimed %lu of %lu bytes)", (unsigned long)claimed,
                  (unsigned long)n);
    WQ_FUZZ_CHECK(size == claimed + 2 + srcLen && size <= blockSize,
                  "ListAddEntry reported %u bytes", size);
    WQ_FUZZ_CHECK(Entries(p, withType, size, &after),
                  "the list after ListAddEntry does not check");
    before.insert(before.begin() + entry, text);
    WQ_FUZZ_CHECK(after == before, "the insert changed other entries");
  } else {
    WQ_FUZZ_CHECK(st == ERR_LIST_CORRUPT || st == ERR_LIST_INDEX ||
                      st == ERR_LIST_FULL || st == ERR_MEMORY,
                  "ListAddEntry gave unexpected status %u", st);
    WQ_FUZZ_CHECK(size == (WORD)claimed, "a refused insert changed the size");
  }
  OSUnlockObject(h);
  OSMemFree(h);
}

void Allocate(FuzzedDataProvider& in, BOOL withType) {
  WORD entries = in.ConsumeIntegral<WORD>();
  WORD textSize = in.ConsumeIntegral<WORD>();
  if (in.ConsumeBool()) entries %= 300, textSize %= 300;
  DHANDLE h = NULLHANDLE;
  void* list = nullptr;
  WORD size = 0;
  STATUS st = ListAllocate(entries, textSize, withType, &h, &list, &size);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK((st == ERR_LIST_FULL || st == ERR_MEMORY) && !h,
                  "ListAllocate gave %u, handle %lu", st, (unsigned long)h);
    return;
  }
  Texts got;
  WQ_FUZZ_CHECK(Entries(static_cast<const BYTE*>(list), withType, size, &got) &&
                    got.size() == entries,
                "a new list does not check or has the wrong count");
  OSUnlockObject(h);
  OSMemFree(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DWORD baseline = OSMemTestTotalBlocks();
  FuzzedDataProvider in(data, size);
  const BOOL withType = in.ConsumeBool() ? TRUE : FALSE;
  // The list alone, in a heap block of exactly its length; then with a
  // length the caller got wrong, short of the block.
  const std::vector<BYTE> bytes =
      in.ConsumeBytes<BYTE>(in.ConsumeIntegralInRange<DWORD>(0, 70000));
  const DWORD n = (DWORD)bytes.size();
  Texts entries;
  Entries(bytes.data(), withType, n, &entries);
  const DWORD shorter = ClaimedSize(in, n);
  if (shorter <= n) Entries(bytes.data(), withType, shorter, &entries);
  AddEntry(in, bytes, withType);
  Allocate(in, withType);
  wqfuzz::CheckBlocks(baseline, "text lists");
  return 0;
}
