// Task registry records: encoding round trip, refusal of broken records and
// listing that skips half-written and foreign files.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "../../runtime/task_registry.h"
#include "runtime_util.h"

namespace fs = std::filesystem;
using tavlo_rt::TaskRecord;

namespace {

TEST(TaskRegistryTest, RecordRoundTripAndRefusals) {
  TaskRecord rec{"rswq", 4321, 1700000000123456LL, "line one\nline two\r\\end="};
  std::string text = tavlo_rt::EncodeTaskRecord(rec);
  EXPECT_EQ(4, std::count(text.begin(), text.end(), '\n')) << text;
  TaskRecord back;
  ASSERT_TRUE(tavlo_rt::DecodeTaskRecord(text, &back));
  EXPECT_EQ(rec.name, back.name);
  EXPECT_EQ(rec.pid, back.pid);
  EXPECT_EQ(rec.started, back.started);
  EXPECT_EQ(rec.status, back.status);
  for (const char* bad : {"", "name=x\n", "pid=12\n", "name=x\npid=abc\n",
                          "name=x\npid=-3\n"}) {
    EXPECT_FALSE(tavlo_rt::DecodeTaskRecord(bad, &back)) << bad;
  }
  EXPECT_TRUE(tavlo_rt::DecodeTaskRecord("name=x\npid=12", &back));
  EXPECT_EQ(12, back.pid);
}

using TaskDirTest = rttest::DataDirTest;

TEST_F(TaskDirTest, ListsOnlyWholeRecords) {
  EXPECT_FALSE(tavlo_rt::EnsureTaskDirectory(dir_ + "/nope"));
  EXPECT_FALSE(fs::exists(dir_ + "/nope"));
  ASSERT_TRUE(tavlo_rt::EnsureTaskDirectory(dir_));
  ASSERT_TRUE(tavlo_rt::EnsureTaskDirectory(dir_)) << "idempotent";
  ASSERT_EQ(tasks_, tavlo_rt::TaskDirectory(dir_ + "/"));
  for (const TaskRecord& r : {TaskRecord{"beta", 20, 1, "b"},
                              TaskRecord{"alpha", 30, 2, "a2"},
                              TaskRecord{"alpha", 10, 3, "a1"}}) {
    ASSERT_TRUE(tavlo_rt::WriteTaskRecord(TaskFile(r.pid), r));
  }
  std::ofstream(tasks_ + "/junk.task") << "garbage";
  std::ofstream(TaskFile(99) + ".tmp") << "name=half\npid=99\n";
  std::ofstream(TaskFile(10, "quit")).close();
  auto list = tavlo_rt::ListTaskRecords(tasks_);
  ASSERT_EQ(3u, list.size());  // by name, then pid
  EXPECT_EQ(10, list[0].pid);
  EXPECT_EQ(30, list[1].pid);
  EXPECT_EQ("beta", list[2].name);
  EXPECT_FALSE(fs::exists(TaskFile(10) + ".tmp"));
  tavlo_rt::RemoveTaskFiles(tasks_, 10);
  EXPECT_FALSE(fs::exists(TaskFile(10)));
  EXPECT_FALSE(fs::exists(TaskFile(10, "quit")));
  EXPECT_EQ(2u, tavlo_rt::ListTaskRecords(tasks_).size());
  EXPECT_TRUE(tavlo_rt::ListTaskRecords(dir_ + "/nope").empty());
  EXPECT_TRUE(tavlo_rt::ProcessAlive(getpid()));
  EXPECT_FALSE(tavlo_rt::ProcessAlive(0));
}

}  // namespace
