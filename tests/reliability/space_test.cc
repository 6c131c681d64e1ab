// rswq without room to write and on a queue file it may not write.
//
// Disk full is simulated for the child alone: RLIMIT_FSIZE with SIGXFSZ
// ignored makes a write past the limit come back short or with EFBIG, as
// ENOSPC would on a full disk, and needs neither root nor a mount.  The
// limit holds for every file the child writes, so "room" here is the size
// any one file may reach.
//
// REL_SPACE_MESSAGES (1200) changes the size of the queue.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <string>

#include "reliability_util.h"
#include "tavlo/runtime.h"

namespace fs = std::filesystem;

namespace {

// SQLite checkpoints its WAL into the database after 1000 pages of 4 KiB,
// and starts it over: a WAL never grows much past this.
constexpr long kWalCeiling = 1000L * 4096;

std::string Text(STATUS status) {
  char buf[256];
  TavloStatusText(status, buf, sizeof buf);
  return buf;
}

long RequeuedCount(const std::string& out) {
  std::smatch m;
  static const std::regex line("rswq: ReQueued (\\d+) messages");
  if (!std::regex_search(out, m, line)) return -1;
  return std::stol(m[1]);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    n++;
  return n;
}

class SpaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = rel::DataDir() + "/space";
    fs::create_directories(dir_);
    pristine_ = dir_ + "/pristine.qds";
    seeded_ = new rel::SeededQueue;
    ASSERT_TRUE(rel::SeedFailedQueue(
        pristine_, static_cast<int>(rel::EnvLong("REL_SPACE_MESSAGES", 1200)),
        rel::RunSeed() ^ 0x73706163u, seeded_));
  }
  static void TearDownTestSuite() {
    delete seeded_;
    seeded_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(nullptr, seeded_);
    rel::CopyDbFile(pristine_, fix_);
    opts_.binary = RSWQ_BINARY;
    opts_.dir = dir_;
    opts_.out = dir_ + "/rswq.out";
  }
  void TearDown() override { rel::RemoveDbFiles(fix_); }

  // Runs rswq to its end; its exit code, output in *out.
  int Run(long limit, std::string* out, uid_t uid = 0) {
    opts_.fileSizeLimit = limit;
    opts_.uid = uid;
    int code = rel::WaitChild(rel::StartChild(opts_));
    *out = rel::ReadFile(opts_.out);
    return code;
  }

  static std::string dir_, pristine_;
  static rel::SeededQueue* seeded_;
  std::string fix_ = dir_ + "/smtpibwq.fix";
  rel::ChildOptions opts_;
};
std::string SpaceTest::dir_, SpaceTest::pristine_;
rel::SeededQueue* SpaceTest::seeded_ = nullptr;

TEST_F(SpaceTest, DiskFullEndsThePassWithErrorAndKeepsEverySavedMessage) {
  const long size = static_cast<long>(fs::file_size(pristine_));
  ASSERT_LT(size + (64 << 10), kWalCeiling - (64 << 10))
      << "queue too large for the WAL to fill up: lower REL_SPACE_MESSAGES";
  std::mt19937 rng(rel::RunSeed() ^ 0x66756c6cu);
  const long total = static_cast<long>(seeded_->ids.size());
  long failed = total;
  rel::QueueState state;
  // Three runs with room for the database but not for a full WAL, then one
  // with less room than the database already takes, so that the close
  // cannot write the WAL back either.  Odd limits: the write that crosses
  // one comes back short, as on a disk that fills up mid-write.
  for (int k = 0; k < 4; k++) {
    long limit;
    if (k < 3) {
      long span = kWalCeiling - (64 << 10) - size - (64 << 10);
      limit = size + (64 << 10) + static_cast<long>(rng() % span);
    } else {
      limit = (256 << 10) + static_cast<long>(rng() % (768 << 10));
    }
    limit |= 1;
    std::string out;
    int code = Run(limit, &out);
    ASSERT_TRUE(rel::CheckQueue(fix_, *seeded_, &state)) << "after run " << k;
    std::printf("run %d, limit %ld: exit %d, %zu untouched, %zu reset\n", k,
                limit, code, state.untouched, state.reset);
    EXPECT_EQ(255, code) << out;
    EXPECT_EQ(2u, Count(out, "rswq: Error: " + Text(ERR_DISK_FULL))) << out;
    EXPECT_EQ(std::string::npos, out.find("ReQueued")) << out;
    ASSERT_LE(state.untouched, static_cast<size_t>(failed));
    failed = static_cast<long>(state.untouched);
  }
  EXPECT_LT(failed, total) << "no run saved anything before the disk filled";

  std::string out;
  EXPECT_EQ(0, Run(-1, &out)) << out;
  EXPECT_EQ(failed, RequeuedCount(out)) << out;
  ASSERT_TRUE(rel::CheckQueue(fix_, *seeded_, &state));
  EXPECT_EQ(0u, state.untouched);
  EXPECT_EQ(seeded_->ids.size(), state.reset);
}

