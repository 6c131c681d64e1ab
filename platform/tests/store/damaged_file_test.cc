// Files that are not ours, cut short or damaged: the store must answer
// every call on them with a STATUS (ERR_NOT_A_DB, ERR_DB_CORRUPT and the
// like), never crash, never read past a value it loaded and never keep a
// memory block.  A sound queue-like database is built once per test, then
// copied and damaged: random bytes, another application's SQLite file,
// the database cut at many lengths, and each of its pages in turn
// overwritten with garbage.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "store_test_util.h"

namespace {

using Bytes = std::string;

// Deterministic bytes that look like nothing in particular.
Bytes Garbage(size_t n, uint32_t seed) {
  Bytes b(n, '\0');
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<char>(x >> 24);
  }
  return b;
}

class DamagedFileTest : public StoreTest {
 protected:
  // What the sound database holds, to be asked for again on a damaged copy.
  struct Contents {
    std::vector<NOTEID> notes;
    std::vector<DWORD> objects;
  };

  // A database shaped like a queue: documents with an info block, a
  // recipient list, summary fields, a value big enough for the store's
  // large-value table, attachment objects over more than one chunk, a view
  // and a deleted document (free pages).
  Contents MakeSound(const std::string& name) {
    Contents c;
    DBHANDLE db = NewDb(name.c_str());
    for (int i = 0; i < 24; ++i) {
      NOTEHANDLE n = 0;
      EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
      Bytes info = Garbage(86, i);
      EXPECT_EQ(QDSItemAppend(n, 0, "WQSMsgInfo", 10, TYPE_USERDATA,
                              info.data(), 86),
                NOERROR);
      const char list[] = "\x02\x00\x05\x00\x03\x00alicebob";
      EXPECT_EQ(QDSItemAppend(n, 0, "WQSRecip0", 9, TYPE_TEXT_LIST, list,
                              sizeof list - 1),
                NOERROR);
      double status = i % 3 == 0 ? 11 : 6;
      EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "WQMsgStatus", 11, TYPE_NUMBER,
                              &status, 8),
                NOERROR);
      EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "WQErrStr", 8, TYPE_TEXT,
                              "no route", 8),
                NOERROR);
      Bytes piece = Garbage(i % 4 == 0 ? 9000 : 300, 100 + i);
      EXPECT_EQ(QDSItemAppend(n, 0, "Body0", 5, TYPE_TEXT, piece.data(),
                              static_cast<DWORD>(piece.size())),
                NOERROR);
      c.notes.push_back(SaveAndClose(n));
    }
    for (int i = 0; i < 2; ++i) {
      DWORD rrv = 0;
      const DWORD size = 300000;  // two chunks
      EXPECT_EQ(QDSDbAllocObject(db, size, 1, 0, &rrv), NOERROR);
      Bytes data = Garbage(size, 500 + i);
      EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, data.data(), 0, size), NOERROR);
      c.objects.push_back(rrv);
    }
    NOTEID view = 0;
    EXPECT_EQ(QDSViewCreate(db, "Failed", "WQMsgStatus = 11", &view), NOERROR);
    EXPECT_EQ(QDSNoteDelete(db, c.notes.back(), 0), NOERROR);
    EXPECT_EQ(QDSDbClose(db), NOERROR);
    // Everything in the main file, so a copy of it is the whole database.
    Sql(name, "PRAGMA wal_checkpoint(TRUNCATE)");
    return c;
  }

  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  void Remove(const std::string& name) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::error_code ec;
      std::filesystem::remove(Path(name) + suffix, ec);
    }
  }

  // The page size and, for each page, the table or index it belongs to
  // (from SQLite's own page map).
  std::map<uint32_t, std::string> PageOwners(const std::string& name,
                                             uint32_t* pageSize) {
    std::map<uint32_t, std::string> owners;
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(Path(name).c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(raw, "PRAGMA page_size", -1, &s, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_step(s), SQLITE_ROW);
    *pageSize = static_cast<uint32_t>(sqlite3_column_int(s, 0));
    sqlite3_finalize(s);
    if (sqlite3_prepare_v2(raw, "SELECT pageno, name FROM dbstat", -1, &s,
                           nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW) {
        owners[static_cast<uint32_t>(sqlite3_column_int(s, 0))] =
            reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
      }
    }
    sqlite3_finalize(s);
    sqlite3_close(raw);
    return owners;
  }

  // Every call the store offers a reader, on a file that may be damaged.
  // Each must succeed or give one of the STATUS codes a damaged file
  // explains; values that load must be readable to their last byte.
  // Collects the failures seen, so a caller can insist the damage was
  // noticed.
  void Exercise(const std::string& name, const Contents& c,
                std::set<STATUS>* seen) {
    auto note = [seen](STATUS st) {
      if (st != NOERROR) seen->insert(st);
      return st;
    };
    DBHANDLE db = 0;
    STATUS st = note(QDSDbOpen(name.c_str(), &db));
    if (st != NOERROR) {
      EXPECT_TRUE(st == ERR_NOT_A_DB || st == ERR_DB_CORRUPT)
          << "open gave " << st;
      return;
    }
    for (NOTEID id : c.notes) {
      NOTEHANDLE n = 0;
      st = note(QDSNoteOpen(db, id, 0, &n));
      if (st != NOERROR) {
        EXPECT_TRUE(st == ERR_DB_CORRUPT || st == ERR_NOTE_NOT_FOUND)
            << "note " << id << " gave " << st;
        continue;
      }
      for (DWORD i = 0; i < QDSItemCount(n); ++i) {
        char itemName[256];
        WORD nameLen = 0, type = 0;
        BLOCKID bid{};
        DWORD len = 0;
        ASSERT_EQ(QDSItemInfoByIndex(n, i, itemName, sizeof itemName,
                                     &nameLen, nullptr, &type, &bid, &len),
                  NOERROR);
        ASSERT_GE(len, 2u);
        const char* v = OSLockBlock(bid);
        ASSERT_NE(v, nullptr);
        unsigned sum = 0;
        for (DWORD k = 0; k < len; ++k) sum += static_cast<unsigned char>(v[k]);
        OSUnlockBlock(bid);
        (void)sum;
      }
      char text[64];
      QDSItemGetText(n, "WQErrStr", text, sizeof text);
      double d = 0;
      QDSItemGetNumber(n, "WQMsgStatus", &d);
      EXPECT_EQ(QDSNoteClose(n), NOERROR);
    }
    // An index lookup, a scan, and every document.
    for (const char* formula :
         {"WQMsgStatus = 11 | WQErrStr = \"no route\"", "WQMsgStatus > 7",
          static_cast<const char*>(nullptr)}) {
      FORMULAHANDLE f = NULLHANDLE;
      if (formula != nullptr) {
        ASSERT_EQ(QDSFormulaCompile(nullptr, 0, formula,
                                    static_cast<WORD>(strlen(formula)), &f,
                                    nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr),
                  NOERROR);
      }
      st = note(QDSSearch(
          db, f, nullptr, SEARCH_SUMMARY, NOTE_CLASS_ALL, nullptr,
          [](void*, SEARCH_MATCH*, ITEM_TABLE* t) -> STATUS {
            if (t != nullptr) {
              const char* p = reinterpret_cast<const char*>(t);
              unsigned sum = 0;
              for (WORD k = 0; k < t->Length; ++k) sum += (unsigned char)p[k];
              (void)sum;
            }
            return NOERROR;
          },
          nullptr, nullptr));
      if (f != NULLHANDLE) OSMemFree(f);
      EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT) << "search gave " << st;
    }
    NOTEID view = 0;
    st = note(QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &view));
    EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                st == ERR_VIEW_NOT_FOUND)
        << "view lookup gave " << st;
    if (st == NOERROR) {
      HCOLLECTION coll = 0;
      st = note(QVWOpenCollection(db, db, view, 0, NULLHANDLE, &coll, nullptr,
                                  nullptr, nullptr, nullptr));
      EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                  st == ERR_NOTE_NOT_FOUND || st == ERR_VIEW_NOT_FOUND)
          << "collection gave " << st;
      if (st == NOERROR) {
        EXPECT_EQ(QVWCloseCollection(coll), NOERROR);
      }
    }
    for (DWORD rrv : c.objects) {
      DWORD size = 0;
      st = note(QDSDbGetObjectSize(db, rrv, &size));
      EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                  st == ERR_OBJECT_NOT_FOUND)
          << "object size gave " << st;
      DHANDLE h = NULLHANDLE;
      st = note(QDSDbReadObject(db, rrv, 1000, 0xFFFFFFFF, &h));
      EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT ||
                  st == ERR_OBJECT_NOT_FOUND)
          << "object read gave " << st;
      if (st == NOERROR) {
        DWORD got = 0;
        EXPECT_EQ(OSMemGetSize(h, &got), NOERROR);
        EXPECT_EQ(got, size - 1000);
        OSMemFree(h);
      }
    }
    char info[DBINFO_SIZE];
    st = note(QDSDbInfoGet(db, info));
    EXPECT_TRUE(st == NOERROR || st == ERR_DB_CORRUPT) << "info gave " << st;
    EXPECT_EQ(QDSDbClose(db), NOERROR);
  }
};

