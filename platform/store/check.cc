// The store's own check of a database (QDSDbCheck): what the library above
// cannot see because it reads documents one by one.  SQLite's check of its
// pages, then every document's header and summary values (what a search
// must decode), the search index against the items in both directions,
// items of notes that do not exist, and objects against their chunks.
// Each finding goes to the caller as it is made and the walk goes on; a
// table that cannot be read is itself a finding, and the other tables are
// still checked.  Reads only, in one snapshot.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

constexpr int kChunkBits = 18;       // as objects.cc
constexpr int kChunkIndexBits = 13;  // as objects.cc

// A statement for one check; a prepare that fails (a table gone) is a
// finding, so its result code is kept rather than turned into a STATUS.
class Probe {
 public:
  Probe(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
  }
  ~Probe() { sqlite3_finalize(s_); }
  sqlite3_stmt* get() const { return s_; }
  int rc() const { return rc_; }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

 private:
  sqlite3_stmt* s_ = nullptr;
  int rc_ = SQLITE_OK;
};

struct Checker {
  Conn* c;
  QDS_CHECK_CALLBACK cb;
  void* arg;
  DWORD findings = 0;
  STATUS stop = NOERROR;  // the callback's nonzero result

  bool Report(WORD kind, NOTEID note, DWORD object, const char* table,
              const std::string& text) {
    findings++;
    if (cb == nullptr) return true;
    DBCHECK_FINDING f;
    memset(&f, 0, sizeof f);
    f.Kind = kind;
    f.NoteID = note;
    f.ObjectID = object;
    f.Table = table;
    f.Text = text.c_str();
    stop = cb(arg, &f);
    return stop == NOERROR;
  }
  // A table whose rows could not all be read, in SQLite's own words ("no
  // such table: items", "database disk image is malformed").
  bool Unreadable(const char* table, int rc) {
    const char* why = rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE
                          ? "it cannot be read"
                          : sqlite3_errmsg(c->db);
    return Report(DBCHECK_UNREADABLE, 0, 0, table, std::string("rows cannot be read: ") + why);
  }
};

// SQLite's check of the file's pages and b-trees.
// The quick check looks at every page but not at an index against its
// table; the small tables whose order and index matter to the store (meta,
// and notes with its class index) get the full check even then: a few
// hundred milliseconds on a million messages.
bool CheckPages(Checker& k, bool full) {
  struct Check {
    const char* sql;
    const char* table;  // what a failure to finish it is told against
  };
  std::vector<Check> checks;
  if (full) {
    checks = {{"PRAGMA integrity_check(200)", "sqlite_schema"}};
  } else {
    checks = {{"PRAGMA quick_check(200)", "sqlite_schema"},
              {"PRAGMA integrity_check(meta)", "meta"},
              {"PRAGMA integrity_check(notes)", "notes"}};
  }
  std::vector<std::string> seen;
  for (const Check& check : checks) {
    Probe s(k.c->db, check.sql);
    if (s.rc() != SQLITE_OK) {
      if (!k.Unreadable(check.table, s.rc())) return false;
      continue;
    }
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
      if (text == nullptr || strcmp(text, "ok") == 0) continue;
      if (std::find(seen.begin(), seen.end(), text) != seen.end()) continue;
      seen.emplace_back(text);
      if (!k.Report(DBCHECK_PAGES, 0, 0, nullptr, text)) return false;
    }
    if (rc == SQLITE_DONE) continue;
    // The pages all passed the quick check, yet comparing the notes with
    // their class index could not finish: an index entry that does not
    // decode.  Said as index damage, so that a repair rebuilds the index
    // rather than salvaging a file whose documents are all sound.
    if (strcmp(check.table, "notes") == 0 && seen.empty() && k.findings == 0) {
      if (!k.Report(DBCHECK_PAGES, 0, 0, "notes",
                    std::string("the index notes_class of notes cannot be compared with it: ") +
                        sqlite3_errmsg(k.c->db)))
        return false;
      continue;
    }
    if (!k.Unreadable(check.table, rc)) return false;
  }
  return true;
}

