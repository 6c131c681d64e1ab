// Formula search.  When the formula is an OR of ANDs of equality tests
// (formula::IndexPlan), candidates come from the summary index: one index
// range per conjunction, so the work follows the number of matches and not
// the size of the database.  Anything else scans the documents in note-id
// order.  Either way each candidate's summary items, and only those, are
// read and the formula is evaluated over them before the callback sees the
// document.
//
// A requeue pass searches again after every batch of 100 messages, and
// every search reports every match; so the documents that still match are
// visited again and again.  Their summary items are therefore cached per
// connection (Conn::searchCache), bounded (kCacheLimit) by emptying it.
// While the connection holds the writer lock the cache is exact: every
// change to the file goes through it and forgets the document it saves or
// deletes.  Without the lock (read-only handles only) the cache is checked
// against the data version of the search's snapshot first (ConnSync): a
// reader never answers from a document as it was before a writer's commit
// that the snapshot already holds.
//
// A search runs in one read transaction, a snapshot of the file: a reader's
// counts add up to one moment of the file, and the search takes SQLite's
// WAL read lock once instead of once per statement (two per document it
// loads), which is most of what locking costs the first search of a pass.
// A write through the connection ends the snapshot first (GetWritableDb),
// so a callback may still save and delete.
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
constexpr size_t kCacheLimit = 32u << 20;  // bytes of cached tables
constexpr size_t kEntryOverhead = 96;      // map node and entry, roughly

struct Header {
  NOTEID id = 0;
  WORD cls = 0;
  int64_t modified = 0;
  ORIGINATORID oid = {};
};

// Buffers reused from document to document of one search.
struct Entry {
  int64_t seq;
  size_t at;  // offset of the name in `data`
  WORD nameLen, valueLen;
};
struct Scratch {
  std::vector<Entry> entries;
  std::vector<char> data;
  std::vector<char> table;
  std::vector<formula::RawItem> raw;
};

// Loads a document's header and summary items; builds the ITEM_TABLE in
// `sc.table` and points `sc.raw` at its names and values.
STATUS LoadSummary(Conn* c, Header* h, Scratch& sc) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSearchItems, &st);
  if (!s) return st;
  sc.entries.clear();
  sc.data.clear();
  bool header = false, sorted = true;
  {
    StmtReset reset(s);
    sqlite3_bind_int64(s, 1, KeyFirst(h->id));
    sqlite3_bind_int64(s, 2, KeyLast(h->id));
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      int nl = sqlite3_column_bytes(s, 0);
      const char* name = static_cast<const char*>(sqlite3_column_blob(s, 0));
      int vl = sqlite3_column_bytes(s, 1);
      const char* value = static_cast<const char*>(sqlite3_column_blob(s, 1));
      int64_t slot = sqlite3_column_int64(s, 2) & kSlotMask;
      if (slot == 0) {
        if (!DecodeHeader(value, vl, &h->modified, &h->oid)) {
          return ERR_DB_CORRUPT;
        }
        header = true;
        continue;
      }
      if (vl < 2 || value == nullptr || nl > 0xFFFF || vl > 0xFFFF) {
        return ERR_DB_CORRUPT;
      }
      if (!sc.entries.empty() && sc.entries.back().seq > SeqOf(slot)) {
        sorted = false;
      }
      sc.entries.push_back(Entry{SeqOf(slot), sc.data.size(),
                                 static_cast<WORD>(nl), static_cast<WORD>(vl)});
      if (nl) sc.data.insert(sc.data.end(), name, name + nl);
      sc.data.insert(sc.data.end(), value, value + vl);
    }
    if (rc != SQLITE_DONE) return SqlStatus(rc);
  }
  if (!header) return ERR_DB_CORRUPT;
  // Large summary values are stored after the small ones; the table lists
  // the items in their own order.
  if (!sorted) {
    std::sort(sc.entries.begin(), sc.entries.end(),
              [](const Entry& a, const Entry& b) { return a.seq < b.seq; });
  }
  size_t head = sizeof(ITEM_TABLE) + sc.entries.size() * sizeof(ITEM);
  size_t total = head + sc.data.size();
  sc.table.resize(total);
  char* out = sc.table.data();
  ITEM_TABLE t;
  t.Length = static_cast<WORD>(total > 0xFFFF ? 0xFFFF : total);
  t.Items = static_cast<WORD>(sc.entries.size());
  memcpy(out, &t, sizeof t);
  size_t at = head;
  sc.raw.clear();
  for (size_t i = 0; i < sc.entries.size(); ++i) {
    const Entry& e = sc.entries[i];
    ITEM it{e.nameLen, e.valueLen};
    memcpy(out + sizeof t + i * sizeof(ITEM), &it, sizeof it);
    memcpy(out + at, sc.data.data() + e.at, e.nameLen + e.valueLen);
    sc.raw.push_back(formula::RawItem{
        std::string_view(out + at, e.nameLen),
        std::string_view(out + at + e.nameLen, e.valueLen)});
    at += e.nameLen + e.valueLen;
  }
  return NOERROR;
}

