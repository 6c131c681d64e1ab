// rswq killed with SIGKILL at random points of its pass over a large queue
// of failed messages: after every kill the queue opens, every message
// verifies and is either as seeded or fully reset, and the next run counts
// exactly the messages still failed.  Kills accumulate over the reruns;
// the last run is left to finish.
//
// REL_KILL_MESSAGES (20000) and REL_KILLS (6) change the size and the
// number of kills; REL_SEED repeats a run; REL_RSWQ names another rswq.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <string>

#include "reliability_util.h"

namespace fs = std::filesystem;

namespace {

using rel::QueueState;

// Kills the run once its status line has counted to `target` (plus a
// random few milliseconds, so the kill lands anywhere inside a save), or,
// with target 0, after `delayMicros` from the start.  False if the run
// ended before it could be killed.
bool RunAndKill(const rel::ChildOptions& opts, long target, int64_t delayMicros,
                long* countAtKill, int* code) {
  pid_t pid = rel::StartChild(opts);
  const int64_t start = rel::NowMicros();
  *countAtKill = -1;
  for (;;) {
    if (rel::ChildEnded(pid, code)) return false;
    if (target == 0) {
      if (rel::NowMicros() - start >= delayMicros) break;
    } else {
      long n = rel::TaskCount(opts.dir, pid);
      if (n >= target) {
        *countAtKill = n;
        break;
      }
    }
    usleep(500);
  }
  if (target != 0 && delayMicros > 0) usleep(static_cast<useconds_t>(delayMicros));
  rel::KillChild(pid);
  return true;
}

long RequeuedCount(const std::string& out) {
  std::smatch m;
  static const std::regex line("rswq: ReQueued (\\d+) messages");
  if (!std::regex_search(out, m, line)) return -1;
  return std::stol(m[1]);
}

TEST(RswqKillTest, EveryMessageUntouchedOrResetAfterEachKillAndRerunFinishes) {
  const int count = static_cast<int>(rel::EnvLong("REL_KILL_MESSAGES", 20000));
  const int kills = static_cast<int>(rel::EnvLong("REL_KILLS", 6));
  const std::string dir = rel::DataDir() + "/kill";
  fs::create_directories(dir);
  const std::string fix = dir + "/smtpibwq.fix";
  const std::string pristine = dir + "/pristine.qds";

  rel::SeededQueue seeded;
  int64_t t0 = rel::NowMicros();
  ASSERT_TRUE(rel::SeedFailedQueue(pristine, count, rel::RunSeed(), &seeded));
  std::printf("seeded %d messages in %.1f s\n", count,
              (rel::NowMicros() - t0) / 1e6);
  rel::CopyDbFile(pristine, fix);

  // Kill points over the whole job, by messages done: sorted, distinct,
  // inside the pass.  The first kill is by time, early in the run, where
  // the start-up, the open and the first search are.
  std::mt19937 rng(rel::RunSeed() ^ 0x6b696c6cu);
  std::vector<long> points;
  for (int i = 1; i < kills; i++)
    points.push_back(1 + static_cast<long>(rng() % (count * 9 / 10)));
  std::sort(points.begin(), points.end());

  rel::ChildOptions opts;
  // REL_RSWQ runs another rswq build against the same checks.
  opts.binary = std::getenv("REL_RSWQ") ? std::getenv("REL_RSWQ") : RSWQ_BINARY;
  opts.dir = dir;
  opts.out = dir + "/rswq.out";

  QueueState state;
  long failed = count;
  int killed = 0;
  for (int k = 0; k < kills; k++) {
    const long done = count - failed;
    long target = 0;
    int64_t delay = 0;
    if (k == 0) {
      delay = static_cast<int64_t>(rng() % 150000);  // up to 150 ms in
    } else {
      target = std::max(1L, points[k - 1] - done);
      delay = static_cast<int64_t>(rng() % 3000);
    }
    long countAtKill = -1;
    int code = 0;
    t0 = rel::NowMicros();
    bool wasKilled = RunAndKill(opts, target, delay, &countAtKill, &code);
    std::printf("kill %d: target %ld (+%lld us) count seen %ld, %s after %.2f s\n",
                k, target, static_cast<long long>(delay), countAtKill,
                wasKilled ? "killed" : "ended", (rel::NowMicros() - t0) / 1e6);
    if (!wasKilled) {
      // The run got through before the kill: it must have finished cleanly.
      std::string out = rel::ReadFile(opts.out);
      EXPECT_EQ(0, code) << out;
      EXPECT_EQ(failed, RequeuedCount(out)) << out;
    } else {
      killed++;
    }
    t0 = rel::NowMicros();
    ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state)) << "after kill " << k;
    std::printf("  check: %zu untouched, %zu reset (%.1f s)\n", state.untouched,
                state.reset, (rel::NowMicros() - t0) / 1e6);
    // Nothing is undone: a reset message stays reset.
    ASSERT_LE(state.untouched, static_cast<size_t>(failed));
    // Every save the run had counted on its status line is on disk.
    EXPECT_GE(failed - static_cast<long>(state.untouched), countAtKill);
    failed = static_cast<long>(state.untouched);
  }
  EXPECT_GE(killed, kills - 1) << "too few runs were actually killed";

  pid_t pid = rel::StartChild(opts);
  int code = rel::WaitChild(pid);
  std::string out = rel::ReadFile(opts.out);
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ(failed, RequeuedCount(out)) << out;
  ASSERT_TRUE(rel::CheckQueue(fix, seeded, &state));
  EXPECT_EQ(0u, state.untouched);
  EXPECT_EQ(static_cast<size_t>(count), state.reset);
}

}  // namespace
