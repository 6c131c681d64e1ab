// Writers SIGKILLed at random points: `wqadmin seed` and a writer of
// messages with one large data stream.  After each kill everything in the
// queue verifies, every message is complete or absent, and seeding goes
// on.  REL_SEED_COUNT (3000), REL_SEED_KILLS (4), REL_STREAM_MB (24),
// REL_STREAM_KILLS (4).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reliability_util.h"
#include "stream_content.h"

namespace fs = std::filesystem;

namespace {

// Starts a child, sleeps a random time below `span`, kills it unless it
// has ended; true when it ended first.
template <class Rng>
bool KillWithin(const rel::ChildOptions& opts, Rng& rng, int64_t span) {
  pid_t pid = rel::StartChild(opts);
  usleep(static_cast<useconds_t>(rng() % (span + 1)));
  int code = 0;
  if (rel::ChildEnded(pid, &code)) return true;
  rel::KillChild(pid);
  return false;
}

#ifdef WQADMIN_BINARY
long VerifiedCount(const std::string& path) {
  std::vector<NOTEID> ids;
  auto ok = rel::CheckMessages(path, &ids, nullptr);
  EXPECT_TRUE(ok);
  return ok ? long(ids.size()) : -1;
}

TEST(WriterKillTest, SeedKilledLeavesWholeMessagesAndSeedingGoesOn) {
  const long n = rel::EnvLong("REL_SEED_COUNT", 3000);
  const int kills = static_cast<int>(rel::EnvLong("REL_SEED_KILLS", 4));
  const std::string dir = rel::DataDir() + "/seed", fix = dir + "/smtpibwq.fix";
  fs::create_directories(dir);
  rel::ChildOptions opts{WQADMIN_BINARY, {"create", "smtpibwq.fix"}, dir, dir + "/wqadmin.out"};
  ASSERT_EQ(0, rel::WaitChild(rel::StartChild(opts))) << rel::ReadFile(opts.out);
  opts.args = {"seed", "smtpibwq.fix", "--count", std::to_string(n), "--status", "11",
               "--recipients", "3", "--quiet"};

  // Calibration: one whole seed of n.
  const int64_t t0 = rel::NowMicros();
  ASSERT_EQ(0, rel::WaitChild(rel::StartChild(opts))) << rel::ReadFile(opts.out);
  const int64_t full = rel::NowMicros() - t0;
  long have = VerifiedCount(fix);
  ASSERT_EQ(n, have);

  std::mt19937 rng(rel::RunSeed() ^ 0x73656564u);
  for (int k = 0; k < kills; k++) {
    const bool ended = KillWithin(opts, rng, full * 9 / 10);
    const long now = VerifiedCount(fix);
    std::printf("seed kill %d: %s, %ld messages added\n", k, ended ? "ended" : "killed",
                now - have);
    ASSERT_GE(now, have);
    ASSERT_LE(now, have + n);
    if (ended) { EXPECT_EQ(now, have + n); }
    have = now;
  }
  opts.args = {"seed", "smtpibwq.fix", "--count", "25", "--status", "9", "--quiet"};
  ASSERT_EQ(0, rel::WaitChild(rel::StartChild(opts))) << rel::ReadFile(opts.out);
  EXPECT_EQ(have + 25, VerifiedCount(fix));
}
#endif  // WQADMIN_BINARY

// "" when stream "Body" of `m` holds exactly what the writer wrote.
std::string CheckStream(msg_handle_t* m, DWORD serial, DWORD size) {
  data_stream_block_t dsb{};
  if (STATUS err = WQSOpenDataStreamBlock(m, "Body", &dsb))
    return "stream does not open: status " + std::to_string(err);
  std::string problem;
  if (WQSGetSizeOfDataStreamBlock(&dsb) != size) problem = "stream size differs";
  std::vector<unsigned char> buf(1 << 20);
  DWORD at = 0;
  for (WORD flag = WQS_DSB_MORE; problem.empty() && flag == WQS_DSB_MORE;) {
    DWORD got = 0;
    if (STATUS err = WQSGetDataStreamBlock(m, &dsb, &flag, buf.data(), buf.size(), &got))
      problem = "stream read: status " + std::to_string(err);
    for (DWORD i = 0; i < got && problem.empty(); i++)
      if (buf[i] != rel::StreamByte(serial, at + i))
        problem = "stream byte " + std::to_string(at + i) + " differs";
    at += got;
    if (got == 0) break;
  }
  if (problem.empty() && at != size) problem = "stream read " + std::to_string(at) + " bytes";
  (void)WQSCloseDataStreamBlock(&dsb);
  return problem;
}

// Serial -> note id of every message, each verified and its stream read.
::testing::AssertionResult CheckStreamQueue(const std::string& path,
                                            std::map<DWORD, NOTEID>* present) {
  present->clear();
  std::vector<NOTEID> ids;
  return rel::CheckMessages(path, &ids, [&](NOTEID id, msg_handle_t* m) -> std::string {
    DWORD serial = 0, size = 0;
    if (WQSGetDWORD(m, "RelSerial", &serial) || WQSGetDWORD(m, "RelSize", &size))
      return "fields missing";
    if (!present->emplace(serial, id).second) return "serial twice";
    return CheckStream(m, serial, size);
  });
}

TEST(WriterKillTest, StreamWriterKilledLeavesEachMessageAbsentOrComplete) {
  const DWORD bytes = static_cast<DWORD>(rel::EnvLong("REL_STREAM_MB", 24)) << 20;
  const int kills = static_cast<int>(rel::EnvLong("REL_STREAM_KILLS", 4));
  const std::string dir = rel::DataDir() + "/stream", fix = dir + "/smtpibwq.fix";
  fs::create_directories(dir);
  rel::SeededQueue none;
  ASSERT_TRUE(rel::SeedFailedQueue(fix, 0, 0, &none));
  rel::ChildOptions opts{STREAM_WRITER_BINARY, {}, dir, dir + "/writer.out"};
  auto args = [&](DWORD first, DWORD count) {
    opts.args = {"smtpibwq.fix", std::to_string(first), std::to_string(count),
                 std::to_string(bytes)};
  };

  // Calibration: one message written and saved whole.
  args(0, 1);
  const int64_t t0 = rel::NowMicros();
  ASSERT_EQ(0, rel::WaitChild(rel::StartChild(opts))) << rel::ReadFile(opts.out);
  const int64_t one = rel::NowMicros() - t0;
  std::map<DWORD, NOTEID> present;
  ASSERT_TRUE(CheckStreamQueue(fix, &present));
  ASSERT_EQ(1u, present.size());

  std::mt19937 rng(rel::RunSeed() ^ 0x7374726du);
  const DWORD count = 3;  // the kill lands in building, saving or between
  DWORD next = 1;
  for (int k = 0; k < kills; k++, next += count) {
    args(next, count);
    // A run is quicker than the calibration, which also paid for the first
    // open: aim inside its first three quarters.
    const bool ended = KillWithin(opts, rng, one * count * 3 / 4);
    // "saved SERIAL NOTEID" lines: the saves finished before the kill.
    std::map<DWORD, NOTEID> saved;
    std::istringstream in(rel::ReadFile(opts.out));
    std::string word;
    for (DWORD serial, id; in >> word;)
      if (word == "saved" && in >> serial >> id) saved[serial] = id;
    const std::map<DWORD, NOTEID> before = present;
    ASSERT_TRUE(CheckStreamQueue(fix, &present)) << "after kill " << k;
    std::printf("stream kill %d: %s, %zu saves reported, %zu new\n", k,
                ended ? "ended" : "killed", saved.size(), present.size() - before.size());
    for (auto [serial, id] : saved) {
      ASSERT_TRUE(present.count(serial)) << "reported saved, missing: " << serial;
      EXPECT_EQ(id, present[serial]);
    }
    for (auto [serial, id] : present)
      if (!before.count(serial)) { EXPECT_TRUE(serial >= next && serial < next + count); }
    ASSERT_LE(present.size() - before.size(), saved.size() + 1);
  }
}

}  // namespace
