// Throughput of the two ways a message carries bulk bytes, against SQLite
// itself as the ceiling.  With the same bytes:
//   stream write: WQSCreateDataStreamBlock + appends of 60416 + save
//   stream read:  open message + WQSOpenDataStreamBlock + reads to the end
//   file write:   WQSCreateFileBlock + WQSAppendFileBlock in 1 MiB pieces + save
//   file read:    open message + WQSGetFileBlockData from offset 0
//   ceiling:      one blob in a plain SQLite table (WAL, same synchronous
//                 setting), written and read sequentially in 1 MiB pieces.
// Each round runs the ceiling, the stream and the file once, each in a
// database of its own made for it, in alternating order; reads follow their
// own write (--reads of them), so every read finds its bytes in the page
// cache alike.  Prints each quantity's best, median and worst MB/s over the
// samples, then each best against the ceiling's best and, last, the worst
// of those ratios.
//
//   bench_streams [--mib N] [--piece-kib K] [--runs R] [--reads N] [--dir PATH]
// TAVLO_SYNC defaults to "normal" (as the tests run); set it to compare
// under full syncs.

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/wqs.h"
#include "samples.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kChunk = WQS_DSB_MAX_CHUNK;  // 60416, the largest append
// Attachment bytes go to the store in pieces of this size (--piece-kib);
// the ceiling writes and reads its blob in the same pieces.
DWORD gFilePiece = 1u << 20;

[[noreturn]] void Die(const char* what, long code) {
  std::fprintf(stderr, "bench_streams: %s failed (%ld)\n", what, code);
  std::exit(1);
}

void Check(STATUS err, const char* what) {
  if (err != NOERROR) Die(what, err);
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::vector<uint8_t> MakeData(size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 0x9E3779B9u;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = (uint8_t)x;
  }
  return v;
}

// Reads change nothing, so each write is read back --reads times, every
// read a sample: more samples of the shortest step, the one a neighbour's
// burst disturbs most.  The buffer a read fills is allocated before the
// clock starts, on both sides; an attachment read allocates its own, which
// is the call's cost and counts.
int gReads = 3;

struct Result {
  double writeSecs = 0;
  std::vector<double> readSecs;
};

Result StreamRun(queue_handle_t* q, const std::vector<uint8_t>& data) {
  Result r;
  auto t0 = Clock::now();
  msg_handle_t m;
  Check(WQSCreateMsg(q, WQS_MSG_SIMPLE, &m), "create message");
  data_stream_block_t w;
  Check(WQSCreateDataStreamBlock(&m, "Body", &w), "create stream");
  size_t pos = 0;
  do {
    DWORD n = (DWORD)std::min<size_t>(kChunk, data.size() - pos);
    BOOL more = pos + n < data.size();
    Check(WQSAppendDataStreamBlock(&m, &w, more, data.data() + pos, n),
          "stream append");
    pos += n;
  } while (pos < data.size());
  Check(WQSCloseAndSaveMsg(&m), "save stream message");
  NOTEID id = m.info.user.dwQueueMsgID;
  r.writeSecs = Seconds(t0, Clock::now());

  std::vector<uint8_t> back(data.size());
  for (int read = 0; read < gReads; read++) {
    std::fill(back.begin(), back.end(), 0);
    auto t1 = Clock::now();
    msg_handle_t o;
    Check(WQSOpenMsgByMsgID(q, id, &o), "open stream message");
    data_stream_block_t rd;
    Check(WQSOpenDataStreamBlock(&o, "Body", &rd), "open stream");
    size_t got = 0;
    WORD flag = 0;
    while (flag != WQS_DSB_END) {
      DWORD want = (DWORD)std::min<size_t>(kChunk, back.size() - got);
      if (want == 0) want = 1;  // one more call to see the end
      std::vector<uint8_t> spare;
      uint8_t* dst = back.data() + got;
      if (got == back.size()) {
        spare.resize(1);
        dst = spare.data();
      }
      DWORD n = 0;
      Check(WQSGetDataStreamBlock(&o, &rd, &flag, dst, want, &n),
            "stream read");
      got += n;
      if (n == 0 && flag != WQS_DSB_END) Die("stream read made no progress", 0);
    }
    Check(WQSCloseDataStreamBlock(&rd), "close stream");
    Check(WQSCloseMsg(&o), "close stream message");
    auto t2 = Clock::now();
    if (got != data.size() || memcmp(back.data(), data.data(), got) != 0) {
      Die("stream read back different bytes", (long)got);
    }
    r.readSecs.push_back(Seconds(t1, t2));
  }
  return r;
}

