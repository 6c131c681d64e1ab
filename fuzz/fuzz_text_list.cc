// Text lists from untrusted bytes.  A list loaded from disk is checked with
// ListCheck before anything indexes it, so the target holds the runtime to
// this: on any bytes ListCheck either refuses (a STATUS) or every entry it
// vouched for lies inside the buffer; ListAddEntry on any block and any
// claimed length either refuses or leaves a whole list with the new entry
// in place and the others unchanged; ListAllocate gives a whole list or a
// STATUS.  The list bytes sit in a heap block of exactly their length, so
// a read one byte past them is an ASan report.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

constexpr WORD kTag = 0x7E01;  // this target's own blocks

// The entries of a list by a plain reading of the layout, independent of
// the runtime: false when the list is not whole within `size` bytes.
bool Parse(const BYTE* list, BOOL withType, DWORD size,
           std::vector<std::string>* out) {
  out->clear();
  const DWORD header = withType ? 4 : 2;
  if (size < header) return false;
  if (withType && (list[0] | list[1] << 8) != TYPE_TEXT_LIST) return false;
  const DWORD count = list[header - 2] | list[header - 1] << 8;
  if (header + 2 * count > size) return false;
  DWORD at = header + 2 * count;
  for (DWORD i = 0; i < count; ++i) {
    DWORD len = list[header + 2 * i] | list[header + 2 * i + 1] << 8;
    if (len > size - at) return false;
    out->emplace_back(reinterpret_cast<const char*>(list + at), len);
    at += len;
  }
  return true;
}

// Checks the list with the runtime against the plain reading, then reads
// entries through ListGetText (the first and last few: each read walks the
// lengths before it) and checks each lies where the plain reading says.
// Returns the entries when the list is whole.
bool Entries(const BYTE* list, BOOL withType, DWORD size,
             std::vector<std::string>* out) {
  const bool whole = Parse(list, withType, size, out);
  const bool checked = ListCheck(list, withType, size) == NOERROR;
  WQ_FUZZ_CHECK(whole == checked, "ListCheck says %d for a list that is %s",
                checked, whole ? "whole" : "not whole");
  if (!checked) return false;
  const WORD count = ListGetNumEntries(list, withType);
  WQ_FUZZ_CHECK(count == out->size(), "count %u, plainly %zu", count,
                out->size());
  for (DWORD i = 0; i < count; ++i) {
    if (i == 16 && count > 32) i = count - 16;
    char* text = nullptr;
    WORD len = 0xFFFF;
    STATUS st = ListGetText(list, withType, (WORD)i, &text, &len);
    WQ_FUZZ_CHECK(st == NOERROR, "ListGetText(%lu of %u) gave %u on a "
                  "checked list", (unsigned long)i, count, st);
    const BYTE* t = reinterpret_cast<const BYTE*>(text);
    WQ_FUZZ_CHECK(t >= list && t + len <= list + size,
                  "entry %lu lies outside the checked list", (unsigned long)i);
    WQ_FUZZ_CHECK(std::string(text, len) == (*out)[i],
                  "entry %lu differs from its plain reading", (unsigned long)i);
  }
  char* text = nullptr;
  WORD len = 0;
  WQ_FUZZ_CHECK(ListGetText(list, withType, count, &text, &len) ==
                    ERR_LIST_INDEX,
                "an index past the list was not refused");
  return true;
}

// A claimed length near the real one, or any length at all.
DWORD ClaimedSize(FuzzedDataProvider& in, DWORD real) {
  BYTE how = in.ConsumeIntegral<BYTE>();
  if (how < 0xC0) return real;
  if (how < 0xFF) return real + (DWORD)(how - 0xE0);  // -32 .. +30
  return in.ConsumeIntegral<WORD>();
}

void CheckAndRead(const BYTE* list, BOOL withType, DWORD size) {
  std::vector<std::string> entries;
  Entries(list, withType, size, &entries);
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
  if (OSMemAlloc(kTag, n, &h) != NOERROR) return;
  BYTE* p = static_cast<BYTE*>(OSLockObject(h));
  WQ_FUZZ_CHECK(p != nullptr, "cannot lock a new block");
  if (n) memcpy(p, bytes.data(), n);

  // The list as it was, when the claimed length describes a whole list.
  std::vector<std::string> before;
  const bool sound = claimed <= n && Entries(p, withType, claimed, &before);

  // The caller may hand in a text that lives inside the very list.
  const char* src = text.data();
  WORD srcLen = (WORD)text.size();
  std::string expect = text;
  if (textFromList && n > 0) {
    DWORD at = textAt % n;
    srcLen = (WORD)std::min<DWORD>(srcLen, n - at);
    src = reinterpret_cast<const char*>(p + at);
    expect.assign(src, srcLen);
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
    WQ_FUZZ_CHECK(claimed <= 0xFFFF && sound,
                  "ListAddEntry took a list that does not check (claimed %lu "
                  "of %lu bytes)", (unsigned long)claimed, (unsigned long)n);
    WQ_FUZZ_CHECK(size == claimed + 2 + srcLen && size <= blockSize,
                  "ListAddEntry reported %u bytes", size);
    std::vector<std::string> after;
    WQ_FUZZ_CHECK(Entries(p, withType, size, &after),
                  "the list after ListAddEntry does not check");
    WQ_FUZZ_CHECK(after.size() == before.size() + 1, "count did not grow");
    WQ_FUZZ_CHECK(entry <= before.size(), "insert past the end accepted");
    for (size_t i = 0; i < after.size(); ++i) {
      const std::string& want =
          i < entry ? before[i] : i == entry ? expect : before[i - 1];
      WQ_FUZZ_CHECK(after[i] == want, "entry %zu changed by the insert", i);
    }
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
  if (in.ConsumeBool()) {
    entries %= 300;
    textSize %= 300;
  }
  DHANDLE h = NULLHANDLE;
  void* list = nullptr;
  WORD size = 0;
  STATUS st = ListAllocate(entries, textSize, withType, &h, &list, &size);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK(st == ERR_LIST_FULL || st == ERR_MEMORY,
                  "ListAllocate gave unexpected status %u", st);
    WQ_FUZZ_CHECK(h == NULLHANDLE, "a failed ListAllocate left a handle");
    return;
  }
  std::vector<std::string> got;
  WQ_FUZZ_CHECK(Entries(static_cast<const BYTE*>(list), withType, size, &got),
                "a new list does not check");
  WQ_FUZZ_CHECK(got.size() == entries, "a new list has the wrong count");
  OSUnlockObject(h);
  OSMemFree(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DWORD baseline = OSMemTestTotalBlocks();
  FuzzedDataProvider in(data, size);
  const BOOL withType = in.ConsumeBool() ? TRUE : FALSE;
  const DWORD listLen = in.ConsumeIntegralInRange<DWORD>(0, 70000);
  std::vector<BYTE> bytes = in.ConsumeBytes<BYTE>(listLen);

  // The list alone, in a heap block of exactly its length.
  std::unique_ptr<BYTE[]> exact(new BYTE[bytes.size()]);
  if (!bytes.empty()) memcpy(exact.get(), bytes.data(), bytes.size());
  CheckAndRead(exact.get(), withType, (DWORD)bytes.size());
  // A length the caller got wrong, short of the buffer.
  DWORD shorter = ClaimedSize(in, (DWORD)bytes.size());
  if (shorter <= bytes.size()) CheckAndRead(exact.get(), withType, shorter);
  exact.reset();

  AddEntry(in, bytes, withType);
  Allocate(in, withType);
  wqfuzz::CheckBlocks(baseline, "text lists");
  return 0;
}
