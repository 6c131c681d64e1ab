// Formula search.  When the formula is an OR of ANDs of equality tests
// (formula::IndexPlan), candidates come from the summary index: one index
// range per conjunction, so the work follows the number of matches and not
// the size of the database.  Anything else scans the documents in note-id
// order.  Either way each candidate's summary items, and only those, are
// read and the formula is evaluated over them before the callback sees the
// document.
//
// No statement is left running while the callback runs: candidates are
// collected first (the plan case) or a batch at a time (the scan), so a
// callback may open, save or delete documents of the same database.
#include <algorithm>
#include <cstring>

#include "formula.h"
#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {

Since MakeSince(const TIMEDATE* since) {
  Since s;
  if (since == nullptr) return s;
  TIMEDATE min, wild;
  TimeConstant(TIMEDATE_MINIMUM, &min);
  TimeConstant(TIMEDATE_WILDCARD, &wild);
  if (memcmp(since, &min, sizeof min) == 0 ||
      memcmp(since, &wild, sizeof wild) == 0) {
    return s;
  }
  s.all = false;
  s.micros = TimeToMicros(since);
  return s;
}

namespace {

constexpr int kScanBatch = 256;

struct Header {
  NOTEID id;
  WORD cls;
  int64_t modified;
  ORIGINATORID oid;
};

bool Wanted(const Header& h, WORD mask, const Since& since) {
  return (h.cls & mask) != 0 && (since.all || h.modified > since.micros);
}

// Reads a row's header columns starting at `col` (class, modified, oid).
STATUS ReadHeader(sqlite3_stmt* s, int col, Header* h) {
  h->cls = static_cast<WORD>(sqlite3_column_int(s, col));
  h->modified = sqlite3_column_int64(s, col + 1);
  if (sqlite3_column_bytes(s, col + 2) != sizeof(ORIGINATORID)) {
    return ERR_DB_CORRUPT;
  }
  memcpy(&h->oid, sqlite3_column_blob(s, col + 2), sizeof(ORIGINATORID));
  return NOERROR;
}

// Buffers reused from document to document of one search.
struct Scratch {
  std::vector<ITEM> lens;
  std::vector<char> data;
  std::vector<char> table;
  std::vector<formula::RawItem> raw;
};

// Loads a document's summary items into an ITEM_TABLE in `sc.table` and
// points `sc.raw` at its names and values.
STATUS LoadSummary(Conn* c, NOTEID id, Scratch& sc) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryItems, &st);
  if (!s) return st;
  sc.lens.clear();
  sc.data.clear();
  {
    StmtReset reset(s);
    sqlite3_bind_int64(s, 1, ItemKey(id, 0));
    sqlite3_bind_int64(s, 2, ItemKey(id, kSeqMask));
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      int nl = sqlite3_column_bytes(s, 0);
      const char* name = static_cast<const char*>(sqlite3_column_blob(s, 0));
      int vl = sqlite3_column_bytes(s, 1);
      const char* value = static_cast<const char*>(sqlite3_column_blob(s, 1));
      if (vl < 2 || value == nullptr || nl > 0xFFFF || vl > 0xFFFF) {
        return ERR_DB_CORRUPT;
      }
      sc.lens.push_back(ITEM{static_cast<WORD>(nl), static_cast<WORD>(vl)});
      if (nl) sc.data.insert(sc.data.end(), name, name + nl);
      sc.data.insert(sc.data.end(), value, value + vl);
    }
    if (rc != SQLITE_DONE) return SqlStatus(rc);
  }
  size_t head = sizeof(ITEM_TABLE) + sc.lens.size() * sizeof(ITEM);
  size_t total = head + sc.data.size();
  sc.table.resize(total);
  ITEM_TABLE t;
  t.Length = static_cast<WORD>(total > 0xFFFF ? 0xFFFF : total);
  t.Items = static_cast<WORD>(sc.lens.size());
  memcpy(sc.table.data(), &t, sizeof t);
  if (!sc.lens.empty()) {
    memcpy(sc.table.data() + sizeof t, sc.lens.data(),
           sc.lens.size() * sizeof(ITEM));
  }
  if (!sc.data.empty()) {
    memcpy(sc.table.data() + head, sc.data.data(), sc.data.size());
  }
  sc.raw.clear();
  const char* p = sc.table.data() + head;
  for (const ITEM& it : sc.lens) {
    sc.raw.push_back(formula::RawItem{std::string_view(p, it.NameLength),
                                      std::string_view(p + it.NameLength,
                                                       it.ValueLength)});
    p += it.NameLength + it.ValueLength;
  }
  return NOERROR;
}

// Note ids that may satisfy the plan, ascending, without duplicates.
STATUS Candidates(Conn* c,
                  const std::vector<std::vector<formula::EqTerm>>& plan,
                  std::vector<NOTEID>* out) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryLookup, &st);
  if (!s) return st;
  std::string nameLc, textLc;
  for (const auto& conj : plan) {
    // Every term of a conjunction must hold, so any one term's matches
    // cover the conjunction; the first will do.
    const formula::EqTerm& term = conj.front();
    StmtReset reset(s);
    LowerAscii(term.name, &nameLc);
    sqlite3_bind_text(s, 1, nameLc.data(), static_cast<int>(nameLc.size()),
                      SQLITE_STATIC);
    if (term.isNumber) {
      sqlite3_bind_double(s, 2, term.number);
    } else {
      LowerAscii(term.text, &textLc);
      sqlite3_bind_text(s, 2, textLc.data(), static_cast<int>(textLc.size()),
                        SQLITE_STATIC);
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      out->push_back(static_cast<NOTEID>(sqlite3_column_int64(s, 0)));
    }
    if (rc != SQLITE_DONE) return SqlStatus(rc);
  }
  std::sort(out->begin(), out->end());
  out->erase(std::unique(out->begin(), out->end()), out->end());
  return NOERROR;
}

