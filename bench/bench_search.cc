// Search benchmark: how the requeue formula's search time grows with the
// size of the queue.  Two databases hold exactly 100 matching documents
// each (statuses 11, 9, 10, 7 spread over the file) among documents in
// status 6; a search that looks up the formula's equality terms in the
// summary index costs about the same on both, a scan costs in proportion
// to the size.  The small database is the reference the large one is held
// to, so the two are searched alternately, round after round: each round
// opens each database, times its first search (made before the store's
// per-connection summary cache holds anything) and then --warm more
// searches, and closes it.  Printed: best, median and worst of each, then
// the ratios of the bests, the plain large/small ratio last.
//
//   bench_search [--dir D] [--small N] [--large N] [--runs R] [--warm W]
//
// Generated databases are kept under D (default /tmp/tavlo-bench), one per
// size, so a rerun skips the slow part.  A database only counts as
// generated once its marker file exists.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/status.h"
#include "tavlo/store.h"
#include "samples.h"

namespace {

const char kFormula[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";
constexpr unsigned kMatching = 100;

[[noreturn]] void Die(const char* what, STATUS status) {
  char text[256];
  TavloStatusText(status, text, sizeof text);
  std::fprintf(stderr, "bench_search: %s: %s (0x%04X)\n", what, text,
               static_cast<unsigned>(status));
  std::exit(1);
}

void Check(STATUS status, const char* what) {
  if (status != NOERROR) Die(what, status);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Appends one item, for the generator.
void Append(NOTEHANDLE note, WORD flags, const char* name, WORD type,
            const void* value, DWORD len) {
  Check(QDSItemAppend(note, flags, name, static_cast<WORD>(std::strlen(name)),
                      type, value, len),
        "QDSItemAppend");
}

// Writes `count` documents, every (count / 100)-th one in a status the
// formula selects, the rest in status 6.
void Generate(const std::string& path, unsigned count) {
  std::string marker = path + ".done";
  if (Exists(path) && Exists(marker)) {
    // A cache from an older build of the store may no longer open; then
    // it is made again rather than failing the run.
    DBHANDLE db = 0;
    if (QDSDbOpen(path.c_str(), &db) == NOERROR) {
      QDSDbClose(db);
      return;
    }
  }
  std::remove(marker.c_str());
  std::fprintf(stderr, "generating %s (%u documents)...\n", path.c_str(),
               count);
  auto start = std::chrono::steady_clock::now();
  Check(QDSDbCreate(path.c_str(), 0xFF01, TRUE), "QDSDbCreate");
  DBHANDLE db = 0;
  Check(QDSDbOpen(path.c_str(), &db), "QDSDbOpen");
  const double kFailed[] = {11, 9, 10, 7};
  unsigned stride = count / kMatching;
  unsigned matched = 0;
  std::string err =
      "554 5.7.1 relay refused by the next hop; will retry later as usual";
  for (unsigned i = 0; i < count; i++) {
    NOTEHANDLE note = 0;
    Check(QDSNoteCreate(db, &note), "QDSNoteCreate");
    double status = 6;
    if (i % stride == stride / 2 && matched < kMatching)
      status = kFailed[matched++ % 4];
    double retry = static_cast<double>(i % 5);
    Append(note, ITEM_SUMMARY, "WQMsgStatus", TYPE_NUMBER, &status,
           sizeof status);
    Append(note, 0, "WQRetryCount", TYPE_NUMBER, &retry, sizeof retry);
    Append(note, 0, "WQErrStr", TYPE_TEXT, err.data(),
           static_cast<DWORD>(err.size()));
    Check(QDSNoteUpdate(note, 0), "QDSNoteUpdate");
    Check(QDSNoteClose(note), "QDSNoteClose");
    if ((i + 1) % 100000 == 0)
      std::fprintf(stderr, "  %u documents\n", i + 1);
  }
  Check(QDSDbClose(db), "QDSDbClose");
  if (matched != kMatching) {
    std::fprintf(stderr, "bench_search: only %u matching documents\n",
                 matched);
    std::exit(1);
  }
  double secs = std::chrono::duration<double>(
                    std::chrono::steady_clock::now() - start)
                    .count();
  std::fprintf(stderr, "  done in %.1f s\n", secs);
  if (FILE* f = std::fopen(marker.c_str(), "w")) std::fclose(f);
}

STATUS CountMatch(void* arg, SEARCH_MATCH* match, ITEM_TABLE* summary) {
  if (match->SERetFlags & SE_FMATCH) ++*static_cast<unsigned*>(arg);
  return NOERROR;
}

// One open of the database: its first search goes to `first`, the next
// `warm` ones to `warm`, in seconds.  Each search must find exactly the
// matching documents, or the timing means nothing.
void TimeSearches(const std::string& path, FORMULAHANDLE formula, int warm,
                  bench::Samples* first, bench::Samples* warmSamples) {
  DBHANDLE db = 0;
  Check(QDSDbOpen(path.c_str(), &db), "QDSDbOpen");
  for (int r = 0; r <= warm; r++) {
    unsigned found = 0;
    auto start = std::chrono::steady_clock::now();
    Check(QDSSearch(db, formula, nullptr, SEARCH_SUMMARY,
                    NOTE_CLASS_DOCUMENT, nullptr, CountMatch, &found,
                    nullptr),
          "QDSSearch");
    double secs = std::chrono::duration<double>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    if (found != kMatching) {
      std::fprintf(stderr, "bench_search: %s: %u matches, expected %u\n",
                   path.c_str(), found, kMatching);
      std::exit(1);
    }
    if (r == 0) {
      if (first) first->Add(secs);
    } else if (warmSamples) {
      warmSamples->Add(secs);
    }
  }
  Check(QDSDbClose(db), "QDSDbClose");
}

unsigned ParseCount(const char* s, const char* flag) {
  char* end = nullptr;
  unsigned long v = std::strtoul(s, &end, 10);
  if (!end || *end || v < kMatching || v > 100000000) {
    std::fprintf(stderr, "bench_search: %s needs a count from %u\n", flag,
                 kMatching);
    std::exit(2);
  }
  return static_cast<unsigned>(v);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "/tmp/tavlo-bench";
  unsigned small = 10000, large = 1000000;
  int runs = 7, warm = 3;
  auto usage = [](FILE* to) {
    std::fprintf(to,
                 "usage: bench_search [--dir D] [--small N] [--large N] "
                 "[--runs R] [--warm W]\n"
                 "  --dir D     where the generated databases are kept"
                 " (default /tmp/tavlo-bench)\n"
                 "  --small N   documents of the small database (default 10000)\n"
                 "  --large N   documents of the large database (default 1000000)\n"
                 "  --runs R    interleaved rounds, at least %d (default 7)\n"
                 "  --warm W    searches after the first in each round"
                 " (default 3)\n",
                 bench::kMinRounds);
  };
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    if (a == "--dir") dir = argv[++i];
    else if (a == "--small") small = ParseCount(argv[++i], "--small");
    else if (a == "--large") large = ParseCount(argv[++i], "--large");
    else if (a == "--runs") runs = std::atoi(argv[++i]);
    else if (a == "--warm") warm = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "bench_search: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (runs < bench::kMinRounds || runs > 1000 || warm < 1 || warm > 1000) {
    std::fprintf(stderr, "bench_search: --runs takes %d to 1000, --warm 1 to 1000\n",
                 bench::kMinRounds);
    return 2;
  }
  // Generating a million documents one transaction each is bearable only
  // without a sync per commit; the numbers measured do not depend on it.
  setenv("TAVLO_SYNC", "normal", 0);
  mkdir(dir.c_str(), 0755);
  char* initArgv[] = {argv[0], nullptr};
  Check(TavloInitExtended(1, initArgv), "TavloInitExtended");

  std::string smallPath = dir + "/search-" + std::to_string(small) + ".qds";
  std::string largePath = dir + "/search-" + std::to_string(large) + ".qds";
  Generate(smallPath, small);
  Generate(largePath, large);

  FORMULAHANDLE formula = NULLHANDLE;
  STATUS compileError = NOERROR;
  Check(QDSFormulaCompile(nullptr, 0, kFormula,
                          static_cast<WORD>(std::strlen(kFormula)), &formula,
                          nullptr, &compileError, nullptr, nullptr, nullptr,
                          nullptr),
        "QDSFormulaCompile");

  // Warm both files into the page cache before timing either.
  TimeSearches(smallPath, formula, 1, nullptr, nullptr);
  TimeSearches(largePath, formula, 1, nullptr, nullptr);
  bench::Samples smallFirst, smallWarm, largeFirst, largeWarm;
  std::vector<std::function<void()>> steps = {
      [&] { TimeSearches(smallPath, formula, warm, &smallFirst, &smallWarm); },
      [&] { TimeSearches(largePath, formula, warm, &largeFirst, &largeWarm); },
  };
  for (int round = 0; round < runs; round++) bench::RunRound(round, steps);
  OSMemFree(formula);
  TavloTerm();

  std::printf("%d interleaved rounds, each: open, first search, %d more, close\n",
              runs, warm);
  std::printf("search %u documents, first after open: %s\n", small,
              smallFirst.Times(1e3, "ms").c_str());
  std::printf("search %u documents, warm:             %s\n", small,
              smallWarm.Times(1e3, "ms").c_str());
  std::printf("search %u documents, first after open: %s\n", large,
              largeFirst.Times(1e3, "ms").c_str());
  std::printf("search %u documents, warm:             %s\n", large,
              largeWarm.Times(1e3, "ms").c_str());
  std::printf("large/small ratio, first after open: %.2f\n",
              largeFirst.Best() / smallFirst.Best());
  std::printf("large/small ratio: %.2f\n", largeWarm.Best() / smallWarm.Best());
  return 0;
}