TEST_F(DamagedFileTest, RandomBytesAreNotADatabase) {
  for (size_t size : {0, 1, 15, 16, 100, 4096, 70000}) {
    SCOPED_TRACE(size);
    Write("random.qds", Garbage(size, static_cast<uint32_t>(size)));
    Bytes before = ReadFile(Path("random.qds"));
    DBHANDLE db = 0;
    EXPECT_EQ(QDSDbOpen("random.qds", &db), ERR_NOT_A_DB);
    EXPECT_EQ(ReadFile(Path("random.qds")), before) << "a foreign file changed";
    // SQLite's own header, then garbage: still not ours.
    Bytes fake = "SQLite format 3";
    fake.push_back('\0');
    fake += Garbage(size, static_cast<uint32_t>(size) + 1);
    Write("fake.qds", fake);
    STATUS st = QDSDbOpen("fake.qds", &db);
    EXPECT_TRUE(st == ERR_NOT_A_DB || st == ERR_DB_CORRUPT) << st;
    Remove("random.qds");
    Remove("fake.qds");
  }
}

TEST_F(DamagedFileTest, AnotherApplicationsSqliteFileIsRefusedUntouched) {
  // Plain SQLite files: another application's tables; one with a table of
  // our name; one in WAL mode; one with our marker but a newer version.
  Sql("other.qds", "CREATE TABLE t(a, b); INSERT INTO t VALUES(1, 'x')");
  Sql("meta.qds",
      "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
      "INSERT INTO meta VALUES('format', 'something else')");
  Sql("wal.qds", "PRAGMA journal_mode=WAL; CREATE TABLE items(k, v)");
  Sql("newer.qds",
      "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
      "INSERT INTO meta VALUES('format', CAST('tavlo-store' AS BLOB));"
      "INSERT INTO meta VALUES('version', 99)");
  for (const char* name : {"other.qds", "meta.qds", "wal.qds", "newer.qds"}) {
    SCOPED_TRACE(name);
    Bytes before = ReadFile(Path(name));
    DBHANDLE db = 0;
    EXPECT_EQ(QDSDbOpen(name, &db), ERR_NOT_A_DB);
    EXPECT_EQ(ReadFile(Path(name)), before) << "a foreign file changed";
  }
}