STATUS LoadHeader(Conn* c, NOTEID id, Header* h, bool* found) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNoteHeader, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, id);
  int rc = sqlite3_step(s);
  *found = rc == SQLITE_ROW;
  if (rc == SQLITE_DONE) return NOERROR;
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  h->id = id;
  return ReadHeader(s, 0, h);
}

// Evaluates one document and reports a match.  Returns the callback's
// result (nonzero stops the search).
STATUS Visit(Conn* c, const Header& h, const formula::Program* program,
             Scratch& sc, STATUS (*fn)(void*, const SearchHit&), void* arg) {
  STATUS st = LoadSummary(c, h.id, sc);
  if (st) return st;
  if (program != nullptr && !formula::Evaluate(*program, sc.raw)) {
    return NOERROR;
  }
  SearchHit hit;
  hit.id = h.id;
  hit.noteClass = h.cls;
  hit.oid = &h.oid;
  hit.table = reinterpret_cast<ITEM_TABLE*>(sc.table.data());
  return fn(arg, hit);
}

}  // namespace

STATUS SearchRun(DBHANDLE db, std::string_view text, WORD mask,
                 const TIMEDATE* since,
                 STATUS (*fn)(void* arg, const SearchHit& hit), void* arg) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  std::shared_ptr<const formula::Program> program;
  std::optional<std::vector<std::vector<formula::EqTerm>>> plan;
  try {
    if (!text.empty()) {
      formula::CompileError err;
      STATUS st = formula::Compile(text, &program, &err);
      if (st) return st;
      plan = formula::IndexPlan(*program);
      if (plan) {
        for (const auto& conj : *plan) {
          if (conj.empty()) plan.reset();  // an always-true branch: scan
          if (!plan) break;
        }
      }
    }
    Since sinceAt = MakeSince(since);
    Scratch sc;
    if (plan) {
      std::vector<NOTEID> ids;
      STATUS st = Candidates(d->conn, *plan, &ids);
      if (st) return st;
      for (NOTEID id : ids) {
        // The callback may have closed the database.
        d = GetDb(db);
        if (d == nullptr) return ERR_BAD_DB;
        Header h;
        bool found = false;
        st = LoadHeader(d->conn, id, &h, &found);
        if (st) return st;
        if (!found || !Wanted(h, mask, sinceAt)) continue;
        st = Visit(d->conn, h, program.get(), sc, fn, arg);
        if (st) return st;
      }
      return NOERROR;
    }
    std::vector<Header> batch;
    NOTEID last = 0;
    for (;;) {
      d = GetDb(db);
      if (d == nullptr) return ERR_BAD_DB;
      batch.clear();
      int rows = 0;
      {
        STATUS st = NOERROR;
        sqlite3_stmt* s = Stmt(d->conn, kStNotesScan, &st);
        if (!s) return st;
        StmtReset reset(s);
        sqlite3_bind_int64(s, 1, last);
        sqlite3_bind_int(s, 2, kScanBatch);
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
          Header h;
          h.id = static_cast<NOTEID>(sqlite3_column_int64(s, 0));
          st = ReadHeader(s, 1, &h);
          if (st) return st;
          last = h.id;
          ++rows;
          if (Wanted(h, mask, sinceAt)) batch.push_back(h);
        }
        if (rc != SQLITE_DONE) return SqlStatus(rc);
      }
      for (const Header& h : batch) {
        d = GetDb(db);
        if (d == nullptr) return ERR_BAD_DB;
        STATUS st = Visit(d->conn, h, program.get(), sc, fn, arg);
        if (st) return st;
      }
      if (rows < kScanBatch) break;  // a short batch was the last
    }
    return NOERROR;
  } catch (...) {
    return ERR_MEMORY;
  }
}

}  // namespace tavlo::store

using namespace tavlo::store;

namespace {

struct CallbackArg {
  QDS_SEARCH_CALLBACK callback;
  void* arg;
};

STATUS ToCallback(void* p, const SearchHit& hit) {
  const CallbackArg* ca = static_cast<const CallbackArg*>(p);
  SEARCH_MATCH m;
  memset(&m, 0, sizeof m);
  m.ID.File = hit.oid->File;
  m.ID.Note = hit.oid->Note;
  m.ID.NoteID = hit.id;
  m.OriginatorID = *hit.oid;
  m.NoteClass = hit.noteClass;
  m.SERetFlags = SE_FMATCH;
  m.SummaryLength = hit.table->Length;
  return ca->callback(ca->arg, &m, hit.table);
}

}  // namespace

STATUS QDSSearch(DBHANDLE db, FORMULAHANDLE formula, const char* viewTitle,
                 WORD searchFlags, WORD noteClassMask, const TIMEDATE* since,
                 QDS_SEARCH_CALLBACK callback, void* arg,
                 TIMEDATE* retUntil) {
  if (GetDb(db) == nullptr) return ERR_BAD_DB;
  if (callback == nullptr) return ERR_BAD_ARG;
  TIMEDATE started;
  OSCurrentTIMEDATE(&started);
  std::string text;
  if (formula != NULLHANDLE) {
    STATUS st = tavlo::formula::TextFromHandle(formula, &text);
    if (st) return st;
  }
  CallbackArg ca{callback, arg};
  STATUS st = SearchRun(db, text, noteClassMask, since, ToCallback, &ca);
  if (st == NOERROR && retUntil != nullptr) *retUntil = started;
  return st;
}
