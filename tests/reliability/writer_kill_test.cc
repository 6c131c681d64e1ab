// Writers of many messages killed with SIGKILL: `wqadmin seed` and a
// writer of messages with a large data stream.  After each kill the queue
// opens, everything in it verifies, every message is complete or absent,
// and writing goes on.
//
// REL_SEED_COUNT (3000), REL_SEED_KILLS (4), REL_STREAM_MB (24) and
// REL_STREAM_KILLS (4) change the sizes and the number of kills.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reliability_util.h"
#include "stream_content.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqhk/wqhk_verify.h"

namespace fs = std::filesystem;

namespace {

STATUS OpenQueue(const std::string& path, queue_handle_t* q) {
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof qd);
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  return WQSOpenQueueForWrite(&qd, FALSE, q);
}

STATUS CollectIds(void* arg, SEARCH_MATCH* match, ITEM_TABLE*) {
  if (match->SERetFlags & SE_FMATCH)
    static_cast<std::vector<NOTEID>*>(arg)->push_back(match->ID.NoteID);
  return NOERROR;
}

// Verifies the whole queue; the message count, or -1 (with a failure).
long VerifiedCount(const std::string& path) {
  queue_handle_t q;
  STATUS err = OpenQueue(path, &q);
  EXPECT_EQ(NOERROR, err) << "the queue does not open";
  if (err != NOERROR) return -1;
  DWORD checked = 0, damaged = 0;
  err = WQHKVerifyQueue(&q, nullptr, nullptr, &checked, &damaged);
  EXPECT_EQ(NOERROR, err);
  EXPECT_EQ(0u, damaged);
  EXPECT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  return err == NOERROR && damaged == 0 ? static_cast<long>(checked) : -1;
}

#ifdef WQADMIN_BINARY
TEST(WriterKillTest, SeedKilledLeavesWholeMessagesAndSeedingGoesOn) {
  const long n = rel::EnvLong("REL_SEED_COUNT", 3000);
  const int kills = static_cast<int>(rel::EnvLong("REL_SEED_KILLS", 4));
  const std::string dir = rel::DataDir() + "/seed";
  fs::create_directories(dir);
  rel::ChildOptions opts;
  opts.binary = WQADMIN_BINARY;
  opts.dir = dir;
  opts.out = dir + "/wqadmin.out";
  auto admin = [&](std::vector<std::string> args) {
    opts.args = std::move(args);
    return rel::StartChild(opts);
  };
  ASSERT_EQ(0, rel::WaitChild(admin({"create", "smtpibwq.fix"})))
      << rel::ReadFile(opts.out);
  const std::vector<std::string> seedArgs = {
      "seed", "smtpibwq.fix", "--count", std::to_string(n), "--status", "11",
      "--recipients", "3", "--quiet"};

  // Calibration: how long one uninterrupted seed of n takes here.
  int64_t t0 = rel::NowMicros();
  ASSERT_EQ(0, rel::WaitChild(admin(seedArgs))) << rel::ReadFile(opts.out);
  const int64_t full = rel::NowMicros() - t0;
  long have = VerifiedCount(dir + "/smtpibwq.fix");
  ASSERT_EQ(n, have);
  std::printf("seed of %ld took %.2f s\n", n, full / 1e6);

  std::mt19937 rng(rel::RunSeed() ^ 0x73656564u);
  for (int k = 0; k < kills; k++) {
    // Anywhere from the start-up to near the end of the run.
    const int64_t delay = static_cast<int64_t>(rng() % (full * 9 / 10 + 1));
    pid_t pid = admin(seedArgs);
    usleep(static_cast<useconds_t>(delay));
    int code = 0;
    const bool ended = rel::ChildEnded(pid, &code);
    if (!ended) rel::KillChild(pid);
    long now = VerifiedCount(dir + "/smtpibwq.fix");
    std::printf("kill %d at %.3f s: %s, %ld messages added\n", k, delay / 1e6,
                ended ? "ended first" : "killed", now - have);
    ASSERT_GE(now, have);
    ASSERT_LE(now, have + n);
    if (ended) {
      EXPECT_EQ(now, have + n);
    }
    have = now;
  }

  ASSERT_EQ(0, rel::WaitChild(admin({"seed", "smtpibwq.fix", "--count", "25",
                                     "--status", "9", "--quiet"})))
      << rel::ReadFile(opts.out);
  EXPECT_EQ(have + 25, VerifiedCount(dir + "/smtpibwq.fix"));
}
#endif  // WQADMIN_BINARY

