// Files that are not ours, cut short or with a damaged page: every call
// gives a STATUS, never a crash, a read past a loaded value or a kept
// memory block.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "store_test_util.h"

namespace {

using Bytes = std::string;
using Seen = std::set<STATUS>;

// The page size in a SQLite file header.
size_t PageSize(const Bytes& file) { return (uint8_t)file[16] << 8 | (uint8_t)file[17]; }

Bytes Garbage(size_t n, uint32_t seed) {
  Bytes b(n, '\0');
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (char& c : b) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = static_cast<char>(x >> 24);
  return b;
}

void Touch(const void* p, size_t n) {  // ASan sees a read past the value
  const volatile char* b = static_cast<const char*>(p);
  for (size_t i = 0; i < n; ++i) (void)b[i];
}

class DamagedFileTest : public StoreTest {
 protected:
  // Shaped like a queue: summary and plain items, some in the big table,
  // a deleted document; all in the main file.
  Bytes MakeSound() {
    DBHANDLE db = NewDb("sound.qds");
    for (uint32_t i = 0; i < 24; ++i) {
      const double status = i % 3 == 0 ? 11 : 6;
      const Bytes vals[] = {Garbage(86, i), Bytes("\x02\x00\x05\x00\x03\x00" "alicebob", 14),
                            Bytes(reinterpret_cast<const char*>(&status), 8), "no route",
                            Garbage(i % 4 == 0 ? 9000 : 300, 100 + i)};
      const char* names[] = {"WQSMsgInfo", "WQSRecip0", "WQMsgStatus", "WQErrStr", "Body0"};
      const WORD types[] = {TYPE_USERDATA, TYPE_TEXT_LIST, TYPE_NUMBER, TYPE_TEXT, TYPE_TEXT};
      NOTEHANDLE n = 0;
      EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
      for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(QDSItemAppend(n, k == 2 || k == 3 ? ITEM_SUMMARY : 0, names[k],
                                (WORD)strlen(names[k]), types[k], vals[k].data(),
                                (DWORD)vals[k].size()), NOERROR);
      }
      notes_.push_back(SaveAndClose(n));
    }
    EXPECT_EQ(QDSNoteDelete(db, notes_.back(), 0), NOERROR);
    EXPECT_EQ(QDSDbClose(db), NOERROR);
    Sql("sound.qds", "PRAGMA wal_checkpoint(TRUNCATE)");
    return ReadFile(Path("sound.qds"));
  }

  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
  }

  // Every reader call succeeds or gives an allowed STATUS (collected in
  // *seen); every value that loads is read to its last byte.
  void Exercise(const std::string& name, Seen* seen) {
    auto ok = [seen](STATUS st, std::initializer_list<STATUS> allowed, const char* what) {
      if (st != NOERROR) seen->insert(st);
      EXPECT_TRUE(st == NOERROR || std::count(allowed.begin(), allowed.end(), st))
          << what << " gave " << st;
      return st == NOERROR;
    };
    DBHANDLE db = 0;
    if (!ok(QDSDbOpen(name.c_str(), &db), {ERR_NOT_A_DB, ERR_DB_CORRUPT}, "open")) return;
    for (NOTEID id : notes_) {
      NOTEHANDLE n = 0;
      if (!ok(QDSNoteOpen(db, id, 0, &n), {ERR_DB_CORRUPT, ERR_NOTE_NOT_FOUND}, "note open"))
        continue;
      for (DWORD i = 0; i < QDSItemCount(n); ++i) {
        BLOCKID bid{};
        DWORD len = 0;
        ASSERT_EQ(QDSItemInfoByIndex(n, i, nullptr, 0, nullptr, nullptr, nullptr, &bid, &len),
                  NOERROR);
        const char* v = OSLockBlock(bid);
        ASSERT_TRUE(v != nullptr && len >= 2) << len;
        Touch(v, len);
        OSUnlockBlock(bid);
      }
      char text[64];
      double d = 0;
      QDSItemGetText(n, "WQErrStr", text, sizeof text);
      QDSItemGetNumber(n, "WQMsgStatus", &d);
      EXPECT_EQ(QDSNoteClose(n), NOERROR);
    }
    for (const char* formula : {"WQMsgStatus = 11 | WQErrStr = \"no route\"",
                                "WQMsgStatus > 7", (const char*)nullptr}) {
      FORMULAHANDLE f = formula ? Compile(formula) : NULLHANDLE;
      ok(QDSSearch(db, f, nullptr, SEARCH_SUMMARY, NOTE_CLASS_ALL, nullptr,
                   [](void*, SEARCH_MATCH*, ITEM_TABLE* t) -> STATUS {
                     if (t != nullptr) Touch(t, t->Length);
                     return NOERROR;
                   }, nullptr, nullptr),
         {ERR_DB_CORRUPT}, "search");
      if (f != NULLHANDLE) OSMemFree(f);
    }
    // A search skips what it cannot decode (and scans past a damaged
    // index) instead of failing: the damage is on record.
    DWORD skipped = 0;
    BOOL index = FALSE;
    EXPECT_EQ(QDSDbSearchDamage(db, nullptr, 0, &skipped, &index), NOERROR);
    if (skipped || index) seen->insert(ERR_DB_CORRUPT);
    EXPECT_EQ(QDSDbClose(db), NOERROR);
  }

  std::vector<NOTEID> notes_;  // the last one deleted
};