Result FileRun(queue_handle_t* q, const std::vector<uint8_t>& data) {
  Result r;
  DHANDLE hPiece = NULLHANDLE;
  Check(OSMemAlloc(0x7001, gFilePiece, &hPiece), "piece buffer");

  auto t0 = Clock::now();
  msg_handle_t m;
  Check(WQSCreateMsg(q, WQS_MSG_SIMPLE, &m), "create message");
  file_descriptor_t fd;
  memset(&fd, 0, sizeof fd);
  fd.fileType = 1;
  fd.wNameLen = 8;
  memcpy(fd.fileName, "bulk.bin", 8);
  fd.size = (DWORD)data.size();
  file_block_t fb;
  Check(WQSCreateFileBlock(&m, &fd, &fb), "create file block");
  for (size_t pos = 0; pos < data.size(); pos += gFilePiece) {
    DWORD n = (DWORD)std::min<size_t>(gFilePiece, data.size() - pos);
    void* p = OSLockObject(hPiece);
    memcpy(p, data.data() + pos, n);
    OSUnlockObject(hPiece);
    Check(WQSAppendFileBlock(&m, &fb, hPiece, n), "file append");
  }
  Check(WQSCloseAndSaveMsg(&m), "save file message");
  NOTEID id = m.info.user.dwQueueMsgID;
  r.writeSecs = Seconds(t0, Clock::now());

  for (int read = 0; read < gReads; read++) {
    auto t1 = Clock::now();
    msg_handle_t o;
    Check(WQSOpenMsgByMsgID(q, id, &o), "open file message");
    file_descriptor_t* pfd = nullptr;
    file_block_t* pfb = nullptr;
    WQSGetFileBlockInfo(&o, 0, &pfd, &pfb);
    if (pfb == nullptr) Die("no file block", 0);
    DHANDLE hData = NULLHANDLE;
    Check(WQSGetFileBlockData(&o, pfb, 0, &hData), "file read");
    DWORD size = 0;
    OSMemGetSize(hData, &size);
    const void* p = OSLockObject(hData);
    bool same = size == data.size() && p != nullptr &&
                memcmp(p, data.data(), size) == 0;
    OSUnlockObject(hData);
    OSMemFree(hData);
    Check(WQSCloseMsg(&o), "close file message");
    auto t2 = Clock::now();
    if (!same) Die("file read back different bytes", (long)size);
    r.readSecs.push_back(Seconds(t1, t2));
  }
  OSMemFree(hPiece);
  return r;
}

void Sql(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "bench_streams: %s: %s\n", sql, err ? err : "?");
    std::exit(1);
  }
}

