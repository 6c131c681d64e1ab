// rswq without room to write, and on a queue file it may not write.  Disk
// full is simulated for the child alone: with RLIMIT_FSIZE and SIGXFSZ
// ignored a write past the (per-file) limit comes back short or with EFBIG,
// as ENOSPC would, without root or a mount.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>

#include "reliability_util.h"
#include "tavlo/runtime.h"

namespace fs = std::filesystem;

namespace {

constexpr long kWalCeiling = 1000L * 4096;  // SQLite checkpoints its WAL here

std::string Text(STATUS status) {
  char buf[256];
  TavloStatusText(status, buf, sizeof buf);
  return buf;
}

class SpaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    if (seeded_.ids.empty())
      ASSERT_TRUE(rel::SeedFailedQueue(pristine_, 1200, rel::RunSeed() ^ 0x73706163u, &seeded_));
    rel::CopyDbFile(pristine_, fix_);
  }
  void TearDown() override { rel::RemoveDbFiles(fix_); }

  int Run(long limit, std::string* out) {  // rswq to its end
    rel::ChildOptions opts{RSWQ_BINARY, {}, dir_, dir_ + "/rswq.out", limit};
    int code = rel::WaitChild(rel::StartChild(opts));
    *out = rel::ReadFile(opts.out);
    return code;
  }

  const std::string dir_ = rel::DataDir() + "/space", pristine_ = dir_ + "/pristine.qds",
                    fix_ = dir_ + "/smtpibwq.fix";
  static inline rel::SeededQueue seeded_;
};

TEST_F(SpaceTest, DiskFullEndsThePassWithErrorAndKeepsEverySavedMessage) {
  const long size = static_cast<long>(fs::file_size(pristine_)), slack = 64 << 10;
  ASSERT_LT(size + slack, kWalCeiling - slack) << "queue too large for the WAL to fill up";
  std::mt19937 rng(rel::RunSeed() ^ 0x66756c6cu);
  long failed = static_cast<long>(seeded_.ids.size());
  rel::QueueState state;
  // Three runs with room for the database but not a full WAL, then one
  // with less than the database takes, so the close cannot write the WAL
  // back either.  Odd limits: the write crossing one comes back short.
  for (int k = 0; k < 4; k++) {
    long limit = k < 3 ? size + slack + long(rng() % (kWalCeiling - 2 * slack - size))
                       : (256 << 10) + long(rng() % (768 << 10));
    std::string out;
    int code = Run(limit | 1, &out);
    ASSERT_TRUE(rel::CheckQueue(fix_, seeded_, &state)) << "after run " << k;
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
  EXPECT_EQ(seeded_.ids.size(), state.reset);
}

// No write permission bit: read-only for root too, so the store itself
// must refuse; the file stays as it was, with nothing created beside it.
TEST_F(SpaceTest, FileWithoutWritePermissionIsRefusedAndLeftAsItWas) {
  ASSERT_EQ(0, chmod(fix_.c_str(), 0444));
  const std::string before = rel::ReadFile(fix_);
  struct stat sb, now;
  ASSERT_EQ(0, stat(fix_.c_str(), &sb));
  std::string out;
  EXPECT_EQ(255, Run(-1, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("rswq: Error: Unable to open: smtpibwq.fix")) << out;
  EXPECT_NE(std::string::npos, out.find(Text(ERR_DB_READONLY))) << out;
  EXPECT_TRUE(before == rel::ReadFile(fix_)) << "the file was changed";
  ASSERT_EQ(0, stat(fix_.c_str(), &now));
  EXPECT_EQ(sb.st_mtim.tv_sec, now.st_mtim.tv_sec);
  EXPECT_EQ(sb.st_mtim.tv_nsec, now.st_mtim.tv_nsec);
  for (const char* suffix : {"-wal", "-shm", "-journal"})
    EXPECT_FALSE(fs::exists(fix_ + suffix)) << suffix;
  EXPECT_TRUE(rel::ClosedCleanly(fix_)) << "a sidecar was made";
}

}  // namespace
