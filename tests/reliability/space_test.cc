// rswq without room to write, and on a queue file it may not write.
//
// Disk full is simulated for the child alone: with RLIMIT_FSIZE and SIGXFSZ
// ignored a write past the limit comes back short or with EFBIG, as ENOSPC
// would, without root or a mount.  The limit is per file.
// REL_SPACE_MESSAGES (1200) changes the size of the queue.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "reliability_util.h"
#include "tavlo/runtime.h"

namespace fs = std::filesystem;

namespace {

// SQLite checkpoints its WAL after 1000 pages of 4 KiB and starts it over.
constexpr long kWalCeiling = 1000L * 4096;

std::string Text(STATUS status) {
  char buf[256];
  TavloStatusText(status, buf, sizeof buf);
  return buf;
}

class SpaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = rel::DataDir() + "/space";
    pristine_ = dir_ + "/pristine.qds";
    fix_ = dir_ + "/smtpibwq.fix";
    fs::create_directories(dir_);
    ASSERT_TRUE(rel::SeedFailedQueue(
        pristine_, static_cast<int>(rel::EnvLong("REL_SPACE_MESSAGES", 1200)),
        rel::RunSeed() ^ 0x73706163u, &seeded_));
  }
  void SetUp() override {
    ASSERT_FALSE(seeded_.ids.empty());
    rel::CopyDbFile(pristine_, fix_);
  }
  void TearDown() override { rel::RemoveDbFiles(fix_); }

  // Runs rswq to its end: its exit code, its output in *out.
  int Run(long limit, std::string* out, uid_t uid = 0) {
    rel::ChildOptions opts{RSWQ_BINARY, {}, dir_, dir_ + "/rswq.out", limit, uid};
    int code = rel::WaitChild(rel::StartChild(opts));
    *out = rel::ReadFile(opts.out);
    return code;
  }

  // rswq (as `uid`) refused: a clear status, its error lines, -1, and the
  // file exactly as it was with nothing created beside it.
  void ExpectReadOnlyRefusal(uid_t uid) {
    const std::string before = rel::ReadFile(fix_);
    struct stat sb, now;
    ASSERT_EQ(0, stat(fix_.c_str(), &sb));
    std::string out;
    int code = Run(-1, &out, uid);
    // 126: no switch of user allowed; 127: the binary is out of its reach.
    if (uid != 0 && (code == 126 || code == 127) && out.empty())
      GTEST_SKIP() << "cannot run rswq as " << uid << " here (exit " << code << ")";
    EXPECT_EQ(255, code) << out;
    EXPECT_NE(std::string::npos, out.find("rswq: Error: Unable to open: smtpibwq.fix")) << out;
    EXPECT_NE(std::string::npos, out.find(Text(ERR_DB_READONLY))) << out;
    EXPECT_TRUE(before == rel::ReadFile(fix_)) << "the file was changed";
    ASSERT_EQ(0, stat(fix_.c_str(), &now));
    EXPECT_EQ(sb.st_mtim.tv_sec, now.st_mtim.tv_sec);
    EXPECT_EQ(sb.st_mtim.tv_nsec, now.st_mtim.tv_nsec);
    for (const char* suffix : {"-wal", "-shm", "-journal"})
      EXPECT_FALSE(fs::exists(fix_ + suffix)) << suffix;
  }

  static inline std::string dir_, pristine_, fix_;
  static inline rel::SeededQueue seeded_;
};

TEST_F(SpaceTest, DiskFullEndsThePassWithErrorAndKeepsEverySavedMessage) {
  const long size = static_cast<long>(fs::file_size(pristine_)), slack = 64 << 10;
  ASSERT_LT(size + slack, kWalCeiling - slack)
      << "queue too large for the WAL to fill up: lower REL_SPACE_MESSAGES";
  std::mt19937 rng(rel::RunSeed() ^ 0x66756c6cu);
  long failed = static_cast<long>(seeded_.ids.size());
  rel::QueueState state;
  // Three runs with room for the database but not a full WAL, then one
  // with less than the database takes, so the close cannot write the WAL
  // back either.  Odd limits: the write crossing one comes back short.
  for (int k = 0; k < 4; k++) {
    long limit = k < 3 ? size + slack + long(rng() % (kWalCeiling - 2 * slack - size))
                       : (256 << 10) + long(rng() % (768 << 10));
    limit |= 1;
    std::string out;
    int code = Run(limit, &out);
    ASSERT_TRUE(rel::CheckQueue(fix_, seeded_, &state)) << "after run " << k;
    std::printf("run %d, limit %ld: exit %d, %zu untouched, %zu reset\n", k, limit,
                code, state.untouched, state.reset);
    EXPECT_EQ(255, code) << out;
    const std::string error = "rswq: Error: " + Text(ERR_DISK_FULL);
    size_t lines = 0;
    for (size_t at = out.find(error); at != std::string::npos; at = out.find(error, at + 1)) lines++;
    EXPECT_EQ(2u, lines) << out;
    EXPECT_EQ(std::string::npos, out.find("ReQueued")) << out;
    ASSERT_LE(state.untouched, size_t(failed)) << "a reset was undone";
    failed = long(state.untouched);
  }
  EXPECT_LT(failed, long(seeded_.ids.size())) << "nothing saved before the disk filled";

  std::string out;
  EXPECT_EQ(0, Run(-1, &out)) << out;
  EXPECT_EQ(failed, rel::RequeuedCount(out)) << out;
  ASSERT_TRUE(rel::CheckQueue(fix_, seeded_, &state));
  EXPECT_EQ(0u, state.untouched);
  EXPECT_EQ(seeded_.ids.size(), state.reset);
}

// No write permission bit: read-only for root too, so the store itself
// must refuse to write.
TEST_F(SpaceTest, FileWithoutWritePermissionIsRefusedAndLeftAsItWas) {
  ASSERT_EQ(0, chmod(fix_.c_str(), 0444));
  ExpectReadOnlyRefusal(0);
}

// Refused by the operating system: the child drops to nobody (65534),
// which may reach the file but not write the directory; first a file of
// another user, then nobody's own file, where SQLite cannot make its WAL.
TEST_F(SpaceTest, FileOrDirectoryOfAnotherUserIsRefusedAndLeftAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the child as another user";
  ASSERT_EQ(0, chmod(rel::DataDir().c_str(), 0755));
  ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
  ASSERT_EQ(0, chmod(fix_.c_str(), 0644));
  ExpectReadOnlyRefusal(65534);
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_EQ(0, chown(fix_.c_str(), 65534, 65534));
  ExpectReadOnlyRefusal(65534);
}

}  // namespace
