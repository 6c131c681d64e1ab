// Selection formulas from untrusted text.  QDSFormulaCompile must give a
// handle or a syntax/size STATUS whose position lies inside the text; a
// formula that compiles must run as a search over a small fixed database
// (documents with well-formed and malformed summary values) without
// failing; and the answer must not depend on whether the search took its
// candidates from the summary index or scanned: the same formula wrapped
// in a double negation (which no index plan covers) must select the same
// documents.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

namespace {

DBHANDLE g_db = 0;

void Append(NOTEHANDLE n, WORD flags, const char* name, WORD type,
            const void* value, DWORD len) {
  STATUS st = QDSItemAppend(n, flags, name, (WORD)strlen(name), type, value,
                            len);
  WQ_FUZZ_CHECK(st == NOERROR, "fixture item %s: %u", name, st);
}
void Number(NOTEHANDLE n, const char* name, double v, WORD flags = ITEM_SUMMARY) {
  Append(n, flags, name, TYPE_NUMBER, &v, sizeof v);
}
void Text(NOTEHANDLE n, const char* name, const std::string& v) {
  Append(n, ITEM_SUMMARY, name, TYPE_TEXT, v.data(), (DWORD)v.size());
}
// A text list value (without its type code) from its entries.
std::string ListValue(const std::vector<std::string>& entries) {
  std::string v;
  auto word = [&v](size_t w) {
    v.push_back((char)(w & 0xFF));
    v.push_back((char)(w >> 8));
  };
  word(entries.size());
  for (const std::string& e : entries) word(e.size());
  for (const std::string& e : entries) v += e;
  return v;
}
void List(NOTEHANDLE n, const char* name, const std::vector<std::string>& e) {
  std::string v = ListValue(e);
  Append(n, ITEM_SUMMARY, name, TYPE_TEXT_LIST, v.data(), (DWORD)v.size());
}
void Save(NOTEHANDLE n) {
  WQ_FUZZ_CHECK(QDSNoteUpdate(n, 0) == NOERROR, "fixture save");
  WQ_FUZZ_CHECK(QDSNoteClose(n) == NOERROR, "fixture close");
}
NOTEHANDLE New(WORD cls = NOTE_CLASS_DOCUMENT) {
  NOTEHANDLE n = 0;
  WQ_FUZZ_CHECK(QDSNoteCreate(g_db, &n) == NOERROR, "fixture create");
  if (cls != NOTE_CLASS_DOCUMENT) QDSNoteSetInfo(n, _NOTE_CLASS, &cls);
  return n;
}

// The documents every formula runs over: the shapes a queue holds, and the
// malformed values the evaluator and the index must both pass over.
void MakeDatabase() {
  wqfuzz::DataDir();
  WQ_FUZZ_CHECK(QDSDbCreate("formula.qds", 0xFF01, TRUE) == NOERROR,
                "create the fixture database");
  WQ_FUZZ_CHECK(QDSDbOpen("formula.qds", &g_db) == NOERROR,
                "open the fixture database");
  NOTEHANDLE n = New();
  Number(n, "WQMsgStatus", 11);
  Text(n, "Subject", "Hello");
  List(n, "Tags", {"a", "B", "ccc"});
  Save(n);

  n = New();
  Number(n, "WQMsgStatus", 9);
  Text(n, "SUBJECT", "HELLO");
  List(n, "Tags", {""});
  Number(n, "Retries", -1.5);
  Save(n);

  n = New();
  Number(n, "WQMsgStatus", -0.0);
  Text(n, "Subject", "");
  List(n, "Tags", {});
  Number(n, "Other", __builtin_nan(""));
  Number(n, "Big", 1e308);
  Save(n);

  n = New();
  Append(n, ITEM_SUMMARY, "WQMsgStatus", TYPE_NUMBER, "\x01\x02\x03\x04", 4);
  List(n, "Subject", {"x", "Hello"});
  TIMEDATE t;
  OSCurrentTIMEDATE(&t);
  Append(n, ITEM_SUMMARY, "When", TYPE_TIME, &t, sizeof t);
  Save(n);

  n = New();
  Text(n, "WQMsgStatus", "11");
  // Counts that overrun the value: a reader must pass over it.
  Append(n, ITEM_SUMMARY, "Tags", TYPE_TEXT_LIST, "\x05\x00\x01\x00a", 5);
  Append(n, ITEM_SUMMARY, "Empty", TYPE_TEXT_LIST, "", 0);
  Append(n, ITEM_SUMMARY, "Odd", 0x7777, "zz", 2);
  Save(n);

  n = New();
  Number(n, "WQMsgStatus", 11, 0);  // not a summary item: invisible
  Text(n, "Name", "\xC3\xA4\xFF");
  Number(n, "Status", 7);
  Number(n, "status", 10);  // duplicate name, other case
  Save(n);

  n = New(NOTE_CLASS_VIEW);
  Number(n, "WQMsgStatus", 11);
  Text(n, "$TITLE", "view");
  Save(n);
}

struct Found {
  std::vector<NOTEID> ids;
};

// Walks the summary table handed to the callback, as a caller would.
STATUS Collect(void* arg, SEARCH_MATCH* match, ITEM_TABLE* table) {
  static_cast<Found*>(arg)->ids.push_back(match->ID.NoteID);
  if (table != nullptr) {
    const char* p = reinterpret_cast<const char*>(table + 1);
    const ITEM* items = reinterpret_cast<const ITEM*>(p);
    const char* data = p + sizeof(ITEM) * table->Items;
    unsigned sum = 0;
    for (WORD i = 0; i < table->Items; ++i) {
      for (DWORD k = 0; k < (DWORD)items[i].NameLength + items[i].ValueLength;
           ++k) {
        sum += (unsigned char)data[k];
      }
      data += items[i].NameLength + items[i].ValueLength;
    }
    (void)sum;
  }
  return NOERROR;
}

// Compiles `text`; on success searches with it and returns the matches.
// *compiled tells whether it compiled.
std::vector<NOTEID> Run(const std::string& text, WORD mask, bool* compiled) {
  FORMULAHANDLE f = NULLHANDLE;
  WORD flen = 0, line = 0, column = 0, offset = 0, length = 0;
  STATUS cerr = 0;
  STATUS st = QDSFormulaCompile("fuzz", 4, text.data(), (WORD)text.size(), &f,
                                &flen, &cerr, &line, &column, &offset, &length);
  *compiled = st == NOERROR;
  if (st != NOERROR) {
    WQ_FUZZ_CHECK(st == ERR_FORMULA_SYNTAX || st == ERR_FORMULA_TOO_BIG,
                  "compile gave unexpected status %u", st);
    WQ_FUZZ_CHECK(f == NULLHANDLE, "a failed compile left a handle");
    WQ_FUZZ_CHECK(cerr == st, "compile error %u for status %u", cerr, st);
    WQ_FUZZ_CHECK(line >= 1 && column >= 1, "error at line %u column %u",
                  line, column);
    WQ_FUZZ_CHECK((size_t)offset + length <= text.size(),
                  "error token %u+%u past the text of %zu", offset, length,
                  text.size());
    return {};
  }
  WQ_FUZZ_CHECK(f != NULLHANDLE && flen > 0, "compile gave no handle");
  Found found;
  st = QDSSearch(g_db, f, nullptr, SEARCH_SUMMARY, mask, nullptr, Collect,
                 &found, nullptr);
  OSMemFree(f);
  WQ_FUZZ_CHECK(st == NOERROR, "search with a compiled formula gave %u", st);
  return found.ids;
}

// The database stays open across runs; it is closed at exit so the leak
// check at the end sees nothing of it.  The store keeps its handle tables
// in function-local statics, destroyed at exit in the reverse order of
// their construction among the exit handlers: WarmUp builds them all
// before the handler is registered, so they outlive it.
void WarmUp(DBHANDLE db) {
  NOTEHANDLE n = 0;
  if (QDSNoteCreate(db, &n) == NOERROR) QDSNoteClose(n);
  QVWCloseCollection(0);
  QDSSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL, nullptr,
            [](void*, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS { return NOERROR; },
            nullptr, nullptr);
}
void CloseAtExit() { QDSDbClose(g_db); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeDatabase();
  WarmUp(g_db);
  atexit(CloseAtExit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFF) return 0;  // lengths are 16-bit
  const DWORD baseline = OSMemTestTotalBlocks();
  std::string text(reinterpret_cast<const char*>(data), size);
  bool compiled = false;
  std::vector<NOTEID> direct = Run(text, NOTE_CLASS_DOCUMENT, &compiled);
  if (compiled) {
    bool again = false;
    std::vector<NOTEID> scanned = Run("!!(" + text + "\n)",
                                      NOTE_CLASS_DOCUMENT, &again);
    if (again) {
      WQ_FUZZ_CHECK(scanned == direct,
                    "index and scan disagree: %zu against %zu matches",
                    direct.size(), scanned.size());
    }
    Run(text, NOTE_CLASS_ALL, &again);
  }
  wqfuzz::CheckBlocks(baseline, "formula");
  return 0;
}
