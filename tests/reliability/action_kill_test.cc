// wqadmin's moving and purging actions killed at any point: `hold` (and
// `release`, which moves back) and `delete --export` run as children on a
// queue of a few hundred messages with attachments and are killed, by time
// from outside or by the store itself at its N-th write of a WAL or of a
// database file.  After every kill each message the queue began with is,
// whole (every item, the attachments' bytes), in the queue, in QUEUE.hold
// or in an export file; at most the message in hand is in two places, and
// verify names such a pair.  The next run of the same action settles it;
// the last run completes, and import brings every export back whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "reliability_util.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"

namespace {

namespace fs = std::filesystem;

// Every item of a document as stored, with the bytes of the object an
// object item names; a message's identity is the File and Note parts of
// its originator id, which every move keeps.
struct Item {
  std::string name;
  WORD flags = 0, type = 0;
  std::string value;
  std::optional<std::string> object;
  bool operator==(const Item&) const = default;
};
struct Doc {
  NOTEID id = 0;
  std::vector<Item> items;
};
using Snapshot = std::map<std::string, Doc>;

std::string ObjectBytes(DBHANDLE db, const std::string& ref) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(ref.data()) + 4;
  const DWORD rrv = p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24;
  DWORD size = 0;
  DHANDLE h = NULLHANDLE;
  if (QDSDbGetObjectSize(db, rrv, &size) != NOERROR)
    return "(object " + std::to_string(rrv) + " missing)";
  if (size == 0) return "";
  if (QDSDbReadObject(db, rrv, 0, size, &h) != NOERROR) return "(object unreadable)";
  std::string bytes(static_cast<const char*>(OSLockObject(h)), size);
  OSUnlockObject(h);
  OSMemFree(h);
  return bytes;
}

// The documents of `path` ("" when there is no such file); a problem
// (the file does not open, one message twice) goes to *problem.
Snapshot Snap(const std::string& path, std::string* problem) {
  Snapshot s;
  if (!fs::exists(path)) return s;
  DBHANDLE db = 0;
  if (STATUS err = QDSDbOpenReadOnly(path.c_str(), &db)) {
    *problem = path + " does not open: status " + std::to_string(err);
    return s;
  }
  std::vector<std::pair<NOTEID, std::string>> docs;
  (void)QDSDbScanItems(
      db, NOTE_CLASS_DOCUMENT, nullptr, 0,
      [](void* a, const ITEM_SCAN_DOC* d, const ITEM_VALUE*, WORD) -> STATUS {
        static_cast<std::vector<std::pair<NOTEID, std::string>>*>(a)->emplace_back(
            d->NoteID,
            std::string(reinterpret_cast<const char*>(&d->OriginatorID), 2 * sizeof(TIMEDATE)));
        return NOERROR;
      },
      &docs);
  for (const auto& [id, unid] : docs) {
    Doc& d = s[unid];
    if (d.id)
      *problem = path + ": notes " + std::to_string(d.id) + " and " + std::to_string(id) +
                 " are one message";
    d.id = id;
    NOTEHANDLE note;
    if (QDSNoteOpen(db, id, 0, &note) != NOERROR) {
      *problem = path + ": note " + std::to_string(id) + " does not open";
      continue;
    }
    for (DWORD i = 0, n = QDSItemCount(note); i < n; i++) {
      char name[256];
      WORD nameLen = 0;
      Item it;
      BLOCKID bid;
      DWORD len = 0;
      if (QDSItemInfoByIndex(note, i, name, sizeof name, &nameLen, &it.flags, &it.type, &bid, &len))
        continue;
      it.name.assign(name, nameLen);
      it.value.assign(OSLockBlock(bid), len);
      OSUnlockBlock(bid);
      if (it.type == TYPE_OBJECT && len >= 8) it.object = ObjectBytes(db, it.value);
      d.items.push_back(std::move(it));
    }
    QDSNoteClose(note);
  }
  QDSDbClose(db);
  return s;
}

