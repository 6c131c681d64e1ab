// Shared by the fuzz targets: a check, Touch, the database runs share.
#ifndef WQ_FUZZ_FUZZ_UTIL_H_
#define WQ_FUZZ_FUZZ_UTIL_H_
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

// Aborts (libFuzzer keeps the input) naming the failed condition.
#define WQ_FUZZ_CHECK(cond)                                            \
  do {                                                                 \
    if (!(cond))                                                       \
      fprintf(stderr, "%s:%d: FUZZ CHECK FAILED: %s\n", __FILE__,      \
              __LINE__, #cond), abort();                               \
  } while (0)

namespace wqfuzz {

// Reads `len` bytes at `p` so that ASan sees them.
inline void Touch(const void* p, size_t len) {
  const volatile unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < len; ++i) (void)b[i];
}

// Creates and opens `name` in a fresh data directory.  Exit handlers run in
// reverse order and the store's handle tables are function-local statics:
// building them all (note, collection close, search) before registering
// the close lets it run while they exist and before the directory goes.
inline DBHANDLE OpenSharedDb(const char* name, WORD dbClass) {
  static char dir[] = "/tmp/wq_fuzz_XXXXXX";
  WQ_FUZZ_CHECK(mkdtemp(dir) != nullptr);
  setenv("TAVLO_DATA", dir, 1);
  setenv("TAVLO_SYNC", "normal", 1);  // atomicity, not durability
  atexit([] { std::error_code ec; std::filesystem::remove_all(dir, ec); });
  static DBHANDLE db = 0;
  WQ_FUZZ_CHECK(QDSDbCreate(name, dbClass, TRUE) == NOERROR &&
                QDSDbOpen(name, &db) == NOERROR);
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