// Random bytes; SQLite's magic then garbage; SQLite files with another
// application's tables, a table of our name, WAL mode, a newer version.
TEST_F(DamagedFileTest, ForeignFilesAreRefusedUntouched) {
  std::vector<std::string> names = {"other", "meta", "wal", "newer"};
  for (size_t size : {0, 1, 16, 100, 4096, 70000}) {
    names.push_back("random" + std::to_string(size));
    Write(names.back() + ".qds", Garbage(size, (uint32_t)size));
    names.push_back("magic" + std::to_string(size));
    Write(names.back() + ".qds",
          Bytes("SQLite format 3\0", 16) + Garbage(size, (uint32_t)size + 1));
  }
  const Bytes meta = "CREATE TABLE meta(key TEXT PRIMARY KEY, value) "
                     "WITHOUT ROWID; INSERT INTO meta VALUES('format', ";
  Sql("other.qds", "CREATE TABLE t(a, b); INSERT INTO t VALUES(1, 'x')");
  Sql("meta.qds", meta + "'something else')");
  Sql("wal.qds", "PRAGMA journal_mode=WAL; CREATE TABLE items(k, v)");
  Sql("newer.qds", meta + "CAST('tavlo-store' AS BLOB)); INSERT INTO meta VALUES('version', 99)");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Bytes before = ReadFile(Path(name + ".qds"));
    DBHANDLE db = 0;
    const STATUS st = QDSDbOpen((name + ".qds").c_str(), &db);
    EXPECT_TRUE(st == ERR_NOT_A_DB || (name.rfind("magic", 0) == 0 && st == ERR_DB_CORRUPT))
        << st;
    EXPECT_EQ(ReadFile(Path(name + ".qds")), before) << "a foreign file changed";
  }
}

// SQLite reads the missing end of a cut file as zeros without a word, so
// open compares the header's page count with the file's size.
TEST_F(DamagedFileTest, CutDatabaseIsRefusedAtOpen) {
  const Bytes whole = MakeSound();
  const size_t ps = PageSize(whole), size = whole.size();
  ASSERT_GE(size / ps, 8u);
  for (size_t len : std::vector<size_t>{0, 10, 99, 100, 512, ps, 2 * ps,
                                        5 * ps + 7, size / 2, size - ps, size - 1}) {
    SCOPED_TRACE(::testing::Message() << "cut at " << len << " of " << size);
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

  std::map<size_t, std::string> owners;  // page -> table or index
  sqlite3* raw = nullptr;
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_open(Path("sound.qds").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT pageno, name FROM dbstat", -1, &s, nullptr),
            SQLITE_OK);
  while (sqlite3_step(s) == SQLITE_ROW)
    owners[sqlite3_column_int(s, 0)] = (const char*)sqlite3_column_text(s, 1);
  sqlite3_finalize(s);
  sqlite3_close(raw);
  const size_t ps = PageSize(whole), pages = whole.size() / ps;
  const std::set<std::string> core = {"big", "items", "meta", "notes", "sqlite_schema",
                                      "summary"};
  std::set<std::string> hit;
  // Page 0: page 1 behind SQLite's 100-byte header (looks like SQLite, no schema).
  for (size_t page = 0; page <= pages; ++page) {
    const std::string owner = page == 0 ? "sqlite_schema"
                              : owners.count(page) ? owners[page] : "free";
    SCOPED_TRACE(::testing::Message() << "page " << page << " (" << owner << ")");
    const size_t at = page == 0 ? 100 : (page - 1) * ps, len = page == 0 ? ps - 100 : ps;
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
    if (core.count(owner) && owner != "big") {  // big is read by only some calls
      EXPECT_TRUE(seen.count(ERR_DB_CORRUPT) || seen.count(ERR_NOT_A_DB))
          << "damage to " << owner << " went unnoticed";
    }
  }
  EXPECT_TRUE(std::includes(hit.begin(), hit.end(), core.begin(), core.end()))
      << "a table had no page damaged";
}

}  // namespace