bool Whole(const Doc& want, const Doc& got) { return want.items == got.items; }

// Where every message is: the queue, its hold queue, the export files.
struct Places {
  std::vector<std::pair<std::string, Snapshot>> dbs;  // name, documents
  std::string problem;
};
Places Look(const std::string& dir, bool exports) {
  Places p;
  for (const char* name : {"q.qds", "q.qds.hold"})
    p.dbs.emplace_back(name, Snap(dir + "/" + name, &p.problem));
  if (exports && fs::exists(dir + "/exp"))
    for (const auto& e : fs::directory_iterator(dir + "/exp"))
      if (e.path().extension() == ".qmsg")
        p.dbs.emplace_back("exp/" + e.path().filename().string(),
                           Snap(e.path().string(), &p.problem));
  return p;
}

// Each message of `original` is somewhere, one copy of it at least whole;
// nothing else is anywhere.  Copies in two places: at most one message
// (the one in hand when the kill came), none once `settled`.  The pair's
// places go to *pair.
::testing::AssertionResult Account(const Snapshot& original, const Places& p, bool settled,
                                   std::vector<std::pair<std::string, NOTEID>>* pair = nullptr) {
  if (!p.problem.empty()) return ::testing::AssertionFailure() << p.problem;
  std::map<std::string, std::vector<std::pair<std::string, const Doc*>>> where;
  for (const auto& [name, docs] : p.dbs)
    for (const auto& [unid, d] : docs) where[unid].emplace_back(name, &d);
  size_t pairs = 0;
  for (const auto& [unid, copies] : where) {
    auto it = original.find(unid);
    if (it == original.end())
      return ::testing::AssertionFailure() << copies[0].first << ": note " << copies[0].second->id
                                           << " is no message of the queue";
    if (std::none_of(copies.begin(), copies.end(),
                     [&](auto& c) { return Whole(it->second, *c.second); }))
      return ::testing::AssertionFailure() << "message " << copies[0].second->id << " of "
                                           << copies[0].first << " is not whole anywhere";
    if (copies.size() > 1) {
      pairs++;
      if (pair)
        for (auto& c : copies) pair->emplace_back(c.first, c.second->id);
      if (settled)
        return ::testing::AssertionFailure()
               << "message " << copies[0].second->id << " of " << copies[0].first << " is also in "
               << copies[1].first;
    }
  }
  for (const auto& [unid, d] : original)
    if (!where.count(unid))
      return ::testing::AssertionFailure()
             << "message " << d.id << " of the original queue is lost";
  if (pairs > 1) return ::testing::AssertionFailure() << pairs << " messages in two places";
  return ::testing::AssertionSuccess();
}

class ActionKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rel::DataDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  int Admin(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
    rel::ChildOptions o;
    o.binary = WQADMIN_BINARY, o.args = args, o.dir = dir_, o.out = dir_ + "/admin.out";
    o.env = std::move(env);
    return rel::WaitChild(rel::StartChild(o));
  }
  std::string Out() { return rel::ReadFile(dir_ + "/admin.out"); }

  // Runs wqadmin with `args`, killed `delay` microseconds after its start
  // (when `hook` is empty) or by the store at the point `hook` names.
  // True when it was killed; otherwise it must have ended well.
  bool Killed(const std::vector<std::string>& args, const std::string& hook, int64_t delay) {
    rel::ChildOptions o;
    o.binary = WQADMIN_BINARY, o.args = args, o.dir = dir_, o.out = dir_ + "/admin.out";
    if (!hook.empty()) o.env = {"TAVLO_TEST_CRASH=" + hook};
    const int64_t start = rel::NowMicros();
    const pid_t pid = rel::StartChild(o);
    int code = 0;
    while (!rel::ChildEnded(pid, &code)) {
      if (hook.empty() && rel::NowMicros() - start >= delay) {
        rel::KillChild(pid);
        return true;
      }
      usleep(200);
    }
    if (code == 128 + SIGKILL) return true;
    if (code != 0) {
      ADD_FAILURE() << "exit " << code << ": " << Out();
      runFailed_ = true;
    }
    return false;
  }
  bool runFailed_ = false;  // a run ended with an error: going on says nothing more

  // The queue's duplicates as verify names them: note id in the queue.
  std::set<NOTEID> VerifiedDuplicates() {
    EXPECT_EQ(1, Admin({"verify", "q.qds", "--json", "--quiet"}));
    nlohmann::json j = nlohmann::json::parse(Out(), nullptr, false);
    std::set<NOTEID> ids;
    if (j.is_discarded()) {
      ADD_FAILURE() << Out();
      return ids;
    }
    for (const auto& f : j["problems"])
      if (f["kind"] == "duplicate") ids.insert(f["note_id"].get<NOTEID>());
    return ids;
  }

  std::string dir_;
};