// Reads stream "Body" of an open message and compares it with what the
// writer wrote for `serial`; "" when complete.
std::string CheckStream(msg_handle_t* m, DWORD serial, DWORD size) {
  data_stream_block_t dsb;
  std::memset(&dsb, 0, sizeof dsb);
  STATUS err = WQSOpenDataStreamBlock(m, "Body", &dsb);
  if (err != NOERROR) return "stream does not open: status " + std::to_string(err);
  std::string problem;
  if (WQSGetSizeOfDataStreamBlock(&dsb) != size)
    problem = "stream size " + std::to_string(WQSGetSizeOfDataStreamBlock(&dsb)) +
              ", written " + std::to_string(size);
  std::vector<unsigned char> buf(1 << 20);
  DWORD at = 0;
  while (problem.empty()) {
    WORD flag = 0;
    DWORD got = 0;
    err = WQSGetDataStreamBlock(m, &dsb, &flag, buf.data(), buf.size(), &got);
    if (err != NOERROR) {
      problem = "stream read: status " + std::to_string(err);
      break;
    }
    for (DWORD i = 0; i < got && problem.empty(); i++)
      if (buf[i] != rel::StreamByte(serial, at + i))
        problem = "stream byte " + std::to_string(at + i) + " differs";
    at += got;
    if (flag != WQS_DSB_MORE || got == 0) break;
  }
  if (problem.empty() && at != size)
    problem = "stream read " + std::to_string(at) + " bytes of " + std::to_string(size);
  (void)WQSCloseDataStreamBlock(&dsb);
  return problem;
}

// Serial -> note id of every message in the queue, each checked whole.
bool CheckStreamQueue(const std::string& path, std::map<DWORD, NOTEID>* present) {
  present->clear();
  queue_handle_t q;
  STATUS err = OpenQueue(path, &q);
  EXPECT_EQ(NOERROR, err) << "the queue does not open";
  if (err != NOERROR) return false;
  bool ok = true;
  DWORD checked = 0, damaged = 0;
  err = WQHKVerifyQueue(&q, nullptr, nullptr, &checked, &damaged);
  EXPECT_EQ(NOERROR, err);
  EXPECT_EQ(0u, damaged);
  ok = err == NOERROR && damaged == 0;
  std::vector<NOTEID> ids;
  EXPECT_EQ(NOERROR, QDSSearch(q.dbhandle, NULLHANDLE, nullptr, 0,
                               NOTE_CLASS_DOCUMENT, nullptr, CollectIds, &ids,
                               nullptr));
  EXPECT_EQ(checked, ids.size());
  for (NOTEID id : ids) {
    msg_handle_t m;
    std::memset(&m, 0, sizeof m);
    err = WQSOpenMsgByMsgID(&q, id, &m);
    EXPECT_EQ(NOERROR, err) << "message " << id;
    if (err != NOERROR) {
      ok = false;
      continue;
    }
    DWORD serial = 0, size = 0;
    std::string problem;
    if (WQSGetDWORD(&m, "RelSerial", &serial) != NOERROR ||
        WQSGetDWORD(&m, "RelSize", &size) != NOERROR)
      problem = "fields missing";
    else
      problem = CheckStream(&m, serial, size);
    EXPECT_EQ("", problem) << "message " << id << " serial " << serial;
    EXPECT_TRUE(present->emplace(serial, id).second) << "serial " << serial << " twice";
    ok = ok && problem.empty();
    (void)WQSCloseMsg(&m);
  }
  EXPECT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
  return ok;
}

