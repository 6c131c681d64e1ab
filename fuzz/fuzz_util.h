// Shared by the fuzz targets: a private data directory for the process and
// the checks that turn a quiet misbehaviour (a leaked memory block, a
// status no caller expects) into a crash libFuzzer reports and keeps.
#ifndef WQ_FUZZ_FUZZ_UTIL_H_
#define WQ_FUZZ_FUZZ_UTIL_H_

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace wqfuzz {

[[noreturn]] inline void Fail(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void Fail(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  fputs("FUZZ CHECK FAILED: ", stderr);
  vfprintf(stderr, format, ap);
  fputc('\n', stderr);
  va_end(ap);
  abort();
}

#define WQ_FUZZ_CHECK(cond, ...) \
  do {                           \
    if (!(cond)) ::wqfuzz::Fail(__VA_ARGS__); \
  } while (0)

// A fresh data directory for this process (TAVLO_DATA points at it),
// removed when the process exits normally.  Commits skip the sync: a
// fuzz run needs atomicity, not durability, and the sync would dominate.
inline const std::string& DataDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/wq_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fail("cannot make a temporary directory");
    setenv("TAVLO_DATA", tmpl, 1);
    setenv("TAVLO_SYNC", "normal", 1);
    static std::string owned(tmpl);
    static const pid_t owner = getpid();
    atexit([] {
      // A forked child (none today) must not remove the parent's files.
      if (getpid() != owner) return;
      std::error_code ec;
      std::filesystem::remove_all(owned, ec);
    });
    return owned;
  }();
  return dir;
}

// Every run must give back every runtime memory block it took.
inline void CheckBlocks(DWORD baseline, const char* where) {
  DWORD now = OSMemTestTotalBlocks();
  if (now != baseline) {
    Fail("%s: %lu memory blocks live, %lu before the run", where,
         (unsigned long)now, (unsigned long)baseline);
  }
}

}  // namespace wqfuzz

#endif  // WQ_FUZZ_FUZZ_UTIL_H_
