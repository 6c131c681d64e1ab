// Selection formulas from untrusted text.  QDSFormulaCompile gives a handle
// or a syntax/size STATUS placed inside the text; a compiled formula searches
// a fixed database (with malformed summary values) without failing; and its
// double negation, which no index plan covers, selects the same documents.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

DBHANDLE g_db = 0;

struct Value { const char* name; WORD type; std::string bytes; WORD flags = ITEM_SUMMARY; };
std::string Num(double v) { return std::string((const char*)&v, sizeof v); }
std::string List(const std::vector<std::string>& entries) {
  std::string v, texts;
  auto word = [&v](size_t w) { v += (char)(w & 0xFF), v += (char)(w >> 8); };
  word(entries.size());
  for (const std::string& e : entries) word(e.size()), texts += e;
  return v + texts;
}

// The shapes a queue holds and malformed values that the evaluator and the
// index must both pass over.  The last document is a view.
void MakeDatabase() {
  g_db = wqfuzz::OpenSharedDb("formula.qds", 0xFF01);
  TIMEDATE t;
  OSCurrentTIMEDATE(&t);
  const std::vector<std::vector<Value>> docs = {
      {{"WQMsgStatus", TYPE_NUMBER, Num(11)}, {"Subject", TYPE_TEXT, "Hello"},
       {"Tags", TYPE_TEXT_LIST, List({"a", "B", "ccc"})}},
      {{"WQMsgStatus", TYPE_NUMBER, Num(9)}, {"SUBJECT", TYPE_TEXT, "HELLO"},
       {"Tags", TYPE_TEXT_LIST, List({""})}, {"Retries", TYPE_NUMBER, Num(-1.5)}},
      {{"WQMsgStatus", TYPE_NUMBER, Num(-0.0)}, {"Subject", TYPE_TEXT, ""},
       {"Tags", TYPE_TEXT_LIST, List({})}, {"Big", TYPE_NUMBER, Num(1e308)},
       {"Other", TYPE_NUMBER, Num(__builtin_nan(""))}},
      {{"WQMsgStatus", TYPE_NUMBER, "\x01\x02\x03\x04"},
       {"Subject", TYPE_TEXT_LIST, List({"x", "Hello"})},
       {"When", TYPE_TIME, std::string((const char*)&t, sizeof t)}},
      {{"WQMsgStatus", TYPE_TEXT, "11"}, {"Empty", TYPE_TEXT_LIST, ""},
       {"Tags", TYPE_TEXT_LIST, std::string("\x05\x00\x01\x00" "a", 5)}, {"Odd", 0x7777, "zz"}},
      {{"WQMsgStatus", TYPE_NUMBER, Num(11), 0},  // not summary: invisible
       {"Name", TYPE_TEXT, "\xC3\xA4\xFF"}, {"Status", TYPE_NUMBER, Num(7)},
       {"status", TYPE_NUMBER, Num(10)}},
      {{"WQMsgStatus", TYPE_NUMBER, Num(11)}, {"$TITLE", TYPE_TEXT, "view"}}};
  for (size_t i = 0; i < docs.size(); ++i) {
    NOTEHANDLE n = 0;
    WORD cls = NOTE_CLASS_VIEW;
    WQ_FUZZ_CHECK(QDSNoteCreate(g_db, &n) == NOERROR);
    if (i + 1 == docs.size()) QDSNoteSetInfo(n, _NOTE_CLASS, &cls);
    for (const Value& v : docs[i])
      WQ_FUZZ_CHECK(QDSItemAppend(n, v.flags, v.name, (WORD)strlen(v.name), v.type,
                                  v.bytes.data(), (DWORD)v.bytes.size()) == NOERROR);
    WQ_FUZZ_CHECK(QDSNoteUpdate(n, 0) == NOERROR && QDSNoteClose(n) == NOERROR);
  }
}

// Collects the matches and reads the summary items as a caller would.
STATUS Collect(void* arg, SEARCH_MATCH* match, ITEM_TABLE* table) {
  static_cast<std::vector<NOTEID>*>(arg)->push_back(match->ID.NoteID);
  if (table == nullptr) return NOERROR;
  const ITEM* items = reinterpret_cast<const ITEM*>(table + 1);
  size_t len = 0;
  for (WORD i = 0; i < table->Items; ++i) len += items[i].NameLength + items[i].ValueLength;
  wqfuzz::Touch(items + table->Items, len);
  return NOERROR;
}

// What a search with `text` selects, if it compiles.
std::optional<std::vector<NOTEID>> Run(const std::string& text, WORD mask) {
  FORMULAHANDLE f = NULLHANDLE;
  WORD flen = 0, line = 0, column = 0, offset = 0, length = 0;
  STATUS cerr = 0;
  STATUS st = QDSFormulaCompile("fuzz", 4, text.data(), (WORD)text.size(), &f, &flen, &cerr,
                                &line, &column, &offset, &length);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK((st == ERR_FORMULA_SYNTAX || st == ERR_FORMULA_TOO_BIG) && cerr == st &&
                  f == NULLHANDLE);
    WQ_FUZZ_CHECK(line >= 1 && column >= 1 && (size_t)offset + length <= text.size());
    return std::nullopt;
  }
  WQ_FUZZ_CHECK(f != NULLHANDLE && flen > 0);
  std::vector<NOTEID> found;
  st = QDSSearch(g_db, f, nullptr, SEARCH_SUMMARY, mask, nullptr, Collect, &found, nullptr);
  OSMemFree(f);
  WQ_FUZZ_CHECK(st == NOERROR);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeDatabase();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFF) return 0;  // lengths are 16-bit
  const DWORD baseline = OSMemTestTotalBlocks();
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto direct = Run(text, NOTE_CLASS_DOCUMENT)) {
    const auto scanned = Run("!!(" + text + "\n)", NOTE_CLASS_DOCUMENT);
    WQ_FUZZ_CHECK(!scanned || *scanned == *direct);  // index and scan agree
    Run(text, NOTE_CLASS_ALL);
  }
  WQ_FUZZ_CHECK(OSMemTestTotalBlocks() == baseline);  // no block leaked
  return 0;
}