// Every note's rows: a header that decodes, summary values a search can
// take, and each summary item's index rows present.  `notes` gets the note
// ids in order.  `expected` counts the index rows the items call for.
bool CheckNotes(Checker& k, std::vector<NOTEID>* notes, uint64_t* expected) {
  bool indexUnreadable = false;
  Probe list(k.c->db, "SELECT note_id FROM notes ORDER BY note_id");
  if (list.rc() != SQLITE_OK) return k.Unreadable("notes", list.rc());
  int rc;
  while ((rc = sqlite3_step(list.get())) == SQLITE_ROW)
    notes->push_back(static_cast<NOTEID>(sqlite3_column_int64(list.get(), 0)));
  if (rc != SQLITE_DONE && !k.Unreadable("notes", rc)) return false;

  Probe rows(k.c->db,
             "SELECT k, flags, name, value FROM items WHERE k BETWEEN ?1 AND ?2"
             " UNION ALL SELECT k, flags, name, value FROM big WHERE k BETWEEN ?1 AND ?2");
  if (rows.rc() != SQLITE_OK) return k.Unreadable("items", rows.rc());
  for (NOTEID id : *notes) {
    sqlite3_reset(rows.get());
    sqlite3_bind_int64(rows.get(), 1, KeyFirst(id));
    sqlite3_bind_int64(rows.get(), 2, KeyLast(id));
    bool header = false;
    std::string problem;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
      const int64_t slot = sqlite3_column_int64(rows.get(), 0) & kSlotMask;
      const int flags = sqlite3_column_int(rows.get(), 1);
      const char* name = static_cast<const char*>(sqlite3_column_blob(rows.get(), 2));
      const int nl = sqlite3_column_bytes(rows.get(), 2);
      const char* value = static_cast<const char*>(sqlite3_column_blob(rows.get(), 3));
      const int vl = sqlite3_column_bytes(rows.get(), 3);
      if (slot == 0) {
        int64_t modified;
        ORIGINATORID oid;
        header = true;
        if (!DecodeHeader(value, vl, &modified, &oid) &&
            !k.Report(DBCHECK_BAD_HEADER, id, 0, "items",
                      "its header row is " + std::to_string(vl) + " bytes, not " +
                          std::to_string(kHeaderSize)))
          return false;
        continue;
      }
      const std::string itemName(name ? name : "", nl);
      if ((flags & ITEM_SUMMARY) == 0) continue;
      if (vl < 2 || value == nullptr || nl > 0xFFFF || vl > 0xFFFF) {
        if (!k.Report(DBCHECK_BAD_SUMMARY, id, 0, "items",
                      "summary item '" + itemName + "' has a value of " + std::to_string(vl) +
                          " bytes that a search cannot decode"))
          return false;
        continue;
      }
      DWORD missing = 0, want = 0;
      STATUS st = SummaryCheckRows(k.c, id, slot, itemName, value, vl, &missing, &want);
      *expected += want;
      if (st) {
        // The index cannot be read at all (a dropped table, say): said
        // once, and the items are checked on without it.
        if (!indexUnreadable && !k.Unreadable("summary", sqlite3_errcode(k.c->db))) return false;
        indexUnreadable = true;
        continue;
      }
      if (missing &&
          !k.Report(DBCHECK_INDEX_MISSING, id, 0, "summary",
                    "summary item '" + itemName + "' lacks " + std::to_string(missing) +
                        " of its " + std::to_string(want) + " search index rows"))
        return false;
    }
    if (rc != SQLITE_DONE) {
      if (!k.Report(DBCHECK_UNREADABLE, id, 0, "items",
                    std::string("its rows cannot be read: ") + sqlite3_errstr(rc)))
        return false;
      continue;
    }
    if (!header && !k.Report(DBCHECK_NO_HEADER, id, 0, "items", "it has no header row"))
      return false;
  }
  return true;
}

// Index rows with no summary item behind them.  Only walked when the
// index holds more rows than the items call for.
bool CheckOrphanIndexRows(Checker& k, uint64_t expected) {
  Probe count(k.c->db, "SELECT count(*) FROM summary");
  if (count.rc() != SQLITE_OK) return k.Unreadable("summary", count.rc());
  int rc = sqlite3_step(count.get());
  if (rc != SQLITE_ROW) return k.Unreadable("summary", rc);
  if (static_cast<uint64_t>(sqlite3_column_int64(count.get(), 0)) <= expected) return true;
  Probe rows(k.c->db, "SELECT name_lc, token, note_id, seq, entry FROM summary");
  Probe item(k.c->db,
             "SELECT flags, name, value FROM items WHERE k=?1"
             " UNION ALL SELECT flags, name, value FROM big WHERE k=?1");
  if (rows.rc() != SQLITE_OK || item.rc() != SQLITE_OK) return k.Unreadable("summary", rows.rc());
  while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
    const NOTEID id = static_cast<NOTEID>(sqlite3_column_int64(rows.get(), 2));
    const int64_t slot = sqlite3_column_int64(rows.get(), 3);
    const char* nameLc = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 0));
    sqlite3_reset(item.get());
    sqlite3_bind_int64(item.get(), 1, ItemKey(id, slot));
    bool owned = false;
    if (sqlite3_step(item.get()) == SQLITE_ROW &&
        (sqlite3_column_int(item.get(), 0) & ITEM_SUMMARY)) {
      const char* name = static_cast<const char*>(sqlite3_column_blob(item.get(), 1));
      const char* value = static_cast<const char*>(sqlite3_column_blob(item.get(), 2));
      owned = value != nullptr &&
              SummaryRowBelongs(std::string_view(name ? name : "", sqlite3_column_bytes(item.get(), 1)),
                                value, sqlite3_column_bytes(item.get(), 2), rows.get());
    }
    if (!owned && !k.Report(DBCHECK_INDEX_ORPHAN, id, 0, "summary",
                            std::string("a search index row for '") + (nameLc ? nameLc : "") +
                                "' has no summary item behind it"))
      return false;
  }
  if (rc != SQLITE_DONE) return k.Unreadable("summary", rc);
  return true;
}

