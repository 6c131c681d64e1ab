// Files that are not ours, cut short or damaged: the store answers every
// call on them with a STATUS (ERR_NOT_A_DB, ERR_DB_CORRUPT...), never a
// crash, a read past a value it loaded or a kept memory block.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "store_test_util.h"

namespace {

using Bytes = std::string;
using Seen = std::set<STATUS>;

// Deterministic bytes that look like nothing in particular.
Bytes Garbage(size_t n, uint32_t seed) {
  Bytes b(n, '\0');
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (char& c : b) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return b;
}

// The page size SQLite's file header states (big-endian at offset 16).
size_t PageSize(const Bytes& file) {
  return (uint8_t)file[16] << 8 | (uint8_t)file[17];
}

// Reads every byte, so that ASan sees a read past the value.
void Touch(const void* p, size_t n) {
  const volatile char* b = static_cast<const char*>(p);
  for (size_t i = 0; i < n; ++i) (void)b[i];
}

class DamagedFileTest : public StoreTest {
 protected:
  // sound.qds, shaped like a queue: documents with an info block, a
  // recipient list, summary fields and some values big enough for the
  // large-value table; objects over two chunks; a view; a deleted document
  // (free pages).  Everything in the main file, so a copy is the database.
  Bytes MakeSound() {
    DBHANDLE db = NewDb("sound.qds");
    auto put = [](NOTEHANDLE n, WORD flags, const char* name, WORD type,
                  const Bytes& v) {
      EXPECT_EQ(QDSItemAppend(n, flags, name, (WORD)strlen(name), type,
                              v.data(), (DWORD)v.size()), NOERROR);
    };
    for (uint32_t i = 0; i < 24; ++i) {
      NOTEHANDLE n = 0;
      EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
      const double status = i % 3 == 0 ? 11 : 6;
      put(n, 0, "WQSMsgInfo", TYPE_USERDATA, Garbage(86, i));
      put(n, 0, "WQSRecip0", TYPE_TEXT_LIST,
          Bytes("\x02\x00\x05\x00\x03\x00" "alicebob", 14));
      put(n, ITEM_SUMMARY, "WQMsgStatus", TYPE_NUMBER,
          Bytes(reinterpret_cast<const char*>(&status), 8));
      put(n, ITEM_SUMMARY, "WQErrStr", TYPE_TEXT, "no route");
      put(n, 0, "Body0", TYPE_TEXT, Garbage(i % 4 == 0 ? 9000 : 300, 100 + i));
      notes_.push_back(SaveAndClose(n));
    }
    for (uint32_t i = 0; i < 2; ++i) {
      const Bytes data = Garbage(300000, 500 + i);
      DWORD rrv = 0;
      EXPECT_EQ(QDSDbAllocObject(db, 300000, 1, 0, &rrv), NOERROR);
      EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, data.data(), 0, 300000),
                NOERROR);
      objects_.push_back(rrv);
    }
    NOTEID view = 0;
    EXPECT_EQ(QDSViewCreate(db, "Failed", "WQMsgStatus = 11", &view), NOERROR);
    EXPECT_EQ(QDSNoteDelete(db, notes_.back(), 0), NOERROR);
    EXPECT_EQ(QDSDbClose(db), NOERROR);
    Sql("sound.qds", "PRAGMA wal_checkpoint(TRUNCATE)");
    return ReadFile(Path("sound.qds"));
  }

  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
  }

  // Every call the store offers a reader: each succeeds or gives a STATUS a
  // damaged file explains, and every value that loads is read to its last
  // byte.  The failures go to *seen, so a caller can insist on them.
  void Exercise(const std::string& name, Seen* seen) {
    auto ok = [seen](STATUS st, std::initializer_list<STATUS> allowed,
                     const char* what) {
      if (st != NOERROR) seen->insert(st);
      EXPECT_TRUE(st == NOERROR || std::count(allowed.begin(), allowed.end(),
                                              st)) << what << " gave " << st;
      return st == NOERROR;
    };
    DBHANDLE db = 0;
    if (!ok(QDSDbOpen(name.c_str(), &db), {ERR_NOT_A_DB, ERR_DB_CORRUPT}, "open"))
      return;
    for (NOTEID id : notes_) {
      NOTEHANDLE n = 0;
      if (!ok(QDSNoteOpen(db, id, 0, &n), {ERR_DB_CORRUPT, ERR_NOTE_NOT_FOUND},
              "note open"))
        continue;
      for (DWORD i = 0; i < QDSItemCount(n); ++i) {
        BLOCKID bid{};
        DWORD len = 0;
        ASSERT_EQ(QDSItemInfoByIndex(n, i, nullptr, 0, nullptr, nullptr,
                                     nullptr, &bid, &len), NOERROR);
        const char* v = OSLockBlock(bid);
        ASSERT_TRUE(v != nullptr && len >= 2) << len;
        Touch(v, len);
        OSUnlockBlock(bid);
      }
      char text[64];
      double d = 0;
      QDSItemGetText(n, "WQErrStr", text, sizeof text);  // the value parsers
      QDSItemGetNumber(n, "WQMsgStatus", &d);
      EXPECT_EQ(QDSNoteClose(n), NOERROR);
    }
    // An index lookup, a scan, and every document.
    for (const char* formula : {"WQMsgStatus = 11 | WQErrStr = \"no route\"",
                                "WQMsgStatus > 7", (const char*)nullptr}) {
      FORMULAHANDLE f = NULLHANDLE;
      if (formula != nullptr) {
        ASSERT_EQ(QDSFormulaCompile(nullptr, 0, formula, (WORD)strlen(formula),
                                    &f, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr), NOERROR);
      }
      ok(QDSSearch(db, f, nullptr, SEARCH_SUMMARY, NOTE_CLASS_ALL, nullptr,
                   [](void*, SEARCH_MATCH*, ITEM_TABLE* t) -> STATUS {
                     if (t != nullptr) Touch(t, t->Length);
                     return NOERROR;
                   }, nullptr, nullptr),
         {ERR_DB_CORRUPT}, "search");
      if (f != NULLHANDLE) OSMemFree(f);
    }
    NOTEID view = 0;
    HCOLLECTION coll = 0;
    if (ok(QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &view),
           {ERR_DB_CORRUPT, ERR_VIEW_NOT_FOUND}, "view lookup") &&
        ok(QVWOpenCollection(db, db, view, 0, NULLHANDLE, &coll, nullptr,
                             nullptr, nullptr, nullptr),
           {ERR_DB_CORRUPT, ERR_NOTE_NOT_FOUND, ERR_VIEW_NOT_FOUND},
           "collection")) {
      EXPECT_EQ(QVWCloseCollection(coll), NOERROR);
    }
    for (DWORD rrv : objects_) {
      DWORD size = 0, got = 0;
      DHANDLE h = NULLHANDLE;
      ok(QDSDbGetObjectSize(db, rrv, &size),
         {ERR_DB_CORRUPT, ERR_OBJECT_NOT_FOUND}, "object size");
      if (ok(QDSDbReadObject(db, rrv, 1000, 0xFFFFFFFF, &h),
             {ERR_DB_CORRUPT, ERR_OBJECT_NOT_FOUND}, "object read")) {
        EXPECT_EQ(OSMemGetSize(h, &got), NOERROR);
        EXPECT_EQ(got, size - 1000);
        OSMemFree(h);
      }
    }
    char info[DBINFO_SIZE];
    ok(QDSDbInfoGet(db, info), {ERR_DB_CORRUPT}, "info");
    EXPECT_EQ(QDSDbClose(db), NOERROR);
  }

  std::vector<NOTEID> notes_;  // the last one deleted
  std::vector<DWORD> objects_;
};