// The ceiling: the same bytes as one blob of a plain table, written in one
// transaction and read back, both sequentially through the blob interface.
Result SqliteRun(const std::string& path, const std::vector<uint8_t>& data,
                 bool syncNormal) {
  Result r;
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Die("sqlite open", 0);
  Sql(db, "PRAGMA locking_mode=EXCLUSIVE");
  Sql(db, "PRAGMA journal_mode=WAL");
  Sql(db, syncNormal ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
  Sql(db, "CREATE TABLE bulk(id INTEGER PRIMARY KEY, data BLOB)");

  auto t0 = Clock::now();
  Sql(db, "BEGIN");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO bulk(id, data) VALUES(1, ?)", -1, &st,
                     nullptr);
  sqlite3_bind_zeroblob(st, 1, (int)data.size());
  if (sqlite3_step(st) != SQLITE_DONE) Die("sqlite insert", 0);
  sqlite3_finalize(st);
  sqlite3_blob* blob = nullptr;
  if (sqlite3_blob_open(db, "main", "bulk", "data", 1, 1, &blob) != SQLITE_OK) {
    Die("sqlite blob open", 0);
  }
  for (size_t pos = 0; pos < data.size(); pos += gFilePiece) {
    int n = (int)std::min<size_t>(gFilePiece, data.size() - pos);
    if (sqlite3_blob_write(blob, data.data() + pos, n, (int)pos) != SQLITE_OK) {
      Die("sqlite blob write", (long)pos);
    }
  }
  sqlite3_blob_close(blob);
  Sql(db, "COMMIT");
  r.writeSecs = Seconds(t0, Clock::now());

  std::vector<uint8_t> back(data.size());
  for (int read = 0; read < gReads; read++) {
    std::fill(back.begin(), back.end(), 0);
    auto t1 = Clock::now();
    if (sqlite3_blob_open(db, "main", "bulk", "data", 1, 0, &blob) !=
        SQLITE_OK) {
      Die("sqlite blob open", 1);
    }
    for (size_t pos = 0; pos < data.size(); pos += gFilePiece) {
      int n = (int)std::min<size_t>(gFilePiece, data.size() - pos);
      if (sqlite3_blob_read(blob, back.data() + pos, n, (int)pos) !=
          SQLITE_OK) {
        Die("sqlite blob read", (long)pos);
      }
    }
    sqlite3_blob_close(blob);
    auto t2 = Clock::now();
    if (back != data) Die("sqlite read back different bytes", 0);
    r.readSecs.push_back(Seconds(t1, t2));
  }
  sqlite3_close(db);
  return r;
}

// One database of the store, made for one step of a round and deleted
// after it, so that no step finds the pages another one left.
class StepQueue {
 public:
  explicit StepQueue(const std::string& path) : path_(path) {
    Check(QDSDbCreate(path_.c_str(), WQS_QUEUE_DB_CLASS, FALSE), "db create");
    Check(QDSDbOpen(path_.c_str(), &q_.dbhandle), "db open");
  }
  ~StepQueue() {
    Check(QDSDbClose(q_.dbhandle), "db close");
    Check(QDSDbDelete(path_.c_str()), "db delete");
  }
  queue_handle_t* q() { return &q_; }

 private:
  std::string path_;
  queue_handle_t q_{};
};