// rswq on a file it may not write: a clear status, its error lines, -1,
// and the file exactly as it was, with nothing created beside it.
void ExpectReadOnlyRefusal(int code, const std::string& out,
                           const std::string& fix, const std::string& before,
                           const struct stat& sb) {
  EXPECT_EQ(255, code) << out;
  EXPECT_NE(std::string::npos, out.find("rswq: Error: Unable to open: smtpibwq.fix"))
      << out;
  EXPECT_NE(std::string::npos, out.find(Text(ERR_DB_READONLY))) << out;
  EXPECT_TRUE(before == rel::ReadFile(fix)) << "the file was changed";
  struct stat now;
  ASSERT_EQ(0, stat(fix.c_str(), &now));
  EXPECT_EQ(sb.st_mtim.tv_sec, now.st_mtim.tv_sec);
  EXPECT_EQ(sb.st_mtim.tv_nsec, now.st_mtim.tv_nsec);
  EXPECT_FALSE(fs::exists(fix + "-wal"));
  EXPECT_FALSE(fs::exists(fix + "-journal"));
}

// A file without any write permission bit is read-only for every user,
// root included: root passes permission checks, so the store itself
// refuses to write to such a file.
TEST_F(SpaceTest, FileWithoutWritePermissionIsRefusedAndLeftAsItWas) {
  ASSERT_EQ(0, chmod(fix_.c_str(), 0444));
  const std::string before = rel::ReadFile(fix_);
  struct stat sb;
  ASSERT_EQ(0, stat(fix_.c_str(), &sb));
  std::string out;
  int code = Run(-1, &out);
  ExpectReadOnlyRefusal(code, out, fix_, before, sb);
  EXPECT_FALSE(fs::exists(fix_ + "-shm"));
  ASSERT_EQ(0, chmod(fix_.c_str(), 0644));
}

// Files that have write bits, but not for this user: the operating system
// refuses the write.  Needs a second user, so only root can arrange it:
// the child drops to nobody (65534).
class OtherUserTest : public SpaceTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the child as another user";
    SpaceTest::SetUp();
    // nobody must reach the file, but not write the directory.
    ASSERT_EQ(0, stat(rel::DataDir().c_str(), &parentSb_));
    ASSERT_EQ(0, stat(dir_.c_str(), &dirSb_));
    ASSERT_EQ(0, chmod(rel::DataDir().c_str(), 0755));
    ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
    ASSERT_EQ(0, chmod(fix_.c_str(), 0644));
  }
  void TearDown() override {
    if (geteuid() != 0) return;
    chmod(rel::DataDir().c_str(), parentSb_.st_mode & 07777);
    chmod(dir_.c_str(), dirSb_.st_mode & 07777);
    SpaceTest::TearDown();
  }
  void RunAsNobodyAndExpectRefusal() {
    const std::string before = rel::ReadFile(fix_);
    struct stat sb;
    ASSERT_EQ(0, stat(fix_.c_str(), &sb));
    std::string out;
    // The child's output file is opened before it drops to nobody.
    int code = Run(-1, &out, 65534);
    // 126: no switch to nobody allowed here; 127: nobody may not run the
    // binary (a build under a private home directory).
    if ((code == 126 || code == 127) && out.empty())
      GTEST_SKIP() << "cannot run rswq as nobody here (exit " << code << ")";
    ExpectReadOnlyRefusal(code, out, fix_, before, sb);
  }
  struct stat parentSb_ {}, dirSb_ {};
};

TEST_F(OtherUserTest, FileOfAnotherUserIsRefusedAndLeftAsItWas) {
  RunAsNobodyAndExpectRefusal();
}

// nobody's own file, in a directory nobody may not write: SQLite could not
// make its WAL there, so the queue is as read-only as the file would be.
TEST_F(OtherUserTest, FileInADirectoryOfAnotherUserIsRefusedAndLeftAsItWas) {
  ASSERT_EQ(0, chown(fix_.c_str(), 65534, 65534));
  RunAsNobodyAndExpectRefusal();
}

}  // namespace