// The note ids that may satisfy the plan, ascending, without duplicates,
// read lazily: one key range of the index per conjunction, each fetched a
// chunk at a time (chunks growing from a few rows), merged by note id.  A
// search whose callback stops it early (a message list that is full) so
// reads only about as many index rows as it reports documents, instead of
// every match: the requeue pass searches again after every batch, and
// collecting all matches each time made it quadratic in their number.
// No statement stays open between fetches, so the callback may write.
class Candidates {
 public:
  Candidates(Conn* c, const std::vector<std::vector<formula::EqTerm>>& plan, NOTEID after)
      : c_(c) {
    for (const auto& conj : plan) {
      // Every term of a conjunction must hold, so any one term's matches
      // cover the conjunction; the first will do.
      Range r;
      const formula::EqTerm& term = conj.front();
      LowerAscii(term.name, &r.nameLc);
      r.isNumber = term.isNumber;
      r.number = term.number;
      if (!term.isNumber) LowerAscii(term.text, &r.textLc);
      r.after = after;
      ranges_.push_back(std::move(r));
    }
  }

  // The next candidate into *id; false at the end.  A failure to read the
  // index is returned with *id unchanged.
  STATUS Next(NOTEID* id, bool* more) {
    *more = false;
    NOTEID best = 0;
    bool any = false;
    for (Range& r : ranges_) {
      if (r.pos == r.ids.size() && !r.done) {
        STATUS st = Fetch(&r);
        if (st) return st;
      }
      if (r.pos < r.ids.size() && (!any || r.ids[r.pos] < best)) {
        best = r.ids[r.pos];
        any = true;
      }
    }
    if (!any) return NOERROR;
    for (Range& r : ranges_)
      while (r.pos < r.ids.size() && r.ids[r.pos] == best) r.pos++;
    *id = best;
    *more = true;
    return NOERROR;
  }

 private:
  struct Range {
    std::string nameLc, textLc;
    bool isNumber = false;
    double number = 0;
    std::vector<NOTEID> ids;
    size_t pos = 0;
    NOTEID after = 0;
    int chunk = 32;
    bool done = false;
  };

  STATUS Fetch(Range* r) {
    STATUS st = NOERROR;
    sqlite3_stmt* s = Stmt(c_, kStSummaryRange, &st);
    if (!s) return st;
    StmtReset reset(s);
    sqlite3_bind_text(s, 1, r->nameLc.data(), static_cast<int>(r->nameLc.size()),
                      SQLITE_STATIC);
    if (r->isNumber) {
      sqlite3_bind_double(s, 2, r->number);
    } else {
      sqlite3_bind_text(s, 2, r->textLc.data(), static_cast<int>(r->textLc.size()),
                        SQLITE_STATIC);
    }
    sqlite3_bind_int64(s, 3, r->after);
    sqlite3_bind_int(s, 4, r->chunk);
    r->ids.clear();
    r->pos = 0;
    int rc, rows = 0;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      NOTEID id = static_cast<NOTEID>(sqlite3_column_int64(s, 0));
      rows++;
      if (r->ids.empty() || r->ids.back() != id) r->ids.push_back(id);
    }
    if (rc != SQLITE_DONE) return SqlStatus(rc);
    if (rows < r->chunk) r->done = true;
    if (!r->ids.empty()) r->after = r->ids.back();
    // A note's rows may have filled the chunk alone: its next fetch starts
    // after it, so no id repeats and none is skipped.
    if (r->chunk < 4096) r->chunk *= 2;
    return NOERROR;
  }

  Conn* c_;
  std::vector<Range> ranges_;
};

STATUS LoadClass(Conn* c, NOTEID id, WORD* cls, bool* found) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNoteClass, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, id);
  int rc = sqlite3_step(s);
  *found = rc == SQLITE_ROW;
  if (rc == SQLITE_DONE) return NOERROR;
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  *cls = static_cast<WORD>(sqlite3_column_int(s, 0));
  return NOERROR;
}

// Whether a note has any item row at all.
STATUS HasRows(Conn* c, NOTEID id, bool* rows) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemKeyAfter, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, KeyFirst(id));
  sqlite3_bind_int64(s, 2, KeyLast(id));
  int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlStatus(rc);
  *rows = rc == SQLITE_ROW;
  return NOERROR;
}