TEST_F(ActionKillTest, KilledHoldsAndExportingDeletesLoseNoMessage) {
  std::mt19937 rng(rel::RunSeed() ^ 0x686f6c64u);
  std::ofstream(dir_ + "/att.bin", std::ios::binary)
      << std::string("\x89PNG\r\n\x1a\n", 8) + std::string(900, 'x');
  ASSERT_EQ(0, Admin({"create", "q.qds"}));
  for (const auto& seed : std::vector<std::vector<std::string>>{
           {"--count", "110", "--status", "11", "--body-size", "1500"},
           {"--count", "60", "--status", "9"},
           {"--count", "50", "--status", "10", "--type", "1"},
           {"--count", "16", "--status", "7", "--body-size", "700"}}) {
    std::vector<std::string> args = {"seed", "q.qds", "--quiet", "--attach", "att.bin"};
    args.insert(args.end(), seed.begin(), seed.end());
    ASSERT_EQ(0, Admin(args)) << Out();
  }
  std::string problem;
  const Snapshot original = Snap(dir_ + "/q.qds", &problem);
  ASSERT_EQ("", problem);
  ASSERT_EQ(236u, original.size());
  Snapshot sevens;  // what delete takes
  {
    queue_descriptor_t qd{};
    std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s/q.qds", dir_.c_str());
    queue_handle_t q;
    ASSERT_EQ(NOERROR, WQSOpenQueueReadOnly(&qd, &q));
    for (const auto& [unid, d] : original) {
      msg_handle_t m;
      DWORD status = 0;
      ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, d.id, &m));
      if (WQSGetDWORD(&m, "WQMsgStatus", &status) == NOERROR && status == 7) sevens[unid] = d;
      WQSCloseMsg(&m);
    }
    WQSCloseQueueForRead(&q);
  }
  ASSERT_EQ(16u, sevens.size());

  // hold, killed again and again; when the queue is empty, everything is
  // released (whole) and holding goes on.  The first kill falls while
  // QUEUE.hold is being made.
  int holdKills = 0;
  for (int round = 0; holdKills < 22 && round < 80; round++) {
    SCOPED_TRACE("hold round " + std::to_string(round));
    Places p = Look(dir_, false);
    const size_t left = p.dbs[0].second.size();
    if (left == 0) {
      ASSERT_TRUE(Account(original, p, true));
      ASSERT_EQ(0, Admin({"release", "q.qds", "--quiet"})) << Out();
      ASSERT_TRUE(Account(original, Look(dir_, false), true));
      continue;
    }
    std::string hook;
    int64_t delay = 0;
    switch (round % 4) {
      case 0:
        delay = rng() % 350000;
        break;
      case 1:
        hook = "wal-write:" + std::to_string(1 + rng() % (70 * left));
        break;
      case 2:
        hook = "file-write:" + std::to_string(1 + rng() % 12);
        break;
      case 3:
        delay = 30000 + rng() % 120000;
        break;
    }
    if (round == 0) hook = "wal-write:" + std::to_string(1 + rng() % 4);
    if (Killed({"hold", "q.qds", "--quiet"}, hook, delay)) holdKills++;
    ASSERT_FALSE(runFailed_);
    std::vector<std::pair<std::string, NOTEID>> pair;
    p = Look(dir_, false);
    ASSERT_TRUE(Account(original, p, false, &pair))
        << (hook.empty() ? "after " + std::to_string(delay) + " us" : hook);
    if (!pair.empty()) {
      ASSERT_EQ("q.qds", pair[0].first);
      EXPECT_EQ(std::set<NOTEID>{pair[0].second}, VerifiedDuplicates());
    }
  }
  EXPECT_GE(holdKills, 20);
  ASSERT_EQ(0, Admin({"hold", "q.qds", "--quiet"})) << Out();
  ASSERT_TRUE(Account(original, Look(dir_, false), true));
  EXPECT_EQ(0, Admin({"verify", "q.qds.hold", "--quiet"})) << Out();
  {
    DBHANDLE db = 0;
    NOTEID view = 0;
    ASSERT_EQ(NOERROR, QDSDbOpenReadOnly((dir_ + "/q.qds.hold").c_str(), &db));
    EXPECT_EQ(NOERROR, QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &view))
        << "QUEUE.hold, made by a hold that was killed, lacks the queue's views";
    QDSDbClose(db);
  }
  ASSERT_EQ(0, Admin({"release", "q.qds", "--quiet"})) << Out();
  ASSERT_TRUE(Account(original, Look(dir_, false), true));

  // delete --export of the status-7 messages, killed again and again; when
  // none is left, every export file must be whole and on its own (closed,
  // no unsaved changes beside it), and import brings them all back.
  std::set<std::string> unclean;  // export files that need the WAL beside them
  auto importAll = [&]() -> ::testing::AssertionResult {
    std::vector<std::string> args = {"import", "q.qds"};
    for (const auto& e : fs::directory_iterator(dir_ + "/exp"))
      if (e.path().extension() == ".qmsg") {
        if (!rel::ClosedCleanly(e.path().string())) unclean.insert(e.path().filename().string());
        args.push_back("exp/" + e.path().filename().string());
      }
    if (Admin(args) != 0) return ::testing::AssertionFailure() << "import: " << Out();
    fs::remove_all(dir_ + "/exp");
    return Account(original, Look(dir_, false), true);
  };
  int deleteKills = 0;
  for (int round = 0; deleteKills < 20 && round < 80; round++) {
    SCOPED_TRACE("delete round " + std::to_string(round));
    Places p = Look(dir_, true);
    size_t left = 0;
    for (const auto& [unid, d] : p.dbs[0].second) left += sevens.count(unid);
    if (left == 0) {
      ASSERT_TRUE(Account(original, p, true));
      ASSERT_TRUE(importAll());
      continue;
    }
    std::string hook;
    int64_t delay = 0;
    switch (round % 4) {
      case 0:
        delay = rng() % 500000;
        break;
      case 1:
        hook = "wal-write:" + std::to_string(1 + rng() % (60 * std::min<size_t>(left, 6)));
        break;
      case 2:
        hook = "file-write:" + std::to_string(1 + rng() % 40);
        break;
      case 3:
        delay = 20000 + rng() % 150000;
        break;
    }
    if (Killed({"delete", "q.qds", "--yes", "--quiet", "--export", "exp", "--status", "7"}, hook,
               delay))
      deleteKills++;
    ASSERT_FALSE(runFailed_);
    ASSERT_TRUE(Account(original, Look(dir_, true), false))
        << (hook.empty() ? "after " + std::to_string(delay) + " us" : hook);
  }
  EXPECT_GE(deleteKills, 20);
  ASSERT_EQ(0, Admin({"delete", "q.qds", "--yes", "--quiet", "--export", "exp", "--status", "7"}))
      << Out();
  ASSERT_TRUE(Account(original, Look(dir_, true), true));
  EXPECT_TRUE(importAll());
  EXPECT_EQ(0, Admin({"verify", "q.qds", "--quiet"})) << Out();
  // An export file is a message on its own, to be carried anywhere: none
  // may depend on unsaved changes (a WAL) left beside it by a kill.
  EXPECT_TRUE(unclean.empty()) << unclean.size() << " export files were left unclosed, e.g. "
                               << *unclean.begin();
}