// "saved SERIAL NOTEID" lines of the writer's output.
std::map<DWORD, NOTEID> Saved(const std::string& out) {
  std::map<DWORD, NOTEID> saved;
  std::istringstream in(out);
  std::string word;
  DWORD serial = 0, id = 0;
  while (in >> word)
    if (word == "saved" && in >> serial >> id) saved[serial] = id;
  return saved;
}

TEST(WriterKillTest, StreamWriterKilledLeavesEachMessageAbsentOrComplete) {
  const DWORD bytes = static_cast<DWORD>(rel::EnvLong("REL_STREAM_MB", 24)) << 20;
  const int kills = static_cast<int>(rel::EnvLong("REL_STREAM_KILLS", 4));
  const std::string dir = rel::DataDir() + "/stream";
  fs::create_directories(dir);
  const std::string fix = dir + "/smtpibwq.fix";
  {
    rel::SeededQueue none;
    ASSERT_TRUE(rel::SeedFailedQueue(fix, 0, 0, &none));
  }
  rel::ChildOptions opts;
  opts.binary = STREAM_WRITER_BINARY;
  opts.dir = dir;
  opts.out = dir + "/writer.out";
  auto writer = [&](DWORD first, DWORD count) {
    opts.args = {"smtpibwq.fix", std::to_string(first), std::to_string(count),
                 std::to_string(bytes)};
    return rel::StartChild(opts);
  };

  // Calibration: one message written and saved whole.
  int64_t t0 = rel::NowMicros();
  ASSERT_EQ(0, rel::WaitChild(writer(0, 1))) << rel::ReadFile(opts.out);
  const int64_t one = rel::NowMicros() - t0;
  std::map<DWORD, NOTEID> present;
  ASSERT_TRUE(CheckStreamQueue(fix, &present));
  ASSERT_EQ(1u, present.size());
  std::printf("one message of %u bytes: %.2f s\n", bytes, one / 1e6);

  std::mt19937 rng(rel::RunSeed() ^ 0x7374726du);
  DWORD next = 1;
  for (int k = 0; k < kills; k++) {
    // Up to three messages a run: the kill lands in building, saving or
    // between messages.
    const DWORD count = 3;
    // A run is quicker than the calibration, which also paid for the first
    // open: aim inside its first three quarters.
    const int64_t delay = static_cast<int64_t>(rng() % (one * count * 3 / 4 + 1));
    pid_t pid = writer(next, count);
    usleep(static_cast<useconds_t>(delay));
    int code = 0;
    const bool ended = rel::ChildEnded(pid, &code);
    if (!ended) rel::KillChild(pid);
    std::map<DWORD, NOTEID> saved = Saved(rel::ReadFile(opts.out));
    std::map<DWORD, NOTEID> before = present;
    ASSERT_TRUE(CheckStreamQueue(fix, &present)) << "after kill " << k;
    size_t added = present.size() - before.size();
    std::printf("kill %d at %.2f s: %s, %zu saved reported, %zu present new\n", k,
                delay / 1e6, ended ? "ended first" : "killed", saved.size(), added);
    // Every save the writer reported is there, under its note id; nothing
    // else appeared beyond the run's own serials.
    for (auto [serial, id] : saved) {
      auto it = present.find(serial);
      ASSERT_NE(present.end(), it) << "reported saved, missing: " << serial;
      EXPECT_EQ(id, it->second);
    }
    for (auto [serial, id] : present) {
      if (!before.count(serial)) {
        EXPECT_TRUE(serial >= next && serial < next + count) << serial;
      }
    }
    ASSERT_LE(added, saved.size() + 1);
    next += count;
  }
  // Writing goes on.
  ASSERT_EQ(0, rel::WaitChild(writer(next, 1))) << rel::ReadFile(opts.out);
  size_t had = present.size();
  ASSERT_TRUE(CheckStreamQueue(fix, &present));
  EXPECT_EQ(had + 1, present.size());
}

}  // namespace