// Points `sc.raw` at the items of an ITEM_TABLE built by LoadSummary.
void RawFromTable(const std::vector<char>& table, Scratch& sc) {
  sc.raw.clear();
  ITEM_TABLE t;
  memcpy(&t, table.data(), sizeof t);
  const char* items = table.data() + sizeof t;
  const char* p = items + t.Items * sizeof(ITEM);
  for (WORD i = 0; i < t.Items; ++i) {
    ITEM it;
    memcpy(&it, items + i * sizeof(ITEM), sizeof it);
    sc.raw.push_back(formula::RawItem{
        std::string_view(p, it.NameLength),
        std::string_view(p + it.NameLength, it.ValueLength)});
    p += it.NameLength + it.ValueLength;
  }
}

// Keeps what LoadSummary found for the next search.  Best effort: a
// failure to cache costs only speed.
void Remember(Conn* c, const Header& h, const Scratch& sc) {
  size_t add = sc.table.size() + kEntryOverhead;
  if (c->searchCacheBytes + add > kCacheLimit) {
    c->searchCache.clear();
    c->searchCacheBytes = 0;
  }
  try {
    SearchEntry e;
    e.cls = h.cls;
    e.modified = h.modified;
    e.oid = h.oid;
    e.table = sc.table;
    auto [it, inserted] = c->searchCache.emplace(h.id, std::move(e));
    if (inserted) c->searchCacheBytes += add;
  } catch (...) {
  }
}

// What a search found it could not decode, and whether the damaged
// documents go to the callback too.
struct Damage {
  bool report = false;
  std::vector<NOTEID> ids;
  bool index = false;  // the search index could not be used
};

// True for a STATUS that says this document's rows cannot be decoded (or
// its page read), as opposed to a failure of the search itself.
inline bool DocumentDamage(STATUS st) { return st == ERR_DB_CORRUPT; }

// Evaluates one document and reports a match.  `cls` is its class when
// the caller knows it (0: look it up).  A document whose header or
// summary values cannot be decoded matches nothing: it is noted in
// `damage` (and reported when asked for) and the search goes on.  Returns
// the callback's result (nonzero stops the search).
STATUS Visit(Conn* c, NOTEID id, WORD cls, WORD mask, const Since& since,
             const formula::Program* program, Scratch& sc, Damage* damage,
             STATUS (*fn)(void*, const SearchHit&), void* arg) {
  Header h;
  h.id = id;
  const std::vector<char>* table = nullptr;
  auto hit = c->searchCache.find(id);
  if (hit != c->searchCache.end()) {
    const SearchEntry& e = hit->second;
    h.cls = e.cls;
    h.modified = e.modified;
    h.oid = e.oid;
    if ((h.cls & mask) == 0 || !since.Takes(h.modified)) return NOERROR;
    table = &e.table;
    RawFromTable(*table, sc);
  } else {
    STATUS st = NOERROR;
    if (cls == 0) {
      bool found = false;
      st = LoadClass(c, id, &cls, &found);
      // No note row: deleted since the lookup (by this search's callback),
      // unless its items are still there: then its note row is lost.
      if (!st && !found) {
        bool rows = false;
        st = HasRows(c, id, &rows);
        if (!st && !rows) return NOERROR;
        if (!st) st = ERR_DB_CORRUPT;
      }
    }
    h.cls = cls;
    if (!st && (h.cls & mask) == 0) return NOERROR;
    if (!st) st = LoadSummary(c, &h, sc);
    if (DocumentDamage(st)) {
      try {
        damage->ids.push_back(id);
      } catch (...) {
        return ERR_MEMORY;
      }
      if (!damage->report) return NOERROR;
      static const ITEM_TABLE kEmpty = {sizeof(ITEM_TABLE), 0};
      SearchHit out;
      out.id = id;
      out.noteClass = h.cls;
      out.oid = &h.oid;
      sc.table.assign(reinterpret_cast<const char*>(&kEmpty),
                      reinterpret_cast<const char*>(&kEmpty) + sizeof kEmpty);
      out.table = reinterpret_cast<ITEM_TABLE*>(sc.table.data());
      out.damaged = true;
      return fn(arg, out);
    }
    if (st) return st;
    Remember(c, h, sc);
    if (!since.Takes(h.modified)) return NOERROR;
    table = &sc.table;
  }
  if (program != nullptr && !formula::Evaluate(*program, sc.raw)) {
    return NOERROR;
  }
  // The callback gets its own copy of the table: it may save or delete
  // documents, which changes the cache under a pointer into it.
  if (table != &sc.table) sc.table = *table;
  SearchHit out;
  out.id = h.id;
  out.noteClass = h.cls;
  out.oid = &h.oid;
  out.table = reinterpret_cast<ITEM_TABLE*>(sc.table.data());
  return fn(arg, out);
}

