// Selection formulas from untrusted text.  QDSFormulaCompile gives a handle
// or a syntax/size STATUS whose position lies inside the text; a compiled
// formula searches a small fixed database (with well-formed and malformed
// summary values) without failing; and the same formula in a double
// negation, which no index plan covers, selects the same documents as the
// plain one, whether or not the plain one was answered from the index.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

DBHANDLE g_db = 0;

struct Value {
  const char* name;
  WORD type;
  std::string bytes;  // after the type code
  WORD flags = ITEM_SUMMARY;
};
std::string Num(double v) { return std::string((const char*)&v, sizeof v); }
std::string List(const std::vector<std::string>& entries) {
  std::string v, texts;
  auto word = [&v](size_t w) { v += (char)(w & 0xFF), v += (char)(w >> 8); };
  word(entries.size());
  for (const std::string& e : entries) word(e.size()), texts += e;
  return v + texts;
}

// The shapes a queue holds, and malformed values that the evaluator and
// the index must both pass over.  The last document is a view.
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
       {"Tags", TYPE_TEXT_LIST, List({})},
       {"Other", TYPE_NUMBER, Num(__builtin_nan(""))},
       {"Big", TYPE_NUMBER, Num(1e308)}},
      {{"WQMsgStatus", TYPE_NUMBER, "\x01\x02\x03\x04"},
       {"Subject", TYPE_TEXT_LIST, List({"x", "Hello"})},
       {"When", TYPE_TIME, std::string((const char*)&t, sizeof t)}},
      {{"WQMsgStatus", TYPE_TEXT, "11"},
       {"Tags", TYPE_TEXT_LIST, std::string("\x05\x00\x01\x00" "a", 5)},
       {"Empty", TYPE_TEXT_LIST, ""}, {"Odd", 0x7777, "zz"}},
      {{"WQMsgStatus", TYPE_NUMBER, Num(11), 0},  // not summary: invisible
       {"Name", TYPE_TEXT, "\xC3\xA4\xFF"}, {"Status", TYPE_NUMBER, Num(7)},
       {"status", TYPE_NUMBER, Num(10)}},
      {{"WQMsgStatus", TYPE_NUMBER, Num(11)}, {"$TITLE", TYPE_TEXT, "view"}}};
  for (size_t i = 0; i < docs.size(); ++i) {
    NOTEHANDLE n = 0;
    WQ_FUZZ_CHECK(QDSNoteCreate(g_db, &n) == NOERROR, "fixture create");
    WORD cls = NOTE_CLASS_VIEW;
    if (i + 1 == docs.size()) QDSNoteSetInfo(n, _NOTE_CLASS, &cls);
    for (const Value& v : docs[i]) {
      WQ_FUZZ_CHECK(QDSItemAppend(n, v.flags, v.name, (WORD)strlen(v.name),
                                  v.type, v.bytes.data(),
                                  (DWORD)v.bytes.size()) == NOERROR,
                    "fixture item %s", v.name);
    }
    WQ_FUZZ_CHECK(QDSNoteUpdate(n, 0) == NOERROR && QDSNoteClose(n) == NOERROR,
                  "fixture save");
  }
}

// Collects the matches and reads the summary items as a caller would.
STATUS Collect(void* arg, SEARCH_MATCH* match, ITEM_TABLE* table) {
  static_cast<std::vector<NOTEID>*>(arg)->push_back(match->ID.NoteID);
  if (table == nullptr) return NOERROR;
  const ITEM* items = reinterpret_cast<const ITEM*>(table + 1);
  size_t len = 0;
  for (WORD i = 0; i < table->Items; ++i)
    len += items[i].NameLength + items[i].ValueLength;
  wqfuzz::Touch(items + table->Items, len);
  return NOERROR;
}

// Compiles `text`; when it compiles, searches with it and returns the
// matches.  *compiled tells whether it compiled.
std::vector<NOTEID> Run(const std::string& text, WORD mask, bool* compiled) {
  FORMULAHANDLE f = NULLHANDLE;
  WORD flen = 0, line = 0, column = 0, offset = 0, length = 0;
  STATUS cerr = 0;
  STATUS st = QDSFormulaCompile("fuzz", 4, text.data(), (WORD)text.size(), &f,
                                &flen, &cerr, &line, &column, &offset, &length);
  std::vector<NOTEID> found;
  *compiled = st == NOERROR;
  if (st != NOERROR) {
    WQ_FUZZ_CHECK((st == ERR_FORMULA_SYNTAX || st == ERR_FORMULA_TOO_BIG) &&
                      f == NULLHANDLE && cerr == st,
                  "compile gave %u (error %u) and handle %lu", st, cerr,
                  (unsigned long)f);
    WQ_FUZZ_CHECK(line >= 1 && column >= 1 &&
                      (size_t)offset + length <= text.size(),
                  "error at line %u column %u, token %u+%u in %zu bytes", line,
                  column, offset, length, text.size());
    return found;
  }
  WQ_FUZZ_CHECK(f != NULLHANDLE && flen > 0, "compile gave no handle");
  st = QDSSearch(g_db, f, nullptr, SEARCH_SUMMARY, mask, nullptr, Collect,
                 &found, nullptr);
  OSMemFree(f);
  WQ_FUZZ_CHECK(st == NOERROR, "search with a compiled formula gave %u", st);
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
  bool compiled = false, again = false;
  const std::vector<NOTEID> direct = Run(text, NOTE_CLASS_DOCUMENT, &compiled);
  if (compiled) {
    const std::vector<NOTEID> scanned =
        Run("!!(" + text + "\n)", NOTE_CLASS_DOCUMENT, &again);
    WQ_FUZZ_CHECK(!again || scanned == direct,
                  "index and scan disagree: %zu against %zu matches",
                  direct.size(), scanned.size());
    Run(text, NOTE_CLASS_ALL, &again);
  }
  wqfuzz::CheckBlocks(baseline, "formula");
  return 0;
}