TEST_F(DamagedFileTest, ForeignFilesAreRefusedUntouched) {
  // Random bytes; SQLite's magic, then garbage; plain SQLite files with
  // another application's tables, with a table of our name, in WAL mode,
  // and with our marker but a newer version.
  std::vector<std::string> names = {"other", "meta", "wal", "newer"};
  for (size_t size : {0, 1, 16, 100, 4096, 70000}) {
    names.push_back("random" + std::to_string(size));
    Write(names.back() + ".qds", Garbage(size, (uint32_t)size));
    names.push_back("magic" + std::to_string(size));
    Write(names.back() + ".qds", Bytes("SQLite format 3\0", 16) +
                                     Garbage(size, (uint32_t)size + 1));
  }
  const char* meta = "CREATE TABLE meta(key TEXT PRIMARY KEY, value) "
                     "WITHOUT ROWID; INSERT INTO meta VALUES('format', ";
  Sql("other.qds", "CREATE TABLE t(a, b); INSERT INTO t VALUES(1, 'x')");
  Sql("meta.qds", meta + Bytes("'something else')"));
  Sql("wal.qds", "PRAGMA journal_mode=WAL; CREATE TABLE items(k, v)");
  Sql("newer.qds", meta + Bytes("CAST('tavlo-store' AS BLOB));"
                                "INSERT INTO meta VALUES('version', 99)"));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Bytes before = ReadFile(Path(name + ".qds"));
    DBHANDLE db = 0;
    const STATUS st = QDSDbOpen((name + ".qds").c_str(), &db);
    EXPECT_TRUE(st == ERR_NOT_A_DB ||
                (name.rfind("magic", 0) == 0 && st == ERR_DB_CORRUPT)) << st;
    EXPECT_EQ(ReadFile(Path(name + ".qds")), before) << "a foreign file changed";
  }
}