// The read transaction of a search.  Holds a reference to the connection,
// so a callback that closes the search's last handle does not close the
// connection under it.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Conn* c) : c_(c) { ++c_->refs; }
  ~ReadSnapshot() {
    if (began_) EndSnapshot(c_);
    ConnRelease(c_, false);
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

  STATUS Begin() {
    // A search inside another's callback reads the snapshot already open.
    if (c_->snapshot) return NOERROR;
    STATUS st = NOERROR;
    sqlite3_stmt* s = Stmt(c_, kStBegin, &st);
    if (!s) return st;
    st = StepDone(s);
    if (st) return st;
    c_->snapshot = began_ = true;
    // Without the writer lock, its first read (the data version) fixes
    // the snapshot.
    return ConnSync(c_);
  }

 private:
  Conn* c_;
  bool began_ = false;
};

}  // namespace

void SearchForget(Conn* c, NOTEID id) {
  auto it = c->searchCache.find(id);
  if (it == c->searchCache.end()) return;
  c->searchCacheBytes -= it->second.table.size() + kEntryOverhead;
  c->searchCache.erase(it);
}

// Adds what one search found damaged to its handle's record.
void RecordDamage(DBHANDLE db, const Damage& damage) {
  Db* d = GetDb(db);
  if (d == nullptr) return;
  try {
    d->damaged.insert(damage.ids.begin(), damage.ids.end());
  } catch (...) {
  }
  if (damage.index) d->indexDamaged = true;
}

STATUS SearchRun(DBHANDLE db, std::string_view text, WORD mask,
                 const TIMEDATE* since, WORD flags,
                 STATUS (*fn)(void* arg, const SearchHit& hit), void* arg, NOTEID after) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  Damage damage;
  damage.report = (flags & SEARCH_REPORT_DAMAGED) != 0;
  struct Record {
    DBHANDLE db;
    Damage* damage;
    ~Record() { RecordDamage(db, *damage); }
  } record{db, &damage};
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
    ReadSnapshot snapshot(d->conn);
    STATUS sst = snapshot.Begin();
    if (sst) return sst;
    Scratch sc;
    NOTEID last = after;  // the scan goes on after the last document visited
    if (plan) {
      Candidates candidates(d->conn, *plan, after);
      for (;;) {
        NOTEID id = 0;
        bool more = false;
        STATUS st = candidates.Next(&id, &more);
        if (DocumentDamage(st) || st == ERR_DB_IO) {
          // A damaged index page must not take the queue down: the scan
          // below evaluates the same formula on every later document.
          damage.index = true;
          break;
        }
        if (st) return st;
        if (!more) return NOERROR;
        // The callback may have closed the database.
        d = GetDb(db);
        if (d == nullptr) return ERR_BAD_DB;
        st = Visit(d->conn, id, 0, mask, sinceAt, program.get(), sc, &damage, fn, arg);
        if (st) return st;
        last = id;
      }
    }
    std::vector<std::pair<NOTEID, WORD>> batch;
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
          last = static_cast<NOTEID>(sqlite3_column_int64(s, 0));
          WORD cls = static_cast<WORD>(sqlite3_column_int(s, 1));
          ++rows;
          if (cls & mask) batch.emplace_back(last, cls);
        }
        if (rc != SQLITE_DONE) return SqlStatus(rc);
      }
      for (const auto& [id, cls] : batch) {
        d = GetDb(db);
        if (d == nullptr) return ERR_BAD_DB;
        STATUS st = Visit(d->conn, id, cls, mask, sinceAt, program.get(), sc, &damage,
                          fn, arg);
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
  m.SERetFlags = hit.damaged ? SE_FDAMAGED : SE_FMATCH;
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
  STATUS st = SearchRun(db, text, noteClassMask, since, searchFlags, ToCallback, &ca);
  if (st == NOERROR && retUntil != nullptr) *retUntil = started;
  return st;
}

STATUS QDSSearchAfter(DBHANDLE db, FORMULAHANDLE formula, WORD searchFlags,
                      WORD noteClassMask, NOTEID after, QDS_SEARCH_CALLBACK callback,
                      void* arg) {
  if (GetDb(db) == nullptr) return ERR_BAD_DB;
  if (callback == nullptr) return ERR_BAD_ARG;
  std::string text;
  if (formula != NULLHANDLE) {
    STATUS st = tavlo::formula::TextFromHandle(formula, &text);
    if (st) return st;
  }
  CallbackArg ca{callback, arg};
  return SearchRun(db, text, noteClassMask, nullptr, searchFlags, ToCallback, &ca, after);
}

STATUS QDSDbSearchDamage(DBHANDLE db, NOTEID* retIds, DWORD maxIds,
                         DWORD* retCount, BOOL* retIndexDamaged) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retCount) *retCount = static_cast<DWORD>(d->damaged.size());
  if (retIndexDamaged) *retIndexDamaged = d->indexDamaged ? TRUE : FALSE;
  DWORD n = 0;
  for (NOTEID id : d->damaged) {
    if (retIds == nullptr || n >= maxIds) break;
    retIds[n++] = id;
  }
  return NOERROR;
}