void RemoveSqlite(const std::string& path) {
  for (const char* s : {"", "-wal", "-shm", "-journal"})
    std::remove((path + s).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  long mib = 64;
  int runs = 7;
  std::string base;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
      mib = std::strtol(argv[++i], nullptr, 10);
    } else if (strcmp(argv[i], "--piece-kib") == 0 && i + 1 < argc) {
      long kib = std::strtol(argv[++i], nullptr, 10);
      if (kib < 1 || kib > (1l << 21)) {
        std::fprintf(stderr, "bench_streams: --piece-kib must be 1 to %ld\n",
                     1l << 21);
        return 2;
      }
      gFilePiece = (DWORD)(kib << 10);
    } else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = (int)std::strtol(argv[++i], nullptr, 10);
      if (runs < bench::kMinRounds || runs > 1000) {
        std::fprintf(stderr, "bench_streams: --runs must be %d to 1000\n",
                     bench::kMinRounds);
        return 2;
      }
    } else if (strcmp(argv[i], "--reads") == 0 && i + 1 < argc) {
      gReads = (int)std::strtol(argv[++i], nullptr, 10);
      if (gReads < 1 || gReads > 100) {
        std::fprintf(stderr, "bench_streams: --reads must be 1 to 100\n");
        return 2;
      }
    } else if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      base = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--mib N] [--piece-kib K] [--runs R] [--reads N]"
                   " [--dir PATH]\n"
                   "  --mib N        bytes per stream, file and blob, in MiB"
                   " (default 64)\n"
                   "  --piece-kib K  attachment piece size (default 1024)\n"
                   "  --runs R       interleaved rounds, at least %d"
                   " (default 7)\n"
                   "  --reads N      reads of each write per round (default 3)\n"
                   "  --dir PATH     where the scratch databases go"
                   " (default $TMPDIR or /tmp)\n",
                   argv[0], bench::kMinRounds);
      return strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0 ? 0 : 2;
    }
  }
  // Objects and streams count sizes in 32 bits.
  if (mib < 1 || mib > 2048) {
    std::fprintf(stderr, "bench_streams: --mib must be 1 to 2048\n");
    return 2;
  }
  setenv("TAVLO_SYNC", "normal", 0);
  const char* sync = getenv("TAVLO_SYNC");
  bool syncNormal = sync != nullptr && strcmp(sync, "normal") == 0;

  if (base.empty()) {
    const char* t = getenv("TMPDIR");
    base = t != nullptr && t[0] != 0 ? t : "/tmp";
  }
  std::string pattern = base + "/bench_streams-XXXXXX";
  std::vector<char> tmpl(pattern.begin(), pattern.end());
  tmpl.push_back(0);
  if (mkdtemp(tmpl.data()) == nullptr) Die("mkdtemp", errno);
  std::string dir = tmpl.data();
  setenv("TAVLO_DATA", dir.c_str(), 1);

  std::vector<uint8_t> data = MakeData((size_t)mib << 20);
  bench::Samples streamWrite, streamRead, fileWrite, fileRead, blobWrite,
      blobRead;
  using Step = std::function<void()>;
  std::vector<Step> steps = {
      [&] {
        std::string path = dir + "/ceiling.db";
        Result r = SqliteRun(path, data, syncNormal);
        RemoveSqlite(path);
        blobWrite.Add(r.writeSecs);
        for (double t : r.readSecs) blobRead.Add(t);
      },
      [&] {
        StepQueue sq(dir + "/stream.qds");
        Result r = StreamRun(sq.q(), data);
        streamWrite.Add(r.writeSecs);
        for (double t : r.readSecs) streamRead.Add(t);
      },
      [&] {
        StepQueue sq(dir + "/file.qds");
        Result r = FileRun(sq.q(), data);
        fileWrite.Add(r.writeSecs);
        for (double t : r.readSecs) fileRead.Add(t);
      },
  };
  for (int round = 0; round < runs; round++) bench::RunRound(round, steps);

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  size_t bytes = data.size();
  double mb = bytes / 1e6;
  std::printf("bytes: %zu (%ld MiB), file pieces %u KiB, TAVLO_SYNC=%s, dir %s, "
              "%d interleaved rounds, %d reads of each write in each\n",
              bytes, mib, gFilePiece >> 10, sync ? sync : "(unset)",
              base.c_str(), runs, gReads);
  struct Row {
    const char* name;
    const bench::Samples* ours;
    const bench::Samples* ceiling;
  } rows[] = {
      {"stream write", &streamWrite, &blobWrite},
      {"stream read", &streamRead, &blobRead},
      {"file write", &fileWrite, &blobWrite},
      {"file read", &fileRead, &blobRead},
  };
  std::printf("%-17s %s\n", "sqlite blob write:", blobWrite.Rates(mb, "MB/s", 1).c_str());
  std::printf("%-17s %s\n", "sqlite blob read:", blobRead.Rates(mb, "MB/s", 1).c_str());
  for (const Row& r : rows) {
    std::string label = std::string(r.name) + ":";
    std::printf("%-17s %s\n", label.c_str(), r.ours->Rates(mb, "MB/s", 1).c_str());
  }
  // Best against best: each side at its least disturbed.
  double worst = 1e9;
  for (const Row& r : rows) {
    double ratio = r.ceiling->Best() / r.ours->Best();
    worst = std::min(worst, ratio);
    std::printf("%-13s %9.1f MB/s  (%.2f of ceiling)\n", r.name,
                mb / r.ours->Best(), ratio);
  }
  std::printf("worst ratio to ceiling: %.2f\n", worst);
  return 0;
}