// Rows of `table` whose note has no row in `notes`: one seek per note.
bool CheckOrphanItems(Checker& k, const std::vector<NOTEID>& notes, const char* table) {
  std::string sql = std::string("SELECT k FROM ") + table + " WHERE k >= ?1 ORDER BY k LIMIT 1";
  Probe seek(k.c->db, sql.c_str());
  if (seek.rc() != SQLITE_OK) return k.Unreadable(table, seek.rc());
  int64_t from = 0;
  for (;;) {
    sqlite3_reset(seek.get());
    sqlite3_bind_int64(seek.get(), 1, from);
    int rc = sqlite3_step(seek.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return k.Unreadable(table, rc);
    const NOTEID id = static_cast<NOTEID>(sqlite3_column_int64(seek.get(), 0) >> kSlotBits);
    if (!std::binary_search(notes.begin(), notes.end(), id) &&
        !k.Report(DBCHECK_ORPHAN_ITEMS, id, 0, table,
                  std::string("rows in table ") + table + " of a note that does not exist"))
      return false;
    if (id == 0xFFFFFFFF) return true;
    // A damaged b-tree may hand back a key below the one asked for: the
    // walk moves on by at least one note, so it always ends.
    const int64_t next = KeyFirst(id + 1);
    from = next > from ? next : KeyFirst(static_cast<NOTEID>((from >> kSlotBits) + 1));
    if ((from >> kSlotBits) > 0xFFFFFFFFll) return true;
  }
}

// Objects against their chunks: no chunk past the object's end, every
// chunk of its right length, no chunk of an object that does not exist.
bool CheckObjects(Checker& k) {
  Probe objects(k.c->db, "SELECT rrv, size FROM objects ORDER BY rrv");
  Probe chunks(k.c->db, "SELECT k, length(data) FROM object_chunks ORDER BY k");
  if (objects.rc() != SQLITE_OK) return k.Unreadable("objects", objects.rc());
  if (chunks.rc() != SQLITE_OK) return k.Unreadable("object_chunks", chunks.rc());
  std::vector<std::pair<DWORD, int64_t>> sizes;
  int rc;
  while ((rc = sqlite3_step(objects.get())) == SQLITE_ROW)
    sizes.emplace_back(static_cast<DWORD>(sqlite3_column_int64(objects.get(), 0)),
                       sqlite3_column_int64(objects.get(), 1));
  if (rc != SQLITE_DONE && !k.Unreadable("objects", rc)) return false;
  const int64_t mask = (int64_t{1} << kChunkIndexBits) - 1;
  const int64_t chunk = int64_t{1} << kChunkBits;
  DWORD lastOrphan = 0;
  while ((rc = sqlite3_step(chunks.get())) == SQLITE_ROW) {
    const int64_t key = sqlite3_column_int64(chunks.get(), 0);
    const DWORD rrv = static_cast<DWORD>(key >> kChunkIndexBits);
    const int64_t index = key & mask, len = sqlite3_column_int64(chunks.get(), 1);
    auto it = std::lower_bound(sizes.begin(), sizes.end(), std::make_pair(rrv, int64_t{-1}));
    if (it == sizes.end() || it->first != rrv) {
      if (rrv != lastOrphan &&
          !k.Report(DBCHECK_OBJECT, 0, rrv, "object_chunks", "chunks of an object that does not exist"))
        return false;
      lastOrphan = rrv;
      continue;
    }
    const int64_t size = it->second, start = index * chunk;
    const int64_t want = start >= size ? 0 : std::min(chunk, size - start);
    if (want == 0 || len != want) {
      if (!k.Report(DBCHECK_OBJECT, 0, rrv, "object_chunks",
                    "chunk " + std::to_string(index) + " holds " + std::to_string(len) +
                        " bytes where the object's size of " + std::to_string(size) +
                        " calls for " + std::to_string(want)))
        return false;
    }
  }
  if (rc != SQLITE_DONE) return k.Unreadable("object_chunks", rc);
  return true;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSDbCheck(DBHANDLE db, WORD flags, QDS_CHECK_CALLBACK callback, void* arg,
                  DWORD* retFindings) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (retFindings) *retFindings = 0;
  Conn* c = d->conn;
  EndSnapshot(c);
  STATUS st = ConnSync(c);
  if (st == ERR_DB_CORRUPT) st = NOERROR;  // the check says where
  if (st) return st;
  try {
    // One snapshot: the counts add up to one moment of the file.
    if (sqlite3_exec(c->db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
      return SqlStatus(c->db, sqlite3_errcode(c->db));
    Checker k{c, callback, arg};
    std::vector<NOTEID> notes;
    uint64_t expected = 0;
    (void)(CheckPages(k, (flags & DBCHECK_FULL) != 0) && CheckNotes(k, &notes, &expected) &&
           CheckOrphanIndexRows(k, expected) && CheckOrphanItems(k, notes, "items") &&
           CheckOrphanItems(k, notes, "big") && CheckObjects(k));
    sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr);
    if (retFindings) *retFindings = k.findings;
    return k.stop;
  } catch (...) {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return ERR_MEMORY;
  }
}