TEST_F(DamagedFileTest, TruncatedDatabaseGivesAStatusAtEveryLength) {
  Contents c = MakeSound("sound.qds");
  const Bytes whole = ReadFile(Path("sound.qds"));
  uint32_t pageSize = 0;
  PageOwners("sound.qds", &pageSize);
  ASSERT_GT(pageSize, 0u);
  const size_t pages = whole.size() / pageSize;
  ASSERT_GE(pages, 8u);

  std::vector<size_t> lengths = {0, 10, 16, 99, 100, 101, 512};
  for (size_t p = 1; p < pages; p += (p < 8 ? 1 : 5)) {
    lengths.push_back(p * pageSize);
    lengths.push_back(p * pageSize + pageSize / 2);
  }
  lengths.push_back(whole.size() - 1);
  int n = 0;
  for (size_t len : lengths) {
    SCOPED_TRACE(::testing::Message() << "cut at " << len << " of "
                                      << whole.size());
    std::string name = "cut" + std::to_string(n++) + ".qds";
    Write(name, whole.substr(0, len));
    std::set<STATUS> seen;
    Exercise(name, c, &seen);
    // Once SQLite's header is whole it states the page count, and a file
    // shorter than that is refused at open: no part of it is read as if
    // it were sound.
    if (len >= 100) {
      DBHANDLE db = 0;
      EXPECT_EQ(QDSDbOpen(name.c_str(), &db), ERR_DB_CORRUPT);
    } else {
      EXPECT_TRUE(seen.count(ERR_NOT_A_DB) || seen.count(ERR_DB_CORRUPT));
    }
    Remove(name);
  }
}

