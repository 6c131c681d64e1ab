// The operator's reset procedure after crashes.  Round after round, rswq
// works on smtpibwq.fix and is killed (at a time, at a count of resets,
// inside a checkpoint, at a WAL sync); the file is renamed back to
// smtpibwq.qds, where the relay (a writer of new messages) stores mail and
// is killed too, or closes; and the file is renamed to smtpibwq.fix again.
// After every round: nothing refuses to open, every reset counted on rswq's
// status line and every message the relay reported saved is there, no
// reset is undone, every message is whole, and the database is sound.  A
// final rswq finishes the job.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "reliability_util.h"

namespace {

namespace fs = std::filesystem;

// The serials of "saved SERIAL NOTEID" lines of the stream writer.
std::set<DWORD> SavedSerials(const std::string& out) {
  std::set<DWORD> s;
  std::istringstream in(out);
  std::string word;
  DWORD serial = 0, id = 0;
  while (in >> word)
    if (word == "saved" && in >> serial >> id) s.insert(serial);
  return s;
}

// RelSerial of each message that is not a seeded one.
::testing::AssertionResult RelaySerials(const std::string& path,
                                        const std::vector<NOTEID>& ids,
                                        std::set<DWORD>* serials) {
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  queue_handle_t q{};
  if (STATUS err = WQSOpenQueueReadOnly(&qd, &q))
    return ::testing::AssertionFailure() << "read-only open: " << err;
  std::string problem;
  for (NOTEID id : ids) {
    msg_handle_t m{};
    DWORD serial = 0;
    if (STATUS err = WQSOpenMsgByMsgID(&q, id, &m)) {
      problem = "message " + std::to_string(id) + ": " + std::to_string(err);
      break;
    }
    if (WQSGetDWORD(&m, "RelSerial", &serial) != NOERROR)
      problem = "message " + std::to_string(id) + " is neither seeded nor the relay's";
    serials->insert(serial);
    WQSCloseMsg(&m);
    if (!problem.empty()) break;
  }
  WQSCloseQueueForRead(&q);
  if (!problem.empty()) return ::testing::AssertionFailure() << problem;
  return ::testing::AssertionSuccess();
}

std::string IntegrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
      verdict = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return verdict;
}

