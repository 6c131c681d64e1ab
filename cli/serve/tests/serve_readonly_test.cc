// Read-only by construction: the server, running in this process, serves
// pages while rswq (a child) resets the queue, and the store's counters of
// this process show no write, truncate or sync of a file by a read-only
// connection; rswq is not held up and finishes its pass.  With no writer,
// a served session leaves the queue file byte for byte as it was.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <random>
#include <sstream>

#include "serve/tests/serve_test_util.h"
#include "tavlo/testing.h"

extern char** environ;

namespace servetest {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct FileIo {
  DWORD writes = 0, truncates = 0, syncs = 0;
  static FileIo Now() {
    FileIo f;
    QDSTestReadOnlyFileIo(&f.writes, &f.truncates, &f.syncs);
    return f;
  }
};

class ServeReadOnlyTest : public ServeTest {};

TEST_F(ServeReadOnlyTest, ServingBesideRswqWritesNothingAndRswqFinishes) {
  ASSERT_EQ(0, Admin("create smtpibwq.fix").code);
  ASSERT_EQ(0, Admin("seed smtpibwq.fix --count 4000 --status 11 --recipients 1 --quiet").code);
  ASSERT_EQ(0, Admin("seed smtpibwq.fix --count 500 --status 6 --quiet").code);
  const FileIo before = FileIo::Now();
  Serve({"smtpibwq.fix"});

  // rswq as a child on the same data directory (TAVLO_DATA is inherited).
  const std::string log = dir_ + "/rswq.log";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char arg0[] = RSWQ_BINARY;
  char* argv[] = {arg0, nullptr};
  pid_t pid = 0;
  ASSERT_EQ(0, posix_spawn(&pid, RSWQ_BINARY, &fa, nullptr, argv, environ));
  posix_spawn_file_actions_destroy(&fa);

  auto client = Client();
  std::mt19937 rng(5);
  int served = 0, status = 0;
  bool sawRswq = false;
  const char* kinds[] = {"list", "show", "stats", "progress"};
  for (int i = 0;; i++) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    ASSERT_NE(-1, done);
    if (done == pid) break;
    const std::string kind = kinds[i % 4];
    const unsigned id = 8 + rng() % 4500;
    const std::string path = kind == "list"   ? "/api/list?limit=50&after=" + std::to_string(id)
                             : kind == "show" ? "/api/show/" + std::to_string(id)
                             : kind == "stats" ? "/api/stats"
                                               : "/api/progress";
    auto res = client->Get(path);
    ASSERT_TRUE(res) << path;
    ASSERT_EQ(200, res->status) << path << ": " << res->body;
    served++;
    if (kind == "progress")
      for (const json& t : json::parse(res->body))
        if (t["name"] == "rswq" && t["count"].is_number()) sawRswq = true;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << Slurp(log);
  EXPECT_NE(std::string::npos, Slurp(log).find("ReQueued 4000 messages")) << Slurp(log);
  EXPECT_GE(served, 8) << "the pass ended before the pages could be served beside it";
  std::printf("served %d requests beside rswq%s\n", served,
              sawRswq ? ", its progress among them" : "");

  json stats = GetJson("/api/stats");
  EXPECT_EQ(0, stats["failed"]);
  EXPECT_EQ(4500, stats["by_status"]["6"]);
  const FileIo after = FileIo::Now();
  EXPECT_EQ(before.writes, after.writes);
  EXPECT_EQ(before.truncates, after.truncates);
  EXPECT_EQ(before.syncs, after.syncs);
}

TEST_F(ServeReadOnlyTest, AServedSessionLeavesTheQueueByteForByte) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 300 --status 9 --quiet").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 100 --status 6 --body-size 3000 --quiet").code);
  const std::string path = dir_ + "/q.qds";
  const std::string bytes = Slurp(path);
  ASSERT_GT(bytes.size(), 100000u);
  const FileIo before = FileIo::Now();

  Serve({"q.qds"});
  auto client = Client();
  std::vector<std::string> paths = {"/", "/api/queues", "/api/stats", "/api/stats?cached=1",
                                    "/api/shape", "/api/shape?by=hop&status=9", "/api/tasks",
                                    "/api/progress", "/api/list?limit=1000",
                                    "/api/list?error=transfer&limit=5"};
  for (int id = 1; id <= 420; id += 7) paths.push_back("/api/show/" + std::to_string(id));
  for (const std::string& p : paths) {
    auto res = client->Get(p);
    ASSERT_TRUE(res) << p;
    EXPECT_TRUE(res->status == 200 || res->status == 404) << p << ": " << res->status;
  }
  const FileIo after = FileIo::Now();
  EXPECT_EQ(before.writes, after.writes);
  EXPECT_EQ(before.truncates, after.truncates);
  EXPECT_EQ(before.syncs, after.syncs);
  EXPECT_TRUE(bytes == Slurp(path)) << "the queue file changed";
}

}  // namespace
}  // namespace servetest