// A cut inside the last page only zeroes the end of its cell area, where
// SQLite keeps the first rows it put there: the rows' bytes change and
// SQLite itself reports nothing.  The open must refuse the file.
TEST_F(DamagedFileTest, CutInsideTheLastPageIsRefusedAtOpen) {
  MakeSound("sound.qds");
  const Bytes whole = ReadFile(Path("sound.qds"));
  Write("cut.qds", whole.substr(0, whole.size() - 1));
  DBHANDLE db = 0;
  EXPECT_EQ(QDSDbOpen("cut.qds", &db), ERR_DB_CORRUPT);
  // Whole again, it opens.
  Write("cut.qds", whole);
  ASSERT_EQ(QDSDbOpen("cut.qds", &db), NOERROR);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(DamagedFileTest, GarbagePageGivesAStatusForEveryPage) {
  Contents c = MakeSound("sound.qds");
  const Bytes whole = ReadFile(Path("sound.qds"));
  uint32_t pageSize = 0;
  std::map<uint32_t, std::string> owners = PageOwners("sound.qds", &pageSize);
  ASSERT_GT(pageSize, 0u);
  const size_t pages = whole.size() / pageSize;
  // The tables a reader goes through must be among the pages damaged.
  std::set<std::string> tables;
  for (const auto& [page, owner] : owners) tables.insert(owner);
  for (const char* t : {"meta", "notes", "items", "big", "summary"}) {
    EXPECT_TRUE(tables.count(t)) << t << " has no page";
  }

  for (uint32_t page = 1; page <= pages; ++page) {
    const std::string owner = owners.count(page) ? owners[page] : "free";
    SCOPED_TRACE(::testing::Message() << "page " << page << " (" << owner
                                      << ") of " << pages);
    Bytes damaged = whole;
    damaged.replace((page - 1) * pageSize, pageSize, Garbage(pageSize, page));
    std::string name = "page" + std::to_string(page) + ".qds";
    Write(name, damaged);
    std::set<STATUS> seen;
    Exercise(name, c, &seen);
    if (page == 1) {
      EXPECT_TRUE(seen.count(ERR_NOT_A_DB)) << "page 1 garbage not refused";
    }
    // A b-tree page of the tables every read goes through: the damage
    // must show.
    if (owner == "sqlite_schema" || owner == "meta" || owner == "notes" ||
        owner == "items" || owner == "summary") {
      EXPECT_TRUE(seen.count(ERR_DB_CORRUPT) || seen.count(ERR_NOT_A_DB))
          << "damage to " << owner << " went unnoticed";
    }
    Remove(name);
  }

  // Page 1 with SQLite's file header kept and the schema page behind it
  // overwritten: the file looks like SQLite but its tables are gone.
  Bytes damaged = whole;
  damaged.replace(100, pageSize - 100, Garbage(pageSize - 100, 7));
  Write("schema.qds", damaged);
  std::set<STATUS> seen;
  Exercise("schema.qds", c, &seen);
  EXPECT_TRUE(seen.count(ERR_NOT_A_DB) || seen.count(ERR_DB_CORRUPT));
}

}  // namespace
