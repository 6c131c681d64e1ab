// Writers SIGKILLed at random points: `wqadmin seed` and a writer of
// messages with one large data stream.  After each kill everything in the
// queue verifies, every message is complete or absent, and seeding goes on.

#include <gtest/gtest.h>
#include <unistd.h>

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

// Starts a child and kills it after a random time below `span` unless it
// has ended; true when it ended first.
bool KillWithin(const rel::ChildOptions& opts, std::mt19937& rng, int64_t span) {
  pid_t pid = rel::StartChild(opts);
  usleep(static_cast<useconds_t>(rng() % (span + 1)));
  int code = 0;
  if (rel::ChildEnded(pid, &code)) return true;
  rel::KillChild(pid);
  return false;
}

// Runs a child to its end: the time it took, or -1 if it failed.
int64_t TimedRun(const rel::ChildOptions& opts) {
  const int64_t t0 = rel::NowMicros();
  const int code = rel::WaitChild(rel::StartChild(opts));
  EXPECT_EQ(0, code) << rel::ReadFile(opts.out);
  return code == 0 ? rel::NowMicros() - t0 : -1;
}

long VerifiedCount(const std::string& path) {
  std::vector<NOTEID> ids;
  auto ok = rel::CheckMessages(path, &ids, nullptr);
  EXPECT_TRUE(ok);
  return ok ? long(ids.size()) : -1;
}

TEST(WriterKillTest, SeedKilledLeavesWholeMessagesAndSeedingGoesOn) {
  const long n = 3000;
  const std::string dir = rel::DataDir() + "/seed", fix = dir + "/smtpibwq.fix";
  fs::create_directories(dir);
  rel::ChildOptions opts{WQADMIN_BINARY, {"create", "smtpibwq.fix"}, dir, dir + "/wqadmin.out"};
  ASSERT_GE(TimedRun(opts), 0);
  opts.args = {"seed", "smtpibwq.fix", "--count", std::to_string(n), "--status", "11",
               "--recipients", "3", "--quiet"};
  const int64_t full = TimedRun(opts);  // calibration: one whole seed of n
  ASSERT_GE(full, 0);
  long have = VerifiedCount(fix);
  ASSERT_EQ(n, have);

  std::mt19937 rng(rel::RunSeed() ^ 0x73656564u);
  for (int k = 0; k < 4; k++) {
    const bool ended = KillWithin(opts, rng, full * 9 / 10);
    const long now = VerifiedCount(fix);
    ASSERT_GE(now, have);
    ASSERT_LE(now, have + n);
    if (ended) { EXPECT_EQ(now, have + n); }
    have = now;
  }
  opts.args = {"seed", "smtpibwq.fix", "--count", "25", "--status", "9", "--quiet"};
  ASSERT_GE(TimedRun(opts), 0);
  EXPECT_EQ(have + 25, VerifiedCount(fix));
}
// "" when stream "Body" of `m` holds exactly what the writer wrote.
std::string CheckStream(msg_handle_t* m, DWORD serial, DWORD size) {
  data_stream_block_t dsb{};
  if (STATUS err = WQSOpenDataStreamBlock(m, "Body", &dsb)) return "no stream: " + std::to_string(err);
  std::vector<unsigned char> buf(size + 1);
  DWORD at = 0, got = 1;
  STATUS err = NOERROR;
  for (WORD flag = WQS_DSB_MORE; !err && got && flag == WQS_DSB_MORE && at <= size; at += got)
    err = WQSGetDataStreamBlock(m, &dsb, &flag, buf.data() + at, buf.size() - at, &got);
  std::string problem = err ? "stream read: status " + std::to_string(err) : "";
  if (problem.empty() && (at != size || WQSGetSizeOfDataStreamBlock(&dsb) != size))
    problem = "stream of " + std::to_string(at) + " bytes";
  for (DWORD i = 0; i < size && problem.empty(); i++)
    if (buf[i] != rel::StreamByte(serial, i)) problem = "stream byte " + std::to_string(i) + " differs";
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
  const DWORD bytes = 24u << 20, count = 3;  // the kill lands in building, saving or between
  const std::string dir = rel::DataDir() + "/stream", fix = dir + "/smtpibwq.fix";
  fs::create_directories(dir);
  rel::SeededQueue none;
  ASSERT_TRUE(rel::SeedFailedQueue(fix, 0, 0, &none));
  rel::ChildOptions opts{STREAM_WRITER_BINARY, {}, dir, dir + "/writer.out"};
  auto args = [&](DWORD first, DWORD n) {
    opts.args = {"smtpibwq.fix", std::to_string(first), std::to_string(n), std::to_string(bytes)};
  };
  args(0, 1);
  const int64_t one = TimedRun(opts);  // calibration: one message saved whole
  ASSERT_GE(one, 0);
  std::map<DWORD, NOTEID> present;
  ASSERT_TRUE(CheckStreamQueue(fix, &present));
  ASSERT_EQ(1u, present.size());

  std::mt19937 rng(rel::RunSeed() ^ 0x7374726du);
  for (DWORD k = 0, next = 1; k < 4; k++, next += count) {
    args(next, count);
    // Quicker than the calibration, which also paid for the first open:
    // aim inside its first three quarters.
    KillWithin(opts, rng, one * count * 3 / 4);
    std::map<DWORD, NOTEID> saved;  // "saved SERIAL NOTEID": before the kill
    std::istringstream in(rel::ReadFile(opts.out));
    std::string word;
    for (DWORD serial, id; in >> word;)
      if (word == "saved" && in >> serial >> id) saved[serial] = id;
    const std::map<DWORD, NOTEID> before = present;
    ASSERT_TRUE(CheckStreamQueue(fix, &present)) << "after kill " << k;
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
