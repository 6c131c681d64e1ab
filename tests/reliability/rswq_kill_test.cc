// rswq SIGKILLed at random points of its pass over a large queue of failed
// messages: after every kill each message verifies and is untouched or
// fully reset, and the next run counts exactly those still failed.
// REL_KILL_MESSAGES (20000), REL_KILLS (6), REL_SEED; REL_RSWQ names
// another rswq to hold to the same checks.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "reliability_util.h"

namespace {

// Kills the run once its status line has counted to `target` and
// `delayMicros` more have passed (so the kill lands anywhere inside a
// save), or with target 0 `delayMicros` after the start.  False if the
// run ended first.
bool RunAndKill(const rel::ChildOptions& opts, long target, int64_t delayMicros,
                long* countAtKill, int* code) {
  pid_t pid = rel::StartChild(opts);
  const int64_t start = rel::NowMicros();
  *countAtKill = -1;
  while (target == 0 ? rel::NowMicros() - start < delayMicros
                     : (*countAtKill = rel::TaskCount(opts.dir, pid)) < target) {
    if (rel::ChildEnded(pid, code)) return false;
    usleep(500);
  }
  if (target != 0) usleep(static_cast<useconds_t>(delayMicros));
  rel::KillChild(pid);
  return true;
}

TEST(RswqKillTest, EveryMessageUntouchedOrResetAfterEachKillAndRerunFinishes) {
  const int count = static_cast<int>(rel::EnvLong("REL_KILL_MESSAGES", 20000));
  const int kills = static_cast<int>(rel::EnvLong("REL_KILLS", 6));
  const std::string dir = rel::DataDir() + "/kill", fix = dir + "/smtpibwq.fix";
  std::filesystem::create_directories(dir);
  rel::SeededQueue seeded;
  ASSERT_TRUE(rel::SeedFailedQueue(dir + "/pristine.qds", count, rel::RunSeed(), &seeded));
  rel::CopyDbFile(dir + "/pristine.qds", fix);

  // The first kill is by time, up to 150 ms in (start-up, open, first
  // search); the others at sorted random counts of messages done.
  std::mt19937 rng(rel::RunSeed() ^ 0x6b696c6cu);
  std::vector<long> points;
  for (int i = 1; i < kills; i++) points.push_back(1 + long(rng() % (count * 9 / 10)));
  std::sort(points.begin(), points.end());

  rel::ChildOptions opts;
  opts.binary = std::getenv("REL_RSWQ") ? std::getenv("REL_RSWQ") : RSWQ_BINARY;
  opts.dir = dir;
  opts.out = dir + "/rswq.out";
  rel::QueueState state;
  long failed = count;
  int killed = 0;
  for (int k = 0; k < kills; k++) {
    const long target = k == 0 ? 0 : std::max(1L, points[k - 1] - (count - failed));
    const int64_t delay = rng() % (k == 0 ? 150000 : 3000);
    long countAtKill = -1;
    int code = 0;
    const bool wasKilled = RunAndKill(opts, target, delay, &countAtKill, &code);
    if (wasKilled) {
      killed++;
    } else {  // it got through first, so it finished cleanly
      std::string out = rel::ReadFile(opts.out);
      EXPECT_EQ(0, code) << out;
      EXPECT_EQ(failed, rel::RequeuedCount(out)) << out;
    }
    ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state)) << "after kill " << k;
    std::printf("kill %d: target %ld +%lld us, count %ld, %s: %zu untouched, %zu reset\n",
                k, target, static_cast<long long>(delay), countAtKill,
                wasKilled ? "killed" : "ended", state.untouched, state.reset);
    ASSERT_LE(state.untouched, size_t(failed)) << "a reset was undone";
    // Every save counted on the status line is on disk.
    EXPECT_GE(failed - long(state.untouched), countAtKill);
    failed = long(state.untouched);
  }
  EXPECT_GE(killed, kills - 1) << "too few runs were actually killed";

  const int code = rel::WaitChild(rel::StartChild(opts));
  const std::string out = rel::ReadFile(opts.out);
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ(failed, rel::RequeuedCount(out)) << out;
  ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state));
  EXPECT_EQ(0u, state.untouched);
  EXPECT_EQ(size_t(count), state.reset);
}

}  // namespace