// A move is a copy, then the delete of the original with its objects in
// one transaction.  Cut after the copy, the message is in both queues,
// each copy whole (never an original whose attachment is gone beside a
// whole copy), and whichever way the next move goes, one whole copy is
// kept.  And a pair whose queue copy
// is saved again before that (rswq requeues it, say) is still a pair:
// verify names it, and no move brings the other copy in beside it.
TEST_F(ActionKillTest, AMoveCutAfterItsCopyNeitherLosesNorDoublesTheMessage) {
  std::ofstream(dir_ + "/att.bin", std::ios::binary) << "attached bytes";
  ASSERT_EQ(0, Admin({"create", "q.qds"}));
  ASSERT_EQ(0, Admin({"seed", "q.qds", "--quiet", "--count", "2", "--status", "11", "--attach",
                      "att.bin"}));
  ASSERT_EQ(0, Admin({"seed", "q.qds", "--quiet", "--count", "1", "--status", "11"}));
  // QUEUE.hold exists before the runs that are cut.
  ASSERT_EQ(0, Admin({"hold", "q.qds", "--quiet", "--id", "8"}));
  ASSERT_EQ(0, Admin({"release", "q.qds", "--quiet"}));
  std::string problem;
  const Snapshot original = Snap(dir_ + "/q.qds", &problem);
  ASSERT_EQ(3u, original.size());
  for (const char* f : {"q.qds", "q.qds.hold"})
    rel::CopyDbFile(dir_ + "/" + f, dir_ + "/" + f + ".pristine");
  // The queues as `hold --id` of the message left them when the store
  // killed it at its N-th write of a WAL (true), or after it ended well.
  auto cutAt = [&](const std::string& unid, long n) {
    for (const char* f : {"q.qds", "q.qds.hold"})
      rel::CopyDbFile(dir_ + "/" + f + ".pristine", dir_ + "/" + f);
    return Killed({"hold", "q.qds", "--quiet", "--id", std::to_string(original.at(unid).id)},
                  "wal-write:" + std::to_string(n), 0);
  };
  // Calls `cut` for each N from the move's last write back while it asks
  // for more; the pair's two copies as found.
  auto scan = [&](const std::string& unid, const std::function<bool(long, const Doc&)>& cut) {
    long lo = 1, hi = 2000;  // the first N past the move's last write
    while (lo < hi) {
      const long mid = (lo + hi) / 2;
      if (cutAt(unid, mid))
        lo = mid + 1;
      else
        hi = mid;
    }
    ASSERT_GT(lo, 10);
    for (long n = lo - 1; n > 0 && n > lo - 60; n--) {
      SCOPED_TRACE("wal-write:" + std::to_string(n));
      ASSERT_TRUE(cutAt(unid, n));
      std::vector<std::pair<std::string, NOTEID>> pair;
      Places p = Look(dir_, false);
      ASSERT_TRUE(Account(original, p, false, &pair));
      if (!pair.empty() && !cut(n, p.dbs[0].second.at(unid))) return;
    }
  };
  std::string attached, plain;
  for (const auto& [unid, d] : original)
    (std::any_of(d.items.begin(), d.items.end(), [](const Item& it) { return it.object; })
         ? attached
         : plain) = unid;
  ASSERT_FALSE(attached.empty() || plain.empty());

  int pairs = 0;
  scan(attached, [&](long n, const Doc& inQueue) {
    EXPECT_TRUE(Whole(original.at(attached), inQueue)) << "the original lost its attachment";
    for (const char* next : {"hold", "release"}) {
      SCOPED_TRACE(std::string("then ") + next);
      EXPECT_TRUE(cutAt(attached, n));
      EXPECT_EQ(0, Admin({next, "q.qds", "--quiet", "--id", "999999"})) << Out();
      EXPECT_TRUE(Account(original, Look(dir_, false), true));
    }
    return ++pairs < 3;
  });
  EXPECT_GT(pairs, 0) << "no run was cut between the copy and the delete";

  bool saved = false;
  scan(plain, [&](long n, const Doc&) {
    EXPECT_TRUE(cutAt(plain, n));
    EXPECT_EQ(0,
              Admin({"requeue", "q.qds", "--quiet", "--id", std::to_string(original.at(plain).id)}))
        << Out();
    EXPECT_EQ(std::set<NOTEID>{original.at(plain).id}, VerifiedDuplicates())
        << "a pair whose queue copy was saved since";
    EXPECT_EQ(1, Admin({"release", "q.qds", "--quiet"})) << Out();
    EXPECT_TRUE(Account(original, Look(dir_, false), false));
    saved = true;
    return false;
  });
  EXPECT_TRUE(saved) << "no run was cut between the copy and the delete";
}

