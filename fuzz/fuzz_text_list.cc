// Text lists from untrusted bytes, each in a heap block of exactly its length
// (a read past it is an ASan report).  ListCheck agrees with a plain reading
// and every entry of a checked list lies inside it; ListAddEntry refuses with
// a STATUS or leaves a whole list with the new entry in place and the others
// unchanged; ListAllocate gives a whole list or a STATUS.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

using Texts = std::vector<std::string>;

// The entries by a plain reading; false when the list is not whole.
bool Parse(const BYTE* list, BOOL withType, DWORD size, Texts* out) {
  auto word = [list](DWORD at) -> DWORD { return list[at] | list[at + 1] << 8; };
  const DWORD header = withType ? 4 : 2;
  out->clear();
  if (size < header || (withType && word(0) != TYPE_TEXT_LIST)) return false;
  const DWORD count = word(header - 2);
  DWORD at = header + 2 * count;
  for (DWORD i = 0; i < count && at <= size; ++i) {
    if (word(header + 2 * i) > size - at) return false;
    out->emplace_back(reinterpret_cast<const char*>(list + at), word(header + 2 * i));
    at += word(header + 2 * i);
  }
  return at <= size;
}

// ListCheck against Parse, then ListGetText on the first and last 16
// entries and one past the end.  Returns whether the list is whole.
bool Entries(const BYTE* list, BOOL withType, DWORD size, Texts* out) {
  const bool checked = ListCheck(list, withType, size) == NOERROR;
  WQ_FUZZ_CHECK(Parse(list, withType, size, out) == checked);
  if (!checked) return false;
  const WORD count = ListGetNumEntries(list, withType);
  WQ_FUZZ_CHECK(count == out->size());
  char* text = nullptr;
  WORD len = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (i == 16 && count > 32) i = count - 16;
    WQ_FUZZ_CHECK(ListGetText(list, withType, (WORD)i, &text, &len) == NOERROR);
    const BYTE* t = reinterpret_cast<const BYTE*>(text);
    WQ_FUZZ_CHECK(t >= list && t + len <= list + size && std::string(text, len) == (*out)[i]);
  }
  WQ_FUZZ_CHECK(ListGetText(list, withType, count, &text, &len) == ERR_LIST_INDEX);
  return true;
}

// A claimed length: mostly the real one, else near it (-32..+30), or any.
DWORD ClaimedSize(FuzzedDataProvider& in, DWORD real) {
  BYTE how = in.ConsumeIntegral<BYTE>();
  if (how < 0xC0) return real;
  return how < 0xFF ? real + (DWORD)(how - 0xE0) : in.ConsumeIntegral<WORD>();
}

void AddEntry(FuzzedDataProvider& in, const std::vector<BYTE>& bytes, BOOL withType) {
  const DWORD n = (DWORD)bytes.size();
  const bool lockFirst = in.ConsumeBool(), textFromList = in.ConsumeBool();
  const WORD entry = in.ConsumeIntegral<WORD>() % 8 == 7 ? in.ConsumeIntegral<WORD>()
                                                         : in.ConsumeIntegralInRange<WORD>(0, 6);
  const DWORD claimed = ClaimedSize(in, n);
  std::string text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 64));
  const WORD textAt = in.ConsumeIntegral<WORD>();
  DHANDLE h = NULLHANDLE;
  if (OSMemAlloc(0x7E01, n, &h) != NOERROR) return;
  BYTE* p = static_cast<BYTE*>(OSLockObject(h));
  if (n) memcpy(p, bytes.data(), n);
  Texts before, after;
  const bool sound = claimed <= n && Entries(p, withType, claimed, &before);
  const char* src = text.data();
  WORD srcLen = (WORD)text.size();
  if (textFromList && n > 0) {  // the text lies inside the list it goes into
    src = reinterpret_cast<const char*>(p + textAt % n);
    srcLen = (WORD)std::min<DWORD>(srcLen, n - textAt % n);
    text.assign(src, srcLen);
  }
  if (!lockFirst) OSUnlockObject(h);
  WORD size = (WORD)claimed;
  STATUS st = ListAddEntry(h, withType, &size, entry, src, srcLen);
  if (lockFirst) OSUnlockObject(h);
  WQ_FUZZ_CHECK((p = static_cast<BYTE*>(OSLockObject(h))) != nullptr);
  DWORD blockSize = 0;
  OSMemGetSize(h, &blockSize);
  if (st == NOERROR) {
    WQ_FUZZ_CHECK(claimed <= 0xFFFF && sound && entry <= before.size());
    WQ_FUZZ_CHECK(size == claimed + 2 + srcLen && size <= blockSize);
    WQ_FUZZ_CHECK(Entries(p, withType, size, &after));
    before.insert(before.begin() + entry, text);
    WQ_FUZZ_CHECK(after == before);
  } else {
    WQ_FUZZ_CHECK(st == ERR_LIST_CORRUPT || st == ERR_LIST_INDEX || st == ERR_LIST_FULL ||
                  st == ERR_MEMORY);
    WQ_FUZZ_CHECK(size == (WORD)claimed);
  }
  OSUnlockObject(h);
  OSMemFree(h);
}

void Allocate(FuzzedDataProvider& in, BOOL withType) {
  WORD entries = in.ConsumeIntegral<WORD>(), textSize = in.ConsumeIntegral<WORD>();
  if (in.ConsumeBool()) entries %= 300, textSize %= 300;
  DHANDLE h = NULLHANDLE;
  void* list = nullptr;
  WORD size = 0;
  Texts got;
  STATUS st = ListAllocate(entries, textSize, withType, &h, &list, &size);
  WQ_FUZZ_CHECK(st == NOERROR || ((st == ERR_LIST_FULL || st == ERR_MEMORY) && !h));
  if (st != NOERROR) return;
  WQ_FUZZ_CHECK(Entries(static_cast<const BYTE*>(list), withType, size, &got));
  WQ_FUZZ_CHECK(got.size() == entries);
  OSUnlockObject(h);
  OSMemFree(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DWORD baseline = OSMemTestTotalBlocks();
  FuzzedDataProvider in(data, size);
  const BOOL withType = in.ConsumeBool() ? TRUE : FALSE;
  // The whole buffer as a list, then with a claimed length short of it.
  const std::vector<BYTE> bytes = in.ConsumeBytes<BYTE>(in.ConsumeIntegralInRange<DWORD>(0, 70000));
  const DWORD n = (DWORD)bytes.size();
  Texts entries;
  Entries(bytes.data(), withType, n, &entries);
  if (const DWORD shorter = ClaimedSize(in, n); shorter <= n)
    Entries(bytes.data(), withType, shorter, &entries);
  AddEntry(in, bytes, withType);
  Allocate(in, withType);
  WQ_FUZZ_CHECK(OSMemTestTotalBlocks() == baseline);  // no block leaked
  return 0;
}