// Once SQLite's 100-byte header is whole it states the page count, and a
// shorter file is refused at open (SQLite would read the missing bytes as
// zeros without a word: a cut inside the last page changes its rows).
TEST_F(DamagedFileTest, CutDatabaseIsRefusedAtOpen) {
  const Bytes whole = MakeSound();
  const size_t ps = PageSize(whole), size = whole.size();
  ASSERT_GE(size / ps, 8u);
  for (size_t len : std::vector<size_t>{0, 10, 16, 99, 100, 101, 512, ps,
                                        ps + ps / 2, 2 * ps, 5 * ps + 7,
                                        size / 2, size - ps, size - 1}) {
    SCOPED_TRACE(::testing::Message() << "cut at " << len << " of "
                                      << whole.size());
    const std::string name = "cut" + std::to_string(len) + ".qds";
    Write(name, whole.substr(0, len));
    Seen seen;
    Exercise(name, &seen);
    EXPECT_EQ(seen, Seen{len < 100 ? ERR_NOT_A_DB : ERR_DB_CORRUPT});
  }
}

TEST_F(DamagedFileTest, GarbagePageGivesAStatus) {
  const Bytes whole = MakeSound();
  Seen seen;
  Exercise("sound.qds", &seen);
  ASSERT_EQ(seen, Seen{ERR_NOTE_NOT_FOUND}) << "the sound file reads whole";

  // Which table or index each page belongs to, from SQLite's page map.
  std::map<size_t, std::string> owners;
  sqlite3* raw = nullptr;
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_open(Path("sound.qds").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT pageno, name FROM dbstat", -1, &s,
                               nullptr), SQLITE_OK);
  while (sqlite3_step(s) == SQLITE_ROW) {
    owners[sqlite3_column_int(s, 0)] = (const char*)sqlite3_column_text(s, 1);
  }
  sqlite3_finalize(s);
  sqlite3_close(raw);
  const size_t pageSize = PageSize(whole), pages = whole.size() / pageSize;
  // Tables every read goes through (and big, which only some do).
  const std::set<std::string> core = {"big", "items", "meta", "notes",
                                      "sqlite_schema", "summary"};
  std::set<std::string> hit;
  // Page 0 stands for page 1 behind SQLite's file header: the file looks
  // like SQLite, but its schema is gone.
  for (size_t page = 0; page <= pages; ++page) {
    const std::string owner = page == 0 ? "sqlite_schema"
                              : owners.count(page) ? owners[page] : "free";
    SCOPED_TRACE(::testing::Message() << "page " << page << " (" << owner
                                      << ") of " << pages);
    const size_t at = page == 0 ? 100 : (page - 1) * pageSize,
                 len = page == 0 ? pageSize - 100 : pageSize;
    Bytes file = whole;
    file.replace(at, len, Garbage(len, (uint32_t)page));
    const std::string name = "page" + std::to_string(page) + ".qds";
    Write(name, file);
    seen.clear();
    Exercise(name, &seen);
    hit.insert(owner);
    if (page == 1) {
      EXPECT_TRUE(seen.count(ERR_NOT_A_DB)) << "garbage page 1 not refused";
    }
    if (core.count(owner) && owner != "big") {
      EXPECT_TRUE(seen.count(ERR_DB_CORRUPT) || seen.count(ERR_NOT_A_DB))
          << "damage to " << owner << " went unnoticed";
    }
  }
  EXPECT_TRUE(std::includes(hit.begin(), hit.end(), core.begin(), core.end()))
      << "a table had no page damaged";
}

}  // namespace