// delete --export cut at each of its last writes of a WAL (the purge, the
// freeing of the attachment's object) and at each write of a database file
// (the export file's checkpoint): the next run completes, and the export
// file, carried to another directory, imports the message whole.
TEST_F(ActionKillTest, AnExportCutAnywhereImportsWholeFromAnywhere) {
  std::ofstream(dir_ + "/att.bin", std::ios::binary) << "attached bytes";
  ASSERT_EQ(0, Admin({"create", "q.qds"}));
  ASSERT_EQ(0, Admin({"seed", "q.qds", "--quiet", "--count", "2", "--status", "11", "--attach",
                      "att.bin"}));
  std::string problem;
  const Snapshot original = Snap(dir_ + "/q.qds", &problem);
  ASSERT_EQ(2u, original.size());
  const std::string unid = original.begin()->first, id = std::to_string(original.at(unid).id);
  rel::CopyDbFile(dir_ + "/q.qds", dir_ + "/q.qds.pristine");
  const std::vector<std::string> del = {"delete",   "q.qds", "--yes", "--quiet",
                                        "--export", "exp",   "--id",  id};
  auto cutAt = [&](const std::string& hook) {
    rel::CopyDbFile(dir_ + "/q.qds.pristine", dir_ + "/q.qds");
    fs::remove_all(dir_ + "/exp");
    return Killed(del, hook, 0);
  };
  long lo = 1, hi = 2000;  // the first N past the run's last WAL write
  while (lo < hi) {
    const long mid = (lo + hi) / 2;
    if (cutAt("wal-write:" + std::to_string(mid)))
      lo = mid + 1;
    else
      hi = mid;
  }
  std::vector<std::string> hooks;
  for (long n = std::max(1L, lo - 14); n < lo; n++)
    hooks.push_back("wal-write:" + std::to_string(n));
  for (int n = 1; n <= 8; n++) hooks.push_back("file-write:" + std::to_string(n));
  std::string failures;  // one line per cut whose export does not come back
  for (const std::string& hook : hooks) {
    SCOPED_TRACE(hook);
    if (!cutAt(hook)) continue;
    ASSERT_EQ(0, Admin(del)) << Out();
    Places p = Look(dir_, true);
    ASSERT_TRUE(Account(original, p, true));
    ASSERT_EQ(0u, p.dbs[0].second.count(unid));
    fs::remove_all(dir_ + "/carried");
    fs::create_directories(dir_ + "/carried");
    fs::copy_file(dir_ + "/exp/q.qds-" + id + ".qmsg", dir_ + "/carried/m.qmsg");
    if (Admin({"import", "q.qds", "carried/m.qmsg"}) != 0) {
      failures += hook + ": " + Out();
      continue;
    }
    const Snapshot back = Snap(dir_ + "/q.qds", &problem);
    if (!back.count(unid) || !Whole(original.at(unid), back.at(unid)))
      failures += hook + ": imported, but not whole\n";
  }
  EXPECT_EQ("", failures);
}

}  // namespace