TEST(RenameKillTest, CrashesAndTheRenameProcedureLoseNothing) {
  const int count = 8000, rounds = 26;  // two kill points a round
  const std::string dir = rel::DataDir() + "/rename";
  const std::string fix = dir + "/smtpibwq.fix", qds = dir + "/smtpibwq.qds";
  fs::create_directories(dir);
  rel::SeededQueue seeded;
  ASSERT_TRUE(rel::SeedFailedQueue(dir + "/pristine.qds", count, rel::RunSeed(), &seeded));
  rel::CopyDbFile(dir + "/pristine.qds", fix);

  std::mt19937 rng(rel::RunSeed() ^ 0x72656e61u);
  rel::QueueState state;
  long failed = count;
  std::set<DWORD> relaySaved;
  DWORD nextSerial = 1;
  int rswqKilled = 0, relayKilled = 0, fresh = 0;
  for (int k = 0; k < rounds; k++) {
    SCOPED_TRACE("round " + std::to_string(k));
    // A fast machine resets most of the queue within a few rounds, and the
    // kills of the later ones would find rswq done before they come: the
    // procedure starts again on a fresh copy.
    if (failed < count / 2) {
      rel::CopyDbFile(dir + "/pristine.qds", fix);
      failed = count;
      state = rel::QueueState{};
      relaySaved.clear();
      fresh++;
    }
    // 1. rswq on smtpibwq.fix, killed at one of four kinds of point: any
    // time from its start (start-up, open, recovery, first search), a time
    // into its pass, inside a checkpoint (the open's recovery or one of the
    // pass's), at a sync of its WAL.  The last two fall back on a time into
    // the pass when the hook has not fired by then.
    rel::ChildOptions rswq{RSWQ_BINARY, {}, dir, dir + "/rswq.out"};
    rswq.env = {"TAVLO_SYNC="};  // its own bulk mode
    const int kind = k % 4;
    if (kind == 2) rswq.env.push_back("TAVLO_TEST_CRASH=file-write:" + std::to_string(1 + rng() % 30));
    if (kind == 3)
      rswq.env = {"TAVLO_SYNC=full", "TAVLO_TEST_CRASH=wal-sync:" + std::to_string(1 + rng() % 60)};
    // (A checkpoint comes every few hundred resets: the hook's fallback
    // waits long enough for the first.)
    const int64_t delay = kind == 0 ? rng() % 150000 : kind == 1 ? rng() % 20000 : 400000;
    int64_t start = rel::NowMicros();
    const pid_t pid = rel::StartChild(rswq);
    long counted = -1, seen;
    int code = 0;
    bool ended = false, passing = kind == 0;
    while (!(ended = rel::ChildEnded(pid, &code))) {
      if ((seen = rel::TaskCount(dir, pid)) > counted) counted = seen;
      if (!passing && rel::ReadFile(rswq.out).find("Resetting") != std::string::npos)
        passing = true, start = rel::NowMicros();
      if (passing && rel::NowMicros() - start >= delay) break;
      usleep(200);
    }
    if (!ended) {
      rel::KillChild(pid);
      rswqKilled++;
    } else if (code == 137) {
      rswqKilled++;  // the hook killed it
    } else {
      EXPECT_EQ(0, code) << rel::ReadFile(rswq.out);
    }

    // 2. "Rename it back before restarting the relay"; the relay stores
    // mail and is killed with commits in its WAL, or closes.
    ASSERT_EQ(0, rename(fix.c_str(), qds.c_str()));
    rel::ChildOptions relay{STREAM_WRITER_BINARY,
                            {"smtpibwq.qds", std::to_string(nextSerial), "30", "3000"},
                            dir, dir + "/relay.out"};
    if (k % 3 == 1)
      relay.env = {"TAVLO_SYNC=full", "TAVLO_TEST_CRASH=file-write:" + std::to_string(1 + rng() % 8)};
    const pid_t rp = rel::StartChild(relay);
    if (k % 3 == 0) usleep(static_cast<useconds_t>(rng() % 60000));
    if (k % 3 == 2 || rel::ChildEnded(rp, &code)) {
      code = rel::WaitChild(rp);
      if (code != 0) relayKilled++;
      if (k % 3 == 2) EXPECT_EQ(0, code) << rel::ReadFile(relay.out);
    } else if (k % 3 == 0) {
      rel::KillChild(rp);
      relayKilled++;
    } else {
      code = rel::WaitChild(rp);
      relayKilled += code != 0;
    }
    const std::set<DWORD> saved = SavedSerials(rel::ReadFile(relay.out));
    relaySaved.insert(saved.begin(), saved.end());
    nextSerial += 30;

    // 3. The next repair: renamed to smtpibwq.fix again.  A reader looks
    // first (it must see everything, and change nothing), then the checks.
    ASSERT_EQ(0, rename(qds.c_str(), fix.c_str()));
    rel::ChildOptions verify{WQADMIN_BINARY, {"verify", "smtpibwq.fix", "--quiet"}, dir,
                             dir + "/verify.out"};
    const std::string before = rel::ReadFile(fix);
    ASSERT_EQ(0, rel::WaitChild(rel::StartChild(verify))) << rel::ReadFile(verify.out);
    EXPECT_TRUE(before == rel::ReadFile(fix)) << "verify changed the file";
    ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state, true));
    ASSERT_LE(long(state.untouched), failed) << "a reset was undone";
    EXPECT_GE(failed - long(state.untouched), counted) << "a counted reset was lost";
    failed = long(state.untouched);
    std::set<DWORD> present;
    ASSERT_TRUE(RelaySerials(fix, state.extra, &present));
    for (DWORD s : relaySaved) ASSERT_TRUE(present.count(s)) << "relay message " << s << " lost";
    EXPECT_EQ(present.size(), state.extra.size()) << "a relay message twice";
    ASSERT_EQ("ok", IntegrityCheck(fix));
  }
  EXPECT_GE(rswqKilled, rounds * 3 / 4) << fresh << " fresh copies";
  EXPECT_GE(relayKilled, rounds / 3);
  std::printf("rename: rswq killed in %d of %d rounds, the relay in %d; %d fresh copies\n",
              rswqKilled, rounds, relayKilled, fresh);

  rel::ChildOptions rswq{RSWQ_BINARY, {}, dir, dir + "/rswq.out"};
  const int code = rel::WaitChild(rel::StartChild(rswq));
  const std::string out = rel::ReadFile(rswq.out);
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ(failed, rel::RequeuedCount(out)) << out;
  ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state, true));
  EXPECT_EQ(size_t(count), state.reset);
  std::string listing;
  for (auto& e : fs::directory_iterator(dir)) listing += " " + e.path().filename().string();
  EXPECT_TRUE(rel::ClosedCleanly(fix)) << listing;
}

}  // namespace
