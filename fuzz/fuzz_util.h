// Shared by the fuzz targets: checks that turn a quiet misbehaviour (a
// leaked memory block, a status no caller expects) into a crash libFuzzer
// reports and keeps, and the database a target's runs share.
#ifndef WQ_FUZZ_FUZZ_UTIL_H_
#define WQ_FUZZ_FUZZ_UTIL_H_

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

#define WQ_FUZZ_CHECK(cond, ...)                          \
  do {                                                    \
    if (cond) break;                                      \
    fprintf(stderr, "FUZZ CHECK FAILED: " __VA_ARGS__);   \
    fputs("\n", stderr), abort();                         \
  } while (0)

namespace wqfuzz {

// Every run must give back every runtime memory block it took.
inline void CheckBlocks(DWORD baseline, const char* where) {
  const DWORD now = OSMemTestTotalBlocks();
  WQ_FUZZ_CHECK(now == baseline, "%s: %lu memory blocks live, %lu before",
                where, (unsigned long)now, (unsigned long)baseline);
}

// Reads `len` bytes at `p` so that ASan sees them.
inline void Touch(const void* p, size_t len) {
  const volatile unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < len; ++i) (void)b[i];
}

// Creates and opens `name` in a fresh data directory (commits unsynced: a
// fuzz run needs atomicity, not durability).  Exit handlers run in reverse
// order of registration, and the store's handle tables are function-local
// statics: building them all (a note, a collection close, a search) before
// registering the close lets the close run while they still exist and
// before the directory goes.
inline DBHANDLE OpenSharedDb(const char* name, WORD dbClass) {
  static char dir[] = "/tmp/wq_fuzz_XXXXXX";
  WQ_FUZZ_CHECK(mkdtemp(dir) != nullptr, "cannot make a temporary directory");
  setenv("TAVLO_DATA", dir, 1);
  setenv("TAVLO_SYNC", "normal", 1);
  atexit([] { std::error_code ec; std::filesystem::remove_all(dir, ec); });
  static DBHANDLE db = 0;
  WQ_FUZZ_CHECK(QDSDbCreate(name, dbClass, TRUE) == NOERROR &&
                    QDSDbOpen(name, &db) == NOERROR,
                "cannot create %s", name);
  NOTEHANDLE n = 0;
  if (QDSNoteCreate(db, &n) == NOERROR) QDSNoteClose(n);
  QVWCloseCollection(0);
  QDSSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL, nullptr,
            [](void*, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS { return NOERROR; },
            nullptr, nullptr);
  atexit([] { QDSDbClose(db); });
  return db;
}

}  // namespace wqfuzz

#endif  // WQ_FUZZ_FUZZ_UTIL_H_
