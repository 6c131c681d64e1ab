// rswq SIGKILLed at random points of its pass over 20,000 failed messages:
// after every kill each message verifies and is untouched or fully reset,
// and the next run counts exactly those still failed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>

#include "reliability_util.h"

namespace {

TEST(RswqKillTest, EveryMessageUntouchedOrResetAfterEachKillAndRerunFinishes) {
  const int count = 20000, kills = 6;
  const std::string dir = rel::DataDir() + "/kill", fix = dir + "/smtpibwq.fix";
  std::filesystem::create_directories(dir);
  rel::SeededQueue seeded;
  ASSERT_TRUE(rel::SeedFailedQueue(dir + "/pristine.qds", count, rel::RunSeed(), &seeded));
  rel::CopyDbFile(dir + "/pristine.qds", fix);

  // The first kill is by time, up to 150 ms in (start-up, open, first
  // search); the others at sorted random counts of messages done, plus up
  // to 3 ms so the kill lands anywhere inside a save.
  std::mt19937 rng(rel::RunSeed() ^ 0x6b696c6cu);
  std::vector<long> points;
  for (int i = 1; i < kills; i++) points.push_back(1 + long(rng() % (count * 3 / 4)));
  std::sort(points.begin(), points.end());

  // rswq's own durability: bulk mode, sync points instead of a sync a save
  // (the tests' environment says normal, which would turn them off).
  rel::ChildOptions opts{RSWQ_BINARY, {}, dir, dir + "/rswq.out"};
  opts.env = {"TAVLO_SYNC="};
  rel::QueueState state;
  long failed = count;
  int killed = 0, fresh = 0;
  for (int k = 0; k < kills; k++) {
    const long target = k == 0 ? 0 : std::max(1L, points[k - 1] - (count - failed));
    const int64_t delay = rng() % (k == 0 ? 150000 : 3000), start = rel::NowMicros();
    const pid_t pid = rel::StartChild(opts);
    long countAtKill = -1;
    int code = 0;
    bool ended = false;
    while (!(ended = rel::ChildEnded(pid, &code)) &&
           (target == 0 ? rel::NowMicros() - start < delay
                        : (countAtKill = rel::TaskCount(dir, pid)) < target))
      usleep(500);
    if (!ended) {
      if (target != 0) usleep(static_cast<useconds_t>(delay));
      rel::KillChild(pid);
      killed++;
    } else {  // it got through first, so it finished cleanly
      std::string out = rel::ReadFile(opts.out);
      EXPECT_EQ(0, code) << out;
      EXPECT_EQ(failed, rel::RequeuedCount(out)) << out;
      ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state)) << "after run " << k;
      EXPECT_EQ(size_t(count), state.reset);
      // A fast machine can finish what a kill left before the next kill
      // point comes (the status line is recorded every 200 ms): this kill
      // point is tried again on a fresh copy.
      ASSERT_LT(++fresh, kills) << "rswq keeps finishing before its kill point";
      rel::CopyDbFile(dir + "/pristine.qds", fix);
      state = rel::QueueState{};
      failed = count;
      k--;
      continue;
    }
    ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state)) << "after kill " << k;
    ASSERT_LE(state.untouched, size_t(failed)) << "a reset was undone";
    // Every save counted on the status line is on disk.
    EXPECT_GE(failed - long(state.untouched), countAtKill);
    failed = long(state.untouched);
  }
  EXPECT_EQ(kills, killed);

  const int code = rel::WaitChild(rel::StartChild(opts));
  const std::string out = rel::ReadFile(opts.out);
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ(failed, rel::RequeuedCount(out)) << out;
  ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state));
  EXPECT_EQ(size_t(count), state.reset);
}

}  // namespace
