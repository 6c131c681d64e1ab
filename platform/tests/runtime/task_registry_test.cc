// Task registry records: encoding, atomic writes and listing.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "../../runtime/task_registry.h"

namespace fs = std::filesystem;
using tavlo_rt::TaskRecord;

namespace {

TEST(TaskRegistryTest, RecordRoundTrip) {
  TaskRecord rec;
  rec.name = "rswq";
  rec.pid = 4321;
  rec.started = 1700000000123456LL;
  rec.status = "line one\nline two\r\\end=";
  std::string text = tavlo_rt::EncodeTaskRecord(rec);
  EXPECT_EQ(4, std::count(text.begin(), text.end(), '\n')) << text;
  TaskRecord back;
  ASSERT_TRUE(tavlo_rt::DecodeTaskRecord(text, &back));
  EXPECT_EQ(rec.name, back.name);
  EXPECT_EQ(rec.pid, back.pid);
  EXPECT_EQ(rec.started, back.started);
  EXPECT_EQ(rec.status, back.status);
}

TEST(TaskRegistryTest, RejectsIncompleteRecords) {
  TaskRecord rec;
  EXPECT_FALSE(tavlo_rt::DecodeTaskRecord("", &rec));
  EXPECT_FALSE(tavlo_rt::DecodeTaskRecord("name=x\n", &rec));
  EXPECT_FALSE(tavlo_rt::DecodeTaskRecord("pid=12\n", &rec));
  EXPECT_FALSE(tavlo_rt::DecodeTaskRecord("name=x\npid=abc\n", &rec));
  EXPECT_FALSE(tavlo_rt::DecodeTaskRecord("name=x\npid=-3\n", &rec));
  EXPECT_TRUE(tavlo_rt::DecodeTaskRecord("name=x\npid=12", &rec));
  EXPECT_EQ(12, rec.pid);
}

TEST(TaskRegistryTest, PathsAndDirectory) {
  EXPECT_EQ("/d/.tavlo/tasks", tavlo_rt::TaskDirectory("/d"));
  EXPECT_EQ("/d/.tavlo/tasks", tavlo_rt::TaskDirectory("/d/"));
  EXPECT_EQ("./.tavlo/tasks", tavlo_rt::TaskDirectory(""));
  EXPECT_EQ("t/7.task", tavlo_rt::TaskFilePath("t", 7));
  EXPECT_EQ("t/7.quit", tavlo_rt::QuitFilePath("t", 7));
}

TEST(TaskRegistryTest, WriteListAndRemove) {
  char tmpl[] = "/tmp/tavlo-reg-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  std::string data = tmpl;
  EXPECT_FALSE(tavlo_rt::EnsureTaskDirectory(data + "/nope"));
  EXPECT_FALSE(fs::exists(data + "/nope"));
  ASSERT_TRUE(tavlo_rt::EnsureTaskDirectory(data));
  ASSERT_TRUE(tavlo_rt::EnsureTaskDirectory(data)) << "idempotent";
  std::string dir = tavlo_rt::TaskDirectory(data);

  TaskRecord b{"beta", 20, 1, "b"}, a2{"alpha", 30, 2, "a2"}, a1{"alpha", 10, 3, "a1"};
  for (const TaskRecord& r : {b, a2, a1}) {
    ASSERT_TRUE(tavlo_rt::WriteTaskRecord(tavlo_rt::TaskFilePath(dir, r.pid), r));
  }
  std::ofstream(dir + "/junk.task") << "garbage";
  std::ofstream(dir + "/99.task.tmp") << "name=half\npid=99\n";
  std::ofstream(dir + "/10.quit") << "";

  auto list = tavlo_rt::ListTaskRecords(dir);
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ("alpha", list[0].name);
  EXPECT_EQ(10, list[0].pid);
  EXPECT_EQ(30, list[1].pid);
  EXPECT_EQ("beta", list[2].name);
  EXPECT_FALSE(fs::exists(tavlo_rt::TaskFilePath(dir, 10) + ".tmp"));

  tavlo_rt::RemoveTaskFiles(dir, 10);
  EXPECT_FALSE(fs::exists(dir + "/10.task"));
  EXPECT_FALSE(fs::exists(dir + "/10.quit"));
  EXPECT_EQ(2u, tavlo_rt::ListTaskRecords(dir).size());
  EXPECT_TRUE(tavlo_rt::ListTaskRecords(data + "/nope").empty());
  fs::remove_all(data);
}

TEST(TaskRegistryTest, ProcessAlive) {
  EXPECT_TRUE(tavlo_rt::ProcessAlive(getpid()));
  EXPECT_FALSE(tavlo_rt::ProcessAlive(0));
  EXPECT_FALSE(tavlo_rt::ProcessAlive(-1));
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  int st;
  ASSERT_EQ(child, waitpid(child, &st, 0));
  EXPECT_FALSE(tavlo_rt::ProcessAlive(child));
}

}  // namespace
